import inspect

import pytest

from zelvor.core import tamsil


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", b""),
        ("abc", b"\x61\x62\x63"),
        ("\u00e9", b"\xe9"),  # one byte, not the two-byte UTF-8 form
        ("\u20ac", b"\xac"),  # 0x20AC keeps its low eight bits
        ("\u0100", b"\x00"),
        ("\U0001f600", b"\x00"),  # 0x1F600 & 0xFF == 0x00
        ("a\x00b", b"a\x00b"),
    ],
)
def test_low_eight_bits_of_each_code_point(text, expected):
    result = tamsil.str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == bytearray(expected)
    assert len(result) == len(text)


def test_each_call_returns_a_new_array():
    first = tamsil.str_to_bytearray("xy")
    second = tamsil.str_to_bytearray("xy")
    first[0] = 0
    assert second == bytearray(b"xy")


def test_keyword_argument_and_signature():
    assert tamsil.str_to_bytearray(text="ok") == bytearray(b"ok")
    assert list(inspect.signature(tamsil.str_to_bytearray).parameters) == ["text"]
    assert tamsil.__test__ == {}


class Text(str):
    pass


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "str_to_bytearray() takes exactly 1 positional argument (0 given)"),
        (("a", "b"), {}, "str_to_bytearray() takes exactly 1 positional argument (2 given)"),
        (("a",), {"text": "b"}, "str_to_bytearray() got multiple values for keyword argument 'text'"),
        (("a",), {"txt": "a"}, "str_to_bytearray() got an unexpected keyword argument 'txt'"),
        # a missing required argument is reported before an unknown keyword
        ((), {"txt": "a"}, "str_to_bytearray() takes exactly 1 positional argument (0 given)"),
        ((b"abc",), {}, "Argument 'text' has incorrect type (expected str, got bytes)"),
        ((Text("abc"),), {}, "Argument 'text' has incorrect type (expected str, got Text)"),
        ((3,), {}, "Argument 'text' has incorrect type (expected str, got int)"),
        ((None,), {}, "'NoneType' is not iterable"),
    ],
)
def test_refused_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        tamsil.str_to_bytearray(*args, **kwargs)
    assert str(info.value) == message


def test_reimport_returns_the_same_module():
    import importlib
    import sys

    module = sys.modules.pop("zelvor.core.tamsil")
    try:
        again = importlib.import_module("zelvor.core.tamsil")
        assert again is module
    finally:
        sys.modules["zelvor.core.tamsil"] = module
