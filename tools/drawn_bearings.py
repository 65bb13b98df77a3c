"""The bearing diagnosis on bearings it was never tuned on: geometries drawn
at random.

    python tools/drawn_bearings.py synthetic [--draws N] [--seed S]
    python tools/drawn_bearings.py healthy [--draws N] [--seed S] FOLDER [FOLDER ...]

`synthetic` draws N bearings (7 to 16 rolling elements, 13 to 30 % of the
pitch diameter, a contact angle of 0, 15, 25 or 40 degrees) and for each a
sample rate, length, shaft speed, resonance and damping, and simulates a
record of known truth: a healthy bearing, or an outer-race, inner-race or
ball defect, or a healthy bearing beside another defective one on the shaft
(of another drawn geometry).  The impacts slip by up to 1.5 % and jitter; an inner race's
swing through the load zone at shaft rate, a ball's at cage rate (and the
ball strikes its two races unequally).  Under them: shaft harmonics, a gear
mesh and noise.  It prints the confusion table and every wrong defect named
and false alarm, and every defect missed whose lines stand tall in the
envelope spectrum of its resonance band: a miss the noise does not excuse.

`healthy` judges every healthy record of the labelled FOLDERs (as
`tools/evaluate.py` reads them) against N drawn bearings, through the whole
command: each alarm is a comb of the machine's other lines taken for that
bearing's defect.
"""

import argparse
import contextlib
import math
import random
from collections import Counter
from pathlib import Path

import numpy as np
from evaluate import command, diagnose, labels, print_table

from kemo_pkg import core_math
from kemo_pkg.bearing import DEFECTS, DefectOrders, defect_orders_from_geometry, diagnose_bearing

# A missed defect whose first lines stand this many times over their
# neighbourhood, read in the resonance band with the impact rate known, is listed.
TALL_LINES = 10.0


def drawn_orders(rng: random.Random) -> DefectOrders:
    """A rolling bearing of a drawn geometry: one that fits."""
    while True:
        balls, ratio, angle = rng.randint(7, 16), rng.uniform(0.13, 0.3), rng.choice((0, 15, 25, 40))
        with contextlib.suppress(ValueError):  # more balls than the pitch circle holds
            return defect_orders_from_geometry(balls, ratio, 1.0, angle)


def simulated(
    orders: DefectOrders, truth: str, rng: random.Random, noise: np.random.Generator
) -> tuple[np.ndarray, float, float, float, float]:
    """A record of the bearing with the defect `truth` ("none" for a healthy
    one), its sample rate and shaft speed, and the impact rate and the
    resonance they ring, Hz (NaN for a healthy one)."""
    fs, seconds, shaft_hz = rng.choice((12000.0, 25600.0, 51200.0)), rng.uniform(2, 10), rng.uniform(8, 50)
    t = np.arange(int(fs * seconds)) / fs
    shaft_lines = ((1, 1.0), (2, 0.4), (3, 0.2))
    x = sum(a * np.cos(2 * np.pi * k * shaft_hz * t + rng.uniform(0, 2 * np.pi)) for k, a in shaft_lines)
    x = x + 0.3 * np.cos(2 * np.pi * rng.randint(17, 60) * shaft_hz * t) + 0.5 * noise.standard_normal(t.size)
    if truth == "none":
        return x, fs, shaft_hz, math.nan, math.nan
    resonance_hz, damping = rng.uniform(0.08, 0.35) * fs, rng.uniform(0.02, 0.08)
    decay = damping * 2 * np.pi * resonance_hz
    ring_t = np.arange(int(8 / decay * fs) + 1) / fs
    ring = np.exp(-decay * ring_t) * np.sin(2 * np.pi * resonance_hz * ring_t)
    slip = 1 - rng.uniform(0.0, 0.015)
    rate_hz = {"outer_race": orders.bpfo, "inner_race": orders.bpfi, "ball": 2 * orders.bsf}[truth] * shaft_hz * slip
    times = np.arange(rng.uniform(0, 1 / rate_hz), seconds, 1 / rate_hz)
    times = times + noise.normal(0, rng.uniform(0.002, 0.01) / rate_hz, times.size)
    strength = np.full(times.size, rng.uniform(0.5, 3.0))
    swing_hz = {"inner_race": shaft_hz, "ball": orders.ftf * shaft_hz * slip}.get(truth)
    if swing_hz is not None:
        strength *= 0.1 + np.clip(np.cos(2 * np.pi * swing_hz * times), 0, None) ** 1.5
    if truth == "ball":
        strength[::2] *= rng.uniform(0.3, 1.0)
    impulses = np.zeros(t.size)
    np.add.at(impulses, np.minimum((times * fs).astype(int), t.size - 1), strength)
    return x + np.convolve(impulses, ring)[: t.size], fs, shaft_hz, rate_hz, resonance_hz


