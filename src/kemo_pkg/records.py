"""Reading a user's record as the field writes it, with one clear message per
fault.

A `Record` holds a vibration channel, its sample times in seconds and, when
there is one, a tachometer channel and the shaft speed the data acquisition
logged.  `load_record` reads it from

- a CSV file whose first line names the columns, or an NPZ archive of named
  arrays: the columns are found by name, case-insensitively, under the usual
  names of `COLUMN_ALIASES` unless the caller names them;
- a .npy file of one vector, as `numpy.save` writes an array: the vibration,
  at the sample rate given;
- a file of named channels, as a data acquisition writes them: MATLAB (v5/v7
  through scipy, v7.3 through h5py), WAV, NI TDMS (npTDMS) and universal file
  format 58 (pyuff).  The vibration is the channel named, or the only long
  vector besides the time axis and the tachometer, and a scalar whose name
  holds "rpm" gives the nominal shaft speed.  A WAV file's channels are named
  channel_1, channel_2, ... and its integer samples read as fractions of full
  scale.  TDMS, UFF and WAV files carry their sample rate.

A file is read only if it is a regular file (a FIFO would wait forever, a
device such as /dev/zero never end).  Each reader first lists what the file
declares, each array's shape before its values: a .npy header and the bytes
it holds (an NPZ member's, unpacked), a MATLAB variable's dimensions, a WAV
file's frame count, an HDF5 dataset's shape, a TDMS channel's length, the
data points of a UFF data set; a CSV file's rows are counted as they are
read.  An array declaring more values than `max_samples` is refused before
anything is allocated for it, and of a file's arrays only those the record
takes are read.

TDMS, UFF and MATLAB v7.3 need the optional extras `tdms`, `uff` and `mat73`.
"""

import csv
import importlib
import io
import itertools
import logging
import math
import os
import stat
import struct
import threading
import warnings
import zipfile
import zlib
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, ExitStack, contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import IO, Any

import numpy as np
import scipy.io
import scipy.io.wavfile

from .problems import EXCERPT, InputError, printable

__all__ = ["COLUMN_ALIASES", "MAX_SAMPLES", "MIN_SAMPLES", "READERS", "Record", "load_record", "save_record"]

COLUMN_ALIASES = {
    "time": ("time", "t", "time_s", "seconds"),
    "vibration": ("vibration", "vib", "accel", "acceleration", "y"),
    "tach": ("tach", "tachometer", "keyphasor", "tacho"),
}
# The shortest record: the smallest block a data acquisition system transforms
# and fewer samples than any spectrum, rail or spike statistic needs.
MIN_SAMPLES = 1024
# The most values one array of a file may declare: 2**26 samples, 512 MiB of
# a channel in float64, 22 minutes at 51.2 kHz.  Above it the file is refused
# before it is read (--max-samples raises it).
MAX_SAMPLES = 2**26
MAX_OFF_GRID = 0.5  # share of a step by which the time axis may stray from an even grid
# Share by which a sample rate given beside a time axis may differ from it.
SPACING_TOLERANCE = 0.01
# MATLAB classes of numbers; "char", "cell", "struct" and the like hold none.
_MATLAB_NUMBERS = {"double", "single", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
                   "logical"}
# MATLAB v5: the bytes of a value of each type of numbers, by its code
# (miINT8 to miUINT64; 8, 10 and 11 are reserved); the codes of a matrix and
# of a compressed element, and the flag of a complex matrix; the classes of
# numeric matrices (mxDOUBLE to mxUINT64).  MATLAB's names hold 63 characters.
_MAT5_NUMBER_BYTES = {1: 1, 2: 1, 3: 2, 4: 2, 5: 4, 6: 4, 7: 4, 9: 8, 12: 8, 13: 8}
_MAT5_MATRIX, _MAT5_COMPRESSED, _MAT5_COMPLEX = 14, 15, 0x800
_MAT5_NUMBER_CLASSES = range(6, 16)
_MAT5_NAME_BYTES = 4096
# A CSV file is read this many characters at a time, its lines converted a
# batch at a time; a line longer than a batch is no row of a table.
CSV_BATCH_CHARS = 2**22
# A data acquisition writes a few channels, a logger a few hundred.
MAX_CSV_COLUMNS = 4096
# A universal file is read whole by its library: it may hold no more than
# `max_samples` values of 20 characters each (the widest of its layouts).
UFF_CHARS_PER_VALUE = 20
LISTED = 10  # names an error line lists before it counts the rest
NPY_HEADER_BYTES = 10_000  # the most a .npy header takes, as numpy reads it
NUMBERS = "iufb"              # numpy's kinds of the arrays a record's samples may be
KIND_NAMES = {"U": "text", "S": "byte-string", "O": "Python object", "c": "complex", "M": "date-time",
              "m": "time-span", "V": "structured"}

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


@dataclass(frozen=True)
class _Declared:
    """An array as its file declares it, before a value is read: its shape
    (None where only reading tells, as for a CSV column) and the kind of its
    numbers (numpy's dtype kind)."""

    shape: tuple[int, ...] | None
    kind: str


