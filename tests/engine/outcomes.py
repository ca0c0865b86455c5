"""Running two implementations of one call and comparing what each did, failures included."""


def outcome(fn, *args, **kwargs):
    """``(value, None)`` when ``fn(*args, **kwargs)`` returns, ``(None, exception)`` when it raises."""
    try:
        return fn(*args, **kwargs), None
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return None, exc


def assert_same_outcome(reference, candidate, compare, names=("reference", "candidate")):
    """Two outcomes (see `outcome`) agree: both raised the same exception type with the same
    message, or both returned and ``compare(candidate_value, reference_value)`` passes."""
    want, want_exc = reference
    got, got_exc = candidate
    if want_exc is not None:
        assert got_exc is not None, f"{names[1]} succeeded, {names[0]} raised {want_exc!r}"
        assert type(got_exc) is type(want_exc)
        assert str(got_exc) == str(want_exc)
        return
    if got_exc is not None:
        raise AssertionError(f"{names[1]} raised {got_exc!r}, {names[0]} succeeded") from got_exc
    compare(got, want)
