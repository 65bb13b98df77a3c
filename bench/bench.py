"""The module against its plain-Python baseline, side by side in one process.

For every workload the two are timed in alternation over several rounds; the
table shows the median time per call of each and their ratio, and whether
the two results are identical down to type, dtype, shape and bits.  A
non-identical result or a ratio below its target fails the run.

Where the module runs the same numpy calls as the baseline, the target is
parity ("never slower") and the two differ by less than this machine's
run-to-run noise.  Such a row fails only when the module is measurably
slower: when it lost in three rounds out of four (the upper quartile of the
per-round ratios lies below 1).

The run is an ordinary process, as users run the module: nothing is set in
its environment (no allocator tunables) and nothing else is tuned.

The fleet row runs `kemo_pkg.fleet.run_fleet` over 400 records of 120 000
samples at 12 kHz (10 s each, a bearing given) on a local Dask cluster of one
and of two worker processes, each time into a new SQLite history, and gives
the records per second of each (the cluster's start left out, the writes to
the history in), the scaling, which fails the run below 1.8, the scaling a
plain Python loop gets from two processes on the machine just after (what
the fleet's can reach while other work shares the cores), the share of the
run the history's batched writes took, and the largest peak memory of a
worker.

The bearing diagnosis has no plain-Python baseline: its row gives the time
per call of `kemo_pkg.bearing.diagnose_bearing` on a record of 120 000
samples at 12 kHz, and fails the run at 0.2 s or more of the process's CPU
time per call.  The diagnosis runs on one thread, so that is its wall-clock
time on an idle machine; on a shared one, other work stretches the wall
clock (shown beside it), not the work the diagnosis does.
"""

import dataclasses
import datetime
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import kemo_pkg.core_math as core_math  # noqa: E402
from kemo_pkg.bearing import diagnose_bearing, parse_defect_orders  # noqa: E402
from support import reference  # noqa: E402
from support.outcome import outcome  # noqa: E402

FLEET_RECORDS = 400
FLEET_SCALING = 1.8  # the target: records per second on two workers over one
ROUND_SECONDS = 0.05  # time one side spends per round, at least one call
MAX_ROUNDS = 15
ROW_SECONDS = 3.0  # rounds stop early once a row has taken this long


