"""Hostile input from Python: every public callable of the module, driven by hypothesis with
arbitrary values, may raise only the errors a caller can handle, and never crash or hang.

Each target runs in a child interpreter with a time limit, so that a crash fails its test
with the child's stderr (faulthandler prints the Python stack of the crash) instead of ending
the suite. The child is this file run as a script: `python test_fuzz.py <target> <examples>`.
Example counts stay modest for CI; VELMORA_FUZZ_EXAMPLES raises them for a deeper run.
Examples are derandomized, so a failure reproduces with the same command.
"""
import faulthandler
import inspect
import os
import re
import sys
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _velmora as v
from velmora.testing.participants import enter_params

pytestmark = pytest.mark.slow

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, UnicodeError, AttributeError)

MODULE_FUNCTIONS = sorted(name for name, value in vars(v).items()
                          if inspect.isbuiltin(value) and not name.startswith("_"))
CLASSES = sorted(name for name, value in vars(v).items()
                 if inspect.isclass(value) and not name.startswith("_"))
ENUM_CLASSES = sorted(name for name in CLASSES if hasattr(getattr(v, name), "__members__"))
VALUE_CLASSES = sorted(set(CLASSES) - set(ENUM_CLASSES) - {"KWIXCloud", "KWIXCloudDelegate"})
ENUM_MEMBERS = [member for name in ENUM_CLASSES
                for member in getattr(v, name).__members__.values()]
SESSION_METHODS = sorted(name for name in vars(v.KWIXCloud) if not name.startswith("_"))
DELEGATE_METHODS = sorted(name for name in vars(v.KWIXCloudDelegate) if name.startswith("On"))


# ---- Values -------------------------------------------------------------------------------

class Hostile:
    """Every conversion a binding may try raises, as a careless user's class might."""

    def _refuse(self, *args):
        raise ValueError("refused by a hostile object")

    __index__ = __int__ = __float__ = __bool__ = __str__ = __bytes__ = __len__ = _refuse
    __iter__ = __eq__ = __lt__ = __getitem__ = _refuse
    __hash__ = None


class HugeIndex:
    def __index__(self):
        return 2 ** 200


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class QuietDelegate(v.KWIXCloudDelegate):
    """Takes every callback and does nothing with it."""


for _name in DELEGATE_METHODS:
    setattr(QuietDelegate, _name, lambda self, *args: None)


def instance(class_name):
    cls = getattr(v, class_name)
    if class_name == "KwixString":
        return cls("text")
    return cls()


def frame_with_data(class_name, data):
    frame = getattr(v, class_name)()
    frame.SetData(data)
    return frame


LIMITS = [0, -1, 1, 2 ** 31 - 1, 2 ** 31, -2 ** 31 - 1, 2 ** 32 - 1, 2 ** 32, 2 ** 63 - 1, 2 ** 63,
          -2 ** 63 - 1, 2 ** 64, 10 ** 30]
TEXTS = st.one_of(
    st.text(max_size=40),
    st.sampled_from(["", "\x00", "a\x00b", "\ud800", "x\udfffy", "é" * 300, "/", ".."]),
)
BYTES = st.one_of(st.binary(max_size=2048), st.sampled_from([b"", b"\x00", b"\xff\xfe",
                                                              b"a\x00b", b"\xc3\x28"]))
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.sampled_from(LIMITS), st.floats(),
    TEXTS, BYTES, BYTES.map(bytearray), BYTES.map(memoryview),
    st.sampled_from(ENUM_MEMBERS),
    st.builds(Hostile), st.builds(HugeIndex), st.integers().map(IntSubclass),
    TEXTS.map(StrSubclass), st.builds(object), st.just(v), st.just(int),
)
INSTANCES = st.one_of(
    st.sampled_from(VALUE_CLASSES).map(instance),
    st.tuples(st.sampled_from(["AudioFrame", "VideoFrame", "PixelFrame"]), BYTES)
      .map(lambda pair: frame_with_data(*pair)),
    st.builds(QuietDelegate), st.builds(v.KWIXCloudDelegate),
    st.builds(enter_params, st.sampled_from(["alice", "bob"]), st.just("fuzz")),
)
VALUES = st.one_of(SCALARS, INSTANCES, st.lists(SCALARS, max_size=3),
                   st.dictionaries(TEXTS, SCALARS, max_size=2))
ARGUMENTS = st.lists(VALUES, max_size=6)
KEYWORDS = st.dictionaries(
    st.sampled_from(["path", "level", "ip", "port", "username", "password", "env", "disabled",
                     "user_id", "type", "frame", "params", "message", "cmd_id", "reliable",
                     "ordered", "clear_send_queue", "message_type", "value", "arg0", "x"]),
    VALUES, max_size=2)


