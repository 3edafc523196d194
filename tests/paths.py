"""Where things are, for tests in any folder of tests/, and the benchmarks' modules that tests
share with them."""
import importlib.util
import os
import sys

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS_DIR)
DATA_DIR = os.path.join(TESTS_DIR, "data")
EXAMPLES_DIR = os.path.join(ROOT, "examples")
BENCHMARKS_DIR = os.path.join(ROOT, "benchmarks")


def load_benchmark(name):
    """The module benchmarks/<name>.py (a benchmark, or a yardstick benchmarks share with
    tests), imported once under its own name."""
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(name, os.path.join(BENCHMARKS_DIR, name + ".py"))
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
    return sys.modules[name]