def waveform(n, fs=10_000.0, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / fs
    return np.sin(2 * np.pi * 157.0 * t) + 0.5 * np.sin(2 * np.pi * 1_210.0 * t) + 0.1 * rng.standard_normal(n)


def tachometer(n, n_pulses, fs=20_000.0, seed=1):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / fs
    y = 0.02 * rng.standard_normal(n)
    period = n // n_pulses
    width = max(1, period // 50)
    for k in range(n_pulses):
        y[k * period + period // 3 : k * period + period // 3 + width] += 5.0
    return t, y


def spectrum(n):
    freqs = np.linspace(0.0, 50.0, n)
    rng = np.random.default_rng(2)
    return freqs, np.abs(rng.standard_normal(n)) + 10.0 * np.exp(-((freqs - 10.0) ** 2) / 0.01)


def trend(n, seed=3):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n)) * 0.1 + np.linspace(0.0, 5.0, n)


def power(n, rating, seed=4):
    rng = np.random.default_rng(seed)
    return rng.uniform(-0.05 * rating, 1.05 * rating, n)


def order_tracking_inputs(n):
    fs = 20_000.0
    t = np.arange(n) / fs
    revs = int(max(3, n // 400))
    pulses = np.linspace(t[0], t[-1], revs + 1)
    return t, waveform(n, fs), pulses


# The fan-end development set's 6203 bearing, in orders of shaft speed.
BEARING_ORDERS = parse_defect_orders("BPFO=3.0530,BPFI=4.9469,BSF=1.994,FTF=0.3817")
DIAGNOSIS_SECONDS = 0.2  # the target: time per diagnosis, at most


def bearing_record(n=120_000, fs=12_000.0, shaft_hz=29.95, seed=5):
    """Shaft harmonics, noise, and outer-race impacts, each ringing a 3 kHz
    resonance, the rolling elements slipping 0.5 % and each impact a little
    early or late, as rolling elements are."""
    rng = np.random.default_rng(seed)
    t = np.arange(n) / fs
    x = sum(a * np.cos(2 * np.pi * k * shaft_hz * t + k) for k, a in ((1, 0.4), (2, 0.2), (3, 0.1)))
    x = x + 0.3 * rng.standard_normal(n)
    impacts = np.zeros(n)
    period = 1.0 / (BEARING_ORDERS.bpfo * shaft_hz * 0.995)
    times = np.arange(0.005, n / fs - 0.005, period)
    impacts[((times + rng.normal(0.0, 0.005 * period, times.size)) * fs).astype(int)] = 1.0
    ring_t = np.arange(int(0.004 * fs)) / fs
    return x + np.convolve(impacts, np.exp(-900.0 * ring_t) * np.sin(2 * np.pi * 3_000.0 * ring_t))[:n]


def diagnosis_seconds(rounds=9):
    """Median CPU and wall-clock time of diagnose_bearing on
    `bearing_record`, and its verdict."""
    fs, shaft_hz, record = 12_000.0, 29.95, bearing_record()
    verdict = diagnose_bearing(record, fs, BEARING_ORDERS, shaft_hz).verdict
    cpu, wall = [], []
    for _ in range(rounds):
        cpu_start, wall_start = time.process_time(), time.perf_counter()
        diagnose_bearing(record, fs, BEARING_ORDERS, shaft_hz)
        cpu.append(time.process_time() - cpu_start)
        wall.append(time.perf_counter() - wall_start)
    return statistics.median(cpu), statistics.median(wall), verdict


def fleet_records(folder, count=FLEET_RECORDS):
    """`count` records of 120 000 samples at 12 kHz, without tachometer, of
    ten machines at speeds from 20 to 30 Hz; every third with an outer-race
    defect.  Returns the jobs that analyse them."""
    from kemo_pkg.analysis import Settings
    from kemo_pkg.demo import Drivetrain, make_record
    from kemo_pkg.fleet import Job
    from kemo_pkg.history import content_hash
    from kemo_pkg.records import save_record

    jobs = []
    for k in range(count):
        design = Drivetrain(fs=12_000.0, duration_s=10.0, hss_speed_hz=20.0 + k % 10, seed=k, speed_drift_hz=0.05,
                            impact_amp=0.3 if k % 3 == 0 else 0.0, resonance_hz=3_000.0, mesh_amp=0.1)
        path = folder / f"record_{k:03d}.npz"
        save_record(path, dataclasses.replace(make_record(design), tach=None))
        settings = Settings(bearing=design.bearing, rpm=design.hss_speed_hz * 60)
        jobs.append(Job(f"M-{k % 10}", str(path), datetime.datetime(2025, 1, 1) + datetime.timedelta(days=k),
                        "flag", content_hash(path), settings))
    return jobs


def _peak_memory_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def fleet_rate(jobs, folder, workers):
    """Records per second of a fleet run on `workers` processes, the share of
    it that the same measurements take to write into a new history in the
    run's batches, and the largest worker's peak memory (MB)."""
    from distributed import Client, LocalCluster

    from kemo_pkg.fleet import BATCH_RECORDS, run_fleet
    from kemo_pkg.history import append, open_history, stored_keys

    engine = open_history(str(folder / f"history_{workers}.sqlite"))
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        start = time.perf_counter()
        measurements = list(run_fleet(jobs, engine, client))
        seconds = time.perf_counter() - start
        peak_mb = max(client.run(_peak_memory_mb).values())
    assert len(measurements) == len(jobs) == len(stored_keys(engine))
    again = open_history(str(folder / f"history_{workers}_again.sqlite"))
    start = time.perf_counter()
    for first in range(0, len(measurements), BATCH_RECORDS):
        append(again, measurements[first : first + BATCH_RECORDS])
    return len(jobs) / seconds, (time.perf_counter() - start) / seconds, peak_mb


def _count(n):
    total = 0
    for i in range(n):
        total += i * i
    return total


def machine_scaling(n=15_000_000):
    """How much more a plain Python loop gets done in two processes than in
    one on this machine now: what the fleet's scaling can reach."""
    import multiprocessing

    seconds = []
    for processes in (1, 2):
        start = time.perf_counter()
        with multiprocessing.get_context("spawn").Pool(processes) as pool:
            pool.map(_count, [n] * processes)
        seconds.append(time.perf_counter() - start)
    return 2 * seconds[0] / seconds[1]


def fleet_row():
    """The fleet row's cells, and its failure, if any."""
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        jobs = fleet_records(folder)
        (one, one_share, one_mb), (two, two_share, two_mb) = (fleet_rate(jobs, folder, n) for n in (1, 2))
    scaling, machine = two / one, machine_scaling()
    print(f"\n| {'fleet run':28} | {'workload':30} | {'1 worker':>12} | {'2 workers':>12} | {'scaling':>8} |"
          f" {'target':>6} | {'machine':>7} | {'history writes':>14} | {'worker peak':>11} |")
    print(f"|{'-' * 30}|{'-' * 32}|{'-' * 14}|{'-' * 14}|{'-' * 10}|{'-' * 8}|{'-' * 9}|{'-' * 16}|{'-' * 13}|")
    print(f"| {'kemo_pkg.fleet.run_fleet':28} | {f'{len(jobs)} records of 120000 samples':30} |"
          f" {f'{one:.2f} rec/s':>12} | {f'{two:.2f} rec/s':>12} | {scaling:8.2f} | {FLEET_SCALING:6.1f} |"
          f" {machine:7.2f} | {f'{max(one_share, two_share):.1%} of a run':>14} |"
          f" {f'{max(one_mb, two_mb):.0f} MB':>11} |", flush=True)
    if scaling >= FLEET_SCALING:
        return None
    return f"fleet run: {scaling:.2f} times faster on 2 workers, not {FLEET_SCALING}"


def workloads():
    """(function, workload label, arguments, target ratio)."""
    rows = []
    sizes = (64, 1_024, 1_000_000)
    for n in sizes:
        x = waveform(n)
        envelope_target = 1.1 if n == 1_000_000 else 1.0
        rows += [
            ("remove_dc_offset", f"{n} samples", (x,), 1.0),
            ("compute_true_overall_rms", f"{n} samples", (x,), 2.0 if n == 1_000_000 else 1.0),
            ("apply_bandpass", f"{n} samples", (x, 500.0, 2_000.0, 10_000.0), 1.0),
            # A million samples is 40 s at 25.6 kHz, an ordinary record: the
            # envelope of one must be clearly faster than the composition.
            ("compute_envelope_waveform", f"{n} samples", (x, 10_000.0, 500.0, 2_000.0), envelope_target),
            ("compute_envelope_spectrum", f"{n} samples", (x, 10_000.0, 500.0, 2_000.0), envelope_target),
            ("compute_fft_dsp", f"{n} samples", (x, 1.0 / 64), 1.0),
            ("compute_frequency_spectrum", f"{n} samples", (x, 10_000.0), 1.0),
        ]
        t, y = tachometer(n, max(2, n // 1_000))
        rows.append(("get_tach_midpoints", f"{n} samples", (t, y), 1.0))
        pulse_times = np.cumsum(np.full(n, 0.05))
        rows.append(("generate_fault_freq_fast", f"{n} pulses", (pulse_times, 3.7), 1.0))
        rows.append(("perform_order_tracking", f"{n} samples", order_tracking_inputs(n), 1.0))
        revs = {64: 4, 1_024: 64, 1_000_000: 976}[n]
        rows.append(("perform_tsa", f"{revs} revolutions of 1024 points", (waveform(revs * 1_024), 1_024, revs, 3),
                     1.0))
        freqs, amps = spectrum(n)
        rows += [
            ("compute_cepstrum", f"{n}-point spectrum", (amps, freqs[1] - freqs[0]), 1.0),
            ("get_harmonic_peak", f"{n}-point spectrum", (freqs, amps, 10.0, 0.5), 1.0),
            ("get_band_energy", f"{n}-point spectrum", (freqs, amps, 9.0, 30.0), 1.0),
        ]
        series = trend(n)
        rows += [
            ("classify_operating_state", f"{n} samples, rating 2000", (power(n, 2_000), 2_000),
             30.0 if n == 1_000_000 else 1.0),
            ("compute_severity_envelope", f"{n} samples", (series,), 60.0 if n == 1_000_000 else 1.0),
            ("compute_moving_average", f"{n} samples, window 60", (series, 60), 60.0 if n == 1_000_000 else 1.0),
            ("compute_robust_trend", f"{n} samples", (series,), 1.0),
            ("compute_median_filter", f"{n} samples", (series,), 1.0),
            ("compute_savgol_filter", f"{n} samples", (series,), 1.0),
            ("compute_degradation_velocity", f"{n} samples", (series,), 1.0),
        ]
        if n < 1_000_000:  # the baseline needs seconds per call beyond this
            rows.append(("compute_dynamic_zscore", f"{n} samples, window 30", (series, 30), 1.0))
    t, y = tachometer(2_000_000, 2_000)
    freqs, amps = spectrum(100_000)
    rows += [
        ("compute_dynamic_zscore", "20000 samples, window 30", (trend(20_000), 30), 150.0),
        ("classify_operating_state", "1000000 samples, rating 4000", (power(1_000_000, 4_000), 4_000), 30.0),
        ("get_tach_midpoints", "2000000 samples, 2000 pulses", (t, y), 2.0),
        ("get_harmonic_peak", "100000-point spectrum", (freqs, amps, 10.0, 0.5), 2.0),
        ("get_band_energy", "100000-point spectrum", (freqs, amps, 9.0, 30.0), 3.0),
        ("detect_harmonic_signature", "Python floats", (1.2, 0.6, 1.0), 1.5),
    ]
    return rows


def call_loop(n_args):
    """A loop that calls f with exactly n_args positional arguments, so that
    the loop itself costs the two sides the same and as little as possible."""
    names = ", ".join(f"a{i}" for i in range(n_args))
    namespace = {}
    exec(f"def loop(f, calls, {names}):\n    for _ in range(calls):\n        f({names})\n", namespace)
    return namespace["loop"]


def per_call_seconds(loop, function, args, calls):
    start = time.perf_counter()
    loop(function, calls, *args)
    return (time.perf_counter() - start) / calls


def compare(name, args):
    loop = call_loop(len(args))
    baseline, module = getattr(reference, name), getattr(core_math, name)
    identical = outcome(baseline, *args) == outcome(module, *args)
    first = per_call_seconds(loop, baseline, args, 1)
    calls = max(1, int(ROUND_SECONDS / max(first, 1e-9)))
    baseline_times, module_times = [], []
    started = time.perf_counter()
    sides = ((baseline, baseline_times), (module, module_times))
    for round_index in range(MAX_ROUNDS):
        # Each side goes first every other round, so that neither always
        # meets the memory and caches the other left behind.
        for function, times in sides if round_index % 2 == 0 else sides[::-1]:
            times.append(per_call_seconds(loop, function, args, calls))
        if len(baseline_times) >= 3 and time.perf_counter() - started > ROW_SECONDS:
            break
    round_ratios = sorted(b / m for b, m in zip(baseline_times, module_times))
    upper_quartile = round_ratios[(3 * len(round_ratios)) // 4]
    return statistics.median(baseline_times), statistics.median(module_times), upper_quartile, identical


def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.1f} ns"


def main(selection=""):
    """Runs every workload, or those whose function or label contains `selection`."""
    header = (f"| {'function':28} | {'workload':30} | {'baseline':>11} | {'module':>11} | {'ratio':>8}"
              f" | {'target':>6} | identical |")
    print(header)
    print("|" + "|".join("-" * (len(cell)) for cell in header.split("|")[1:-1]) + "|")
    failures = []
    for name, label, args, target in workloads():
        if selection not in f"{name} {label}":
            continue
        baseline, module, upper_quartile, identical = compare(name, args)
        ratio = baseline / module
        below_target = upper_quartile < 1.0 if target == 1.0 else ratio < target
        print(
            f"| {name:28} | {label:30} | {format_time(baseline)} | {format_time(module)} | {ratio:8.2f}"
            f" | {target:6.1f} | {'yes' if identical else 'NO':9} |",
            flush=True,
        )
        if not identical:
            failures.append(f"{name} ({label}): results differ")
        if below_target:
            failures.append(f"{name} ({label}): ratio {ratio:.2f} below {target}")
    if selection in "diagnose_bearing 120000 samples at 12 kHz":
        seconds, wall_seconds, verdict = diagnosis_seconds()
        print(f"\n| {'function':28} | {'workload':30} | {'CPU per call':>12} | {'target':>8} | {'wall clock':>11}"
              " | verdict    |")
        print(f"|{'-' * 30}|{'-' * 32}|{'-' * 14}|{'-' * 10}|{'-' * 13}|------------|")
        print(f"| {'diagnose_bearing':28} | {'120000 samples at 12 kHz':30} | {format_time(seconds):>12} |"
              f" {'< 0.2 s':>8} | {format_time(wall_seconds):>11} | {verdict:10} |", flush=True)
        if seconds >= DIAGNOSIS_SECONDS:
            failures.append(f"diagnose_bearing: {seconds:.3f} s per call, not under {DIAGNOSIS_SECONDS} s")
        if verdict != "outer_race":
            failures.append(f"diagnose_bearing: the outer-race record read as {verdict}")
    if selection in "fleet run 400 records of 120000 samples":
        failure = fleet_row()
        if failure:
            failures.append(failure)
    if failures:
        print("\nFAILED:\n  " + "\n  ".join(failures))
        return 1
    print("\nEvery result identical, every ratio and time within its target.")
    return 0


if __name__ == "__main__":
    sys.exit(main(" ".join(sys.argv[1:])))
