"""Reading a user's record as the field writes it, with one clear message per
fault.

A `Record` holds a vibration channel, its sample times in seconds and, when
there is one, a tachometer channel and the shaft speed the data acquisition
logged.  `load_record` reads it from

- a CSV file whose first line names the columns, or an NPZ archive of named
  arrays: the columns are found by name, case-insensitively, under the usual
  names of `COLUMN_ALIASES` unless the caller names them;
- a file of named channels, as a data acquisition writes them: MATLAB (v5/v7
  through scipy, v7.3 through h5py), WAV, NI TDMS (npTDMS) and universal file
  format 58 (pyuff).  The vibration is the channel named, or the only long
  vector besides the time axis and the tachometer, and a scalar whose name
  holds "rpm" gives the nominal shaft speed.  A WAV file's channels are named
  channel_1, channel_2, ... and its integer samples read as fractions of full
  scale.  TDMS, UFF and WAV files carry their sample rate.

TDMS, UFF and MATLAB v7.3 need the optional extras `tdms`, `uff` and `mat73`.
"""

import csv
import importlib
import warnings
import zipfile
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import scipy.io
import scipy.io.wavfile

from .problems import InputError

__all__ = ["COLUMN_ALIASES", "MIN_SAMPLES", "READERS", "Record", "load_record", "save_record"]

COLUMN_ALIASES = {
    "time": ("time", "t", "time_s", "seconds"),
    "vibration": ("vibration", "vib", "accel", "acceleration", "y"),
    "tach": ("tach", "tachometer", "keyphasor", "tacho"),
}
# The shortest record: the smallest block a data acquisition system transforms
# and fewer samples than any spectrum, rail or spike statistic needs.
MIN_SAMPLES = 1024
MAX_OFF_GRID = 0.5  # share of a step by which the time axis may stray from an even grid
# Share by which a sample rate given beside a time axis may differ from it.
SPACING_TOLERANCE = 0.01
# MATLAB classes of numbers; "char", "cell", "struct" and the like hold none.
_MATLAB_NUMBERS = {"double", "single", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                   "logical"}

Arrays = dict[str, np.ndarray]


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class Record:
    """One accelerometer record: sample times in s, vibration, the tachometer
    of the high-speed shaft when there is one, and the shaft speed the data
    acquisition logged (r/min) when it did."""

    t: np.ndarray
    vibration: np.ndarray
    tach: np.ndarray | None
    fs: float
    name: str = "record"
    rpm: float | None = None


@dataclass(frozen=True, eq=False)
class _Contents:
    """What a file holds: its arrays by name, the sample rate of each channel
    that carries one, and whether its channels are named by the data
    acquisition (the vibration then found as in a MATLAB file)."""

    arrays: Arrays
    rates_hz: dict[str, float]
    channels: bool


