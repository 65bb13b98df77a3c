"""Reading a user's record from CSV, NPZ, MATLAB or WAV files, with one clear
message per fault.

A record holds a vibration column, optionally a time axis in seconds and a
tachometer column.  Columns are found by name, case-insensitively, under the
usual names below unless the caller names them.  A MATLAB file is read as its
data acquisition wrote it: the vibration is the variable named, or the only
long numeric vector in the file, and a scalar whose name holds "rpm" gives the
nominal shaft speed.  A WAV file carries its sample rate; its channels are
named channel_1, channel_2, ... and integer samples are read as fractions of
full scale.
"""

import csv
import warnings
import zipfile
from pathlib import Path

import numpy as np
import scipy.io
import scipy.io.wavfile

from .analysis import Record

COLUMN_ALIASES = {
    "time": ("time", "t", "time_s", "seconds"),
    "vibration": ("vibration", "vib", "accel", "acceleration", "y"),
    "tach": ("tach", "tachometer", "keyphasor", "tacho"),
}
MIN_SAMPLES = 1024
MAX_OFF_GRID = 0.5  # share of a step by which the time axis may stray from an even grid
# Share by which a sample rate given beside a time axis may differ from it.
SPACING_TOLERANCE = 0.01


class RecordError(Exception):
    """A record that cannot be analysed; the message names the problem."""


def _pick(names, role, requested):
    """The name among `names` that holds `role`, or None."""
    wanted = (requested,) if requested else COLUMN_ALIASES[role]
    by_lower = {name.strip().lower(): name for name in names}
    for alias in wanted:
        if alias.lower() in by_lower:
            return by_lower[alias.lower()]
    if requested:
        raise RecordError(f"no column named '{requested}' (found: {', '.join(names)})")
    return None


