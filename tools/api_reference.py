"""MkDocs hook: writes the documentation's reference pages at build time, so that they cannot
drift from the code.

- reference.md, from the installed `_velmora` module (its docstring, every class with the
  signatures of its constructor, methods and properties as the module reports them, what an
  override of each delegate method receives, every enumeration with its members, every
  function) and from `velmora` (with `velmora.frames`) and `velmora.aio` (docstrings and
  signatures of their public names);
- control-api.md, from the loopback engine's control header (its comments and declarations);
- testing-reference.md, from the installed `velmora.testing` package: its modules' classes and
  functions, the scenario format's fields with their defaults and allowed values, every
  action with its meaning and units, the pytest plugin and the command line.

Run it alone to print the pages: python tools/api_reference.py
"""
import importlib.util
import inspect
import os
import re
import sys
from typing import Any, Iterator, List, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONTROL_HEADER = os.path.join(ROOT, "engine", "include", "velmora_loopback.h")
STUB_GENERATOR = os.path.join(ROOT, "tools", "generate_stubs.py")


# ---- _velmora ------------------------------------------------------------------------------

def python_names(signature: str) -> str:
    """The binding library writes some parameter types with their C++ names; show the names
    Python code uses."""
    signature = re.sub(r"velmora::kwix::(\w+)", r"\1", signature)
    signature = signature.replace("PyKWIXCloudDelegate", "KWIXCloudDelegate")
    return signature.replace("_velmora.", "")


def signatures(routine: Any) -> List[str]:
    """The signatures in a binding-library docstring (several for an overloaded routine)."""
    doc = routine.__doc__ or ""
    lines = [line.strip() for line in doc.splitlines()]
    found = [re.sub(r"^\d+\. ", "", line) for line in lines
             if re.match(r"^(\d+\. )?\w+\(.*\)( -> .*)?$", line) and "*args, **kwargs" not in line]
    return [python_names(line) for line in found]


def is_enumeration(cls: type) -> bool:
    return isinstance(getattr(cls, "__members__", None), dict)


def stub_generator() -> Any:
    """tools/generate_stubs.py, which holds what the delegate's overrides receive."""
    spec = importlib.util.spec_from_file_location("generate_stubs", STUB_GENERATOR)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def delegate_methods(cls: type) -> Iterator[str]:
    """The delegate's methods as an override receives them, then the module's own signatures
    of those that take other arguments when called from Python."""
    stubs = stub_generator()
    yield ("Subclass it and define the callbacks you use. Each receives, when the engine calls "
           "it (`Optional` and `List` from `typing`):\n")
    yield "```python\n" + "\n".join(stubs.override_signature(name) for name in stubs.DELEGATE_OVERRIDES
                                     if name in vars(cls)) + "\n```\n"
    called_otherwise = [signature for name in stubs.DELEGATE_OVERRIDES if name in vars(cls)
                        for signature in signatures(vars(cls)[name])
                        if stubs.parameter_count(signature.replace("self: KWIXCloudDelegate", "self"))
                        != stubs.parameter_count(stubs.override_signature(name))]
    if called_otherwise:
        yield ("Called from Python on `KWIXCloudDelegate` itself (for example "
               "`KWIXCloudDelegate.OnNetworkQuality(bot, ...)`), a method takes the engine's "
               "arguments, which for these differ from what an override receives:\n")
        yield "```python\n" + "\n".join(called_otherwise) + "\n```\n"


def class_section(name: str, cls: type) -> Iterator[str]:
    yield f"### {name}\n"
    if cls.__doc__ and not is_enumeration(cls):
        yield inspect.cleandoc(cls.__doc__) + "\n"
    if is_enumeration(cls):
        yield "Members (each is also an attribute of the module):\n"
        yield "| member | value |\n|---|---|"
        for member_name, member in cls.__members__.items():
            yield f"| `{member_name}` | {int(member)} |"
        yield ""
        return
    constructors = signatures(cls.__dict__["__init__"]) if "__init__" in cls.__dict__ else []
    if constructors:
        shown = [re.sub(r"^__init__\(self: \w+(, )?", f"{name}(", s) for s in constructors]
        yield "```python\n" + "\n".join(shown) + "\n```\n"
    if name == "KWIXCloudDelegate":
        yield from delegate_methods(cls)
        return
    properties, methods = [], []
    for attribute, value in cls.__dict__.items():
        if attribute.startswith("_"):
            continue
        if isinstance(value, property):
            kind = "read-write" if value.fset is not None else "read-only"
            returned = python_names((value.fget.__doc__ or "").strip()).rpartition("-> ")[2]
            properties.append(f"| `{attribute}` | `{returned or '?'}` | {kind} |")
        elif callable(value):
            methods.extend(signatures(value))
    if properties:
        yield "| attribute | type | access |\n|---|---|---|"
        yield from properties
        yield ""
    if methods:
        yield "```python\n" + "\n".join(methods) + "\n```\n"


