"""The command line: the drivetrain demonstration, the analysis of a user's own
record read against the truth it was built with, and one clear error line for
every record or option that cannot be used."""

import json
import math
import re
import resource
import subprocess
import sys
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest
import scipy.io
import scipy.io.wavfile
from matplotlib.figure import Figure

import kemo_pkg
from kemo_pkg import cli, demo
from kemo_pkg.cli import main, run_demo
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.records import save_record
from support.files import MAT73_HEADER

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# A short record of the demonstration drivetrain: quick to write and to read.
SMALL = Drivetrain(fs=12800.0, duration_s=3.0)
RECORD = make_record(SMALL)
GEOMETRY = "balls=9,ball_diameter=0.2067,pitch_diameter=1"  # the design's bearing, BPFO 3.57


def run(capsys, *argv):
    try:
        code = main([str(arg) for arg in argv])
    except SystemExit as exit:  # options the parser refuses
        code = exit.code
    out, err = capsys.readouterr()
    return code, out, err


def row(report, label):
    """The first figure of the report's row `label`."""
    return re.search(rf"^  {re.escape(label)}\s+(\S+)", report, re.MULTILINE).group(1)


@pytest.fixture
def unrendered(monkeypatch):
    """Figures laid out but not rendered: a stand-in file is written instead,
    and the figures are kept in the list given back."""
    figures = []

    def save(fig, path, **kwargs):
        figures.append(fig)
        path.write_bytes(PNG_SIGNATURE + b"...")
    monkeypatch.setattr(Figure, "savefig", save)
    return figures


def test_demo_recovers_every_injected_quantity(tmp_path, capsys, unrendered):
    code, out, err = run(capsys, "demo", "--out", tmp_path / "out")
    assert code == 0
    assert "FAIL" not in out
    recovered, checked = map(int, re.search(r"(\d+) of (\d+) injected quantities recovered", out).groups())
    assert recovered == checked == 25 and out.startswith("kemo_pkg demo: a synthetic drivetrain")
    assert out.endswith(f"figure: {tmp_path / 'out' / 'demo.png'}\n")
    # Progress goes to stderr, the report to stdout; the figure holds the history's trend.
    assert steps(err, "running the chain on the synthetic drivetrain:") == [
        "building the synthetic drivetrain record", "data quality", "order tracking", "velocity severity",
        "bearing diagnosis", "envelope spectrum and cepstrum", "trend, anomaly score and operating states", "figure"]
    (figure,) = unrendered
    assert [ax.get_title() for ax in figure.axes[4:6]] == ["Condition trend", "Anomaly score and degradation velocity"]


@pytest.mark.slow
def test_the_figure_is_drawn_as_a_png(tmp_path, capsys):
    as_csv(tmp_path / "drive.csv")
    code, out, _ = run(capsys, "analyze", tmp_path / "drive.csv", "--out", tmp_path / "figures")
    assert code == 0 and out.endswith(f"figure: {tmp_path / 'figures' / 'drive.png'}\n")
    assert (tmp_path / "figures" / "drive.png").read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize(
    "record_changes, history_changes, failing",
    [
        ({"bpfo_order": 3.9}, {}, {"verdict", "strongest envelope line (order)", "that line at mean speed (Hz)",
                                   "cepstral line period (rev)"}),
        ({}, {"spike_day": 60}, {"largest outlier (day, size)"}),
    ],
    ids=["defect at another order", "faulty reading on another day"],
)
def test_the_demo_fails_what_the_record_does_not_hold(monkeypatch, tmp_path, record_changes, history_changes,
                                                      failing):
    # The record and the history are built from a design other than the one
    # the demonstration checks against.
    monkeypatch.setattr(demo, "make_record", lambda d, build=demo.make_record: build(replace(d, **record_changes)))
    monkeypatch.setattr(demo, "make_history", lambda d, build=demo.make_history: build(replace(d, **history_changes)))
    monkeypatch.setattr("kemo_pkg.figure.draw", lambda *args, **kwargs: None)
    report, recovered = run_demo(tmp_path, SMALL)
    assert not recovered
    assert {line[2:42].rstrip() for line in report.splitlines() if line.endswith("FAIL")} == failing
    assert f"{25 - len(failing)} of 25 injected quantities recovered" in report
    # The command exits 1 on what the demonstration failed to recover.
    monkeypatch.setattr(cli, "run_demo", lambda out: (report, recovered))
    assert main(["demo", "--out", str(tmp_path)]) == 1


