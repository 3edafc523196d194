"""A short soak of each kind of work (benchmarks/soak.py at a small scale): after warm-up the
Python object count, the interpreter's allocated blocks and the resident set size stop
growing. No timing: the bounds are on growth between the second and the last sample."""
import os

import pytest

import sanitized
from paths import BENCHMARKS_DIR, TESTS_DIR, load_benchmark

soak = load_benchmark("soak")

SAMPLES = 5
# A few objects and blocks move with the interpreter's own caches (and the samples list holds
# its tuples); a leak of one object per call would pass these by orders of magnitude.
MAX_OBJECTS = 50
MAX_BLOCKS = 400
# Allocator arenas settle in steps; a leaked 3840-byte frame per callback would be 30 MiB here.
MAX_RSS = 4 << 20


@pytest.fixture(scope="module")
def shared():
    state = soak.Soak(room="soak-test")
    yield state
    state.close()


def check_levels_off(samples, what):
    objects, blocks, rss = soak.growth(samples)
    assert objects <= MAX_OBJECTS, f"{what}: {objects} more Python objects; samples {samples}"
    assert blocks <= MAX_BLOCKS, f"{what}: {blocks} more allocated blocks; samples {samples}"
    if not sanitized.ADDRESS:
        assert rss <= MAX_RSS, f"{what}: RSS grew by {rss} bytes; samples {samples}"


@pytest.mark.parametrize("kind", list(soak.EMITTERS))
def test_callbacks_of_each_kind_level_off(shared, kind):
    samples = soak.run_sampled(shared.callbacks(kind), 8000, SAMPLES)
    check_levels_off(samples, kind)


@pytest.mark.parametrize("phase, total", [
    ("session_calls", 4000),
    ("lifecycles", 200),
    ("rotations", 400),
])
def test_session_and_log_work_levels_off(shared, phase, total):
    samples = soak.run_sampled(getattr(shared, phase), total, SAMPLES)
    check_levels_off(samples, phase)


LEAK_CHECKED_WORK = """
import soak
state = soak.Soak(room="leak-check")
for kind in soak.EMITTERS:
    state.callbacks(kind)(50)
state.session_calls(200)
state.lifecycles(20)
state.rotations(20)
state.close()
"""


@pytest.mark.skipif(not sanitized.ADDRESS, reason="needs the AddressSanitizer build")
def test_nothing_of_ours_leaks_under_leak_sanitizer(run_python):
    # The suite runs with leak checking off (see scripts/sanitizers.sh); this child runs every
    # kind of our work and nothing else, so its report at exit is about us.
    suppressions = os.path.join(TESTS_DIR, "sanitizers",
                                "lsan.supp")
    code = f"import sys\nsys.path.insert(0, {BENCHMARKS_DIR!r})\n" + LEAK_CHECKED_WORK
    result = run_python(code, timeout=300, env={
        "ASAN_OPTIONS": "detect_leaks=1:halt_on_error=1",
        "LSAN_OPTIONS": f"suppressions={suppressions}:print_suppressions=0",
    })
    assert "LeakSanitizer" not in result.stderr, result.stderr[-20000:]
    assert result.returncode == 0, result.stderr[-20000:]
