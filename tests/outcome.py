"""What a call did, in a form two calls can be compared by: the result down to
its bits, or the exception with its text, and the warnings raised on the way."""

import math
import warnings

import numpy as np


def _fingerprint(value):
    if isinstance(value, tuple):
        return ("tuple", tuple(_fingerprint(item) for item in value))
    if isinstance(value, list):
        return ("list", tuple(_fingerprint(item) for item in value))
    if isinstance(value, np.ndarray):
        data = value.tobytes() if value.dtype.kind != "O" else repr(value.tolist())
        return (type(value), value.dtype.str, value.shape, data)
    if isinstance(value, float):
        return (type(value), value.hex() if not math.isnan(value) else "nan")
    if isinstance(value, np.generic):
        return (type(value), np.asarray(value).tobytes())
    return (type(value), repr(value))


def outcome(function, *args, **kwargs):
    """Calls `function` and records its result, exception and warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ("returned", _fingerprint(function(*args, **kwargs)))
        except Exception as error:  # noqa: BLE001 - the exception is the outcome
            result = ("raised", type(error), str(error))
    return result, [(w.category, str(w.message)) for w in caught]