def as_csv(path):
    np.savetxt(path, np.column_stack([RECORD.t, RECORD.vibration, RECORD.tach]), delimiter=",",
               header="time,vibration,tach", comments="")


def as_mat(path):
    scipy.io.savemat(path, {"DE_time": RECORD.vibration, "tach": RECORD.tach, "RPM": 1500.0})


def as_wav(path):
    scipy.io.wavfile.write(path, int(SMALL.fs), np.column_stack([RECORD.vibration, RECORD.tach]).astype(np.float32))


@pytest.mark.parametrize(
    "name, write, options",
    [
        ("drive.csv", as_csv, []),
        ("drive.npz", lambda path: save_record(path, RECORD), []),
        ("drive.mat", as_mat, ["--fs", SMALL.fs, "--vibration-column", "DE_time"]),
        ("drive.wav", as_wav, ["--vibration-column", "channel_1", "--tach-column", "channel_2"]),
    ],
)
def test_analyze_reads_the_drivetrain_from_every_format(tmp_path, capsys, name, write, options):
    write(tmp_path / name)
    code, out, err = run(capsys, "analyze", tmp_path / name, "--gear-ratio", 4, "--band", 2000, 4500, "--no-figure",
                       *options)
    assert code == 0
    assert out.startswith(f"kemo_pkg analyze: {tmp_path / name} (38400 samples, 3 s at 12800 Hz, with tachometer)\n\n")
    assert int(row(out, "tachometer pulses")) == len(SMALL.pulse_times())
    assert float(row(out, "mean shaft speed (Hz)")) == pytest.approx(SMALL.mean_speed(), rel=1e-3)
    assert float(row(out, "gear ratio, pulses per slow rev")) == 4.0
    assert float(row(out, "1x amplitude (g)")) == pytest.approx(SMALL.amp_1x, abs=0.01)
    assert int(row(out, "gear-mesh order")) == SMALL.pinion_teeth
    assert "trend" not in out  # one record is no history
    bin_order = float(re.search(r"^envelope 2000-4500 Hz, over shaft angle \(bin ([\d.]+) order\)$", out,
                                re.MULTILINE).group(1))
    assert float(row(out, "strongest envelope line (order)")) == pytest.approx(SMALL.bpfo_order, abs=bin_order)
    # The logged speed, where the file has one, is shown beside the tachometer's.
    nominal = re.search(r"nominal shaft speed \(Hz\)\s+25\.000 \(1500 r/min\)", out)
    assert bool(nominal) == name.endswith(".mat")
    assert steps(err, f"running the analysis on {tmp_path / name}:") == [
        "data quality", "order tracking", "velocity severity", "bearing diagnosis", "envelope spectrum and cepstrum"]


def steps(err, title):
    """The steps the progress lines on stderr name, each with its time, under `title`."""
    first, *lines = err.splitlines()
    assert first == title
    return [re.fullmatch(r"  (.+) \.\.\. \d+\.\d\d s", line).group(1) for line in lines]


def test_analyze_without_tachometer_works_over_time(tmp_path, capsys):
    path = tmp_path / "bare.csv"
    np.savetxt(path, RECORD.vibration[:, None], header="Vibration", comments="")
    code, out, err = run(capsys, "analyze", path, "--fs", SMALL.fs, "--no-figure", "--rpm", 1500, "--gear-ratio", 1)
    assert code == 0
    assert steps(err, f"running the analysis on {path}:") == [
        "data quality", "shaft speed from the spectrum", "velocity severity", "bearing diagnosis",
        "envelope spectrum and cepstrum"]
    assert "no tachometer" in out and "tachometer pulses" not in out
    # Without a tachometer the line is smeared by the speed drift, but it stays near the mean speed's value.
    assert float(row(out, "strongest envelope line (Hz)")) == pytest.approx(SMALL.bpfo_order * SMALL.mean_speed(),
                                                                          rel=0.03)


def test_the_notes_close_the_report(tmp_path, capsys):
    path = tmp_path / "bare.csv"
    np.savetxt(path, RECORD.vibration[:, None], header="vibration", comments="")
    code, out, _ = run(capsys, "analyze", path, "--fs", SMALL.fs, "--no-figure", "--bearing-geometry", GEOMETRY)
    assert code == 0
    assert out.endswith("\nnote: bearing: not diagnosed; it needs the shaft speed (give --rpm or a tachometer)\n")