def typed_value(annotation):
    """A value of the type a signature names, at its edges: the calls that get past argument
    conversion and reach the module's and the engine's own code."""
    choices = []
    if "None" in annotation:
        choices.append(st.none())
    for name in re.findall(r"[A-Za-z_][\w]*$|[A-Za-z_]\w*(?= \|)|(?<=::)\w+|(?<=\.)\w+",
                           annotation):
        if name in ("SupportsInt", "SupportsIndex", "int"):
            choices.append(st.one_of(st.integers(), st.sampled_from(LIMITS)))
        elif name == "bytes":
            choices.append(st.one_of(BYTES, st.binary(min_size=1020, max_size=1030)))
        elif name == "str":
            choices.append(TEXTS)
        elif name == "bool":
            choices.append(st.booleans())
        elif name in ENUM_CLASSES:
            cls = getattr(v, name)
            choices.append(st.one_of(st.sampled_from(list(cls.__members__.values())),
                                     st.sampled_from([99, 1000]).map(cls)))
        elif name in ("AudioFrame", "VideoFrame", "PixelFrame"):
            choices.append(BYTES.map(lambda data, n=name: frame_with_data(n, data)))
        elif name in ("KWIXCloudDelegate", "PyKWIXCloudDelegate"):
            choices.append(st.builds(QuietDelegate))
        elif name in VALUE_CLASSES:
            choices.append(st.just(name).map(instance))
    return st.one_of(choices) if choices else VALUES


def typed_arguments(function):
    """Arguments for `function` as its signature line names them; now and then one of them
    replaced by anything at all."""
    line = (getattr(function, "__doc__", None) or "").splitlines()[:1]
    match = re.match(r"\w+\((.*)\) ->", line[0]) if line else None
    if not match:
        return ARGUMENTS
    parameters = [p.split(": ", 1)[1] for p in match.group(1).split(", ")
                  if ": " in p and not p.startswith("self")]
    typed = st.tuples(*(typed_value(p) for p in parameters)).map(list)
    return st.one_of(typed, typed, st.tuples(typed, st.integers(0, max(len(parameters), 1) - 1),
                                             VALUES).map(_replace_one))


def _replace_one(drawn):
    args, index, value = drawn
    if args:
        args[index % len(args)] = value
    return args


def safe_repr(value):
    # The module's own __repr__ refuses an object whose __init__ never ran.
    try:
        return repr(value)
    except ALLOWED:
        return f"<unprintable {type(value).__name__}>"


def call(function, args, kwargs):
    # The last of these lines names the call when the child crashes.
    owner = getattr(function, "__self__", None)
    name = getattr(function, "__name__", "?")
    if type(owner).__module__ == v.__name__:
        name = f"{type(owner).__name__}.{name}"
    shown_args = "[" + ", ".join(safe_repr(a) for a in args) + "]"
    sys.stderr.write(f"call {name:.60} "
                     f"{shown_args:.300} {safe_repr(kwargs):.200}\n")
    sys.stderr.flush()
    try:
        function(*args, **kwargs)
    except ALLOWED:
        pass


# ---- Targets (run in the child) ------------------------------------------------------------

def draw_arguments(data, function):
    """(args, kwargs): as the signature names them, or anything at all."""
    if data.draw(st.booleans(), label="typed"):
        return data.draw(typed_arguments(function), label="args"), {}
    return data.draw(ARGUMENTS, label="args"), data.draw(KEYWORDS, label="kwargs")


def confine_paths(args, kwargs, folder):
    """Paths for SetLogPath stay inside the child's scratch folder: the suite runs as root."""
    def confine(value):
        if isinstance(value, (str, bytes)):
            separator, parent = ("/", "..") if isinstance(value, str) else (b"/", b"..")
            parts = [p for p in value.split(separator) if p and p != parent]
            base = folder if isinstance(value, str) else os.fsencode(folder)
            return os.path.join(base, *parts)
        return value
    return [confine(a) for a in args], {k: confine(a) for k, a in kwargs.items()}


def module_functions(data, scratch):
    name = data.draw(st.sampled_from(MODULE_FUNCTIONS), label="function")
    args, kwargs = draw_arguments(data, getattr(v, name))
    if name == "SetLogPath":
        args, kwargs = confine_paths(args, kwargs, scratch)
    call(getattr(v, name), args, kwargs)


def constructors(data, scratch):
    cls = getattr(v, data.draw(st.sampled_from(CLASSES), label="class"))
    call(cls, data.draw(ARGUMENTS, label="args"), data.draw(KEYWORDS, label="kwargs"))


