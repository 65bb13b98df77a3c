"""A fleet through its history: records found and dated, the synthetic
fleet's truth found, the same table serially, on PostgreSQL and on a real
Dask cluster, only new records analysed again, a run killed halfway
completed by the next, and the commands a user runs."""

import json
import os
import signal
import subprocess
import sys
import time
from dataclasses import replace
from datetime import UTC, datetime

import pytest
import sqlalchemy as sa

from kemo_pkg.__main__ import main
from kemo_pkg.analysis import Settings
from kemo_pkg.demo import Drivetrain, make_record
from kemo_pkg.demo_fleet import FleetDesign, build_fleet, truth_rows
from kemo_pkg.fleet import fleet_table, jobs_from_folder, jobs_from_manifest, new_jobs, run_fleet, table_json
from kemo_pkg.history import open_history, stored_keys
from kemo_pkg.problems import InputError
from kemo_pkg.records import save_record

# A spall on P-101 from its 23rd measurement, P-103's cable broken from its 14th.
DESIGN = FleetDesign(machines=3, measurements=26, spalls=((0, 22),), sensor_failure=(2, 13))
BEARING = "BPFO=3.57,BPFI=5.43,BSF=2.316,FTF=0.3967"


@pytest.fixture(scope="module")
def manifest(tmp_path_factory):
    return build_fleet(tmp_path_factory.mktemp("fleet"), DESIGN)


@pytest.fixture(scope="module")
def fleet(manifest):
    return jobs_from_manifest(manifest, manifest.parent, Settings(band_hz=DESIGN.band_hz))


def table_after_run(jobs, target, client=None):
    history = open_history(target)
    analysed_now = len(list(run_fleet(new_jobs(jobs, history), history, client)))
    return table_json(fleet_table(history), analysed_now), history


@pytest.mark.services
def test_the_same_fleet_gives_the_same_table_on_sqlite_postgresql_and_a_cluster(
    manifest, fleet, tmp_path, postgres_url, capsys
):
    from distributed import Client, LocalCluster

    serial, history = table_after_run(fleet, tmp_path / "serial.sqlite")
    assert all(row.passed for _, rows in truth_rows(DESIGN, fleet_table(history)) for row in rows)
    # The sensor fault first, then the spalled bearing, then the healthy machine.
    assert [(m["machine"], m["verdict"], m["measurements"]) for m in serial["machines"]] == [
        ("P-103", "sensor_fault", 26),
        ("P-101", "outer_race", 26),
        ("P-102", "none", 26),
    ]
    assert serial["analysed_now"] == 78 and table_after_run(fleet, tmp_path / "serial.sqlite")[0]["analysed_now"] == 0
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster,
        Client(cluster) as client,
    ):
        # The command a team runs against its cluster: the scheduler's address.
        address = cluster.scheduler_address
        command = ["fleet", manifest.parent, "--manifest", manifest, "--band", *DESIGN.band_hz, "--json"]
        capsys.readouterr()
        assert main([str(arg) for arg in [*command, "--scheduler", address, "--history", tmp_path / "c.sqlite"]]) == 0
        on_cluster = json.loads(capsys.readouterr().out)
        assert len({worker for worker in client.run(os.getpid).values()} - {os.getpid()}) == 2
    # A gone scheduler: one line, and no history left where none was.
    gone = tmp_path / "never.sqlite"
    assert main(["fleet", str(manifest.parent), "--scheduler", address, "--history", str(gone)]) == 2
    assert capsys.readouterr().err.startswith(f"python -m kemo_pkg: error: no Dask scheduler at {address} (")
    assert not gone.exists()
    assert table_after_run(fleet, postgres_url)[0] == serial == on_cluster


@pytest.mark.services
def test_a_run_killed_halfway_is_completed_by_the_next_without_a_duplicate(tmp_path):
    design = FleetDesign(machines=4, measurements=40, spalls=(), sensor_failure=(3, 30))
    manifest = build_fleet(tmp_path, design)
    target = str(tmp_path / "history.sqlite")
    history = open_history(target)
    command = [
        sys.executable,
        "-m",
        "kemo_pkg",
        "fleet",
        str(tmp_path),
        "--manifest",
        str(manifest),
        "--history",
        target,
        "--workers",
        "0",
        "--band",
        "1500",
        "3500",
        "--json",
    ]
    run = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not stored_keys(history) and run.poll() is None:
        time.sleep(0.02)
    run.send_signal(signal.SIGKILL)
    run.wait()
    stored = len(stored_keys(history))
    assert 0 < stored < 160
    rerun = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert json.loads(rerun.stdout)["analysed_now"] == 160 - stored
    with history.connect() as connection:
        counts = connection.execute(
            sa.text(
                "SELECT (SELECT count(*) FROM measurement), (SELECT count(DISTINCT path) FROM measurement),"
                " (SELECT count(*) FROM defect), (SELECT count(*) FROM measurement WHERE usable)"
            )
        ).one()
    assert tuple(counts) == (160, 160, 4 * 150, 150)  # every usable measurement whole, with its four defects