def _optional(module: str, extra: str, what: str, path: Path) -> ModuleType:
    """The library that reads `what` files, installed with the extra `extra`."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise InputError(f"{path}: reading {what} files needs {module}; install it with:"
                         f" pip install 'kemo_pkg[{extra}]'") from None


def _pick(names: list[str], role: str, requested: str | None) -> str | None:
    """The name among `names` that holds `role`, or None."""
    wanted = (requested,) if requested else COLUMN_ALIASES[role]
    by_lower = {name.strip().lower(): name for name in names}
    for alias in wanted:
        if alias.lower() in by_lower:
            return by_lower[alias.lower()]
    if requested:
        raise InputError(f"no column named '{requested}' (found: {', '.join(names)})")
    return None


def _read_csv(path: Path) -> _Contents:
    try:
        text = path.read_text(encoding="utf-8-sig")
    except UnicodeDecodeError:
        raise InputError(f"{path} is not a text CSV file") from None
    lines = [(number, line) for number, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise InputError(f"{path} is empty")
    delimiter = next((d for d in ",;\t" if d in lines[0][1]), ",")
    rows = csv.reader((line for _, line in lines), delimiter=delimiter)
    header = [name.strip() for name in next(rows)]
    if any(_is_number(name) for name in header):
        raise InputError(f"{path}: the first line must name the columns, found '{lines[0][1].strip()}'")
    if len(lines) == 1:
        raise InputError(f"{path} has a header but no data rows")
    values = np.empty((len(lines) - 1, len(header)))
    for i, ((number, _), row) in enumerate(zip(lines[1:], rows)):
        if len(row) != len(header):
            raise InputError(
                f"{path}, line {number}: {len(row)} values where the header names {len(header)} columns"
                " (columns of unequal length)"
            )
        for j, cell in enumerate(row):
            try:
                values[i, j] = float(cell)
            except ValueError:
                raise InputError(
                    f"{path}, line {number}, column '{header[j]}': '{cell.strip()}' is not a number"
                ) from None
    return _Contents({name: values[:, j] for j, name in enumerate(header)}, {}, channels=False)


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _read_npz(path: Path) -> _Contents:
    if not zipfile.is_zipfile(path):
        raise InputError(f"{path} is not a readable .npz archive")
    try:
        with np.load(path, allow_pickle=False) as archive:
            arrays = {name: archive[name] for name in archive.files}
    except (zipfile.BadZipFile, OSError, EOFError):
        raise InputError(f"{path} is not a readable .npz archive") from None
    except ValueError as error:  # object arrays need pickle, which a record never does
        raise InputError(f"{path}: {error}") from None
    if not arrays:
        raise InputError(f"{path} is empty (no arrays)")
    for name, array in arrays.items():
        if array.dtype.kind not in "iufb":
            raise InputError(f"{path}: array '{name}' holds {array.dtype} values, not numbers")
    # An archive may carry its sample rate as a scalar named 'fs'.
    fs = arrays.pop("fs", None)
    if fs is None:
        return _Contents(arrays, {}, channels=False)
    if fs.ndim != 0 or not fs > 0:
        raise InputError(f"{path}: 'fs' must be one positive number, the sample rate in Hz")
    return _Contents(arrays, dict.fromkeys(arrays, float(fs)), channels=False)


def _vectors(named: dict[str, np.ndarray]) -> Arrays:
    """The numeric arrays among `named`, vectors flattened."""
    return {name: value.ravel() if value.ndim == 2 and 1 in value.shape else value
            for name, value in named.items() if value.dtype.kind in "iufb"}


def _read_mat(path: Path) -> _Contents:
    """The numeric variables of a MATLAB file."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # e.g. duplicate variable names: the reader keeps the last
            contents = scipy.io.loadmat(path)
    except NotImplementedError:  # v7.3, which is HDF5
        return _read_mat73(path)
    except Exception as error:  # the reader's own messages name what is wrong with the file
        raise InputError(f"{path} is not a readable MATLAB file ({error})") from None
    arrays = _vectors({name: value for name, value in contents.items()
                       if not name.startswith("__") and isinstance(value, np.ndarray)})
    return _Contents(arrays, {}, channels=True)


def _read_mat73(path: Path) -> _Contents:
    """The numeric variables of a MATLAB v7.3 file.  MATLAB stores its arrays
    in column-major order: HDF5 sees each transposed."""
    h5py = _optional("h5py", "mat73", "MATLAB v7.3", path)
    try:
        with h5py.File(path, "r") as file:
            named = {name: np.asarray(item).T for name, item in file.items()
                     if isinstance(item, h5py.Dataset) and _matlab_class(item) in _MATLAB_NUMBERS
                     and "MATLAB_empty" not in item.attrs}
    except Exception as error:
        raise InputError(f"{path} is not a readable MATLAB v7.3 file ({error})") from None
    return _Contents(_vectors(named), {}, channels=True)


def _matlab_class(item: Any) -> str:
    value = item.attrs.get("MATLAB_class", b"")
    return value.decode() if isinstance(value, bytes) else str(value)


