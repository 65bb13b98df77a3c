"""No record reaches a traceback: whatever a file holds, `analyze` ends with a
report (or one JSON object), a sensor-fault verdict, or one error line and
exit status 2.  Records are generated malformed and extreme and written in
every format the command reads; the issue's four broken sensors are named
cases."""

import contextlib
import io
import json
import os
import re
import struct
import warnings
import zipfile

import numpy as np
import pytest
import scipy.io
import scipy.io.wavfile
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from kemo_pkg.cli import main
from kemo_pkg.problems import InputError
from kemo_pkg.records import MIN_SAMPLES, load_record
from support.field_records import pulse_times_of, tach_signal, to_counts
from support.files import MAT73_HEADER, write_mat73, write_tdms, write_uff

ERROR_PREFIX = "python -m kemo_pkg: error: "
BEARING = "BPFO=3.58,BPFI=5.42,BSF=2.36,FTF=0.40"
records_run = 0  # reported at the end of the run by conftest


def run(path, *options):
    """The command in-process: exit status, stdout, stderr and the warnings raised."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), \
            warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            code = main(["analyze", str(path), "--no-figure", *map(str, options)])
        except SystemExit as stop:  # argparse's way of rejecting an option
            code = stop.code
    return code, out.getvalue(), err.getvalue(), [f"{w.category.__name__}: {w.message}" for w in caught]


def strict_json(text):
    """One JSON object, with NaN and infinities refused as `allow_nan=False` would."""
    def refuse(constant):
        raise ValueError(f"{constant} in the JSON output")
    return json.loads(text, parse_constant=refuse)


def assert_report_or_one_error_line(code, out, err, caught, as_json):
    assert not caught, caught
    if code == 2:
        assert out == "" and err.startswith(ERROR_PREFIX) and err.count("\n") == 1, err
        return
    assert code == 0, (code, err)
    if as_json:
        assert isinstance(strict_json(out), dict)
    else:
        assert out.startswith("kemo_pkg analyze: ") and "data quality" in out


def write(path, fmt, fs, vibration, tach=None, t=None):
    """The record in `fmt`, and the options that point the command at its
    columns and sample rate."""
    options = [] if t is not None else ["--fs", repr(fs)]
    if fmt == "csv":
        columns = {"time": t, "vibration": vibration, "tach": tach}
        names = [name for name, column in columns.items() if column is not None]
        table = np.column_stack([columns[name].astype(float) for name in names])
        np.savetxt(path, table, fmt="%.17g", delimiter=",", header=",".join(names), comments="")
    elif fmt == "npz":
        arrays = {"time": t, "vibration": vibration, "tach": tach}
        np.savez(path, **{name: array for name, array in arrays.items() if array is not None},
                 **({} if t is not None else {"fs": np.float64(fs)}))
        options = []
    elif fmt == "mat":
        arrays = {"time": t, "vib": vibration, "tach": tach}
        scipy.io.savemat(path, {name: array for name, array in arrays.items() if array is not None})
        options += ["--vibration-column", "vib"]
    else:  # a WAV file carries its own whole-hertz rate and no time axis
        channels = vibration if tach is None else np.column_stack([vibration, tach])
        scipy.io.wavfile.write(path, min(round(fs), 2**28 - 1), channels)  # the header's byte rate holds 32 bits
        options = ["--vibration-column", "channel_1"] + (["--tach-column", "channel_2"] if tach is not None else [])
    return options


def noise(rng, n):
    return rng.normal(0.0, 1.0, n)


def bearing_like(rng, n, fs):
    """A shaft tone with impacts ringing a resonance at a quarter of the rate."""
    t = np.arange(n) / fs
    ring = np.exp(-(t % (1 / 7.3)) * 0.05 * fs) * np.sin(2 * np.pi * 0.25 * fs * t)
    return 0.3 * np.sin(2 * np.pi * 0.01 * fs * t) + ring + 0.1 * noise(rng, n)


VIBRATIONS = {
    "noise": lambda rng, n, fs: noise(rng, n),
    "bearing-like": bearing_like,
    "zeros": lambda rng, n, fs: np.zeros(n),
    "a constant": lambda rng, n, fs: np.full(n, -3.7),
    "int16 counts, saturated": lambda rng, n, fs: to_counts(noise(rng, n), "int16", 1.2),
    "int16 counts of a faint signal": lambda rng, n, fs: to_counts(noise(rng, n), "int16", 3e3),
    "int32 counts, saturated": lambda rng, n, fs: to_counts(bearing_like(rng, n, fs), "int32", 0.5),
    "int64 counts": lambda rng, n, fs: to_counts(noise(rng, n), "int64", 5.0),
    "a few samples at 1e300": lambda rng, n, fs: np.where(rng.random(n) < 0.002, 1e300, noise(rng, n)),
    "subnormals among normal samples": lambda rng, n, fs: np.where(rng.random(n) < 0.5, 1e-310, noise(rng, n)),
}
SCALES = (1e300, 1e-310, 1e-300, 1e12, 1e11, 1e-15, 1e-14)  # beside 1: beyond, at and within plausibility


def pulses_every(samples, n, ramp=0.0):
    """A once-per-revolution train, a revolution every `samples` samples (the
    shaft speeding up by `ramp` over the record), 5 V pulses 3 samples wide."""
    revolutions = pulse_times_of(n // samples + 2, 60.0 / samples, 0.001, ramp, 0.0, 1)
    return tach_signal(np.arange(n, dtype=float), revolutions, 3.0, 5.0, 0.0, 0.05, 2)


TACHS = {  # over sample numbers: a train's fate depends on the rate against the detector's lockout
    "none": None,
    "a pulse every 40 samples": lambda rng, n: pulses_every(40, n),
    "a pulse every 480 samples, speeding up": lambda rng, n: pulses_every(480, n, 0.1),
    "two pulses": lambda rng, n: pulses_every(2000, n),
    "int16 counts, saturated": lambda rng, n: to_counts(pulses_every(480, n), "int16", 2.0),
    "pulses of 1e300": lambda rng, n: 1e300 * pulses_every(480, n),
    "noise": lambda rng, n: noise(rng, n),
    "a constant, never crossing its threshold": lambda rng, n: np.full(n, 2.5),
    "one step": lambda rng, n: np.where(np.arange(n) > n // 2, 5.0, 0.0),
}


def often(draw, usual, *others):
    """`usual` three times in four, else one of `others`: most records reach the analysis."""
    return usual if draw(st.integers(0, 3)) else draw(st.sampled_from(others))


@st.composite
def commands(draw):
    """A record (format, sample rate, channels, time axis) and the options it is analysed with."""
    with np.errstate(all="ignore"):  # extreme rates and scales overflow here as in the acquisition's own writer
        return _command(draw)


def _command(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    n = often(draw, 4096, 1023, 1024, 1025)  # the reader needs 1024
    fs = draw(st.sampled_from((1e-310, 0.02, 1.0, 37.5, 2000.0, 12_000.0, 1e6, 2.5e8, 1e300)))
    fmt = draw(st.sampled_from(("csv", "npz", "mat", "wav")))
    vibration = VIBRATIONS[draw(st.sampled_from(list(VIBRATIONS)))](rng, n, fs)
    if vibration.dtype.kind == "f":
        vibration = vibration * often(draw, 1.0, *SCALES)
    make_tach = TACHS[draw(st.sampled_from(list(TACHS)))]
    tach = None if make_tach is None else make_tach(rng, n)
    for channel in (vibration, tach):
        if channel is not None and channel.dtype.kind == "f" and draw(st.integers(0, 14)) == 0:
            channel[rng.integers(0, n, 3)] = draw(st.sampled_from((np.nan, np.inf, -np.inf)))
    t = None
    timing = often(draw, "even", "rate only", "rounded", "a clock jump", "goes back")
    if timing != "rate only" and fmt != "wav":
        t = np.arange(n) / fs + 5.0
        if timing == "rounded":  # stamps written with few digits
            t += rng.uniform(-0.3, 0.3, n) / fs
        elif timing == "a clock jump":
            t[n // 2 :] += 0.8 / fs
        elif timing == "goes back":
            t[[n // 3, n // 3 + 1]] = t[[n // 3 + 1, n // 3]]
    options = [*draw(st.sampled_from(([], ["--rpm", 1797], ["--rpm", 60], ["--rpm", 1e-300], ["--rpm", 1e300]))),
               *draw(st.sampled_from(([], ["--bearing", BEARING]))),
               *often(draw, [], ["--band", 500, 3000], ["--band", 1000, 1001], ["--gear-ratio", 4],
                      ["--gear-ratio", 1e300], ["--gear-ratio", 1e-6])]
    return fmt, fs, vibration, tach, t, options, draw(st.booleans())


@given(command=commands())
@settings(max_examples=1000, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
def test_any_record_ends_in_a_report_or_one_error_line(tmp_path, command):
    """An exception escaping `main` fails the test as it is."""
    global records_run
    fmt, fs, vibration, tach, t, options, as_json = command
    path = tmp_path / f"record.{fmt}"
    options += write(path, fmt, fs, vibration, tach, t)
    result = run(path, *options, *(["--json"] if as_json else []))
    records_run += 1
    assert_report_or_one_error_line(*result, as_json)


FS = 10_000.0
RNG = np.random.default_rng(17)
# Each record, whether its vibration is usable, what the text report says, and
# the check behind it in the JSON.
ISSUE_RECORDS = {
    "a dead sensor: 50 000 zeros": (
        dict(vibration=np.zeros(50_000)), False, "dead sensor", ("vibration", "flat", "fault")),
    "a broken tachometer cable: pure noise": (
        dict(vibration=RNG.normal(0, 1, 50_000), tach=RNG.normal(0, 1, 50_000)), True, "tachometer: set aside",
        ("tachometer", "trigger_edges", "fault")),
    "a saturated amplifier: noise clipped at 0.5": (
        dict(vibration=np.clip(RNG.normal(0, 1, 50_000), -0.5, 0.5)), False, "held at the rails +0.5 g",
        ("vibration", "clipping", "fault")),
    # Clipped 13 % of the time, the impacts still repeat at their rate: analysed, with the warning beside it.
    "an amplifier that saturates: noise clipped at 1.5": (
        dict(vibration=np.clip(RNG.normal(0, 1, 50_000), -1.5, 1.5)), True, "held at the rails +1.5 g",
        ("vibration", "clipping", "warning")),
    "a corrupt scale factor: amplitude 1e300": (
        dict(vibration=1e300 * RNG.normal(0, 1, 50_000)), False, "corrupt scale factor",
        ("vibration", "magnitude", "fault")),
}


@pytest.mark.parametrize("arrays, usable, in_report, check", ISSUE_RECORDS.values(), ids=ISSUE_RECORDS.keys())
def test_the_issues_broken_sensors(tmp_path, arrays, usable, in_report, check):
    path = tmp_path / "record.npz"
    np.savez(path, fs=np.float64(FS), **arrays)
    code, out, _, caught = run(path)
    assert code == 0 and not caught
    assert in_report in out
    assert bool(re.search(r"verdict\s+sensor fault: ", out)) != usable
    # A usable vibration is analysed over time, without the tachometer; a
    # sensor fault gets no diagnosis at all.
    assert ("strongest envelope line (Hz)" in out) == usable and "tachometer pulses" not in out

    code, out, _, _ = run(path, "--json")
    report = strict_json(out)
    assert code == 0 and report["quality"]["usable"] == usable
    channel, name, status = check
    assert (name, status) in {(c["name"], c["status"]) for c in report["quality"][channel]["checks"]}


# Hostile files: each reader over real files of its format, written by the
# format's own library and then damaged.  The tests run in a forked worker
# whose address space may grow by 1 GiB and that is ended after 10 minutes:
# an allocation a header or a flag asked for, or a hang, fails the test.
LIMITS = {"address_space": 2**30, "seconds": 600}
N, FS_HZ = 2000, 2000.0
SAMPLES = np.sin(2 * np.pi * 50 * np.arange(N) / FS_HZ)


def _wav(path):
    scipy.io.wavfile.write(path, int(FS_HZ), (SAMPLES * 2**14).astype(np.int16))


def _csv_file(path):
    np.savetxt(path, np.column_stack([np.arange(N) / FS_HZ, SAMPLES]), delimiter=",", header="time,vibration",
               comments="")


# (file, writer, sample rate to give): small valid records of every format.
SEEDS = {
    "CSV": ("r.csv", _csv_file, None),
    "NPZ": ("r.npz", lambda path: np.savez(path, vibration=SAMPLES, fs=np.float64(FS_HZ)), None),
    "NPY": ("r.npy", lambda path: np.save(path, SAMPLES), FS_HZ),
    "NPZ, compressed": ("r.npz", lambda path: np.savez_compressed(path, vibration=SAMPLES, rpm=1500.0), FS_HZ),
    "MATLAB v5": ("r.mat", lambda path: scipy.io.savemat(path, {"vibration": SAMPLES, "rpm": 1500.0}), FS_HZ),
    "MATLAB v5, compressed": (
        "r.mat", lambda path: scipy.io.savemat(path, {"vibration": SAMPLES}, do_compression=True), FS_HZ),
    "MATLAB v7.3": ("r.mat", lambda path: write_mat73(path, {"vibration": SAMPLES, "rpm": 1500.0}), FS_HZ),
    "WAV": ("r.wav", _wav, None),
    "TDMS": ("r.tdms", lambda path: write_tdms(path, {"vibration": SAMPLES, "shaft rpm": 1500.0}, FS_HZ), None),
    "UFF": ("r.uff", lambda path: write_uff(path, {"vibration": SAMPLES}, FS_HZ), None),
}
# Words a corrupt length or count often holds: none, all ones, the largest signed, 2**40.
WORDS = (b"\x00\x00\x00\x00", b"\xff\xff\xff\xff", b"\xff\xff\xff\x7f", (2**40).to_bytes(8, "little"))


@st.composite
def damaged(draw, seed):
    """`seed` with a few bytes overwritten (with anything, or a word a corrupt
    length holds), cut short, or grown by inserted bytes; mostly in the first
    512 bytes, where the headers are."""
    data = bytearray(seed)
    for _ in range(draw(st.integers(1, 4))):
        place = draw(st.one_of(st.integers(0, min(len(data), 512)), st.integers(0, len(data))))
        edit = draw(st.sampled_from(("overwrite", "overwrite", "cut", "grow")))
        if edit == "overwrite":
            new = draw(st.one_of(st.binary(min_size=1, max_size=8), st.sampled_from(WORDS)))
            data[place:place + len(new)] = new
        elif edit == "cut":
            del data[place:]
        else:
            repeated = bytes(data[place:place + 64]) * 8
            data[place:place] = draw(st.one_of(st.binary(min_size=1, max_size=64), st.just(repeated)))
    return bytes(data)


@pytest.mark.forked(**LIMITS)
@pytest.mark.parametrize("name, write, fs", SEEDS.values(), ids=SEEDS.keys())
@given(data=st.data())
@settings(max_examples=100, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_a_damaged_file_is_a_record_or_one_clean_error(tmp_path, name, write, fs, data):
    path = tmp_path / name
    write(path)
    path.write_bytes(data.draw(damaged(path.read_bytes())))
    try:
        record = load_record(path, fs=fs, max_samples=2**16)
    except InputError as error:  # anything else escaping fails the test as it is
        assert str(error).isprintable() and len(str(error)) < 1000, str(error)
    else:
        assert len(record.vibration) >= MIN_SAMPLES and np.all(np.isfinite(record.vibration))


def _patched(write, *patches):
    """A file as `write` makes it, with words put at byte offsets."""
    def patch(path):
        write(path)
        data = bytearray(path.read_bytes())
        for offset, word in patches:
            data[offset:offset + len(word)] = word
        path.write_bytes(bytes(data))
    return patch


def _mat5_with(*patches):
    return _patched(lambda path: scipy.io.savemat(path, {"vibration": SAMPLES}), *patches)


def _h5_declaring_2_40_values(path):
    import h5py

    with h5py.File(path, "w", userblock_size=512) as file:  # a chunked dataset of no chunk written
        file.create_dataset("vibration", shape=(1, 2**40), chunks=(1, 1024)).attrs["MATLAB_class"] = "double"
    _patched(lambda path: None, (0, MAT73_HEADER))(path)


def _npz_holding(member):
    def write(path):
        with zipfile.ZipFile(path, "w") as archive:
            archive.writestr("vibration.npy", member)
    return write


LIAR = io.BytesIO()  # a .npy header of 10**12 values
np.lib.format.write_array_header_1_0(LIAR, {"descr": "<f8", "fortran_order": False, "shape": (10**12,)})


def _text(text):
    return lambda path: path.write_text(text)


U32, U16 = struct.Struct("<I").pack, struct.Struct("<H").pack
TOO_FEW = ["--max-samples", 1500]  # for records of 2000 samples
# (file, writer, options, the error line's reason): a file refused by one
# line before it is read in full.  scipy's WAV header has the channels at
# byte 22, the rate at 24, the frame size at 32, the bits per sample at 34
# and the data chunk's size at 40.  Its MATLAB v5 variable has its columns at
# byte 164, its name's size at 172, its values' type at 192, their size at 196.
HOSTILE = {
    "a FIFO": ("r.csv", os.mkfifo, [], "is not a regular file"),
    "a link to /dev/zero": ("r.npz", lambda path: path.symlink_to("/dev/zero"), [], "is not a regular file"),
    "NPZ declaring 10**12 values": ("r.npz", _npz_holding(LIAR.getvalue()), [], "'vibration' declares 1000000000000"
                                    " values, more than --max-samples 67108864 allows"),
    "NPY declaring 10**12 values": ("r.npy", lambda path: path.write_bytes(LIAR.getvalue()), ["--fs", FS_HZ],
                                    "'vibration' declares 1000000000000 values"),
    "NPZ member no array": ("r.npz", _npz_holding("hello"), [], "member 'vibration' is not an array"),
    "NPZ, damaged compressed data": ("r.npz", _patched(lambda path: np.savez_compressed(path, vibration=SAMPLES),
                                                       (200, bytes(60))), [], "(Error -3 while decompressing data"),
    "MATLAB v5 declaring 2**30 columns": ("r.mat", _mat5_with((164, U32(2**30))), [], "declares 1073741824 values"),
    "MATLAB v5 name of 4 GiB": ("r.mat", _mat5_with((172, U32(2**32 - 8))), [], "name declares 4294967288 bytes"),
    "MATLAB v5 values of 4 GiB": ("r.mat", _mat5_with((196, U32(2**32 - 128))), ["--fs", FS_HZ],
                                  "declares 4294967168 bytes of values"),
    "MATLAB v5 values of no number type, which crash scipy": (
        "r.mat", _mat5_with((192, U32(0x10000))), ["--fs", FS_HZ], "holds values of type 0, which is no number"),
    "MATLAB v7.3 declaring 2**40 values": ("r.mat", _h5_declaring_2_40_values, [], "declares 1099511627776 values"),
    "TDMS": ("r.tdms", SEEDS["TDMS"][1], TOO_FEW, "'vibration' declares 2000 values, more than --max-samples 1500"),
    "TDMS cut short": ("r.tdms", lambda path: (SEEDS["TDMS"][1](path), os.truncate(path, path.stat().st_size - 4000)),
                       [], "the TDMS file is cut short or damaged (Last segment of file has less data"),
    "UFF": ("r.uff", SEEDS["UFF"][1], TOO_FEW, "more than --max-samples 1500 values of a universal file take"),
    "CSV": ("r.csv", _csv_file, TOO_FEW, "more than 1500 rows, more samples than --max-samples allows"),
    "CSV of 2**17 columns": ("r.csv", _text(",".join(["c"] * 2**17)), [], "names more than 4096 columns"),
    "CSV cell over the limit": ("r.csv", _text("t,y\n0," + "1" * 2**18 + ",\n"), [], "larger than field limit"),
    "CSV line over 4 Mi characters": ("r.csv", _text("t,y\n" + "1" * (2**22 + 1)), [], "line 2: longer than 4194304"),
    "WAV": ("r.wav", _wav, TOO_FEW, "'channel_1' declares 2000 values"),
    "WAV data chunk over the file": ("r.wav", _patched(_wav, (40, U32(2**32 - 16))), [],
                                     "the data chunk declares 4294967280 bytes, the file holds 4000 after it"),
    "WAV of no frames": ("r.wav", lambda path: scipy.io.wavfile.write(path, 8000, np.zeros(0, np.int16)), [],
                         "no vector of at least 1024 samples"),
    "WAV of rate 0, with --fs": ("r.wav", _patched(_wav, (24, U32(0))), ["--fs", FS_HZ], "a sample rate of 0 Hz"),
    "WAV of no channels": ("r.wav", _patched(_wav, (22, U16(0))), [], "0 channels of 16 bits"),
    "WAV of frames of no bytes": ("r.wav", _patched(_wav, (32, U16(0))), [], "in frames of 0 bytes"),
    "WAV of 0 bits per sample": ("r.wav", _patched(_wav, (34, U16(0))), [], "1 channels of 0 bits"),
    "WAV header cut short": ("r.wav", lambda path: (_wav(path), os.truncate(path, 30)), [], "a header cut short?"),
}


@pytest.mark.forked(**LIMITS)
@pytest.mark.parametrize("name, write, options, problem", HOSTILE.values(), ids=HOSTILE.keys())
def test_a_hostile_file_gets_one_error_line(tmp_path, capfd, name, write, options, problem):
    write(tmp_path / name)
    code, out, err, caught = run(tmp_path / name, *options)
    assert (code, out, caught) == (2, "", []) and err.count("\n") == 1, err
    assert err.startswith(ERROR_PREFIX) and problem in err, err
    assert capfd.readouterr() == ("", "")  # no reading library's own console output besides