@pytest.mark.parametrize("as_json", [True, False], ids=["json", "text"])
def test_a_dead_sensor_is_named_and_nothing_read_from_it(tmp_path, capsys, unrendered, as_json):
    np.savez(tmp_path / "dead.npz", vibration=np.zeros(4096), fs=np.float64(2000))
    code, out, _ = run(capsys, "analyze", tmp_path / "dead.npz", "--out", tmp_path, *(["--json"] if as_json else []))
    assert code == 0 and not unrendered  # no figure of a signal that is not there
    if as_json:
        document = json.loads(out)
        assert document["findings"] == {"vibration_quality": False, "verdict": "sensor_fault"}
        assert document["speed"] is document["severity"] is document["bearing"] is None
    else:
        assert row(out, "verdict") == "sensor" and "figure:" not in out


def no_nan(constant):
    raise ValueError(f"{constant} in the JSON output")


@pytest.mark.parametrize("tach, units", [(True, "g"), (False, "m/s2")], ids=["with tachometer", "without"])
def test_json_carries_the_findings_as_plain_numbers(tmp_path, capsys, tach, units):
    save_record(tmp_path / "drive.npz", RECORD if tach else replace(RECORD, tach=None))
    code, out, err = run(capsys, "analyze", tmp_path / "drive.npz", "--json", "--no-figure", "--rpm", 1500,
                         "--bearing-geometry", GEOMETRY, "--band", 2000, 4500, "--units", units)
    assert (code, err) == (0, "")
    document = json.loads(out, parse_constant=no_nan)
    found = document["findings"]
    assert document["record"] == {"name": "drive.npz", "samples": 38400, "fs": SMALL.fs, "duration_s": 3.0,
                                  "units": units}
    # The record's numbers are g: read as m/s2 they are 9.81 times smaller.
    velocity = SMALL.velocity_rms_mm_s() / (9.80665 if units == "m/s2" else 1.0)
    assert document["severity"]["velocity_rms_mm_s"] == pytest.approx(velocity, rel=0.02)
    assert document["speed"]["source"] == ("tachometer" if tach else "spectrum")
    assert document["speed"]["nominal_hz"] == 25.0
    assert found["bearing_verdict"] == "outer_race" and found["vibration_quality"] is True
    # The keys pipelines read, with the design's values where it has them.
    assert set(document) == {"record", "quality", "speed", "severity", "bearing", "findings", "notes"}
    vibration = document["quality"]["vibration"]
    assert vibration["usable"] is True and {check["status"] for check in vibration["checks"]} == {"ok"}
    # The AC level, the peak and the mean in the record's unit, and no other.
    details = " ".join(check["detail"] for check in vibration["checks"])
    assert details.count(f" {units} ") + details.count(f" {units},") == 3 and (units == "g" or " g " not in details)
    assert [set(check) for check in vibration["checks"]] == [{"name", "status", "detail", "value"}] * 7
    assert (document["quality"]["tachometer"] is None) == (not tach)
    bearing = document["bearing"]
    assert (bearing["verdict"], bearing["band_hz"], bearing["band_reason"]) == (
        "outer_race", pytest.approx([2000, 4500]), "the band given")
    assert bearing["shaft_hz"] == pytest.approx(SMALL.mean_speed(), rel=0.005)
    assert bearing["nominal_shaft_hz"] == 25.0  # as given, beside the speed the families were sought at
    assert (bearing["confidence"], bearing["alternatives"]) == ("clear", [])
    outer_race = bearing["defects"]["outer_race"]
    assert outer_race["present"] is True and outer_race["note"] is None
    assert outer_race["frequency_hz"] == pytest.approx(SMALL.bpfo_order * bearing["shaft_hz"], rel=1e-4)
    assert outer_race["found_hz"] == pytest.approx(outer_race["frequency_hz"], rel=0.01)
    assert outer_race["score"] > 4 and outer_race["excess"] > 0.3 and outer_race["sideband_ratio"] > 0
    assert outer_race["band_hz"][0] > 1999 and outer_race["prewhitening"] in ("cepstral", "lines removed")
    assert len(outer_race["line_ratios"]) == 3 and bearing["defects"]["inner_race"]["present"] is False
    severity = document["severity"]
    assert (severity["band_hz"], severity["boundaries_mm_s"], severity["machine_group"], severity["support"],
            severity["zone"]) == ([10, 1000], [2.3, 4.5, 7.1], 1, "rigid", "D" if units == "g" else "A")
    assert found["fault_amp"] > 0 and "gear_ratio" not in found  # no gear stage unless one is given
    if tach:
        assert found["fault"] == pytest.approx(SMALL.bpfo_order, abs=0.02)
        assert found["pulses"] == len(SMALL.pulse_times())
    assert not {"outlier", "alarm", "level", "velocity"} & set(found)  # one record is no history


