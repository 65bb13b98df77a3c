"""Reading a record: every format gives back the samples, sample rate,
tachometer and logged speed it was written with, a real record the same
samples from each file written by the format's own library as from its CSV.
Records that cannot be read are in test_cli.py, where each gets its one
error line."""

import csv as csv_module
import sys
from pathlib import Path

import numpy as np
import pytest
import scipy.io
import scipy.io.wavfile

from kemo_pkg.problems import InputError
from kemo_pkg.records import MIN_SAMPLES, Record, load_record, save_record
from support.files import write_mat73, write_tdms, write_uff

FS = 2000.0
N = 2000
T = np.arange(N) / FS
VIB = np.sin(2 * np.pi * 50 * T) + 0.1
TACH = 5.0 * ((T * 20) % 1.0 < 0.1)


def csv(header, columns, fmt="%.17g", delimiter=",", preamble="", encoding="utf-8"):
    def write(path):
        lines = [delimiter.join(fmt % v for v in row) for row in np.column_stack(columns)]
        path.write_text(preamble + delimiter.join(header) + "\n" + "\n".join(lines) + "\n", encoding=encoding)
    return write


def wav(rate, data):
    return lambda path: scipy.io.wavfile.write(path, rate, data)


def mat(**variables):
    return lambda path: scipy.io.savemat(path, variables)


# (file, writer, load_record keywords, expected: vibration, fs, tachometer, rpm)
READABLE = {
    "CSV, columns under other names and case": (
        "a.csv", csv(["Time", "ACCEL", "Keyphasor"], [T, VIB, TACH]), {}, (VIB, FS, TACH, None)),
    "CSV with semicolons and comment lines": (
        "b.csv", csv(["t", "vib"], [T, VIB], delimiter=";", preamble="# logger 7\n\n  # channel 2\n"), {},
        (VIB, FS, None, None)),
    "CSV saved by a spreadsheet, with a byte-order mark and every cell quoted": (
        "bom.csv", csv(['"time"', '"vibration"'], [T, VIB], fmt='"%.17g"', encoding="utf-8-sig"), {},
        (VIB, FS, None, None)),
    "CSV with time stamps rounded to microseconds, from a clock at 3600 s": (
        "c.csv", csv(["time", "y"], [3600 + np.round(T * 7 / 6, 6), VIB]), {}, (VIB, FS * 6 / 7, None, None)),
    "CSV with columns named by the analyst": (
        "d.csv", csv(["clock", "accel_X", "ch2"], [T, VIB, TACH]),
        {"time_column": "clock", "vibration_column": "accel_X", "tach_column": "ch2"}, (VIB, FS, TACH, None)),
    "CSV without time axis, at the rate given": (
        "e.csv", csv(["vibration"], [VIB]), {"fs": FS}, (VIB, FS, None, None)),
    "CSV with a time axis and the same rate given": (
        "f.csv", csv(["time", "vibration"], [T, VIB]), {"fs": FS * 1.005}, (VIB, FS, None, None)),
    "NPZ carrying its sample rate, its units and a note of objects": (
        "g.npz", lambda path: np.savez(path, accel=VIB, tacho=TACH, fs=np.float64(FS), units="g",
                                       note=np.array([{"by": "night shift"}], dtype=object)), {},
        (VIB, FS, TACH, None)),
    "NPY of one float32 row, at the rate given": (
        "q.npy", lambda path: np.save(path, VIB[None, :].astype(np.float32)), {"fs": FS}, (VIB, FS, None, None)),
    "MATLAB file with one long vector and the logged speed": (
        "h.mat", mat(X097_DE_time=VIB[:, None], gain=2.0, X097RPM=np.array([[1796.0]]), X097_note=np.arange(3.0)),
        {"fs": FS}, (VIB, FS, None, 1796.0)),
    "MATLAB file with the vibration named among several": (
        "i.mat", mat(DE=VIB, FE=-VIB, tach=TACH), {"fs": FS, "vibration_column": "de"}, (VIB, FS, TACH, None)),
    "WAV of 16-bit counts": (
        "j.wav", wav(8000, np.round(VIB * 16384).astype(np.int16)), {}, (np.round(VIB * 16384) / 32768, 8000.0, None,
                                                                         None)),
    "WAV of 8-bit counts, unsigned around 128": (
        "k.wav", wav(8000, (128 + np.round(VIB * 64)).astype(np.uint8)), {}, (np.round(VIB * 64) / 128, 8000.0,
                                                                               None, None)),
    "WAV of two float channels, the second a tachometer": (
        "l.wav", wav(8000, np.column_stack([VIB, TACH]).astype(np.float32)),
        {"fs": 8000.0, "vibration_column": "channel_1", "tach_column": "channel_2"}, (VIB, 8000.0, TACH, None)),
    "NPZ written by save_record, with the logged speed": (
        "m.npz", lambda path: save_record(path, Record(T, VIB, TACH, FS, rpm=1796.0)), {}, (VIB, FS, TACH, 1796.0)),
    "TDMS with its rate in the waveform increment and the speed a scalar channel": (
        "n.tdms", lambda path: write_tdms(path, {"DE accel": VIB, "Tach": TACH, "shaft rpm": 1796.0}, FS), {},
        (VIB, FS, TACH, 1796.0)),
    "UFF data sets 58, the vibration named among several": (
        "o.uff", lambda path: write_uff(path, {"DE accel": VIB, "FE accel": -VIB}, FS),
        {"vibration_column": "de accel"}, (VIB, FS, None, None)),
    "MATLAB v7.3 with text beside the numbers": (
        "p.mat", lambda path: write_mat73(path, {"X097_DE_time": VIB, "tach": TACH, "X097RPM": 1796.0,
                                                 "operator": "night shift"}),
        {"fs": FS}, (VIB, FS, TACH, 1796.0)),
}


