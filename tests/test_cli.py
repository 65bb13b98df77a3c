"""The command line: the drivetrain demonstration, the analysis of a user's own
record, and one clear error line for every record that cannot be read."""

import re
import subprocess
import sys

import numpy as np
import pytest

from kemo_pkg.__main__ import main
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.records import save_record

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# A short record of the demonstration drivetrain: quick to write and to read.
SMALL = Drivetrain(fs=12800.0, duration_s=3.0)


def run(capsys, *argv):
    code = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return code, out, err


def even_rows(n=2000, fs=2000.0):
    t = np.arange(n) / fs
    return [(f"{ti:.6g}", f"{np.sin(2 * np.pi * 50 * ti):.6f}") for ti in t]


@pytest.fixture
def small_csv(tmp_path):
    record = make_record(SMALL)
    path = tmp_path / "drive.csv"
    np.savetxt(path, np.column_stack([record.t, record.vibration, record.tach]), delimiter=",",
               header="time,vibration,tach", comments="")
    return path


def test_demo_recovers_every_injected_quantity(tmp_path, capsys):
    code, out, err = run(capsys, "demo", "--out", tmp_path)
    assert code == 0
    assert "FAIL" not in out
    recovered, checked = map(int, re.search(r"(\d+) of (\d+) injected quantities recovered", out).groups())
    assert recovered == checked >= 20
    assert (tmp_path / "demo.png").read_bytes().startswith(PNG_SIGNATURE)
    assert "order tracking" in err  # progress goes to stderr, the report to stdout


def test_analyze_reads_a_csv_and_an_npz_of_the_same_record_alike(tmp_path, small_csv, capsys):
    code, from_csv, _ = run(capsys, "analyze", small_csv, "--gear-ratio", 4, "--band", 2000, 4500,
                            "--out", tmp_path / "out")
    assert code == 0
    assert re.search(r"gear ratio, pulses per slow rev\s+4\.0000", from_csv)
    fault_order = float(re.search(r"strongest envelope line \(order\)\s+([\d.]+)", from_csv).group(1))
    bin_order = float(re.search(r"bin ([\d.]+) order", from_csv).group(1))
    assert abs(fault_order - SMALL.bpfo_order) <= bin_order
    assert (tmp_path / "out" / "drive.png").read_bytes().startswith(PNG_SIGNATURE)

    save_record(tmp_path / "drive.npz", make_record(SMALL))
    code, from_npz, _ = run(capsys, "analyze", tmp_path / "drive.npz", "--gear-ratio", 4, "--band", 2000, 4500,
                            "--out", tmp_path / "out_npz")
    assert code == 0
    # The CSV keeps 18 digits, so both readings agree to the printed digits;
    # only the title and the figure's path differ.
    assert from_npz.splitlines()[1:-1] == from_csv.splitlines()[1:-1]


def test_analyze_without_tachometer_works_over_time(tmp_path, capsys):
    vibration = make_record(SMALL).vibration
    path = tmp_path / "bare.csv"
    np.savetxt(path, vibration[:, None], header="Vibration", comments="")
    code, out, _ = run(capsys, "analyze", path, "--fs", SMALL.fs, "--out", tmp_path)
    assert code == 0
    assert "no tachometer" in out and "strongest envelope line (Hz)" in out and "tachometer pulses" not in out
    fault_hz = float(re.search(r"strongest envelope line \(Hz\)\s+([\d.]+)", out).group(1))
    # Without a tachometer the line is smeared by the speed drift, but it stays near the mean speed's value.
    assert fault_hz == pytest.approx(SMALL.bpfo_order * SMALL.mean_speed(), rel=0.03)


def test_time_stamps_rounded_to_microseconds_read_as_an_even_axis(tmp_path, capsys):
    record = make_record(SMALL)
    path = tmp_path / "logger.csv"
    np.savetxt(path, np.column_stack([record.t, record.vibration]), fmt=["%.6f", "%.5f"], delimiter=",",
               header="Time,Vib", comments="")
    code, out, _ = run(capsys, "analyze", path, "--out", tmp_path)
    assert code == 0
    assert f"at {SMALL.fs:g} Hz" in out.splitlines()[0]


def test_an_existing_figure_is_kept_unless_forced(tmp_path, small_csv, capsys):
    figure = tmp_path / "drive.png"
    figure.write_bytes(b"the analyst's own picture")
    code, out, err = run(capsys, "analyze", small_csv, "--out", tmp_path)
    assert code == 2 and out == ""
    assert "--force" in err
    assert figure.read_bytes() == b"the analyst's own picture"

    code, _, _ = run(capsys, "analyze", small_csv, "--out", tmp_path, "--force")
    assert code == 0
    assert figure.read_bytes().startswith(PNG_SIGNATURE)


def _npz(**arrays):
    return lambda path: np.savez(path, **arrays)


def _text(text):
    return lambda path: path.write_text(text)