def test_an_existing_figure_is_kept_unless_forced(tmp_path, capsys, unrendered):
    save_record(tmp_path / "drive.npz", RECORD)
    folder = tmp_path / "figures" / "pump 3"  # made, with its parents
    figure = folder / "drive.png"
    code, out, err = run(capsys, "analyze", tmp_path / "drive.npz", "--out", folder, "--units", "m/s2")
    assert code == 0 and out.endswith(f"figure: {figure}\n")
    assert steps(err, f"running the analysis on {tmp_path / 'drive.npz'}:")[-1] == "figure"
    # The record's panels, no trend of one record, and every level in the record's unit.
    labels = [ax.get_ylabel() for ax in unrendered[0].axes]
    assert "amplitude (m/s2 peak)" in labels and "envelope amplitude (m/s2)" in labels
    assert not any("(g" in label or "z-score" in label for label in labels)

    figure.write_bytes(b"the analyst's own picture")
    code, out, err = run(capsys, "analyze", tmp_path / "drive.npz", "--out", folder)
    assert code == 2 and out == ""
    assert "--force" in err
    assert figure.read_bytes() == b"the analyst's own picture"

    code, out, err = run(capsys, "analyze", tmp_path / "drive.npz", "--out", folder, "--force", "--json")
    assert code == 0 and err == ""  # no progress beside the JSON
    assert figure.read_bytes().startswith(PNG_SIGNATURE)


def _link_to(name):
    return lambda figure: figure.symlink_to(figure.parent.parent / name)


# What is at the figure's place, the options, and the error line's reason
# (None: the figure is written).  The analyst's picture a link points to is
# never touched.
FIGURE_PLACES = {
    "a link pointing nowhere": (_link_to("nowhere.png"), [], "drive.png exists; pass --force to overwrite it"),
    "a link, with --force: replaced, not written through": (_link_to("own.png"), ["--force"], None),
    "a folder, with --force": (Path.mkdir, ["--force"], "drive.png is a folder; the figure cannot take its place"),
}


@pytest.mark.parametrize("place, options, problem", FIGURE_PLACES.values(), ids=FIGURE_PLACES.keys())
def test_a_figure_is_never_written_through_a_link_or_onto_a_folder(tmp_path, capsys, unrendered, place, options,
                                                                   problem):
    save_record(tmp_path / "drive.npz", RECORD)
    (tmp_path / "own.png").write_bytes(b"the analyst's own picture")
    figure = tmp_path / "figures" / "drive.png"
    figure.parent.mkdir()
    place(figure)
    code, out, err = run(capsys, "analyze", tmp_path / "drive.npz", "--out", figure.parent, *options)
    assert (tmp_path / "own.png").read_bytes() == b"the analyst's own picture"
    assert not (tmp_path / "nowhere.png").exists() and [p.name for p in figure.parent.iterdir()] == ["drive.png"]
    if problem is None:
        assert code == 0 and not figure.is_symlink() and figure.read_bytes().startswith(PNG_SIGNATURE)
    else:  # refused before the analysis
        assert (code, out) == (2, "") and err.startswith("python -m kemo_pkg: error: ") and err.endswith(problem + "\n")


def analyze_in(folder, *options, limits=None):
    """The installed command on folder/drive.npz, the figure in folder/out; `limits` set in its process."""
    return subprocess.Popen([sys.executable, "-m", "kemo_pkg", "analyze", "drive.npz", *options], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=limits)


@pytest.mark.slow
def test_of_two_runs_racing_for_one_figure_one_writes_it_and_the_other_is_refused(tmp_path):
    save_record(tmp_path / "drive.npz", RECORD)
    runs = [analyze_in(tmp_path, "--json") for _ in range(2)]
    ended = sorted((run.wait(), run.communicate()[1]) for run in runs)
    assert ended == [(0, ""), (2, "python -m kemo_pkg: error: out/drive.png exists; pass --force to overwrite it\n")]
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["drive.png"]
    assert (tmp_path / "out" / "drive.png").read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.slow
