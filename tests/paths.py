"""Where things are, for tests in any folder of tests/."""
import os

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS_DIR)
DATA_DIR = os.path.join(TESTS_DIR, "data")
EXAMPLES_DIR = os.path.join(ROOT, "examples")
BENCHMARKS_DIR = os.path.join(ROOT, "benchmarks")