def module_reference() -> Iterator[str]:
    import _velmora
    yield "## Module `_velmora`\n"
    yield f"> {_velmora.__doc__}\n"
    yield ("The module's classes and methods carry no prose of their own: what follows is "
           "what the module itself reports, read when this site was built. A `KWIXCloud` "
           "method returns the engine's result unchanged: an `int` code (see `Error`), except "
           "`SendCustomCmdMsg`, which returns 1 when the engine took the command and 0 when it "
           "refused it, and `EnableVoiceActivityDetection` and `SetVideoEncodeParam`, which "
           "return nothing. A delegate is best derived from `velmora.QuietDelegate` (below), "
           "which answers every callback.\n")
    members = list(vars(_velmora).items())
    classes = [(n, c) for n, c in members if isinstance(c, type) and not is_enumeration(c)]
    enumerations = [(n, c) for n, c in members if isinstance(c, type) and is_enumeration(c)]
    functions = [(n, f) for n, f in members if callable(f) and not isinstance(f, type)
                 and not n.startswith("_")]
    yield "## Classes\n"
    for name, cls in classes:
        yield from class_section(name, cls)
    yield "## Enumerations\n"
    for name, cls in enumerations:
        yield from class_section(name, cls)
    yield "## Engine settings (module functions)\n"
    yield "```python\n" + "\n".join(s for _, f in functions for s in signatures(f)) + "\n```\n"


# ---- velmora.aio, velmora.frames ------------------------------------------------------------

def python_signature(name: str, routine: Any) -> str:
    try:
        text = f"{name}{inspect.signature(routine)}"
    except (TypeError, ValueError):
        return f"{name}(...)"
    # Annotations are kept as text (postponed evaluation): show them without quotes.
    text = re.sub(r"ForwardRef\('([^']*)'\)", r"\1", text)
    return re.sub(r"'([^']*)'", r"\1", text).replace("v.", "_velmora.")


def public_members(cls: type) -> Iterator[Tuple[str, Any]]:
    seen = set()
    for klass in cls.__mro__:
        if klass.__module__ != cls.__module__:
            continue
        for attribute, value in vars(klass).items():
            if attribute.startswith("_") or attribute in seen:
                continue
            seen.add(attribute)
            yield attribute, value


def names_section(module: Any, names: List[str], level: str = "###") -> Iterator[str]:
    """Signatures and docstrings of `names` in `module`: classes with their public methods and
    properties, functions, and plain values."""
    for name in names:
        value = getattr(module, name)
        yield f"{level} {name}\n"
        if inspect.isclass(value):
            yield "```python\n" + python_signature(name, value) + "\n```\n"
            if value.__doc__:
                yield inspect.cleandoc(value.__doc__) + "\n"
            for attribute, member in public_members(value):
                if isinstance(member, property):
                    yield f"- `{attribute}` (property): {inspect.getdoc(member) or ''}"
                elif inspect.isfunction(member):
                    doc = inspect.getdoc(member) or ""
                    yield f"- `{python_signature(attribute, member)}`" + (
                        ": " + " ".join(doc.split()) if doc else "")
            yield ""
        elif callable(value):
            yield "```python\n" + python_signature(name, value) + "\n```\n"
            yield (inspect.getdoc(value) or "") + "\n"
        else:
            shown = sorted(value) if isinstance(value, frozenset) else value
            yield f"`{name} = {shown!r}`\n"


def package_reference(package_name: str) -> Iterator[str]:
    import importlib
    package = importlib.import_module(package_name)
    yield f"## Package `{package_name}`\n"
    yield inspect.cleandoc(package.__doc__ or "") + "\n"
    yield from names_section(package, list(package.__all__))


def reference_page() -> str:
    parts = ["# API reference\n",
             "Generated when this site is built, from the installed `_velmora` module and the "
             "`velmora` and `velmora.aio` packages.\n"]
    parts.extend(module_reference())
    parts.extend(package_reference("velmora"))
    parts.extend(package_reference("velmora.aio"))
    return "\n".join(parts)


# ---- velmora.testing -----------------------------------------------------------------------

def module_names(module: Any) -> List[str]:
    """The public classes and functions a module defines itself, in the order it defines them."""
    return [name for name, value in vars(module).items()
            if not name.startswith("_") and (inspect.isclass(value) or inspect.isfunction(value))
            and getattr(value, "__module__", None) == module.__name__]


def _allowed(check: Any) -> str:
    return getattr(check, "allowed", "any value") if check is not None else "see below"


def scenario_tables() -> Iterator[str]:
    from velmora.testing import scenario
    yield inspect.cleandoc(scenario.__doc__ or "") + "\n"
    tables = (("Top level", scenario.TOP_FIELDS), ("`[bot]`", scenario.BOT_FIELDS),
              ("`[[participant]]`", scenario.PARTICIPANT_FIELDS),
              ("`[[event]]`, every action", scenario.EVENT_FIELDS))
    for title, fields in tables:
        yield f"#### {title}\n"
        yield "| field | default | allowed |\n|---|---|---|"
        for field, (check, default) in fields.items():
            shown = "required" if default is scenario.REQUIRED else f"`{default!r}`"
            yield f"| `{field}` | {shown} | {_allowed(check)} |"
        yield ""
    yield "#### Actions\n"
    yield ("`python -m velmora.testing actions` prints the same list. `who` names a participant "
           "(for the network actions also the bot); the room-wide action takes none.\n")
    yield "```\n" + "\n".join(scenario.describe_actions()).strip() + "\n```\n"