def test_a_figure_that_fails_to_be_written_leaves_the_old_one_whole(tmp_path):
    save_record(tmp_path / "drive.npz", RECORD)
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "drive.png").write_bytes(b"yesterday's figure")
    # A disk that takes no file beyond 20 kB, as a full one takes none; a figure takes some 100 kB.
    hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
    full = analyze_in(tmp_path, "--force", limits=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, hard)))
    out, err = full.communicate()
    assert (full.returncode, out) == (2, "") and err.endswith(
        "  figure ...\npython -m kemo_pkg: error: cannot write the figure out/drive.png: File too large\n")
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["drive.png"]
    assert (tmp_path / "out" / "drive.png").read_bytes() == b"yesterday's figure"


def _npz(**arrays):
    return lambda path: np.savez(path, **arrays)


def _text(text):
    return lambda path: path.write_text(text)


def _mat(**variables):
    return lambda path: scipy.io.savemat(path, variables)


# 2000 samples at 2000 Hz: file line k + 2 holds data row k.
TIMES = np.arange(2000) / 2000.0
ROWS = [f"{t:.6g},{np.sin(2 * np.pi * 50 * t):.6f}" for t in TIMES]
# A clock that runs 0.2 % slow by the end: every step within a fraction of the
# mean, the stamps a step off the even grid in the middle.
DRIFTING = [f"{t * (1 + 0.002 * t):.9f},0.0" for t in TIMES]