def attributes(data, scratch):
    target = data.draw(st.sampled_from(VALUE_CLASSES).map(instance), label="object")
    names = sorted(n for n in dir(type(target)) if not n.startswith("__"))
    for _ in range(data.draw(st.integers(1, 4), label="steps")):
        name = data.draw(st.sampled_from(names + ["__init__", "__setstate__", "__eq__",
                                                  "no_such_attribute"]), label="name")
        action = data.draw(st.sampled_from(["get", "set", "delete", "call"]), label="action")
        if action == "get":
            call(getattr, [target, name], {})
        elif action == "set":
            call(setattr, [target, name, data.draw(VALUES, label="value")], {})
        elif action == "delete":
            call(delattr, [target, name], {})
        else:
            member = getattr(target, name, None)
            if callable(member):
                call(member, data.draw(ARGUMENTS, label="args"), {})
        # A nested record read after a bad write must still be whole.
        for other in names:
            call(getattr, [target, other], {})
    call(repr, [target], {})
    call(str, [target], {})


def session_methods(data, scratch):
    session = v.KWIXCloud(QuietDelegate())
    if data.draw(st.booleans(), label="in a room"):
        session.EnterRoom(enter_params("fuzzer", "fuzz"))
        session.CreateLocalAudioChannel(v.AudioEncodeParams())
        session.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH)
    for _ in range(data.draw(st.integers(1, 5), label="calls")):
        method = getattr(session, data.draw(st.sampled_from(SESSION_METHODS), label="method"))
        call(method, *draw_arguments(data, method))
    del session


def delegate_methods(data, scratch):
    delegate = data.draw(st.sampled_from([v.KWIXCloudDelegate, QuietDelegate]))()
    method = getattr(delegate, data.draw(st.sampled_from(DELEGATE_METHODS), label="method"))
    call(method, *draw_arguments(data, method))


def uninitialised_objects(data, scratch):
    """Objects made with Cls.__new__(Cls), never initialised, then used."""
    name = data.draw(st.sampled_from(["KWIXCloud", "KWIXCloudDelegate"] + VALUE_CLASSES),
                     label="class")
    cls = getattr(v, name)
    target = cls.__new__(cls)
    members = sorted(n for n in dir(cls) if not n.startswith("__")) + ["__repr__"]
    member = data.draw(st.sampled_from(members), label="member")
    if data.draw(st.booleans(), label="write"):
        call(setattr, [target, member, data.draw(VALUES, label="value")], {})
    elif member == "__repr__":
        call(target.__repr__, data.draw(ARGUMENTS, label="args"), {})
    else:
        # Reading an attribute is a use too: a field read refuses the object (TypeError).
        call(getattr, [target, member], {})
        method = getattr(cls, member, None)
        if callable(method):
            call(method, [target] + list(data.draw(ARGUMENTS, label="args")), {})
    if name == "KWIXCloudDelegate":
        call(v.KWIXCloud, [target], {})


TARGETS = {f.__name__: f for f in (module_functions, constructors, attributes, session_methods,
                                   delegate_methods, uninitialised_objects)}


def run_target(name, examples):
    # Inside the working folder, which the test makes a fresh temporary one.
    scratch = tempfile.mkdtemp(prefix="velmora-fuzz-", dir=os.getcwd())
    ran = []

    @settings(max_examples=examples, derandomize=True, database=None, deadline=None,
              suppress_health_check=list(HealthCheck), print_blob=True)
    @given(st.data())
    def fuzz(data):
        TARGETS[name](data, scratch)
        ran.append(1)

    fuzz()
    print(f"{name}: {len(ran)} examples")


# ---- Tests (run by pytest) -----------------------------------------------------------------

EXAMPLES = int(os.environ.get("VELMORA_FUZZ_EXAMPLES", "150"))
TIME_LIMIT = int(os.environ.get("VELMORA_FUZZ_TIME_LIMIT", "600"))
@pytest.mark.parametrize("target", TARGETS)
def test_arbitrary_values_raise_only_catchable_errors(target, tmp_path, run_python):
    result = run_python(f"import runpy, sys\nsys.argv[1:] = [{target!r}, '{EXAMPLES}']\n"
                        f"runpy.run_path({__file__!r}, run_name='__main__')", timeout=TIME_LIMIT, cwd=tmp_path)
    assert result.returncode == 0, \
        f"{target} ended with status {result.returncode}; stderr:\n{result.stderr[-20000:]}"
    assert f"{target}: {EXAMPLES} examples" in result.stdout, result.stdout + result.stderr


if __name__ == "__main__":
    faulthandler.enable()
    run_target(sys.argv[1], int(sys.argv[2]))