def test_records_are_found_by_machine_and_dated_from_their_name_or_their_time(tmp_path):
    record = make_record(Drivetrain(fs=2048.0, duration_s=1.0))
    for name in ("P-1/2025-03-05T0812.npz", "P-1/old/undated.npz", "P-2/x_20250101.npz", "loose_2025-01-01.npz"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        save_record(tmp_path / name, record)
    (tmp_path / "P-2" / "notes.txt").write_text("not a record")
    moment = datetime(2024, 6, 1, 12, 0)
    os.utime(tmp_path / "P-1/old/undated.npz", (moment.replace(tzinfo=UTC).timestamp(),) * 2)
    found = [(job.machine, job.path, job.taken, job.taken_from) for job in jobs_from_folder(tmp_path)]
    assert found == [
        ("P-1", str(tmp_path / "P-1/2025-03-05T0812.npz"), datetime(2025, 3, 5, 8, 12), "file name"),
        ("P-1", str(tmp_path / "P-1/old/undated.npz"), moment, "file time"),
        ("P-2", str(tmp_path / "P-2/x_20250101.npz"), datetime(2025, 1, 1), "file name"),
    ]


@pytest.mark.parametrize(
    "manifest, error",
    [
        ("path,taken\nr.npz,2025-01-01\n", "the manifest needs the columns path, machine (missing: machine)"),
        ("path,machine\nnone.npz,P-1\n", "line 2: {folder}/none.npz: no such file"),
        ("path,machine\nr.npz,\n", "line 2: no machine"),
        ("path,machine,taken\nr.npz,P-1,yesterday\n", "line 2: taken 'yesterday': Invalid isoformat string"),
        ("path,machine,rpm\nr.npz,P-1,-1500\n", "line 2: rpm '-1500': must be a positive number"),
        ("path,machine,bearing\nr.npz,P-1,BPFO=3\n", "line 2: bearing 'BPFO=3'"),
    ],
)
def test_a_manifest_that_cannot_be_used_is_named_with_its_line(tmp_path, manifest, error):
    save_record(tmp_path / "r.npz", make_record(Drivetrain(fs=2048.0, duration_s=1.0)))
    (tmp_path / "m.csv").write_text(manifest)
    with pytest.raises(InputError) as raised:
        jobs_from_manifest(tmp_path / "m.csv", tmp_path)
    assert str(raised.value).startswith(f"{tmp_path / 'm.csv'}") and error.format(folder=tmp_path) in str(raised.value)


@pytest.mark.parametrize("tolerance_percent, shaft_hz", [(10, 1300 / 60), (20, 25.0)])
def test_the_fleet_seeks_the_speed_within_the_tolerance_its_flags_give(tmp_path, tolerance_percent, shaft_hz):
    # The shaft turns at 1500 r/min, 15 % above the 1300 its flags give: found within 20 %, not within 10 %.
    (tmp_path / "P-1").mkdir()
    save_record(
        tmp_path / "P-1" / "2025-01-02.npz", replace(make_record(Drivetrain(fs=12800.0, duration_s=4.0)), tach=None)
    )
    target = tmp_path / "history.sqlite"
    flags = ["--rpm", "1300", "--rpm-tolerance", str(tolerance_percent)]
    assert main(["fleet", str(tmp_path), "--history", str(target), "--workers", "0", "--json", *flags]) == 0
    with sa.create_engine(f"sqlite:///{target}").connect() as connection:
        stored = connection.execute(sa.text("SELECT shaft_hz, settings FROM measurement")).one()
    assert stored.shaft_hz == pytest.approx(shaft_hz, rel=0.03)
    assert json.loads(stored.settings)["rpm_tolerance"] == tolerance_percent / 100


def test_the_commands_keep_a_history_read_a_trend_and_rank_a_fleet(tmp_path, capsys):
    def run(*args):
        code = main([str(arg) for arg in args])
        out, err = capsys.readouterr()
        return code, out, err

    target = tmp_path / "history.sqlite"
    (tmp_path / "P-9").mkdir()
    save_record(tmp_path / "P-9" / "2025-01-02.npz", make_record(Drivetrain(fs=12800.0, duration_s=4.0)))
    (tmp_path / "P-9" / "2025-01-09.npz").write_bytes(b"not an archive")
    analyze = [
        "analyze",
        tmp_path / "P-9" / "2025-01-02.npz",
        "--machine",
        "P-9",
        "--history",
        target,
        "--bearing",
        BEARING,
        "--no-figure",
    ]
    code, out, _ = run(*analyze)
    assert code == 0 and out.endswith(
        f"\nhistory: P-9, taken 2025-01-02T00:00:00 (from the file name), stored in {target}\n"
    )
    code, out, _ = run(*analyze, "--taken", "2025-01-02T09:00+01:00", "--json")
    assert json.loads(out)["history"] == {
        "machine": "P-9",
        "taken": "2025-01-02T08:00:00",
        "taken_from": "flag",
        "stored": False,
    }
    fleet = ["fleet", tmp_path, "--history", target, "--workers", "0", "--json", "--csv", tmp_path / "table.csv"]
    code, out, _ = run(*fleet)
    row = {
        "machine": "P-9",
        "measurements": 1,
        "last_taken": "2025-01-09T00:00:00",
        "verdict": "outer_race",
        "zone": "D",
        "alarms": [],
        "failed": 1,
    }
    assert (code, json.loads(out)) == (0, {"machines": [row], "analysed_now": 1})
    assert (tmp_path / "table.csv").read_text().splitlines()[1] == "P-9,1,2025-01-09T00:00:00,outer_race,D,,1"
    assert run(*fleet[:-2], "--force")[1] == json.dumps({"machines": [row], "analysed_now": 0}) + "\n"
    assert run(*fleet)[::2] == (
        2,
        f"python -m kemo_pkg: error: {tmp_path / 'table.csv'} exists; pass --force to overwrite it\n",
    )
    code, out, _ = run("trend", "P-9", "--history", target)
    assert code == 0 and "velocity RMS (mm/s)           1  too few readings for a trend (it needs 21)" in out
    assert run("trend", "P-0", "--history", target)[::2] == (
        2,
        f"python -m kemo_pkg: error: no measurement of P-0 in {target} (machines: P-9)\n",
    )
