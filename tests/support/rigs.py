"""The real development rigs beside the repository, when they are at hand:
`../shared/data/bearings-*`, each a folder of records and a `labels.csv`."""

import csv
from pathlib import Path

DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
RIGS = sorted(DATA.glob("bearings-*")) if DATA.is_dir() else []


def labelled(rig: str) -> dict[str, dict[str, str]]:
    """{file name without suffix: its row of labels.csv} of one rig ("fan-end", "uestc", "mfpt")."""
    with open(DATA / f"bearings-{rig}" / "labels.csv", newline="") as labels:
        return {row["file"].rsplit(".", 1)[0]: row for row in csv.DictReader(labels)}


def analyze_arguments(rig: str, name: str) -> list[str]:
    """`python -m kemo_pkg analyze` arguments for one record, as its labels give them."""
    row = labelled(rig)[name]
    bearing = ",".join(f"{key.upper()}={row[key]}" for key in ("bpfo", "bpfi", "bsf", "ftf"))
    return ["analyze", str(DATA / f"bearings-{rig}" / row["file"]), "--fs", row["fs_hz"], "--rpm", row["rpm"],
            "--vibration-column", row["vibration"], "--bearing", bearing]
