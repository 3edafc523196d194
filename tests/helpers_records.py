"""Helpers for the record and frame tests: integer bounds, values as the engine's
descriptions give them, filling records from tables of values, and the journal's one entry."""
import functools

import pytest

import _velmora as v
from velmora.testing import control

U32 = (0, 2**32 - 1)
I32 = (-2**31, 2**31 - 1)


def read(obj, path):
    return functools.reduce(getattr, path.split("."), obj)


def engine_form(value):
    """A value read from Python as the engine's descriptions give it."""
    if isinstance(value, v.KwixString):
        value = value.GetValue()
    if value is None or isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode()
    return int(value)  # int, bool, enumeration member


def fill(obj, values, variant):
    """Sets every path of `values` ({path: (value of variant 0, value of variant 1)}); a text
    goes in as a KwixString, data/extra through SetData/SetExtraData."""
    for path, choices in values.items():
        value = choices[variant]
        parent_path, _, name = path.rpartition(".")
        parent = read(obj, parent_path) if parent_path else obj
        if name == "data":
            parent.SetData(value)
        elif name == "extra":
            parent.SetExtraData(value)
        elif value is None or isinstance(value, str):
            setattr(parent, name, v.KwixString(value))
        else:
            setattr(parent, name, value)


def expected(values, variant):
    return {path: engine_form(choices[variant]) for path, choices in values.items()}


def check_int_field(obj, attribute, bounds):
    lo, hi = bounds
    for value in (lo, hi, 12345):
        setattr(obj, attribute, value)
        assert getattr(obj, attribute) == value and type(getattr(obj, attribute)) is int
    for bad in (lo - 1, hi + 1, 2**64, 1.5, "7", None, b"7"):
        with pytest.raises(TypeError):
            setattr(obj, attribute, bad)
        assert getattr(obj, attribute) == 12345


def single_call(engine):
    entries = control.journal_calls(engine)
    assert len(entries) == 1, entries
    return entries[0]


def field_id(case):
    return f"{case[0].__name__}.{case[1]}"


def list_ids(cases):
    return [field_id(c) for c in cases]