@pytest.mark.parametrize("name, write, options, expected", READABLE.values(), ids=READABLE.keys())
def test_each_format_reads_back_what_was_written(tmp_path, name, write, options, expected):
    write(tmp_path / name)
    record = load_record(tmp_path / name, **options)
    vibration, fs, tach, rpm = expected
    np.testing.assert_allclose(record.vibration, vibration, rtol=1e-6, atol=1e-6)
    # Stamps rounded to 1 us over a second or so give the rate to a part in a million.
    assert record.fs == pytest.approx(fs, rel=1e-6)
    np.testing.assert_allclose(record.t, np.arange(N) / record.fs + record.t[0])
    assert record.tach is None if tach is None else np.allclose(record.tach, tach)
    assert (record.rpm, record.name) == (rpm, name)


@pytest.mark.parametrize("n, readable", [(MIN_SAMPLES - 1, False), (MIN_SAMPLES, True)])
@pytest.mark.parametrize("name, write", [
    ("short.csv", lambda path, n: csv(["time", "vibration"], [T[:n], VIB[:n]])(path)),
    ("short.mat", lambda path, n: mat(DE=VIB[:n])(path)),
])
def test_the_shortest_record_is_1024_samples(tmp_path, n, readable, name, write):
    write(tmp_path / name, n)
    if readable:
        assert len(load_record(tmp_path / name, fs=FS).vibration) == n
    else:
        with pytest.raises(InputError, match="at least 1024"):
            load_record(tmp_path / name, fs=FS)


@pytest.mark.parametrize("name, write, library, extra", [
    ("r.tdms", lambda path: write_tdms(path, {"vibration": VIB}, FS), "nptdms", "tdms"),
    ("r.uff", lambda path: write_uff(path, {"vibration": VIB}, FS), "pyuff", "uff"),
    ("r.mat", lambda path: write_mat73(path, {"vibration": VIB}), "h5py", "mat73"),
])
def test_a_format_whose_library_is_not_installed_names_the_extra(tmp_path, monkeypatch, name, write, library, extra):
    write(tmp_path / name)
    monkeypatch.setitem(sys.modules, library, None)
    with pytest.raises(InputError, match=rf"needs {library}; install it with: pip install 'kemo_pkg\[{extra}\]'$"):
        load_record(tmp_path / name, fs=FS)


SETS = Path(__file__).resolve().parents[2] / "shared" / "data"
REAL = sorted(SETS.glob("bearings-*/labels.csv"))[:1]


@pytest.mark.skipif(not REAL, reason="no real records here (../shared/data/bearings-*)")
def test_a_real_record_reads_the_same_samples_from_each_format_as_from_its_csv(tmp_path):
    labels = REAL[0]
    row = next(csv_module.DictReader(labels.open()))
    real = load_record(labels.parent / row["file"], fs=float(row["fs_hz"]), vibration_column=row["vibration"])
    csv(["time", "vibration"], [real.t, real.vibration])(tmp_path / "real.csv")
    from_csv = load_record(tmp_path / "real.csv")
    channels = {"vibration": real.vibration}
    write_tdms(tmp_path / "real.tdms", channels, real.fs)
    write_uff(tmp_path / "real.uff", channels, real.fs)
    write_mat73(tmp_path / "real.mat", channels)
    for name, exact in [("real.tdms", True), ("real.mat", True), ("real.uff", False)]:
        record = load_record(tmp_path / name, fs=None if name != "real.mat" else real.fs)
        # A universal file writes 12 significant digits, and its increment 6.
        assert record.fs == pytest.approx(from_csv.fs, rel=1e-12 if exact else 1e-6), name
        if exact:
            np.testing.assert_array_equal(record.vibration, from_csv.vibration, err_msg=name)
        else:
            np.testing.assert_allclose(record.vibration, from_csv.vibration, rtol=1e-11, err_msg=name)