def _read_wav(path: Path) -> _Contents:
    """The channels of a WAV file and its sample rate; integer samples as
    fractions of full scale."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # unknown chunks are skipped
            rate, data = scipy.io.wavfile.read(path)
    except (ValueError, OSError, EOFError) as error:
        raise InputError(f"{path} is not a readable WAV file ({error})") from None
    if data.dtype.kind in "iu":
        info = np.iinfo(data.dtype)
        # 8-bit WAV is unsigned around 128; wider formats are signed.
        middle = (int(info.max) + 1) // 2 if data.dtype.kind == "u" else 0
        data = (data.astype(float) - middle) / (int(info.max) + 1 - middle)
    data = data.reshape(len(data), -1)
    arrays = {f"channel_{k + 1}": data[:, k] for k in range(data.shape[1])}
    return _Contents(arrays, dict.fromkeys(arrays, float(rate)), channels=True)


def _unique(names: list[str]) -> list[str]:
    """Channel names as the file gives them; an empty or repeated one by its place."""
    return [name if name and names.count(name) == 1 else f"channel_{k + 1}" for k, name in enumerate(names)]


def _read_tdms(path: Path) -> _Contents:
    """The channels of an NI TDMS file, by channel name (group/channel where
    two groups share one), each with the rate its waveform increment gives."""
    nptdms = _optional("nptdms", "tdms", "TDMS", path)
    try:
        channels = [channel for group in nptdms.TdmsFile.read(path).groups() for channel in group.channels()]
        data = [np.asarray(channel[:]) for channel in channels]
        steps_s = [float(channel.properties.get("wf_increment", 0.0)) for channel in channels]
    except Exception as error:
        raise InputError(f"{path} is not a readable TDMS file ({error})") from None
    short = [channel.name for channel in channels]
    names = _unique([c.name if short.count(c.name) == 1 else f"{c.group_name}/{c.name}" for c in channels])
    rates = {name: 1.0 / step for name, step in zip(names, steps_s) if step > 0}
    return _Contents(_vectors(dict(zip(names, data))), rates, channels=True)


def _read_uff(path: Path) -> _Contents:
    """The time responses (data sets 58, function type 1) of a universal file,
    named by their first identification line, each at the rate of its
    abscissa increment."""
    pyuff = _optional("pyuff", "uff", "UFF", path)
    try:
        uff = pyuff.UFF(str(path))
        found = uff.read_sets() if 58 in uff.get_set_types() else []
    except Exception as error:
        raise InputError(f"{path} is not a readable universal file ({error})") from None
    sets = [found] if isinstance(found, dict) else found
    responses = [s for s in sets if s.get("type") == 58 and s.get("func_type") == 1]
    if not responses:
        raise InputError(f"{path}: no time response (data set 58 of function type 1) in the file")
    uneven = [s["id1"] for s in responses if s.get("abscissa_spacing") != 1]
    if uneven:
        raise InputError(f"{path}: '{uneven[0].strip()}' is sampled unevenly; a record needs even steps")
    names = _unique([str(s.get("id1", "")).strip() for s in responses])
    arrays = {name: np.asarray(s["data"]) for name, s in zip(names, responses)}
    rates = {name: 1.0 / float(s["abscissa_inc"]) for name, s in zip(names, responses) if s["abscissa_inc"] > 0}
    return _Contents(_vectors(arrays), rates, channels=True)


# The readers by file suffix, and what each reads: the formats `analyze` takes.
READERS: dict[str, tuple[Callable[[Path], _Contents], str]] = {
    ".csv": (_read_csv, "CSV with a header naming the columns"),
    ".npz": (_read_npz, "NPZ of named arrays"),
    ".mat": (_read_mat, "MATLAB file (v7.3 with the extra mat73)"),
    ".wav": (_read_wav, "WAV file"),
    ".tdms": (_read_tdms, "NI TDMS file (extra tdms)"),
    ".uff": (_read_uff, "universal file, data sets 58 (extra uff)"),
    ".unv": (_read_uff, "universal file, data sets 58 (extra uff)"),
}


def _pick_channel(path: Path, arrays: Arrays, requested: str | None, taken: set[str]) -> str:
    """The vibration channel of a file of named channels: the one named, else
    the only vector long enough to be a record besides those `taken` (the
    time axis and the tachometer)."""
    if requested:
        name = _pick(list(arrays), "vibration", requested)
        assert name is not None  # a name asked for is found or refused
        return name
    long = [name for name, array in arrays.items()
            if name not in taken and array.ndim == 1 and len(array) >= MIN_SAMPLES]
    if len(long) == 1:
        return long[0]
    if not long:
        raise InputError(f"{path}: no vector of at least {MIN_SAMPLES} samples (found: {', '.join(arrays)})")
    raise InputError(f"{path}: several vectors could be the vibration ({', '.join(long)});"
                     " name one with --vibration-column")


def _nominal_rpm(path: Path, arrays: Arrays) -> float | None:
    """A scalar whose name holds 'rpm': the speed the data acquisition logged."""
    for name, array in arrays.items():
        if "rpm" in name.lower() and array.size == 1:
            value = float(array.ravel()[0])
            if not np.isfinite(value) or value <= 0:
                raise InputError(f"{path}: '{name}' = {value:g} is no shaft speed")
            return value
    return None


def _time_axis(path: Path, name: str, stamps: np.ndarray, fs: float | None) -> tuple[np.ndarray, float]:
    """The even time axis of `stamps` and its sample rate; `fs` (Hz), when
    given, must agree with it."""
    n = stamps.size
    steps = np.diff(stamps)
    if np.any(steps <= 0):
        first_back = np.argmax(steps <= 0) + 1
        raise InputError(f"{path}: time axis '{name}' does not increase at sample {first_back}")
    step = (stamps[-1] - stamps[0]) / (n - 1)
    t = stamps[0] + np.arange(n) * step
    # Time stamps written with few digits are rounded, not uneven; a step
    # that differs from the mean step by half, or a stamp half a step off
    # the even grid, is a gap, a clock jump or a drifting clock.
    uneven = np.flatnonzero(np.abs(steps / step - 1.0) > MAX_OFF_GRID) + 1
    if uneven.size == 0:
        uneven = np.flatnonzero(np.abs(stamps - t) / step > MAX_OFF_GRID)
    if uneven.size:
        raise InputError(f"{path}: time axis '{name}' is not evenly spaced (at sample {uneven[0]})")
    if fs is not None and abs(fs * step - 1.0) > SPACING_TOLERANCE:
        raise InputError(
            f"{path}: the time axis samples at {1 / float(step):.6g} Hz but the sample rate given is {fs:g} Hz"
        )
    return t, 1.0 / float(step)  # a float: a step too fine for any rate gives infinity, judged by the caller


def load_record(path: str | Path, fs: float | None = None, time_column: str | None = None,
                vibration_column: str | None = None, tach_column: str | None = None) -> Record:
    """Reads and checks a record.

    Parameters
    ----------
    path : str or Path
        A file of a type in `READERS`.
    fs : float, optional
        Sample rate, Hz: needed when there is no time axis and the file
        carries no sample rate; with either, it must agree with it.
    time_column, vibration_column, tach_column : str, optional
        The names of the columns or channels, where they are not among
        `COLUMN_ALIASES` (or, for the vibration of a file of channels, the
        only long vector).

    Returns
    -------
    Record

    Raises
    ------
    InputError
        For a file that cannot be read or holds no usable record.
    """
    path = Path(path)
    if not path.exists():
        raise InputError(f"{path}: no such file")
    if path.is_dir():
        raise InputError(f"{path} is a folder, not a record file")
    suffix = path.suffix.lower()
    if suffix not in READERS:
        raise InputError(f"{path}: unknown file type '{path.suffix}' (use {', '.join(READERS)})")
    contents = READERS[suffix][0](path)
    columns = contents.arrays
    if not columns:
        raise InputError(f"{path} holds no numeric variables")
    names = list(columns)
    time_name = _pick(names, "time", time_column)
    tach_name = _pick(names, "tach", tach_column)
    vib_name: str | None
    if contents.channels:
        vib_name = _pick_channel(path, columns, vibration_column, {n for n in (time_name, tach_name) if n})
    else:
        vib_name = _pick(names, "vibration", vibration_column)
    if vib_name is None:
        raise InputError(f"{path}: no vibration column (name one 'vibration'; found: {', '.join(names)})")
    chosen = {name: columns[name] for name in (time_name, vib_name, tach_name) if name is not None}

    for name, array in chosen.items():
        if array.ndim != 1:
            raise InputError(f"{path}: '{name}' has shape {array.shape}, a record needs one-dimensional columns")
    lengths = {name: len(array) for name, array in chosen.items()}
    if len(set(lengths.values())) > 1:
        raise InputError(f"{path}: columns of unequal length ({', '.join(f'{n} {k}' for n, k in lengths.items())})")
    for name, array in chosen.items():
        bad = np.flatnonzero(~np.isfinite(array))
        if bad.size:
            raise InputError(
                f"{path}: '{name}' holds {bad.size} missing or infinite value(s), first at sample {bad[0]}"
            )
    n = lengths[vib_name]
    if n < MIN_SAMPLES:
        raise InputError(f"{path}: {n} samples, a record needs at least {MIN_SAMPLES}")

    file_fs = contents.rates_hz.get(vib_name)
    if fs is not None and file_fs is not None and abs(fs / file_fs - 1.0) > SPACING_TOLERANCE:
        raise InputError(f"{path}: the file samples at {file_fs:g} Hz but the sample rate given is {fs:g} Hz")
    if fs is None:
        fs = file_fs
    if time_name is not None:
        t, fs = _time_axis(path, time_name, chosen[time_name].astype(float), fs)
    elif fs is None:
        raise InputError(f"{path}: no time axis and no sample rate in the file; give the sample rate with --fs")
    # A corrupt header or time axis can give a rate or a duration beyond floating point.
    if not (0 < fs < np.inf and n / fs < np.inf):
        raise InputError(f"{path}: a sample rate of {fs:g} Hz over {n} samples is beyond any clock"
                         " (corrupt header or time axis?)")
    if time_name is None:
        t = np.arange(n) / fs

    tach = chosen[tach_name].astype(float) if tach_name is not None else None
    return Record(t=t, vibration=chosen[vib_name].astype(float), tach=tach, fs=float(fs), name=path.name,
                  rpm=_nominal_rpm(path, columns))


def save_record(path: str | Path, record: Record) -> None:
    """Writes `record` as an NPZ archive of named arrays that `load_record`
    reads back: sample times, vibration, the tachometer and the logged speed
    where the record has them."""
    arrays: dict[str, Any] = {"time": record.t, "vibration": record.vibration}
    if record.tach is not None:
        arrays["tach"] = record.tach
    if record.rpm is not None:
        arrays["rpm"] = np.float64(record.rpm)
    np.savez(path, **arrays)