# 2000 samples at 2000 Hz: file line k + 2 holds data row k.
ROWS = [f"{t},{v}" for t, v in even_rows()]


def _csv(header="time,vibration", rows=ROWS, changes=None, tail=""):
    """A CSV whose data rows `changes` (index: new text) are replaced."""
    rows = [(changes or {}).get(k, row) for k, row in enumerate(rows)]
    return _text(header + "\n" + "".join(row + "\n" for row in rows) + tail)


@pytest.mark.parametrize(
    "name, write, options, problem",
    [
        pytest.param("empty.csv", _text(""), [], "is empty", id="empty-file"),
        pytest.param("blank.csv", _text("\n \n"), [], "is empty", id="only-blank-lines"),
        pytest.param("head.csv", _csv(rows=[]), [], "no data rows", id="header-only"),
        pytest.param("nohead.csv", _text("".join(row + "\n" for row in ROWS)), [], "first line must name the columns",
                     id="no-header"),
        pytest.param("novib.csv", _csv(header="time,pressure"), [], "no vibration column",
                     id="missing-vibration-column"),
        pytest.param("short.csv", _csv(tail="1.0\n"), [],
                     "line 2002: 1 values where the header names 2 columns", id="unequal-lengths-csv"),
        pytest.param("text.csv", _csv(changes={2: "0.001,abc"}), [],
                     "line 4, column 'vibration': 'abc' is not a number", id="text-in-numbers"),
        pytest.param("hole.csv", _csv(changes={7: "0.0035,"}), [], "line 9, column 'vibration': '' is not a number",
                     id="empty-cell"),
        pytest.param("nan.csv", _csv(changes={5: "0.0025,nan"}), [],
                     "'vibration' holds 1 missing or infinite value(s), first at sample 5", id="nan-sample"),
        pytest.param("untimed.csv", _csv(header="vibration", rows=[row.split(",")[1] for row in ROWS]), [],
                     "give the sample rate with --fs", id="no-time-axis-no-fs"),
        pytest.param("tiny.csv", _csv(rows=ROWS[:100]), [],
                     "100 samples, a record needs at least 1024", id="too-short"),
        pytest.param("jitter.csv", _csv(changes={20: "0.0104,0.0"}), [],
                     "time axis 'time' is not evenly spaced (at sample 20)",
                     id="uneven-time-axis"),
        pytest.param("gap.csv", _csv(rows=ROWS[:1000] + ROWS[1001:]), [], "not evenly spaced (at sample 1000)",
                     id="missing-sample"),
        pytest.param("back.csv", _csv(changes={20: "0.008,0.0"}), [],
                     "time axis 'time' does not increase at sample 20", id="time-axis-goes-back"),
        pytest.param("rate.csv", _csv(), ["--fs", "1000"],
                     "the time axis samples at 2000 Hz but the sample rate given is 1000 Hz", id="fs-disagrees"),
        pytest.param("band.csv", _csv(), ["--band", "100", "1500"],
                     "envelope band 100-1500 Hz must rise and stay below half the sample rate (1000 Hz)",
                     id="band-above-nyquist"),
        pytest.param("named.csv", _csv(), ["--vibration-column", "accel_x"],
                     "no column named 'accel_x' (found: time, vibration)", id="named-column-missing"),
        pytest.param("ragged.npz", _npz(time=np.arange(2000) / 2000, vibration=np.zeros(1999)), [],
                     "columns of unequal length (time 2000, vibration 1999)", id="unequal-lengths-npz"),
        pytest.param("words.npz", _npz(vibration=np.array(["x"] * 2000)), ["--fs", "2000"],
                     "array 'vibration' holds <U1 values, not numbers", id="text-array-npz"),
        pytest.param("grid.npz", _npz(vibration=np.zeros((2000, 2))), ["--fs", "2000"],
                     "'vibration' has shape (2000, 2)", id="two-dimensional-npz"),
        pytest.param("broken.npz", _text("not a zip archive"), [], "is not a readable .npz archive",
                     id="corrupt-npz"),
        pytest.param("record.txt", _csv(), [], "unknown file type '.txt'", id="unknown-type"),
        pytest.param("absent.csv", None, [], "no such file", id="missing-file"),
    ],
)
def test_a_malformed_record_gets_one_error_line(tmp_path, capsys, name, write, options, problem):
    path = tmp_path / name
    if write is not None:
        write(path)
    code, out, err = run(capsys, "analyze", path, "--out", tmp_path / "out", *options)
    assert code == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("python -m kemo_pkg: error: ")
    assert problem in err
    assert not (tmp_path / "out").exists()


def test_the_installed_command_reports_without_a_traceback(tmp_path):
    done = subprocess.run([sys.executable, "-m", "kemo_pkg", "analyze", tmp_path / "nothing.csv"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"python -m kemo_pkg: error: {tmp_path / 'nothing.csv'}: no such file\n"