@dataclass(frozen=True, eq=False)
class _Contents:
    """What a file holds: its arrays as declared, by name, the sample rate of
    each channel that carries one, whether its channels are named by the data
    acquisition (the vibration then found as in a MATLAB file), and how to
    read the arrays named."""

    declared: dict[str, _Declared]
    rates_hz: dict[str, float]
    channels: bool
    load: Callable[[list[str]], Arrays]


# A reader opens a file, lists what it declares and reads the arrays asked
# for while it is open.
Reader = Callable[[Path, int], AbstractContextManager[_Contents]]


def _optional(module: str, extra: str, what: str, path: Path) -> ModuleType:
    """The library that reads `what` files, installed with the extra `extra`."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise InputError(f"{path}: reading {what} files needs {module}; install it with:"
                         f" pip install 'kemo_pkg[{extra}]'") from None


def _shown(name: str) -> str:
    """A name or a cell of the user's file, as an error line repeats it."""
    return printable(name, EXCERPT)


def _listed(names: Sequence[str]) -> str:
    """Names for an error line: the first few, each cut short, and how many more."""
    shown = ", ".join(map(_shown, names[:LISTED]))
    return shown if len(names) <= LISTED else f"{shown} and {len(names) - LISTED} more"


@contextmanager
def _failing_as(path: Path, what: str) -> Iterator[None]:
    """A failure of a format's library, as the one line that names the file
    as not a readable `what`, with the library's reason cut short.  Running
    out of memory is no fault of the file: it is left to surface."""
    try:
        yield
    except (InputError, MemoryError):
        raise
    except Exception as error:
        raise InputError(f"{path} is not a readable {what} ({_shown(str(error) or type(error).__name__)})") from None


class _Bounded(io.BufferedReader):
    """A file whose reads end at its end: a length read from a corrupt header
    never has a library allocate room for bytes the file does not hold."""

    def __init__(self, raw: io.FileIO) -> None:
        super().__init__(raw)
        self.size = os.fstat(raw.fileno()).st_size

    def read(self, size: int | None = -1, /) -> bytes:
        if size is not None and size > 0:
            size = min(size, max(self.size - self.tell(), 0))
        return super().read(size)


def _opened(path: Path) -> _Bounded:
    return _Bounded(io.FileIO(path, "r"))


def _pick(names: list[str], role: str, requested: str | None) -> str | None:
    """The name among `names` that holds `role`, or None."""
    wanted = (requested,) if requested else COLUMN_ALIASES[role]
    by_lower = {name.strip().lower(): name for name in names}
    for alias in wanted:
        if alias.lower() in by_lower:
            return by_lower[alias.lower()]
    if requested:
        raise InputError(f"no column named '{_shown(requested)}' (found: {_listed(names)})")
    return None