def _read_csv(path: Path) -> dict[str, np.ndarray]:
    try:
        text = path.read_text(encoding="utf-8-sig")
    except UnicodeDecodeError:
        raise RecordError(f"{path} is not a text CSV file") from None
    lines = [(number, line) for number, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise RecordError(f"{path} is empty")
    delimiter = next((d for d in ",;\t" if d in lines[0][1]), ",")
    rows = csv.reader((line for _, line in lines), delimiter=delimiter)
    header = [name.strip() for name in next(rows)]
    if any(_is_number(name) for name in header):
        raise RecordError(f"{path}: the first line must name the columns, found '{lines[0][1].strip()}'")
    if len(lines) == 1:
        raise RecordError(f"{path} has a header but no data rows")
    values = np.empty((len(lines) - 1, len(header)))
    for i, ((number, _), row) in enumerate(zip(lines[1:], rows)):
        if len(row) != len(header):
            raise RecordError(
                f"{path}, line {number}: {len(row)} values where the header names {len(header)} columns"
                " (columns of unequal length)"
            )
        for j, cell in enumerate(row):
            try:
                values[i, j] = float(cell)
            except ValueError:
                raise RecordError(
                    f"{path}, line {number}, column '{header[j]}': '{cell.strip()}' is not a number"
                ) from None
    return {name: values[:, j] for j, name in enumerate(header)}


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _read_npz(path: Path) -> dict[str, np.ndarray]:
    if not zipfile.is_zipfile(path):
        raise RecordError(f"{path} is not a readable .npz archive")
    try:
        with np.load(path, allow_pickle=False) as archive:
            arrays = {name: archive[name] for name in archive.files}
    except (zipfile.BadZipFile, OSError, EOFError):
        raise RecordError(f"{path} is not a readable .npz archive") from None
    except ValueError as error:  # object arrays need pickle, which a record never does
        raise RecordError(f"{path}: {error}") from None
    if not arrays:
        raise RecordError(f"{path} is empty (no arrays)")
    for name, array in arrays.items():
        if array.dtype.kind not in "iufb":
            raise RecordError(f"{path}: array '{name}' holds {array.dtype} values, not numbers")
    return arrays


def _read_mat(path: Path) -> dict[str, np.ndarray]:
    """The numeric variables of a MATLAB v5/v7 file, vectors flattened."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # e.g. duplicate variable names: the reader keeps the last
            contents = scipy.io.loadmat(path)
    except NotImplementedError:
        raise RecordError(f"{path}: MATLAB v7.3 (HDF5) files are not read; save the record with -v7") from None
    except Exception as error:  # the reader's own messages name what is wrong with the file
        raise RecordError(f"{path} is not a readable MATLAB file ({error})") from None
    arrays = {}
    for name, value in contents.items():
        if name.startswith("__") or not isinstance(value, np.ndarray) or value.dtype.kind not in "iufb":
            continue
        arrays[name] = value.ravel() if value.ndim == 2 and 1 in value.shape else value
    if not arrays:
        raise RecordError(f"{path} holds no numeric variables")
    return arrays


def _read_wav(path: Path) -> tuple[dict[str, np.ndarray], float]:
    """The channels of a WAV file and its sample rate; integer samples as
    fractions of full scale."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # unknown chunks are skipped
            rate, data = scipy.io.wavfile.read(path)
    except (ValueError, OSError, EOFError) as error:
        raise RecordError(f"{path} is not a readable WAV file ({error})") from None
    if data.dtype.kind in "iu":
        info = np.iinfo(data.dtype)
        # 8-bit WAV is unsigned around 128; wider formats are signed.
        middle = (int(info.max) + 1) // 2 if data.dtype.kind == "u" else 0
        data = (data.astype(float) - middle) / (int(info.max) + 1 - middle)
    data = data.reshape(len(data), -1)
    return {f"channel_{k + 1}": data[:, k] for k in range(data.shape[1])}, float(rate)


def _pick_vector(path: Path, arrays: dict[str, np.ndarray], requested: str | None) -> str:
    """The vibration variable of a file of named vectors: the one named, else
    the only vector long enough to be a record."""
    if requested:
        return _pick(list(arrays), "vibration", requested)
    long = [name for name, array in arrays.items() if array.ndim == 1 and len(array) >= MIN_SAMPLES]
    if len(long) == 1:
        return long[0]
    if not long:
        raise RecordError(f"{path}: no vector of at least {MIN_SAMPLES} samples (found: {', '.join(arrays)})")
    raise RecordError(f"{path}: several vectors could be the vibration ({', '.join(long)});"
                      " name one with --vibration-column")


def _nominal_rpm(path: Path, arrays: dict[str, np.ndarray]) -> float | None:
    """A scalar whose name holds 'rpm': the speed the data acquisition logged."""
    for name, array in arrays.items():
        if "rpm" in name.lower() and array.size == 1:
            value = float(array.ravel()[0])
            if not np.isfinite(value) or value <= 0:
                raise RecordError(f"{path}: '{name}' = {value:g} is no shaft speed")
            return value
    return None


def load_record(path, fs: float | None = None, time_column: str | None = None,
                vibration_column: str | None = None, tach_column: str | None = None) -> Record:
    """Reads and checks a record.  `fs` (Hz) is needed when there is no time
    axis and the file carries no sample rate; with one, it must agree with it."""
    path = Path(path)
    if not path.exists():
        raise RecordError(f"{path}: no such file")
    if path.is_dir():
        raise RecordError(f"{path} is a folder, not a record file")
    suffix = path.suffix.lower()
    file_fs = rpm = None
    if suffix == ".csv":
        columns = _read_csv(path)
    elif suffix == ".npz":
        columns = _read_npz(path)
        # An archive may carry its sample rate as a scalar named 'fs'.
        file_fs = columns.pop("fs", None)
        if file_fs is not None and (file_fs.ndim != 0 or not file_fs > 0):
            raise RecordError(f"{path}: 'fs' must be one positive number, the sample rate in Hz")
    elif suffix == ".mat":
        columns = _read_mat(path)
        rpm = _nominal_rpm(path, columns)
    elif suffix == ".wav":
        columns, file_fs = _read_wav(path)
        if fs is not None and abs(fs / file_fs - 1.0) > SPACING_TOLERANCE:
            raise RecordError(f"{path}: the file samples at {file_fs:g} Hz but the sample rate given is {fs:g} Hz")
    else:
        raise RecordError(f"{path}: unknown file type '{path.suffix}' (use .csv, .npz, .mat or .wav)")
    names = list(columns)
    if suffix in (".mat", ".wav"):
        vib_name = _pick_vector(path, columns, vibration_column)
    else:
        vib_name = _pick(names, "vibration", vibration_column)
    if vib_name is None:
        raise RecordError(f"{path}: no vibration column (name one 'vibration'; found: {', '.join(names)})")
    time_name = _pick(names, "time", time_column)
    tach_name = _pick(names, "tach", tach_column)
    chosen = {name: columns[name] for name in (time_name, vib_name, tach_name) if name is not None}

    for name, array in chosen.items():
        if array.ndim != 1:
            raise RecordError(f"{path}: '{name}' has shape {array.shape}, a record needs one-dimensional columns")
    lengths = {name: len(array) for name, array in chosen.items()}
    if len(set(lengths.values())) > 1:
        raise RecordError(f"{path}: columns of unequal length ({', '.join(f'{n} {k}' for n, k in lengths.items())})")
    for name, array in chosen.items():
        bad = np.flatnonzero(~np.isfinite(array))
        if bad.size:
            raise RecordError(
                f"{path}: '{name}' holds {bad.size} missing or infinite value(s), first at sample {bad[0]}"
            )
    n = lengths[vib_name]
    if n < MIN_SAMPLES:
        raise RecordError(f"{path}: {n} samples, a record needs at least {MIN_SAMPLES}")

    if fs is None and file_fs is not None:
        fs = float(file_fs)
    if time_name is not None:
        stamps = chosen[time_name].astype(float)
        steps = np.diff(stamps)
        if np.any(steps <= 0):
            first_back = np.argmax(steps <= 0) + 1
            raise RecordError(f"{path}: time axis '{time_name}' does not increase at sample {first_back}")
        step = (stamps[-1] - stamps[0]) / (n - 1)
        t = stamps[0] + np.arange(n) * step
        # Time stamps written with few digits are rounded, not uneven; a step
        # that differs from the mean step by half, or a stamp half a step off
        # the even grid, is a gap, a clock jump or a drifting clock.
        uneven = np.flatnonzero(np.abs(steps / step - 1.0) > MAX_OFF_GRID) + 1
        if uneven.size == 0:
            uneven = np.flatnonzero(np.abs(stamps - t) / step > MAX_OFF_GRID)
        if uneven.size:
            raise RecordError(f"{path}: time axis '{time_name}' is not evenly spaced (at sample {uneven[0]})")
        if fs is not None and abs(fs * step - 1.0) > SPACING_TOLERANCE:
            raise RecordError(
                f"{path}: the time axis samples at {1 / float(step):.6g} Hz but the sample rate given is {fs:g} Hz"
            )
        fs = 1.0 / float(step)  # a float: a step too fine for any rate gives infinity, judged below
    elif fs is None:
        raise RecordError(f"{path}: no time axis and no sample rate in the file; give the sample rate with --fs")
    # A corrupt header or time axis can give a rate or a duration beyond floating point.
    if not (0 < fs < np.inf and n / fs < np.inf):
        raise RecordError(f"{path}: a sample rate of {fs:g} Hz over {n} samples is beyond any clock"
                          " (corrupt header or time axis?)")
    if time_name is None:
        t = np.arange(n) / fs

    tach = chosen[tach_name].astype(float) if tach_name is not None else None
    return Record(t=t, vibration=chosen[vib_name].astype(float), tach=tach, fs=float(fs), name=path.name,
                  rpm=rpm)


def save_record(path, record: Record) -> None:
    """Writes `record` as an NPZ archive of named arrays that `load_record` reads."""
    arrays = {"time": record.t, "vibration": record.vibration}
    if record.tach is not None:
        arrays["tach"] = record.tach
    np.savez(path, **arrays)