def _damaged_npz(path):
    """An archive whose stored array no longer matches its checksum."""
    np.savez(path, vibration=np.arange(2000.0))
    data = bytearray(path.read_bytes())
    data[1000] ^= 0xFF
    path.write_bytes(bytes(data))


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
        pytest.param("nohead.csv", _text("".join(row + "\n" for row in ROWS)), [],
                     "first line must name the columns, found '0,0.000000'", id="no-header"),
        pytest.param("novib.csv", _csv(header="time,pressure"), [], "no vibration column (name one 'vibration';"
                     " found: time, pressure)",
                     id="missing-vibration-column"),
        pytest.param("short.csv", _csv(tail="1.0\n"), [],
                     "line 2002: 1 values where the header names 2 columns (columns of unequal length)",
                     id="unequal-lengths-csv"),
        pytest.param("binary.csv", lambda path: path.write_bytes(b"time,vib\n\xff\xfe\x00"), [],
                     "is not a text CSV file", id="binary-csv"),
        pytest.param("text.csv", _csv(changes={2: "0.001,abc"}), [],
                     "line 4, column 'vibration': 'abc' is not a number", id="text-in-numbers"),
        pytest.param("hole.csv", _csv(changes={7: "0.0035,"}), [], "line 9, column 'vibration': '' is not a number",
                     id="empty-cell"),
        pytest.param("nan.csv", _csv(changes={5: "0.0025,nan"}), [],
                     "'vibration' holds 1 missing or infinite value(s), first at sample 5", id="nan-sample"),
        pytest.param("untimed.csv", _csv(header="vibration", rows=[row.split(",")[1] for row in ROWS]), [],
                     "give the sample rate with --fs", id="no-time-axis-no-fs"),
        pytest.param("untimed.csv", _csv(header="vibration", rows=[row.split(",")[1] for row in ROWS]),
                     ["--fs", "1e-310"], "a sample rate of 1e-310 Hz over 2000 samples is beyond any clock",
                     id="rate-beyond-any-clock"),
        pytest.param("tiny.csv", _csv(rows=ROWS[:1023]), [],
                     "1023 samples, a record needs at least 1024", id="one-sample-too-short"),
        pytest.param("jitter.csv", _csv(changes={20: "0.0104,0.0"}), [],
                     "time axis 'time' is not evenly spaced (at sample 20)", id="uneven-time-axis"),
        pytest.param("drift.csv", _csv(rows=DRIFTING), [], "time axis 'time' is not evenly spaced",
                     id="drifting-clock"),
        pytest.param("gap.csv", _csv(rows=ROWS[:1000] + ROWS[1001:]), [], "not evenly spaced (at sample 1000)",
                     id="missing-sample"),
        pytest.param("back.csv", _csv(changes={20: "0.0095,0.0"}), [],
                     "time axis 'time' does not increase at sample 20", id="time-stamp-repeated"),
        pytest.param("rate.csv", _csv(), ["--fs", "1970"],
                     "the time axis samples at 2000 Hz but the sample rate given is 1970 Hz", id="fs-disagrees"),
        pytest.param("band.csv", _csv(), ["--band", "100", "1500"],
                     "envelope band 100-1500 Hz must rise and stay below half the sample rate (1000 Hz)",
                     id="band-above-nyquist"),
        pytest.param("fast.npz", _npz(vibration=np.zeros(2000), fs=np.float64(12800)), ["--band", "4500", "2000"],
                     "envelope band 4500-2000 Hz must rise", id="band-reversed"),
        pytest.param("band.csv", _csv(), ["--band", "300", "300"], "envelope band 300-300 Hz must rise",
                     id="band-of-no-width"),
        pytest.param("band.csv", _csv(), ["--band", "300", "1000"], "envelope band 300-1000 Hz must rise and stay"
                     " below half the sample rate", id="band-reaching-nyquist"),
        pytest.param("band.csv", _csv(), ["--band", "100", "101"], "envelope band 100-101 Hz is too narrow",
                     id="band-too-narrow"),
        pytest.param("named.csv", _csv(), ["--vibration-column", "accel_x"],
                     "no column named 'accel_x' (found: time, vibration)", id="named-column-missing"),
        pytest.param("ragged.npz", _npz(time=TIMES, vibration=np.zeros(1999)), [],
                     "columns of unequal length (time 2000, vibration 1999)", id="unequal-lengths-npz"),
        pytest.param("words.npz", _npz(time=TIMES, vibration=np.array(["x"] * 2000)), [],
                     "'vibration' holds text values, not a record's samples", id="text-array-npz"),
        pytest.param("grid.npz", _npz(vibration=np.zeros((2000, 2))), ["--fs", "2000"],
                     "'vibration' has shape (2000, 2)", id="two-dimensional-npz"),
        pytest.param("grid.npy", lambda path: np.save(path, np.zeros((2000, 2))), ["--fs", "2000"],
                     "holds an array of shape (2000, 2); a .npy record is one vector", id="two-dimensional-npy"),
        pytest.param("rates.npz", _npz(vibration=np.zeros(2000), fs=np.array([2000.0, 2000.0])), [],
                     "'fs' must be one positive number", id="npz-rate-not-a-number"),
        pytest.param("still.npz", _npz(vibration=np.zeros(2000), fs=np.float64(0.0)), [],
                     "'fs' must be one positive number", id="npz-rate-zero"),
        pytest.param("pickled.npz", _npz(time=TIMES, vibration=np.array([1.0, "x"], dtype=object)), [],
                     "'vibration' holds Python object values, not a record's samples", id="npz-of-objects"),
        pytest.param("damaged.npz", _damaged_npz, [], "is not a readable .npz archive", id="npz-checksum-wrong"),
        pytest.param("hollow.npz", _npz(), [], "is empty (no arrays)", id="npz-without-arrays"),
        pytest.param("broken.npz", _text("not a zip archive"), [], "is not a readable .npz archive",
                     id="corrupt-npz"),
        pytest.param("two.mat", _mat(DE=np.zeros(2000), FE=np.zeros(2000)), ["--fs", "2000"],
                     "two.mat: several vectors could be the vibration (DE, FE); name one with --vibration-column",
                     id="mat-several-vectors-none-named"),
        pytest.param("few.mat", _mat(DE=np.zeros(1023), FE=np.zeros(5)), ["--fs", "2000"],
                     "no vector of at least 1024 samples (found: DE, FE)", id="mat-no-long-vector"),
        pytest.param("matrix.mat", _mat(DE=np.zeros((2000, 2))), ["--fs", "2000", "--vibration-column", "DE"],
                     "'DE' has shape (2000, 2)", id="mat-matrix"),
        pytest.param("notes.mat", _mat(note="bearing replaced"), [], "holds no numeric variables",
                     id="mat-without-numbers"),
        pytest.param("stopped.mat", _mat(DE=np.zeros(2000), RPM=0.0), ["--fs", "2000"],
                     "stopped.mat: 'RPM' = 0 is no shaft speed", id="mat-speed-zero"),
        pytest.param("hdf.mat", lambda path: path.write_bytes(MAT73_HEADER + bytes(512)), [],
                     "hdf.mat is not a readable MATLAB v7.3 file", id="mat-v7.3-damaged"),
        pytest.param("junk.mat", _text("not a MATLAB file"), [], "is not a readable MATLAB file", id="corrupt-mat"),
        pytest.param("rate.wav", lambda path: scipy.io.wavfile.write(path, 8000, np.zeros(2000, np.int16)),
                     ["--fs", "8192"], "the file samples at 8000 Hz but the sample rate given is 8192 Hz",
                     id="fs-disagrees-with-wav"),
        pytest.param("stereo.wav", lambda path: scipy.io.wavfile.write(path, 8000, np.zeros((2000, 2), np.int16)),
                     [], "several vectors could be the vibration (channel_1, channel_2)", id="wav-channels-none-named"),
        pytest.param("junk.wav", _text("RIFF but not really"), [], "is not a readable WAV file", id="corrupt-wav"),
        pytest.param("record.txt", _csv(), [], "unknown file type '.txt'", id="unknown-type"),
        pytest.param("folder.csv", lambda path: path.mkdir(), [], "is a folder, not a record file", id="a-folder"),
        pytest.param("absent.csv", None, [], "no such file", id="missing-file"),
        pytest.param("ok.csv", _csv(), ["--rpm", "-3"], "argument --rpm: must be a positive number, not -3",
                     id="negative-speed"),
        pytest.param("ok.csv", _csv(), ["--rpm", "inf"], "argument --rpm: must be a positive number, not inf",
                     id="infinite-speed"),
        pytest.param("ok.csv", _csv(), ["--fs", "0"], "argument --fs: must be a positive number, not 0",
                     id="zero-rate"),
        pytest.param("ok.csv", _csv(), ["--fs", "2k"], "argument --fs: must be a positive number, not 2k",
                     id="rate-not-a-number"),
        pytest.param("ok.csv", _csv(), ["--gear-ratio", "0.5"], "gear ratio must be at least 1 (high-speed"
                     " revolutions per slow-shaft revolution), not 0.5", id="gear-ratio-below-one"),
        pytest.param("ok.csv", _csv(), ["--machine-group", "3"], "argument --machine-group: invalid choice: 3",
                     id="machine-group-unknown"),
        pytest.param("ok.csv", _csv(), ["--support", "soft"], "argument --support: invalid choice: 'soft'",
                     id="support-unknown"),
        pytest.param("ok.csv", _csv(), ["--units", "mm/s2"], "argument --units: invalid choice: 'mm/s2'",
                     id="units-unknown"),
        pytest.param("ok.csv", _csv(), ["--time-column", "clock"], "no column named 'clock' (found: time, vibration)",
                     id="named-time-column-missing"),
        pytest.param("ok.csv", _csv(), ["--bearing", "BPFO=3"], "missing BPFI, BSF, FTF", id="bearing-incomplete"),
        pytest.param("ok.csv", _csv(), ["--bearing", "BPFO=3.05,BPFI=1e9,BSF=1.99,FTF=0.38"],
                     "argument --bearing: BPFI must be below 314 orders", id="bearing-of-no-bearing"),
        pytest.param("ok.csv", _csv(), ["--bearing-geometry", "balls=1e9,ball_diameter=0.2,pitch_diameter=1"],
                     "1e+09 balls of diameter 0.2 do not fit around a pitch circle of diameter 1: 15 do at most",
                     id="geometry-of-no-bearing"),
        pytest.param("ok.csv", _csv(), ["--rpm", "5e-324"], "a shaft speed of 4.94066e-324 r/min turns less than once"
                     " in the record's 1 s; the record resolves no speed below 60 r/min", id="speed-below-resolution"),
        pytest.param("ok.csv", _csv(), ["--max-samples", "1000"], "argument --max-samples: must be at least 1024",
                     id="max-samples-below-a-record"),
        pytest.param("ok.csv", _csv(), ["--out", "/proc"], "cannot write the figure into /proc",
                     id="figure-folder-not-writable"),
        pytest.param("a\nb\x1b[2J.csv", _csv(header="time,\x1b[31mpressure"), [],
                     "a\\nb\\x1b[2J.csv: no vibration column (name one 'vibration'; found: time, \\x1b[31mpressure)",
                     id="control-characters-in-names"),
        pytest.param("ok.csv", _csv(), ["--vibration-column", "\x1b]0;title\x07" + "x" * 10**5],
                     f"no column named '\\x1b]0;title\\x07{'x' * 50}...' (found: time, vibration)",
                     id="control-characters-in-a-long-flag"),
    ],
)
def test_a_record_or_option_that_cannot_be_used_gets_one_error_line(tmp_path, capsys, name, write, options, problem):
    path = tmp_path / name
    if write is not None:
        write(path)
    code, out, err = run(capsys, "analyze", path, "--out", tmp_path / "out", *options)
    assert code == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("python -m kemo_pkg: error: ")
    assert problem in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", ["demo", "analyze"])
