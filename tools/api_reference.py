"""MkDocs hook: writes the documentation's reference pages at build time, so that they cannot
drift from the code.

- reference.md, from the installed `_velmora` module (its docstring, every class with the
  signatures of its constructor, methods and properties as the module reports them, what an
  override of each delegate method receives, every enumeration with its members, every
  function) and from `velmora.aio` and `velmora.frames` (docstrings and signatures of their
  public names);
- control-api.md, from the loopback engine's control header (its comments and declarations).

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
           "what the module itself reports, read when this site was built. Every method "
           "returns the engine's result unchanged (an `int` code, see `Error`).\n")
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


def package_reference(package_name: str) -> Iterator[str]:
    import importlib
    package = importlib.import_module(package_name)
    yield f"## Package `{package_name}`\n"
    yield inspect.cleandoc(package.__doc__ or "") + "\n"
    for name in package.__all__:
        value = getattr(package, name)
        yield f"### {name}\n"
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


def reference_page() -> str:
    parts = ["# API reference\n",
             "Generated when this site is built, from the installed `_velmora` module and the "
             "`velmora.aio` and `velmora.frames` packages.\n"]
    parts.extend(module_reference())
    parts.extend(package_reference("velmora.aio"))
    parts.extend(package_reference("velmora.frames"))
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
             "functions; tests reach them with ctypes (`tests/loopback.py`).\n"]
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
    finally:
        sys.path.remove(ROOT)
    return files


if __name__ == "__main__":
    sys.path.insert(0, ROOT)
    print(reference_page())
    print(control_page())
