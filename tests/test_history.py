"""The history store: what goes in comes back, once per machine and record,
on SQLite and on a real PostgreSQL server; its schema made by its own
migrations; several writers at once; and a machine's trend read from it."""

import subprocess
import sys
from datetime import UTC, datetime, timedelta, timezone
from pathlib import Path

import numpy as np
import pytest
import sqlalchemy as sa

from kemo_pkg.history import (
    Measurement,
    Reading,
    append,
    date_from_name,
    machine_history,
    machines,
    open_history,
    stored_keys,
    to_utc,
)
from kemo_pkg.problems import InputError
from kemo_pkg.trend import machine_trend

FINDINGS = {
    "quality": {"usable": True},
    "speed": {"shaft_hz": 24.9},
    "severity": {"velocity_rms_mm_s": 3.1, "zone": "B"},
    "bearing": {
        "verdict": "outer_race",
        "band_rms": 0.21,
        "defects": {
            "outer_race": {"frequency_hz": 89.2, "score": 12.5, "present": True},
            "cage": {"frequency_hz": 9.9, "score": None, "present": False},
        },
    },
}
SENSOR_FAULT = {"quality": {"usable": False}, "speed": None, "severity": None, "bearing": None}


def measurement(digest, machine="P-101", day=1, document=FINDINGS, error=None):
    return Measurement(
        machine,
        datetime(2025, 3, day, 8, 30),
        "file name",
        f"{machine}/{digest}.npz",
        digest,
        {"machine_group": 1},
        document,
        error,
    )


@pytest.fixture(params=["sqlite", pytest.param("postgresql", marks=pytest.mark.services)])
def target(request, tmp_path):
    return str(tmp_path / "history.sqlite") if request.param == "sqlite" else request.getfixturevalue("postgres_url")


def test_each_record_is_stored_once_and_read_back_as_it_was_found(target):
    history = open_history(target)
    batch = [
        measurement("a1", day=2),
        measurement("a0", day=1),
        measurement("b0", "P-7", document=SENSOR_FAULT),
        measurement("c0", day=3, document=None, error="P-101/c0.npz: no vibration column"),
    ]
    assert append(history, batch + [measurement("a1", day=9)]) == 4
    assert append(open_history(target), batch) == 0  # migrated already; every record known
    with history.connect() as connection:
        assert connection.execute(sa.text("SELECT version_num FROM alembic_version")).scalar() == "0001"
    assert machines(history) == ["P-101", "P-7"]
    assert stored_keys(history) == {("P-101", "a0"), ("P-101", "a1"), ("P-101", "c0"), ("P-7", "b0")}
    found = {
        "velocity_rms_mm_s": 3.1,
        "outer_race": 12.5,
        "inner_race": None,
        "ball": None,
        "cage": None,
        "band_rms": 0.21,
        "shaft_hz": 24.9,
    }
    assert machine_history(history, "P-101") == [
        Reading(
            datetime(2025, 3, day, 8, 30),
            f"P-101/{digest}.npz",
            "analysed",
            None,
            True,
            "outer_race",
            "B",
            found,
            {"machine_group": 1},
            frozenset({"outer_race"}),
        )
        for digest, day in (("a0", 1), ("a1", 2))
    ] + [
        Reading(
            datetime(2025, 3, 3, 8, 30),
            "P-101/c0.npz",
            "failed",
            "P-101/c0.npz: no vibration column",
            None,
            None,
            None,
            dict.fromkeys(found),
            {"machine_group": 1},
        )
    ]
    assert machine_history(history, "P-7")[0].verdict == "sensor_fault"


@pytest.mark.services
def test_writers_in_several_processes_append_at_once(tmp_path):
    target = str(tmp_path / "history.sqlite")
    open_history(target)
    writer = (
        "import sys; from test_history import measurement; from kemo_pkg.history import append, open_history\n"
        "history = open_history(sys.argv[1])\n"
        "for k in range(10): append(history, [measurement(f'{sys.argv[2]}-{k}'), measurement('shared')])\n"
    )
    writers = [
        subprocess.Popen([sys.executable, "-c", writer, target, str(n)], cwd=Path(__file__).parent) for n in range(3)
    ]
    assert [w.wait(timeout=120) for w in writers] == [0] * 3
    assert len(stored_keys(open_history(target))) == 3 * 10 + 1


@pytest.mark.parametrize(
    "name, taken",
    [
        ("P-101_2025-03-05.npz", datetime(2025, 3, 5)),
        ("pump 20250305T0812.csv", datetime(2025, 3, 5, 8, 12)),
        ("run_2025-03-05_08-12-30.wav", datetime(2025, 3, 5, 8, 12, 30)),
        ("batch 20251399 then 2025-01-02.mat", datetime(2025, 1, 2)),  # no 99th day: not a date
        ("record_12345678.npz", None),
        ("record.npz", None),
    ],
)
def test_a_date_in_a_file_name(name, taken):
    assert date_from_name(name) == taken