def testing_page() -> str:
    import velmora.testing as testing
    from velmora.testing import (assertions, clock, control, participants, processes, pytest_plugin,
                                 recording, runner, timeline, values)
    from velmora.testing import __main__ as command_line
    parts = ["# velmora.testing reference\n",
             "Generated when this site is built, from the installed `velmora.testing` package. "
             "The guide is [Testing your bot](testing.md).\n",
             inspect.cleandoc(testing.__doc__ or "") + "\n",
             "## Scenario files\n"]
    parts.extend(scenario_tables())
    sections = (
        ("Running a bot: `velmora.testing.runner`", runner, module_names(runner)),
        ("Assertions: `velmora.testing.assertions`", assertions, module_names(assertions)),
        ("Scripted participants: `velmora.testing.participants`", participants, module_names(participants)),
        ("Clocks: `velmora.testing.clock`", clock, module_names(clock)),
        ("Recordings and replay: `velmora.testing.recording`", recording, module_names(recording)),
        ("Recorded values: `velmora.testing.values`", values, module_names(values)),
        ("The timeline: `velmora.testing.timeline`", timeline, ["lanes", "render", "write_html"]),
        ("Rooms across processes: `velmora.testing.processes`", processes, module_names(processes)),
        ("The control API: `velmora.testing.control`", control, module_names(control)),
    )
    for title, module, names in sections:
        parts.append(f"## {title}\n")
        if module.__doc__:
            parts.append(inspect.cleandoc(module.__doc__) + "\n")
        parts.extend(names_section(module, names))
    parts.append("## The pytest plugin: `velmora.testing.pytest_plugin`\n")
    parts.append("```\n" + inspect.cleandoc(pytest_plugin.__doc__ or "") + "\n```\n")
    parts.extend(names_section(pytest_plugin, ["SimRoom"]))
    parts.append("## The command line: `python -m velmora.testing`\n")
    parts.append("```\n" + inspect.cleandoc(command_line.__doc__ or "") + "\n```\n")
    parts.append("Every command ends bad input (a scenario, recording or WAV file it cannot use, a "
                 "bot it cannot load, an option out of range) with exit status 2 and one line "
                 "`error: <file>:<line>: <what, with the field>` on standard error; `record` ends "
                 "with status 1 when the bot raised, after saving what it recorded.\n")
    return "\n".join(parts)


# ---- control API -----------------------------------------------------------------------------

def comment_text(comment: str) -> str:
    lines = [re.sub(r"^\s*\*? ?", "", line) for line in comment[2:-2].strip().splitlines()]
    return "\n".join(lines).strip()


def control_page() -> str:
    with open(CONTROL_HEADER, encoding="utf-8") as header:
        text = header.read()
    parts = ["# Loopback control API\n",
             "Generated when this site is built from the loopback engine's header "
             "`engine/include/velmora_loopback.h`. Only our `libvelmora.so` has these "
             "functions; Python reaches them through `velmora.testing.control`.\n"]
    pending: List[str] = []
    first = True
    token_pattern = r"^#define VLB_\w+ [^\n]*|/\*.*?\*/|^VLB_API[^;]*;"
    for match in re.finditer(token_pattern, text, re.S | re.M):
        token = match.group(0)
        if token.startswith("#define"):
            name, _, rest = token[len("#define "):].partition(" ")
            if name == "VLB_API":
                continue
            value, _, note = rest.partition("/*")
            if pending:
                parts.append("\n" + "\n".join(pending) + "\n")
                pending = []
            parts.append(f"- `{name}` = `{value.strip()}`"
                         + (f": {note.replace('*/', '').strip()}" if note else ""))
            continue
        if token.startswith("/*"):
            body = comment_text(token)
            if first:  # the file's own opening comment: its conventions
                parts.append(body + "\n")
                first = False
            elif body.startswith("----"):
                title, _, rest = body.partition("\n")
                parts.append("\n## " + title.strip("- ").strip() + "\n")
                if rest.strip():
                    parts.append(rest.strip() + "\n")
            else:
                pending.append(body)
            continue
        declaration = " ".join(token.replace("VLB_API", "").split())
        parts.append("\n```c\n" + declaration + "\n```\n")
        if pending:
            parts.append("\n".join(pending) + "\n")
        pending = []
    return "\n".join(parts)


# ---- MkDocs --------------------------------------------------------------------------------

def on_files(files: Any, config: Any) -> Any:
    from mkdocs.structure.files import File
    sys.path.insert(0, ROOT)  # velmora.aio from this tree, as the docs describe it
    try:
        files.append(File.generated(config, "reference.md", content=reference_page()))
        files.append(File.generated(config, "control-api.md", content=control_page()))
        files.append(File.generated(config, "testing-reference.md", content=testing_page()))
    finally:
        sys.path.remove(ROOT)
    return files


if __name__ == "__main__":
    sys.path.insert(0, ROOT)
    print(reference_page())
    print(control_page())
    print(testing_page())