@pytest.mark.parametrize("problem", ["output folder is a file", "no matplotlib"])
def test_a_figure_that_cannot_be_written_gets_one_error_line(tmp_path, capsys, monkeypatch, command, problem):
    _csv()(tmp_path / "drive.csv")
    monkeypatch.chdir(tmp_path)
    out = Path("out")  # where figures go unless told otherwise
    if problem == "no matplotlib":  # installed without the [demo] extra
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        monkeypatch.delitem(sys.modules, "kemo_pkg.figure")
        monkeypatch.delattr(kemo_pkg, "figure")
        expected = "the figures need matplotlib; install it with: pip install 'kemo_pkg[demo]', or pass --no-figure"
    else:
        out.write_text("not a folder")
        expected = f"output folder {out} is a file"
    code, printed, err = run(capsys, *([command] if command == "demo" else [command, "drive.csv"]))
    assert (code, printed, err) == (2, "", f"python -m kemo_pkg: error: {expected}\n")


def test_help_names_the_program_its_commands_and_their_options(capsys):
    code, out, _ = run(capsys, "--help")
    assert code == 0 and out.startswith("usage: python -m kemo_pkg ") and "the drivetrain demonstration" in out
    assert run(capsys, "demo", "--help")[:2] == (
        0, "usage: python -m kemo_pkg demo [-h] [--out OUT] [--fleet]\n\noptions:\n"
           "  -h, --help  show this help message and exit\n  --out OUT   folder for demo.png (default: out)\n"
           "  --fleet     a synthetic fleet of 20 machines over a year instead, through\n"
           "              fleet and trend\n")
    for command, groups in (("analyze", ["the machine", "history", "output", "columns"]), ("trend", []),
                            ("fleet", ["the machine"])):
        code, out, _ = run(capsys, command, "--help")
        assert code == 0 and out.startswith(f"usage: python -m kemo_pkg {command} ")
        assert re.findall(r"^(\S[^:]*):$", out, re.MULTILINE) == ["positional arguments", "options", *groups]
    assert run(capsys, "--version")[:2] == (0, f"python -m kemo_pkg {kemo_pkg.__version__}\n")
    # Without a command: one line that asks for one.
    assert run(capsys) == (2, "", "python -m kemo_pkg: error: the following arguments are required:"
                                  " {demo,analyze,trend,fleet}\n")