def test_a_time_with_its_zone_is_kept_in_utc():
    assert to_utc(datetime(2025, 3, 5, 8, 0, tzinfo=timezone(timedelta(hours=2)))) == datetime(2025, 3, 5, 6, 0)
    assert to_utc(datetime(2025, 3, 5, 8, 0)) == to_utc(datetime(2025, 3, 5, 8, 0, tzinfo=UTC))


@pytest.mark.parametrize(
    "target, message",
    [
        ("mysql://user@host/db", "history mysql://user@host/db: the history lives in SQLite or PostgreSQL"),
        ("no/such/folder/h.sqlite", "history no/such/folder/h.sqlite: the SQLite file needs an existing folder"),
        ("sqlite://", "history sqlite://: the SQLite file needs an existing folder"),
        ("postgresql://nobody@/none?host=/no/such/socket", "history postgresql+psycopg://nobody@/none?host=%2Fno%2F"),
    ],
)
def test_a_target_that_is_no_history_is_named(target, message):
    with pytest.raises(InputError) as raised:
        open_history(target)
    assert str(raised.value).startswith(message) and "\n" not in str(raised.value)


def _overwrite_tables(path):
    data = bytearray(path.read_bytes())
    data[4096:] = bytes(range(256)) * ((len(data) - 4096) // 256) + bytes((len(data) - 4096) % 256)
    path.write_bytes(bytes(data))


def _stored_date_not_text(path):
    with sa.create_engine(f"sqlite:///{path}").begin() as connection:
        connection.execute(sa.text("UPDATE measurement SET taken = CAST(X'FF00' AS TEXT)"))


def _append_another(engine, machine):
    append(engine, [measurement("b", machine)])


@pytest.mark.parametrize(
    "damage, operation, reason",
    [
        (_overwrite_tables, machine_history, "database disk image is malformed"),
        (_overwrite_tables, _append_another, "database disk image is malformed"),
        (_stored_date_not_text, machine_history, "Could not decode to UTF-8"),
    ],
)
def test_a_history_damaged_since_it_was_written_is_named(tmp_path, damage, operation, reason):
    path = tmp_path / "history.sqlite"
    engine = open_history(str(path))
    append(engine, [measurement("a")])
    damage(path)
    with pytest.raises(InputError, match=f"^history sqlite:///{path}: .*{reason}"):
        operation(engine, "P-101")
    engine.dispose()


@pytest.mark.parametrize("judged_present, alarm_index", [(True, 29), (False, None)])
def test_a_rising_velocity_reaches_its_next_zone_on_the_projected_date(judged_present, alarm_index):
    # 0.01 mm/s a day from 1 mm/s, measured weekly: 3.03 mm/s after 29 weeks,
    # zone B, and 4.5 mm/s (zone C) 147 days later.  The last three cage
    # scores jump out of their noise: an alarm where the cage is judged
    # present in them, none where the jump is its decoys' noise.  The ball is
    # read too seldom for a trend.
    rng = np.random.default_rng(1)
    days = np.arange(30) * 7
    cage = np.r_[rng.normal(0.0, 1.0, 27), 9.0, 9.5, 9.0]
    readings = [
        Reading(
            datetime(2025, 1, 1) + timedelta(days=int(d)),
            "",
            "analysed",
            None,
            True,
            "none",
            "A" if 1 + 0.01 * d < 2.3 else "B",
            {"velocity_rms_mm_s": 1 + 0.01 * d, "cage": c, "ball": 1.0 if k % 2 else None},
            {},
            frozenset({"cage"} if judged_present and k >= 27 else ()),
        )
        for k, (d, c) in enumerate(zip(days, cage))
    ]
    trend = machine_trend(
        readings
        + [
            Reading(
                datetime(2026, 1, 1), "", "analysed", None, False, "sensor_fault", None, {"velocity_rms_mm_s": 99.0}, {}
            )
        ]
    )
    assert trend.measurements == 30 and set(trend.trends) == {"velocity_rms_mm_s", "cage"}
    assert trend.too_few == {"outer_race": 0, "inner_race": 0, "ball": 15, "band_rms": 0, "shaft_hz": 0}
    assert trend.trends["cage"].alarm_index == alarm_index and trend.trends["velocity_rms_mm_s"].alarm_index is None
    outlook = trend.outlook
    assert (outlook.zone, outlook.next_zone, outlook.boundaries_mm_s) == ("B", "C", (2.3, 4.5, 7.1))
    assert abs(outlook.projected - (readings[-1].taken + timedelta(days=147))) < timedelta(hours=1)
