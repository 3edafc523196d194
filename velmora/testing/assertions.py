"""Assertions on a run: what the bot received and what it sent, with failure messages that
show what there was instead."""
from . import values


def _show(entries, limit=30):
    lines = [f"  {e['t']:>6} ms {e['name']}({', '.join(values.brief(a) for a in e['args'])})"
             for e in entries[:limit]]
    if len(entries) > limit:
        lines.append(f"  ... and {len(entries) - limit} more")
    return "\n".join(lines) or "  (nothing)"


def _matching(entries, where):
    if where is None:
        return entries
    return [e for e in entries if where(*(values.decode(a) for a in e["args"]))]


def _evidence(name, named, everything, kind):
    """What a failed count shows: every entry of the name asked about first, then the rest."""
    others = [e for e in everything if e["name"] != name]
    return (f"{kind} named {name} ({len(named)}):\n{_show(named)}\n"
            f"every other {kind[:-1]} ({len(others)}):\n{_show(others)}")


def _check_count(found, count, at_least, what, evidence):
    if count is not None and len(found) != count:
        raise AssertionError(f"expected {count} {what}, got {len(found)}:\n{evidence()}")
    if count is None and len(found) < at_least:
        raise AssertionError(f"expected at least {at_least} {what}, got {len(found)}:\n{evidence()}")
    return [tuple(values.decode(a) for a in e["args"]) for e in found]


def assert_received(result, name, *, where=None, count=None, at_least=1):
    """The bot received callback `name` (those for which where(*args) is true) `count` times,
    or at least `at_least` times; returns their decoded arguments."""
    named = result.recording.callbacks(name)
    found = _matching(named, where)
    return _check_count(found, count, at_least, f"{name} callbacks", lambda: _evidence(
        name, named, result.recording.callbacks(media=False), "callbacks"))


def assert_not_received(result, name, *, where=None):
    assert_received(result, name, where=where, count=0)


def assert_sent(result, name, *, where=None, count=None, at_least=1):
    """The bot called session method `name` (where(*args) is true) `count` times, or at
    least `at_least` times; returns the decoded arguments of those calls."""
    named = result.recording.sends(name)
    found = _matching(named, where)
    return _check_count(found, count, at_least, f"{name} calls", lambda: _evidence(
        name, named, result.recording.sends(), "calls"))


def assert_order(result, *names):
    """The bot received callbacks named `names` in this order (others may come between)."""
    received = result.recording.callbacks(media=False)
    position = 0
    for entry in received:
        if position < len(names) and entry["name"] == names[position]:
            position += 1
    if position < len(names):
        raise AssertionError(f"expected the callbacks {', '.join(names)} in this order; "
                             f"{names[position]} did not follow. Received:\n{_show(received, 60)}")