def test_the_installed_command_reports_without_a_traceback(tmp_path):
    done = subprocess.run([sys.executable, "-m", "kemo_pkg", "analyze", tmp_path / "nothing.csv"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr == f"python -m kemo_pkg: error: {tmp_path / 'nothing.csv'}: no such file\n"


@pytest.mark.parametrize("group, support, zone", [(1, "rigid", "B"), (2, "rigid", "C"), (1, "flexible", "A")])
def test_the_velocity_and_zone_of_a_50_hz_sine_in_m_s2(tmp_path, capsys, group, support, zone):
    # 3 mm/s RMS at 50 Hz: an acceleration of 3e-3 * sqrt(2) * 2 pi 50 m/s2 peak.
    fs = 5000.0
    amplitude_m_s2 = 3e-3 * math.sqrt(2) * 2 * math.pi * 50
    t = np.arange(int(4 * fs)) / fs
    np.savez(tmp_path / "motor.npz", vibration=amplitude_m_s2 * np.sin(2 * np.pi * 50 * t + 0.3), fs=fs)
    code, out, _ = run(capsys, "analyze", tmp_path / "motor.npz", "--units", "m/s2", "--machine-group", group,
                       "--support", support, "--json", "--no-figure")
    severity = json.loads(out)["severity"]
    assert code == 0 and severity["velocity_rms_mm_s"] == pytest.approx(3.0, rel=0.01)
    assert severity["zone"] == zone and severity["band_hz"] == [10.0, 1000.0]
