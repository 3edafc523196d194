"""The module-level settings functions: conversions as the engine receives them."""
import pytest

import _velmora
from velmora.testing import control
from velmora.testing.control import settings_calls, settings_int, settings_text

try:
    import numpy
    NUMPY_BOOLS = [(numpy.bool_(True), 1), (numpy.bool_(False), 0)]
except ImportError:  # the NumPy cases need NumPy; the rest do not
    NUMPY_BOOLS = []


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("given, received", [
    ("logs/é", "logs/é".encode()),
    (b"raw\xffpath", b"raw\xffpath"),
    (bytearray(b"from bytearray"), b"from bytearray"),
    (None, None),
])
def test_log_path_reaches_the_engine_as_given(tmp_path, monkeypatch, given, received):
    monkeypatch.chdir(tmp_path)
    result = _velmora.SetLogPath(given)
    assert settings_text("SetLogPath") == received
    # The engine's own answer comes back unchanged: it refuses only a null path here.
    assert result is (given is not None)


@pytest.mark.parametrize("function, arguments, bad", [
    ("SetLogPath", {"path": "a\0b"}, "path"),
    ("SetLogPath", {"path": b"a\0b"}, "path"),
    ("SetEnvironment", {"env": bytearray(b"test\0")}, "env"),
    ("SetSocks5Proxy", {"ip": "10.0.0.1\0.evil", "port": 1080, "username": None, "password": None}, "ip"),
    ("SetSocks5Proxy", {"ip": "10.0.0.1", "port": 1080, "username": "u\0", "password": "p"}, "username"),
    ("SetSocks5Proxy", {"ip": "10.0.0.1", "port": 1080, "username": "u", "password": "p\0w"}, "password"),
])
def test_text_with_a_null_character_is_refused_before_the_engine(function, arguments, bad):
    with pytest.raises(ValueError, match=f"null character in {bad}$"):
        getattr(_velmora, function)(**arguments)
    assert settings_calls(function) == 0


@pytest.mark.parametrize("level, received", [
    (3, 3), (True, 1), (Index(2), 2), (-2**31, -2**31), (2**31 - 1, 2**31 - 1),
])
def test_log_level_conversions(level, received):
    assert _velmora.SetLogLevel(level) is None
    assert settings_int("SetLogLevel") == received


@pytest.mark.parametrize("function, args, kwargs", [
    ("SetLogLevel", (1.0,), {}),
    ("SetLogLevel", (2**31,), {}),
    ("SetLogLevel", ("1",), {}),
    ("SetSocks5Proxy", ("127.0.0.1", 65536, None, None), {}),
    ("SetSocks5Proxy", ("127.0.0.1", -1, None, None), {}),
    ("SetSocks5Proxy", ("127.0.0.1", 1080, None), {}),
    ("SetSocks5Proxy", ("127.0.0.1", 1080, None, None, None), {}),
    ("SetSocks5Proxy", ("127.0.0.1",), {"port": 1080, "user": None, "password": None}),
    ("SetLogPath", (1,), {}),
    ("SetEnvironment", (), {}),
    ("DisableLogFile", ("yes",), {}),
    ("DisableLogCompress", ([],), {}),
    ("EnableConsoleLog", (1,), {}),
    ("DisableConsoleLog", (None,), {}),
])
def test_arguments_that_do_not_convert_raise_type_error_without_an_engine_call(function, args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(_velmora, function)(*args, **kwargs)
    assert settings_calls(function) == 0


@pytest.mark.parametrize("port", [0, 1080, 65535])
def test_proxy_port_range_and_keyword_call(port):
    positional = _velmora.SetSocks5Proxy("192.0.2.7", port, "user", "secret")
    received = [settings_text("SetSocks5Proxy", 0), settings_int("SetSocks5Proxy", 1),
                settings_text("SetSocks5Proxy", 2), settings_text("SetSocks5Proxy", 3)]
    assert received == [b"192.0.2.7", port, b"user", b"secret"]
    keywords = _velmora.SetSocks5Proxy(password="secret", username="user", port=port, ip="192.0.2.7")
    assert settings_calls("SetSocks5Proxy") == 2
    assert keywords is positional is (port != 0)


def test_proxy_without_credentials_passes_null_pointers():
    assert _velmora.SetSocks5Proxy("proxy.example", 1080, None, None) is True
    assert settings_text("SetSocks5Proxy", 2) is None
    assert settings_text("SetSocks5Proxy", 3) is None


@pytest.mark.parametrize("function", ["DisableLogFile", "DisableLogCompress"])
@pytest.mark.parametrize("value, received", [
    (True, 1), (False, 0), (None, 0), (0, 0), (2, 1), (0.5, 1), *NUMPY_BOOLS,
])
def test_bool_conversions(function, value, received):
    getattr(_velmora, function)(value)
    assert settings_int(function) == received
    getattr(_velmora, function)(disabled=False)
    assert settings_int(function) == 0


@pytest.mark.parametrize("env, accepted", [("staging", True), ("moon", False), (None, False)])
def test_environment_result_is_the_engines(env, accepted):
    assert _velmora.SetEnvironment(env) is accepted
    assert settings_text("SetEnvironment") == (env.encode() if env else None)


@pytest.mark.parametrize("function", ["EnableConsoleLog", "DisableConsoleLog"])
def test_console_switches_reach_the_engine(function):
    assert getattr(_velmora, function)() is None
    assert settings_calls(function) == 1


def test_reset_forgets_recorded_calls():
    _velmora.SetEnvironment("test")
    control.settings_reset()
    assert settings_calls("SetEnvironment") == 0
    assert settings_text("SetEnvironment") == control.ABSENT
