"""Whether the suite runs against the build with AddressSanitizer and UndefinedBehaviorSanitizer
(scripts/sanitizers.sh sets VELMORA_SANITIZED=address for that run), and a marker for the few
checks that cannot hold there."""
import os

import pytest

ADDRESS = os.environ.get("VELMORA_SANITIZED") == "address"


def skip_under_address_sanitizer(reason):
    return pytest.mark.skipif(ADDRESS, reason=f"under AddressSanitizer: {reason}")