@contextmanager
def _read_csv(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The columns a CSV file's first line names; the rows are read in
    batches, each column kept only if asked for."""
    with open(path, encoding="utf-8-sig") as file:
        batches = _csv_batches(path, file)
        with _as_text(path):
            number, first, rest = _header_line(batches)
        if first is None:
            raise InputError(f"{path} is empty")
        delimiter = next((d for d in ",;\t" if d in first), ",")
        if first.count(delimiter) >= MAX_CSV_COLUMNS:
            raise InputError(f"{path}: the first line names more than {MAX_CSV_COLUMNS} columns; not a record's table")
        try:
            header = [name.strip() for name in next(csv.reader([first], delimiter=delimiter))]
        except csv.Error as error:
            raise InputError(f"{path}, line {number}: {error}") from None
        if any(_is_number(name) for name in header):
            raise InputError(f"{path}: the first line must name the columns, found '{_shown(first.strip())}'")
        columns = {name: j for j, name in enumerate(header)}

        def load(names: list[str]) -> Arrays:
            with _as_text(path):
                return _csv_columns(path, itertools.chain([rest], batches), header, delimiter,
                                    [columns[name] for name in names], max_samples)

        yield _Contents(dict.fromkeys(columns, _Declared(None, "f")), {}, False, load)


@contextmanager
def _as_text(path: Path) -> Iterator[None]:
    try:
        yield
    except UnicodeDecodeError:
        raise InputError(f"{path} is not a text CSV file") from None


def _csv_batches(path: Path, file: io.TextIOBase) -> Iterator[tuple[int, list[str]]]:
    """The file's lines a batch at a time, each batch with the number of its
    first line."""
    number, carried = 1, ""
    while chunk := file.read(CSV_BATCH_CHARS):
        lines = (carried + chunk).split("\n")
        carried = lines.pop()
        if len(carried) > CSV_BATCH_CHARS:
            raise InputError(f"{path}, line {number + len(lines)}: longer than {CSV_BATCH_CHARS} characters;"
                             " not a row of a table")
        yield number, lines
        number += len(lines)
    if carried:
        yield number, [carried]


def _is_data(line: str) -> bool:
    """A line that is neither blank nor a comment."""
    text = line.lstrip()
    return bool(text) and text[0] != "#"


def _header_line(batches: Iterator[tuple[int, list[str]]]) -> tuple[int, str | None, tuple[int, list[str]]]:
    """The first line that is neither blank nor a comment, its number, and
    the lines after it in its batch."""
    for number, lines in batches:
        for k, line in enumerate(lines):
            if _is_data(line):
                return number + k, line, (number + k + 1, lines[k + 1:])
    return 0, None, (0, [])


def _csv_columns(path: Path, batches: Iterator[tuple[int, list[str]]], header: list[str], delimiter: str,
                 wanted: list[int], max_samples: int) -> Arrays:
    """The columns `wanted` (by place) of the rows in `batches`, in float64."""
    pieces: list[list[np.ndarray]] = [[] for _ in wanted]
    rows = 0
    for number, lines in batches:
        data = [line for line in lines if _is_data(line)]
        if not data:
            continue
        values = _csv_fast(data, delimiter, len(header))
        if values is None:
            values = _csv_checked(path, number, lines, header, delimiter)
        rows += len(values)
        if rows > max_samples:
            raise InputError(f"{path}: more than {max_samples} rows, more samples than --max-samples allows")
        for piece, j in zip(pieces, wanted):
            piece.append(values[:, j].copy())
    if rows == 0:
        raise InputError(f"{path} has a header but no data rows")
    # Column by column, so that a column's batches are freed as it is joined.
    return {header[j]: np.concatenate(pieces.pop(0)) for j in wanted}


def _csv_fast(data: list[str], delimiter: str, width: int) -> np.ndarray | None:
    """The rows converted at once, or None where a row is not `width`
    numbers (`_csv_checked` then finds which)."""
    try:
        values = np.loadtxt(data, delimiter=delimiter, comments=None, quotechar="\"", dtype=float, ndmin=2)
    except ValueError:
        return None
    return values if values.shape[1] == width else None


def _csv_checked(path: Path, number: int, lines: list[str], header: list[str], delimiter: str) -> np.ndarray:
    """The rows among `lines` (the first numbered `number`) converted cell by
    cell, naming the first line that is not a row of numbers."""
    rows = []
    for line_number, line in enumerate(lines, number):
        if not _is_data(line):
            continue
        try:
            row = next(csv.reader([line], delimiter=delimiter))
        except csv.Error as error:
            raise InputError(f"{path}, line {line_number}: {error}") from None
        if len(row) != len(header):
            raise InputError(f"{path}, line {line_number}: {len(row)} values where the header names {len(header)}"
                             " columns (columns of unequal length)")
        for name, cell in zip(header, row):
            if not _is_number(cell):
                raise InputError(f"{path}, line {line_number}, column '{_shown(name)}': '{_shown(cell.strip())}'"
                                 " is not a number")
        rows.append([float(cell) for cell in row])
    return np.array(rows, dtype=float).reshape(len(rows), len(header))


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


@contextmanager
def _read_npz(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The arrays of an NPZ archive, as their members' headers declare them;
    an archive may carry its sample rate as a scalar named 'fs'."""
    what = ".npz archive"
    with _opened(path) as file:
        with _failing_as(path, what):
            try:
                archive = zipfile.ZipFile(file)
            except zipfile.BadZipFile:
                raise InputError(f"{path} is not a readable .npz archive") from None
            members = {info.filename.removesuffix(".npy"): info for info in archive.infolist()}
            declared = {name: _npy_declared(path, archive, name, info, max_samples) for name, info in members.items()}
        if not declared:
            raise InputError(f"{path} is empty (no arrays)")

        def load(names: list[str]) -> Arrays:
            with _failing_as(path, what):
                return {name: _npy_read(archive, members[name]) for name in names}

        rates: dict[str, float] = {}
        fs = declared.pop("fs", None)
        if fs is not None:  # one value, its shape checked before it is read
            if fs.shape != () or fs.kind not in NUMBERS or not (rate := float(load(["fs"])["fs"])) > 0:
                raise InputError(f"{path}: 'fs' must be one positive number, the sample rate in Hz")
            rates = dict.fromkeys(declared, rate)
        yield _Contents(declared, rates, False, load)


def _npy_declared(path: Path, archive: zipfile.ZipFile, name: str, info: zipfile.ZipInfo,
                  max_samples: int) -> _Declared:
    """An NPZ member as its .npy header declares it; an array of numbers
    holds no more than `max_samples` of them in the member's own size either.
    Members of text or objects (a unit, a note) are declared and never read
    unless chosen."""
    with archive.open(info) as stream:
        return _npy_header(stream, f"{path}: member '{_shown(name)}'", info.file_size, max_samples)


def _npy_header(stream: IO[bytes], where: str, size: int, max_samples: int) -> _Declared:
    """What the .npy header at the start of `stream` (`size` bytes in all)
    declares; `where` names the array in an error line."""
    try:
        version = np.lib.format.read_magic(stream)
    except ValueError:
        raise InputError(f"{where} is not an array") from None
    read_header = {(1, 0): np.lib.format.read_array_header_1_0,
                   (2, 0): np.lib.format.read_array_header_2_0}.get(version)
    if read_header is None:
        raise InputError(f"{where} is in .npy format {version}, which holds no record")
    shape, _, dtype = read_header(stream)
    if dtype.kind in NUMBERS and size > max_samples * dtype.itemsize + NPY_HEADER_BYTES:
        raise InputError(f"{where} holds {size} bytes, more than --max-samples {max_samples} values of its"
                         " type take")
    return _Declared(shape, dtype.kind)


@contextmanager
def _read_npy(path: Path, max_samples: int) -> Iterator[_Contents]:
    """A .npy file: one vector of samples, the vibration, at the rate given
    (an NPZ archive carries several channels by name, and a rate)."""
    what = ".npy file"
    with _opened(path) as file:
        with _failing_as(path, what):
            declared = _npy_header(file, str(path), file.size, max_samples)
        if declared.kind not in NUMBERS:
            raise InputError(f"{path} holds {KIND_NAMES.get(declared.kind, declared.kind)} values, not a record's"
                             " samples")
        vector = _vector_shape(declared.shape or ())
        if len(vector) != 1:
            raise InputError(f"{path} holds an array of shape {declared.shape}; a .npy record is one vector of"
                             " samples (save several channels by name with numpy.savez)")

        def load(names: list[str]) -> Arrays:
            file.seek(0)
            with _failing_as(path, what):
                return _as_vectors({"vibration": np.lib.format.read_array(file, allow_pickle=False)})

        yield _Contents({"vibration": _Declared(vector, declared.kind)}, {}, True, load)


def _npy_read(archive: zipfile.ZipFile, info: zipfile.ZipInfo) -> np.ndarray:
    with archive.open(info) as stream:
        return np.lib.format.read_array(stream, allow_pickle=False)


def _vector_shape(shape: tuple[int, ...]) -> tuple[int, ...]:
    """A row or a column, as MATLAB writes a vector, is a vector."""
    return (math.prod(shape),) if len(shape) == 2 and 1 in shape else shape


def _as_vectors(arrays: Arrays) -> Arrays:
    return {name: array.reshape(_vector_shape(array.shape)) for name, array in arrays.items()}


@contextmanager
def _read_mat(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The numeric variables of a MATLAB file, as their headers declare them."""
    with ExitStack() as stack:
        file = stack.enter_context(_opened(path))
        with _failing_as(path, "MATLAB file"):
            major, _ = scipy.io.matlab.matfile_version(file)
            complex_names = _check_mat5(path, file, set()) if major == 1 else set()
            if major != 2:  # 2: v7.3, which is HDF5
                variables = scipy.io.whosmat(file)
        if major == 2:
            yield stack.enter_context(_read_mat73(path, max_samples))
            return
        # Names from "__" on are the reader's own (a function workspace), no variable of the user's.
        declared = {name: _Declared(_vector_shape(shape), "c" if name in complex_names else "f")
                    for name, shape, kind in variables if kind in _MATLAB_NUMBERS and not name.startswith("__")}

        def load(names: list[str]) -> Arrays:
            with _failing_as(path, "MATLAB file"), warnings.catch_warnings():
                if major == 1:
                    _check_mat5(path, file, set(names))
                warnings.simplefilter("ignore")  # e.g. duplicate variable names: the reader keeps the last
                contents = scipy.io.loadmat(file, variable_names=names)
                return _as_vectors({name: contents[name] for name in names})

        yield _Contents(declared, {}, True, load)


class _Inflating:
    """A compressed MATLAB element's bytes, inflated as they are read and no
    further."""

    def __init__(self, file: _Bounded, size: int) -> None:
        self.file, self.left, self.inflater, self.pending = file, size, zlib.decompressobj(), b""

    def read(self, size: int) -> bytes:
        while len(self.pending) < size:
            compressed = self.inflater.unconsumed_tail or self.file.read(min(self.left, 2**16))
            if not compressed:
                break
            self.left -= 0 if self.inflater.unconsumed_tail else len(compressed)
            self.pending += self.inflater.decompress(compressed, size - len(self.pending))
        data, self.pending = self.pending[:size], self.pending[size:]
        return data


def _check_mat5(path: Path, file: _Bounded, names: set[str]) -> set[str]:
    """The names of a MATLAB v5 file's complex variables, each checked for
    what scipy would read of it unchecked (`_mat5_matrix`)."""
    file.seek(126)
    order = "<" if file.read(2) == b"IM" else ">"
    position, complex_names = 128, set()
    while len(head := (file.seek(position), file.read(8))[1]) == 8:
        code, size = struct.unpack(order + "II", head)
        read = _Inflating(file, size).read if code == _MAT5_COMPRESSED else file.read
        if code == _MAT5_MATRIX or (code == _MAT5_COMPRESSED and _mat5_tag(read, order)[0] == _MAT5_MATRIX):
            name, is_complex = _mat5_matrix(path, read, order, names)
            if is_complex:
                complex_names.add(name)
        position += 8 + size
    return complex_names


def _mat5_tag(read: Callable[[int], bytes], order: str) -> tuple[int, int, bytes | None]:
    """A MATLAB v5 subelement's type code, the size of its data and, for a
    small element, the data itself, held in the tag's second word."""
    head = read(8)
    code, size = struct.unpack(order + "II", head)
    if code >> 16:
        return code & 0xFFFF, code >> 16, head[4:4 + (code >> 16)]
    return code, size, None


def _mat5_data(read: Callable[[int], bytes], size: int) -> bytes:
    """Reads past a subelement's `size` bytes of data, padded to a multiple of
    8, a block at a time; gives back the first block."""
    padded = -(-size // 8) * 8
    first = read(min(padded, 2**16))
    left = padded - len(first)
    while left > 0 and (block := read(min(left, 2**16))):
        left -= len(block)
    return first[:size]


def _mat5_matrix(path: Path, read: Callable[[int], bytes], order: str, names: set[str]) -> tuple[str, bool]:
    """A MATLAB v5 matrix's name and whether it is complex, read as scipy
    reads them.  Raises InputError for what scipy would read unchecked: a name
    longer than `_MAT5_NAME_BYTES`, and, of a numeric matrix among `names`,
    values of a type that is no number or more bytes of them than its
    dimensions hold.  scipy makes room for as many bytes as a header
    declares, and reads values by their type's code: an unknown code crashes
    the interpreter."""
    flags = struct.unpack(order + "I", read(16)[8:12])[0]  # 8 bytes after a tag scipy ignores
    fields: list[bytes] = []
    for _ in range(2):  # the dimensions, the name
        _, size, small = _mat5_tag(read, order)
        if fields and size > _MAT5_NAME_BYTES:
            raise InputError(f"{path}: a variable's name declares {size} bytes")
        fields.append(small if small is not None else _mat5_data(read, size))
    values = math.prod(struct.unpack(f"{order}{len(fields[0]) // 4}i", fields[0][:len(fields[0]) // 4 * 4]))
    name, is_complex = fields[1].decode("latin1"), bool(flags & _MAT5_COMPLEX)
    if name not in names or flags & 0xFF not in _MAT5_NUMBER_CLASSES:
        return name, is_complex
    for part in ("real", "imaginary") if is_complex else ("real",):
        code, size, small = _mat5_tag(read, order)
        if code not in _MAT5_NUMBER_BYTES:
            raise InputError(f"{path}: '{_shown(name)}' holds values of type {code}, which is no number")
        if size > values * _MAT5_NUMBER_BYTES[code]:
            raise InputError(f"{path}: '{_shown(name)}' declares {size} bytes of values, more than its {values}"
                             " values take")
        if part == "real" and is_complex and small is None:
            _mat5_data(read, size)
    return name, is_complex


@contextmanager
def _read_mat73(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The numeric variables of a MATLAB v7.3 file.  MATLAB stores its arrays
    in column-major order: HDF5 sees each transposed."""
    h5py = _optional("h5py", "mat73", "MATLAB v7.3", path)
    what = "MATLAB v7.3 file"
    with ExitStack() as stack:
        with _failing_as(path, what):
            file = stack.enter_context(h5py.File(path, "r"))
            datasets = {name: item for name, item in file.items()
                        if isinstance(item, h5py.Dataset) and _matlab_class(item) in _MATLAB_NUMBERS
                        and "MATLAB_empty" not in item.attrs}
            declared = {name: _Declared(_vector_shape(item.shape[::-1]), item.dtype.kind)
                        for name, item in datasets.items()}

        def load(names: list[str]) -> Arrays:
            with _failing_as(path, what):
                return _as_vectors({name: np.asarray(datasets[name][()]).T for name in names})

        yield _Contents(declared, {}, True, load)


def _matlab_class(item: Any) -> str:
    value = item.attrs.get("MATLAB_class", b"")
    return value.decode() if isinstance(value, bytes) else str(value)


@dataclass(frozen=True)
class _WavLayout:
    """What a WAV file's header declares."""

    channels: int
    rate_hz: int
    frames: int


def _wav_layout(path: Path, file: _Bounded) -> _WavLayout:
    """The channels, rate and frames of a WAV file, from its format chunk and
    the size of its data chunk, checked before a sample is read."""
    riff = file.read(12)
    if len(riff) < 12 or riff[:4] not in (b"RIFF", b"RIFX", b"RF64") or riff[8:] != b"WAVE":
        raise InputError(f"{path} is not a readable WAV file (no RIFF/WAVE header)")
    order = ">" if riff[:4] == b"RIFX" else "<"
    fmt: tuple[int, ...] | None = None
    wide_size = None  # an RF64 file's data size, in its ds64 chunk
    while len(head := file.read(8)) == 8:
        kind, size = head[:4], struct.unpack(order + "I", head[4:])[0]
        if kind == b"data":
            break
        body = file.read(min(size, 28))
        if kind == b"fmt " and len(body) >= 16:
            fmt = struct.unpack(order + "HHIIHH", body[:16])
        elif kind == b"ds64" and len(body) >= 16:
            wide_size = struct.unpack(order + "Q", body[8:16])[0]
        file.seek(size + size % 2 - len(body), io.SEEK_CUR)
    else:
        raise InputError(f"{path} is not a readable WAV file (no data chunk: a header cut short?)")
    if fmt is None:
        raise InputError(f"{path} is not a readable WAV file (no format chunk before the data)")
    _, channels, rate, _, block_align, bits = fmt
    if not (channels >= 1 and bits >= 1 and block_align >= channels * -(-bits // 8)):
        raise InputError(f"{path} is not a readable WAV file ({channels} channels of {bits} bits in frames of"
                         f" {block_align} bytes)")
    if rate == 0:
        raise InputError(f"{path}: the WAV header gives a sample rate of 0 Hz")
    if wide_size is not None and size == 0xFFFFFFFF:
        size = wide_size
    present = file.size - file.tell()
    if size > present:
        raise InputError(f"{path}: the data chunk declares {size} bytes, the file holds {present} after it"
                         " (cut short?)")
    return _WavLayout(channels, rate, size // block_align)


@contextmanager
def _read_wav(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The channels of a WAV file and its sample rate; integer samples as
    fractions of full scale."""
    with _opened(path) as file:
        layout = _wav_layout(path, file)
        names = [f"channel_{k + 1}" for k in range(layout.channels)]

        def load(wanted: list[str]) -> Arrays:
            file.seek(0)
            with _failing_as(path, "WAV file"), warnings.catch_warnings():
                warnings.simplefilter("ignore")  # unknown chunks are skipped
                _, data = scipy.io.wavfile.read(file)
            data = data.reshape(len(data), -1)
            return {name: _full_scale(data[:, names.index(name)]) for name in wanted}

        yield _Contents(dict.fromkeys(names, _Declared((layout.frames,), "f")),
                        dict.fromkeys(names, float(layout.rate_hz)), True, load)


def _full_scale(samples: np.ndarray) -> np.ndarray:
    """WAV samples as fractions of full scale; 8-bit WAV is unsigned around
    128, wider formats are signed."""
    if samples.dtype.kind not in "iu":
        return samples
    info = np.iinfo(samples.dtype)
    middle = (int(info.max) + 1) // 2 if samples.dtype.kind == "u" else 0
    return (samples.astype(float) - middle) / (int(info.max) + 1 - middle)


def _unique(names: list[str]) -> list[str]:
    """Channel names as the file gives them; an empty or repeated one by its place."""
    counts = Counter(names)
    return [name if name and counts[name] == 1 else f"channel_{k + 1}" for k, name in enumerate(names)]


class _HeldLog(logging.Filter):
    """Holds what a reading library logs on this thread while `held` is set,
    instead of letting it reach the console: a library's warning about the
    user's file belongs in the one error line, if anywhere."""

    def __init__(self) -> None:
        super().__init__()
        self.local = threading.local()

    def filter(self, record: logging.LogRecord) -> bool:
        held = getattr(self.local, "held", None)
        if held is None:
            return True
        held.append(record)
        return False


_TDMS_LOG = _HeldLog()


@contextmanager
def _failing_as_tdms(path: Path) -> Iterator[None]:
    """`_failing_as` for npTDMS, with its own warnings held from the
    console: a file cut short (a segment holding less than its lead-in
    declares, as an acquisition cut off leaves it) is refused as a WAV or
    NumPy file cut short is, not read in part as if whole, and where npTDMS
    gave up after such a warning, the warning says why.  A name that is not
    UTF-8 is read with replacement characters, as npTDMS does."""
    for name, logger in list(logging.Logger.manager.loggerDict.items()):
        if name.startswith("nptdms") and isinstance(logger, logging.Logger) and _TDMS_LOG not in logger.filters:
            logger.addFilter(_TDMS_LOG)
    held: list[logging.LogRecord] = []
    _TDMS_LOG.local.held = held
    try:
        with _failing_as(path, "TDMS file"):
            yield
    except MemoryError:
        held.clear()  # running out of memory is no fault of the file: it surfaces as it is
        raise
    finally:
        _TDMS_LOG.local.held = None
        # Of npTDMS's modules, `types` warns only of a string it decodes with replacement characters.
        damage = [entry.getMessage() for entry in held
                  if entry.levelno >= logging.WARNING and entry.name != "nptdms.types"]
        if damage:
            raise InputError(f"{path}: the TDMS file is cut short or damaged ({_shown(damage[0])})") from None


@contextmanager
def _read_tdms(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The channels of an NI TDMS file, by channel name (group/channel where
    two groups share one), each with the rate its waveform increment gives;
    the file's metadata read first, a channel's values only when asked for."""
    nptdms = _optional("nptdms", "tdms", "TDMS", path)
    with ExitStack() as stack:
        file = stack.enter_context(_opened(path))
        with _failing_as_tdms(path):
            tdms = stack.enter_context(nptdms.TdmsFile.open(file))
            channels = [channel for group in tdms.groups() for channel in group.channels()]
            steps_s = [float(channel.properties.get("wf_increment", 0.0)) for channel in channels]
            short = Counter(channel.name for channel in channels)
            names = _unique([c.name if short[c.name] == 1 else f"{c.group_name}/{c.name}" for c in channels])
            declared = {name: _Declared((len(channel),), np.dtype(channel.dtype).kind)
                        for name, channel in zip(names, channels)}
        by_name = dict(zip(names, channels))

        def load(wanted: list[str]) -> Arrays:
            with _failing_as_tdms(path):
                return {name: np.asarray(by_name[name][:]) for name in wanted}

        rates = {name: 1.0 / step for name, step in zip(names, steps_s) if step > 0}
        yield _Contents(declared, rates, True, load)


@contextmanager
def _read_uff(path: Path, max_samples: int) -> Iterator[_Contents]:
    """The time responses (data sets 58, function type 1) of a universal file,
    named by their first identification line, each at the rate of its
    abscissa increment; their headers read first, a data set's values only
    when asked for."""
    pyuff = _optional("pyuff", "uff", "UFF", path)
    size = os.stat(path).st_size
    if size > max_samples * UFF_CHARS_PER_VALUE:
        raise InputError(f"{path}: {size} bytes, more than --max-samples {max_samples} values of a universal file"
                         f" take ({UFF_CHARS_PER_VALUE} characters each)")
    what = "universal file"
    with _failing_as(path, what):
        uff = pyuff.UFF(str(path))
        places = [k for k, kind in enumerate(uff.get_set_types()) if kind == 58]
        headers = {k: uff.read_sets(k, header_only=True) for k in places}
        responses = {k: header for k, header in headers.items() if header.get("func_type") == 1}
        if not responses:
            raise InputError(f"{path}: no time response (data set 58 of function type 1) in the file")
        uneven = [str(header["id1"]) for header in responses.values() if header.get("abscissa_spacing") != 1]
        if uneven:
            raise InputError(f"{path}: '{_shown(uneven[0].strip())}' is sampled unevenly; a record needs even steps")
        names = _unique([str(header.get("id1", "")).strip() for header in responses.values()])
        # Data types 5 and 6 are complex, 2 and 4 real.
        declared = {name: _Declared((int(header["num_pts"]),), "c" if header.get("ord_data_type") in (5, 6) else "f")
                    for name, header in zip(names, responses.values())}
        rates = {name: 1.0 / float(header["abscissa_inc"])
                 for name, header in zip(names, responses.values()) if header["abscissa_inc"] > 0}
    places_by_name = dict(zip(names, responses))

    def load(wanted: list[str]) -> Arrays:
        with _failing_as(path, what):
            return {name: np.asarray(uff.read_sets(places_by_name[name])["data"]) for name in wanted}

    yield _Contents(declared, rates, True, load)


# The readers by file suffix, and what each reads: the formats `analyze` takes.
READERS: dict[str, tuple[Reader, str]] = {
    ".csv": (_read_csv, "CSV with a header naming the columns"),
    ".npz": (_read_npz, "NPZ of named arrays"),
    ".npy": (_read_npy, "NumPy file of one vector"),
    ".mat": (_read_mat, "MATLAB file (v7.3 with the extra mat73)"),
    ".wav": (_read_wav, "WAV file"),
    ".tdms": (_read_tdms, "NI TDMS file (extra tdms)"),
    ".uff": (_read_uff, "universal file, data sets 58 (extra uff)"),
    ".unv": (_read_uff, "universal file, data sets 58 (extra uff)"),
}


def _pick_channel(path: Path, declared: dict[str, _Declared], taken: set[str]) -> str:
    """The vibration channel of a file of named channels, none named: the
    only vector long enough to be a record besides those `taken` (the time
    axis and the tachometer)."""
    long = [name for name, entry in declared.items() if name not in taken and entry.shape is not None
            and len(entry.shape) == 1 and entry.shape[0] >= MIN_SAMPLES]
    if len(long) == 1:
        return long[0]
    if not long:
        raise InputError(f"{path}: no vector of at least {MIN_SAMPLES} samples (found: {_listed(list(declared))})")
    raise InputError(f"{path}: several vectors could be the vibration ({_listed(long)});"
                     " name one with --vibration-column")


def _speed_name(declared: dict[str, _Declared]) -> str | None:
    """The scalar whose name holds 'rpm': the speed the data acquisition logged."""
    return next((name for name, entry in declared.items()
                 if "rpm" in name.lower() and entry.shape is not None and math.prod(entry.shape) == 1), None)


def _time_axis(path: Path, name: str, stamps: np.ndarray, fs: float | None) -> tuple[np.ndarray, float]:
    """The even time axis of `stamps` and its sample rate; `fs` (Hz), when
    given, must agree with it."""
    n = stamps.size
    steps = np.diff(stamps)
    if np.any(steps <= 0):
        first_back = np.argmax(steps <= 0) + 1
        raise InputError(f"{path}: time axis '{_shown(name)}' does not increase at sample {first_back}")
    step = (stamps[-1] - stamps[0]) / (n - 1)
    t = stamps[0] + np.arange(n) * step
    # Time stamps written with few digits are rounded, not uneven; a step
    # that differs from the mean step by half, or a stamp half a step off
    # the even grid, is a gap, a clock jump or a drifting clock.
    uneven = np.flatnonzero(np.abs(steps / step - 1.0) > MAX_OFF_GRID) + 1
    if uneven.size == 0:
        uneven = np.flatnonzero(np.abs(stamps - t) / step > MAX_OFF_GRID)
    if uneven.size:
        raise InputError(f"{path}: time axis '{_shown(name)}' is not evenly spaced (at sample {uneven[0]})")
    if fs is not None and abs(fs * step - 1.0) > SPACING_TOLERANCE:
        raise InputError(
            f"{path}: the time axis samples at {1 / float(step):.6g} Hz but the sample rate given is {fs:g} Hz"
        )
    return t, 1.0 / float(step)  # a float: a step too fine for any rate gives infinity, judged by the caller


def _regular_file(path: Path) -> None:
    """Refuses what is not a regular file: a FIFO would keep the reader
    waiting, a device such as /dev/zero never end."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror}") from None
    if stat.S_ISDIR(mode):
        raise InputError(f"{path} is a folder, not a record file")
    if not stat.S_ISREG(mode):
        raise InputError(f"{path} is not a regular file (a FIFO, a device or a socket); a record is read from a file")


def load_record(path: str | Path, fs: float | None = None, time_column: str | None = None,
                vibration_column: str | None = None, tach_column: str | None = None,
                max_samples: int = MAX_SAMPLES) -> Record:
    """Reads and checks a record.

    Parameters
    ----------
    path : str or Path
        A regular file of a type in `READERS`.
    fs : float, optional
        Sample rate, Hz: needed when there is no time axis and the file
        carries no sample rate; with either, it must agree with it.
    time_column, vibration_column, tach_column : str, optional
        The names of the columns or channels, where they are not among
        `COLUMN_ALIASES` (or, for the vibration of a file of channels, the
        only long vector).
    max_samples : int
        The most values an array of the file may declare (a channel's
        samples), at least `MIN_SAMPLES`; a file declaring more is refused
        before the array is read.

    Returns
    -------
    Record

    Raises
    ------
    InputError
        For a file that cannot be read or holds no usable record.
    """
    path = Path(path)
    _regular_file(path)
    suffix = path.suffix.lower()
    if suffix not in READERS:
        raise InputError(f"{path}: unknown file type '{path.suffix}' (use {', '.join(READERS)})")
    if max_samples < MIN_SAMPLES:
        raise InputError(f"--max-samples {max_samples} is below the shortest record, {MIN_SAMPLES} samples")
    with READERS[suffix][0](path, max_samples) as contents:
        declared = contents.declared
        for name, entry in declared.items():
            if entry.shape is not None and (size := math.prod(entry.shape)) > max_samples:
                raise InputError(f"{path}: '{_shown(name)}' declares {size} values, more than --max-samples"
                                 f" {max_samples} allows")
        numeric = {name: entry for name, entry in declared.items() if entry.kind in NUMBERS}
        if not numeric:
            raise InputError(f"{path} holds no numeric variables")
        # Columns are chosen by name among all the file declares, so that a
        # column of text says so; the channels a data acquisition names are
        # sought among those of numbers.
        names = list(declared)
        time_name = _pick(names, "time", time_column)
        tach_name = _pick(names, "tach", tach_column)
        vib_name: str | None
        if contents.channels and not vibration_column:
            vib_name = _pick_channel(path, numeric, {name for name in (time_name, tach_name) if name is not None})
        else:
            vib_name = _pick(names, "vibration", vibration_column)
        if vib_name is None:
            raise InputError(f"{path}: no vibration column (name one 'vibration'; found: {_listed(list(numeric))})")
        for column in (time_name, vib_name, tach_name):
            if column is not None and (kind := declared[column].kind) not in NUMBERS:
                raise InputError(f"{path}: '{_shown(column)}' holds {KIND_NAMES.get(kind, kind)} values, not a"
                                 " record's samples")
        speed_name = _speed_name(numeric)
        wanted = [name for name in (time_name, vib_name, tach_name, speed_name) if name is not None]
        arrays = contents.load(list(dict.fromkeys(wanted)))
    for name, array in arrays.items():
        if array.dtype.kind not in NUMBERS:  # a complex variable, known only once read
            raise InputError(f"{path}: '{_shown(name)}' holds {KIND_NAMES.get(array.dtype.kind, array.dtype)} values,"
                             " not a record's samples")
    chosen = {name: arrays[name] for name in (time_name, vib_name, tach_name) if name is not None}

    for name, array in chosen.items():
        if array.ndim != 1:
            raise InputError(f"{path}: '{_shown(name)}' has shape {array.shape}, a record needs one-dimensional"
                             " columns")
    lengths = {name: len(array) for name, array in chosen.items()}
    if len(set(lengths.values())) > 1:
        raise InputError(f"{path}: columns of unequal length"
                         f" ({', '.join(f'{_shown(n)} {k}' for n, k in lengths.items())})")
    for name, array in chosen.items():
        bad = np.flatnonzero(~np.isfinite(array))
        if bad.size:
            raise InputError(
                f"{path}: '{_shown(name)}' holds {bad.size} missing or infinite value(s), first at sample {bad[0]}"
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
        t, fs = _time_axis(path, time_name, np.asarray(chosen[time_name], dtype=float), fs)
    elif fs is None:
        raise InputError(f"{path}: no time axis and no sample rate in the file; give the sample rate with --fs")
    # A corrupt header or time axis can give a rate or a duration beyond floating point.
    if not (0 < fs < np.inf and n / fs < np.inf):
        raise InputError(f"{path}: a sample rate of {fs:g} Hz over {n} samples is beyond any clock"
                         " (corrupt header or time axis?)")
    if time_name is None:
        t = np.arange(n) / fs

    tach = np.ascontiguousarray(chosen[tach_name], dtype=float) if tach_name is not None else None
    rpm = None if speed_name is None else _nominal_rpm(path, speed_name, arrays[speed_name])
    return Record(t=t, vibration=np.ascontiguousarray(chosen[vib_name], dtype=float), tach=tach, fs=float(fs),
                  name=path.name, rpm=rpm)


def _nominal_rpm(path: Path, name: str, array: np.ndarray) -> float:
    """The speed the data acquisition logged, r/min."""
    value = float(array.ravel()[0])
    if not np.isfinite(value) or value <= 0:
        raise InputError(f"{path}: '{_shown(name)}' = {value:g} is no shaft speed")
    return value


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
