"""Each setting of the bearing diagnosis chosen again with one rig left out,
and judged on that rig: does a rule chosen on two rigs hold on the third?

    python tools/leave_one_rig_out.py FOLDER FOLDER FOLDER ...

Each FOLDER is a rig of labelled real records, as `tools/evaluate.py` reads
them.  Every record is read, checked and prepared once as `python -m kemo_pkg
analyze` would (its spikes bridged, its speed read from the shaft lines); its
families are then scored for every setting of the statistics' own constants
(the cage's lag, the sidebands' weight), and judged for every setting of the
presence thresholds.  A setting is chosen where right answers less three times
the wrong defects named and the false alarms is highest; among equally good
settings, each constant takes the median of its values there.
"""

import itertools
import statistics
import sys
from pathlib import Path
from unittest.mock import patch

from evaluate import labels

from kemo_pkg import bearing
from kemo_pkg.bearing import parse_defect_orders
from kemo_pkg.quality import bridge_spikes, check_vibration
from kemo_pkg.records import load_record
from kemo_pkg.speed import SPEED_READERS, SPEED_TOLERANCE

STATISTICS = {"CAGE_LAG": (0.0, 0.03, 0.045, 0.06), "SIDEBAND_WEIGHT": (0.0, 0.3, 0.5, 0.7)}
THRESHOLDS = {"MIN_EXCESS": (0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.6), "MIN_SCORE": (2.0, 3.0, 4.0),
              "MIN_SIDEBAND_EXCESS": (0.35, 0.5, 0.65)}
WRONG_WEIGHT = 3  # a wrong defect or a false alarm costs three right answers
DEFECTS = set(bearing.DEFECTS)


def memoized_judging():
    """The bearing module's comb search and explaining-away, remembered: the
    thresholds decide which family stands, not what the combs score, so each
    record's combs are searched once whatever the thresholds."""
    combs, explained = {}, {}
    search, explain_away = bearing._best_combs, bearing._explain_away

    def best_combs(levels, fundamental_hz, sideband_hz, windows):
        key = (id(levels), fundamental_hz, sideband_hz, tuple(windows))
        if key not in combs:
            combs[key] = (levels, search(levels, fundamental_hz, sideband_hz, windows))
        return combs[key][1]

    def without(levels, evidence, modulations_hz, top_hz):
        key = (id(levels), evidence.defect, evidence.found_hz)
        if key not in explained:
            explained[key] = (levels, explain_away(levels, evidence, modulations_hz, top_hz))
        return explained[key][1]

    return {"_best_combs": best_combs, "_explain_away": without}


def prepared(folder, row):
    """A record's candidate bands, as the command prepares them; None for a
    record with no usable signal."""
    record = load_record(folder / row["file"], float(row["fs_hz"]), vibration_column=row["vibration"])
    quality = check_vibration(record.vibration, record.fs)
    if not quality.usable:
        return None
    vibration = bridge_spikes(record.vibration, quality.spikes)
    nominal_hz = float(row["rpm"]) / 60
    read_hz = (read(vibration, record.fs, nominal_hz, SPEED_TOLERANCE) for _, read in SPEED_READERS)
    shaft_hz = next((hz for hz in read_hz if hz is not None), nominal_hz)
    orders = parse_defect_orders(",".join(f"{key}={row[key]}" for key in ("bpfo", "bpfi", "bsf", "ftf")))
    return bearing._bands(vibration, record.fs, orders, shaft_hz, None, None)


def tally(outcomes):
    """Right, wrong defect named, missed and false alarms of (label, verdict) pairs."""
    right = sum(label == verdict for label, verdict in outcomes)
    wrong = sum(label in DEFECTS and verdict in DEFECTS and verdict != label for label, verdict in outcomes)
    missed = sum(label in DEFECTS and verdict not in DEFECTS for label, verdict in outcomes)
    false_alarms = sum(label == "none" and verdict != "none" for label, verdict in outcomes)
    return right, wrong, missed, false_alarms


def objective(outcomes):
    right, wrong, _, false_alarms = tally(outcomes)
    return right - WRONG_WEIGHT * (wrong + false_alarms)


def chosen(verdicts, rigs):
    """The setting that does best on `rigs`, at the middle of its plateau."""
    scores = {setting: objective([o for rig in rigs for o in by_rig[rig]]) for setting, by_rig in verdicts.items()}
    best = max(scores.values())
    plateau = [setting for setting, score in scores.items() if score == best]
    middle = tuple(statistics.median_low(values) for values in zip(*plateau))
    # The plateau's middle, or where it is not itself on the plateau, its nearest member.
    return min(plateau, key=lambda setting: sum(abs(a - b) for a, b in zip(setting, middle)))


def main(folders):
    names = list(STATISTICS) + list(THRESHOLDS)
    labelled = []
    for folder in folders:
        for row in labels(folder):
            labelled.append((folder.name, row["fault"], prepared(folder, row)))
            print(f"  prepared {folder.name}/{row['file']}", file=sys.stderr)
    rigs = [folder.name for folder in folders]
    verdicts = {}
    for statistic in itertools.product(*STATISTICS.values()):
        memoized = memoized_judging()
        with patch.multiple(bearing, **dict(zip(STATISTICS, statistic))):
            families = [None if ready is None else bearing._families(ready) for _, _, ready in labelled]
            for threshold in itertools.product(*THRESHOLDS.values()):
                with patch.multiple(bearing, **dict(zip(THRESHOLDS, threshold)) | memoized):
                    by_rig = {rig: [] for rig in rigs}
                    for (rig, label, _), scored in zip(labelled, families):
                        verdict = "sensor fault"
                        if scored is not None:
                            evidence, ranked, stood, _ = bearing._judged(scored)
                            verdict = bearing._verdict(evidence, ranked, stood)[0]
                        by_rig[rig].append((label, verdict))
                verdicts[statistic + threshold] = by_rig
        print(f"  judged {dict(zip(STATISTICS, statistic))}", file=sys.stderr)
    everywhere = chosen(verdicts, rigs)
    print("| left out | " + " | ".join(names) + " | right | wrong | missed | false alarms |")
    print("|---" * (len(names) + 5) + "|")
    for left_out in [None, *rigs]:
        training = [rig for rig in rigs if rig != left_out]
        setting = chosen(verdicts, training)
        judged = rigs if left_out is None else [left_out]
        right, wrong, missed, false_alarms = tally([o for rig in judged for o in verdicts[setting][rig]])
        values = " | ".join(f"{value:g}" + ("" if value == default else " *")
                            for value, default in zip(setting, everywhere))
        print(f"| {left_out or 'none (all three)'} | {values} | {right} | {wrong} | {missed} | {false_alarms} |")
    print("\n* differs from the value chosen on all rigs\n")
    print("| rig, with the values chosen on all rigs | right | wrong | missed | false alarms |")
    print("|---|---|---|---|---|")
    for rig in rigs:
        print(f"| {rig} | " + " | ".join(str(n) for n in tally(verdicts[everywhere][rig])) + " |")
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main([Path(arg) for arg in sys.argv[1:]]))