def line_height(x: np.ndarray, fs: float, rate_hz: float, resonance_hz: float) -> float:
    """How far the impact train's first three lines stand over their
    neighbourhood: the median, over the three, of a line's height over the
    median bin within 15 % of it, in the squared envelope spectrum of a band
    a fifth of the resonance either side of it."""
    high_hz = min(1.2 * resonance_hz, 0.49 * fs)
    hz, amps = core_math.compute_envelope_spectrum(x, fs, 0.8 * resonance_hz, high_hz)
    heights = []
    for k in range(1, 4):
        line = (hz > 0.98 * k * rate_hz) & (hz < 1.002 * k * rate_hz)
        around = (hz > 0.85 * k * rate_hz) & (hz < 1.15 * k * rate_hz)
        heights.append(amps[line].max() / np.median(amps[around]) if line.any() else 0.0)
    return float(np.median(heights))


def synthetic(draws: int, seed: int) -> None:
    rng, noise = random.Random(seed), np.random.default_rng(seed)
    outcomes, failures, tall_misses = [], [], []
    for _ in range(draws):
        orders, truth = drawn_orders(rng), rng.choice(("outer_race", "inner_race", "ball", "none", "another"))
        if truth == "another":  # this bearing sound, another on the shaft defective
            other, defect = drawn_orders(rng), rng.choice(("outer_race", "inner_race", "ball"))
            x, fs, shaft_hz, _, _ = simulated(other, defect, rng, noise)
            truth, source = "none", f"another bearing's {defect} ({other})"
        else:
            x, fs, shaft_hz, rate_hz, resonance_hz = simulated(orders, truth, rng, noise)
            source = truth
        diagnosis = diagnose_bearing(x, fs, orders, shaft_hz)
        outcomes.append((truth, diagnosis.verdict))
        where = f"at {fs:g} Hz, {x.size / fs:.1f} s, shaft {shaft_hz:.1f} Hz: {orders}"
        if diagnosis.verdict not in (truth, "none"):
            failures.append(f"  {source} read {diagnosis.verdict} ({diagnosis.confidence}) {where}")
        elif diagnosis.verdict == "none" and truth != "none":
            height = line_height(x, fs, rate_hz, resonance_hz)
            if height >= TALL_LINES:
                note = diagnosis.defects[truth].note
                tall_misses.append(
                    f"  {truth} missed, lines {height:.0f} times their neighbourhood"
                    f" at {resonance_hz:.0f} Hz{f' ({note})' if note else ''} {where}"
                )
    print_table(f"{draws} drawn bearings, simulated", outcomes)
    print("\n".join(failures))
    print(f"missed with lines {TALL_LINES:g} times their neighbourhood or more: {len(tall_misses)}")
    print("\n".join(tall_misses))


def healthy(folders: list[Path], draws: int, seed: int) -> None:
    rng = random.Random(seed)
    bearings = [drawn_orders(rng) for _ in range(draws)]
    alarms: Counter[tuple[str, str]] = Counter()
    judged = 0
    for folder in folders:
        for row in labels(folder):
            if row["fault"] != "none":
                continue
            for orders in bearings:
                drawn = {name: repr(getattr(orders, name)) for name in ("bpfo", "bpfi", "bsf", "ftf")}
                verdict, _, _ = diagnose(command(folder, row | drawn))
                judged += 1
                if verdict in DEFECTS:
                    alarms[row["file"], verdict] += 1
    print(f"alarms {sum(alarms.values())} of {judged} (healthy records against {draws} drawn bearings)")
    for (name, verdict), count in sorted(alarms.items()):
        print(f"  {name:<24} {verdict:<11} {count}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=("synthetic", "healthy"))
    parser.add_argument("folders", type=Path, nargs="*")
    parser.add_argument("--draws", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_intermixed_args()
    if args.mode == "synthetic":
        synthetic(args.draws, args.seed)
    else:
        healthy(args.folders, args.draws, args.seed)
