"""Data quality of a record, judged before any analysis.

A broken sensor still delivers numbers, and an analysis run over them reports
lines, levels and speeds that the machine never made.  `check_vibration` and
`check_tachometer` look at each channel as a field engineer would before
trusting it: is there a signal at all, does it sit at the amplifier's rails,
does it carry spikes or gaps, does the tachometer give one clean pulse per
revolution.  Each finding is a `Check` with a status:

- "ok": nothing wrong;
- "warning": an isolated fault (a few spikes, a brief overload) that the
  analysis runs through, with the warning shown beside its findings;
- "fault": the channel cannot be trusted; a vibration channel gets a
  sensor-fault verdict instead of a diagnosis, a tachometer is set aside.

Both functions take any numeric array (integer converter counts included) and
never raise: a record they cannot judge is itself a fault.
"""

from dataclasses import dataclass, field
from typing import Literal

import numpy as np
from numpy.typing import ArrayLike

from . import core_math as cm
from .records import MIN_SAMPLES, Record

__all__ = ["ChannelQuality", "Check", "RecordQuality", "TachQuality", "VibrationQuality", "bridge_spikes",
           "check_record", "check_tachometer", "check_vibration"]

Status = Literal["ok", "warning", "fault"]

# No sensor or converter reads beyond this in any unit it reports: the widest
# converter counts to about 2e9, a shock accelerometer to 1e5 g (1e6 m/s^2).
# A larger figure is a corrupt scale factor, and its squares are only a few
# decades from overflowing.
MAX_PLAUSIBLE_PEAK = 1e12
# Nor does any transducer resolve less, in g, m/s^2, m or V: its noise floor
# is many decades above this.  A smaller peak is numerical residue.
MIN_PLAUSIBLE_PEAK = 1e-15
# A live sensor's noise floor spans several converter steps on any sensibly
# ranged channel.  An AC level below one step is the converter's own flicker
# with no sensor behind it.
FLAT_MAX_STEPS = 1.0
# A clip holds the waveform at one value, the rail, which sits wherever the
# amplifier or converter saturates (rarely a round number).  A tone piles up at
# its own peaks too: by the arcsine law of a sine's values, a converter's top
# code holds about 2.4 times the code below it.  A rail holds more than four
# times the value below it (on an unquantised record, which repeats no value,
# at least five samples).
CLIP_PILE_RATIO = 4.0
# With up to 1 % of its samples damaged (held at a rail or dropped out) a
# record's levels move by well under a per cent.  Beyond that the damage is
# the state of the channel, not an event in it: every tall excursion is cut,
# and the levels and crest factor are the amplifier's, not the machine's; the
# impacts still repeat at their rate, so the bearing lines keep their place.
DAMAGED_SHARE = 0.01
# Held most of the time, a channel has no usable signal left.
UNUSABLE_SHARE = 0.5
# A spike stands this many robust standard deviations (from the interquartile
# range) out of the bulk; Gaussian noise gets there once in 5e8 samples.
SPIKE_SIGMAS = 6.0
# ... and this many times taller than anything within SPIKE_REACH samples
# around it (its immediate neighbours aside, which a converter's anti-alias
# filter drags along).  A bearing impact rings the structure for dozens of
# samples; an electrical transient or a bit error stands alone.
SPIKE_ISOLATION = 3.0
SPIKE_REACH = 10
# A bearing impact's first half-cycle can stand as tall and alone as a spike
# when the structure rings fast and is well damped; but it rings on: over the
# millisecond after it the vibration's RMS stands well above that of the
# millisecond before (1.4 to 3.6 times on real impacts) and above the bulk's.
# An electrical spike leaves the vibration as it found it.  Both windows keep
# two samples clear of the spike, where a converter's anti-alias filter drags
# it along, and span 16 samples at least, so that the noise's own RMS over
# them wanders by well under the ratio.
SPIKE_RING_S = 1e-3
SPIKE_RING_SAMPLES = 16
SPIKE_RING_RATIO = 1.3
# A held value (a lost buffer filled with zeros, a stalled sample-and-hold)
# lasts at least this many samples ...
DROPOUT_MIN_RUN = 8
# ... and longer than the record's own rate of repeated samples would give by
# chance once in a thousand records.
DROPOUT_CHANCE = 1e-3
# A piezoelectric accelerometer does not pass DC.  A mean ten times the AC
# level is the chain's bias or a DC-responding sensor's gravity: worth a look,
# and the analysis removes it.  At a thousand times, the vibration is a ripple
# on a sensor sitting at its supply rail (an open circuit) or drifting off its
# bias.
DC_WARNING_RATIO = 10.0
DC_FAULT_RATIO = 1000.0

# The pulse detector (`core_math.get_tach_midpoints`) triggers this share of
# the way from the channel's median to its 99.5th percentile, and keeps at most
# one pulse in any DETECTOR_LOCKOUT_S.
DETECTOR_TRIGGER = 0.4
DETECTOR_LOCKOUT_S = 0.03
# Trigger edges are counted with this hysteresis either side of the detector's
# level (a share of the same swing), as a tachometer conditioner would, so a
# pulse with chatter on its edge counts once.
TACH_HYSTERESIS = 0.2
# Fewer revolutions give an order spectrum coarser than a tenth of an order
# and too few periods to judge the train by.
TACH_MIN_PULSES = 10
# Each period is judged against the median of the seven around it: a machine
# changing speed carries that reference along, while a double trigger (two
# short periods) or a missed pulse leaves it on healthy revolutions.
TACH_REFERENCE_REVS = 7
# No rotor changes its period by half from one revolution to the next: a
# shorter period is a second trigger in the revolution, a longer one (near two
# or three) a revolution whose pulse was missed.
TACH_PERIOD_JUMP = 1.5
# A clean tachometer gives one edge per pulse kept, and periods in step with
# their neighbours.  A further edge is one the detector dropped (noise crossing
# its level, or a pulse inside its lockout: of a shaft above 33 Hz it keeps
# every other pulse); a period out of step is a double trigger or a missed
# pulse.  Each puts a revolution of vibration at the wrong shaft angle.  Up to
# one revolution in twenty blurs the order lines by a few per cent; more, and
# the order spectrum and synchronous average are the trigger's, not the shaft's.
TACH_IRREGULAR_FAULT_SHARE = 0.05
# A rotor's inertia smooths its speed: a period departs from its neighbours'
# by a fraction of a per cent, a little more under sampling jitter at a few
# dozen samples per revolution.  A median departure of 5 % is a trigger firing
# at random.
TACH_SCATTER_FAULT = 0.05


@dataclass(frozen=True)
class Check:
    """One finding about one channel.

    Attributes
    ----------
    name : str
        What was checked: "samples", "flat", "magnitude", "clipping", "spikes",
        "dropouts", "dc_offset"; for a tachometer "samples", "pulses",
        "trigger_edges", "pulse_intervals", "interval_scatter", "speed".
    status : {"ok", "warning", "fault"}
    detail : str
        One line for the report: what was found, with numbers and units.
    value : float or None
        The figure behind the verdict (a share of samples, a ratio, a count).
    """

    name: str
    status: Status
    detail: str
    value: float | None = None


@dataclass(frozen=True, eq=False)  # compared by identity, like the tachometer's arrays
class ChannelQuality:
    """The checks of one channel, in the order they were made.  A channel with
    a fault is not usable; checks that a fault makes meaningless are not made."""

    channel: str
    checks: tuple[Check, ...]

    @property
    def usable(self) -> bool:
        return not self.faults

    @property
    def warnings(self) -> tuple[Check, ...]:
        return tuple(c for c in self.checks if c.status == "warning")

    @property
    def faults(self) -> tuple[Check, ...]:
        return tuple(c for c in self.checks if c.status == "fault")

    @property
    def summary(self) -> str:
        """The channel in one line: usable or not, and the details of its
        faults, else of its warnings."""
        if not self.usable:
            return "fault: " + "; ".join(check.detail for check in self.faults)
        if self.warnings:
            return "usable, warning: " + "; ".join(check.detail for check in self.warnings)
        return "usable"


@dataclass(frozen=True, eq=False)
class VibrationQuality(ChannelQuality):
    """The checks of a vibration channel, with the samples of its isolated
    spikes (none where the checks did not reach that far)."""

    spikes: np.ndarray = field(default_factory=lambda: np.zeros(0, np.intp))


@dataclass(frozen=True, eq=False)
class TachQuality(ChannelQuality):
    """The checks of a tachometer, with the pulses and the speed range they
    imply when the train is usable (None otherwise)."""

    pulse_times: np.ndarray | None = None
    speed_range_hz: tuple[float, float] | None = None


def _samples_check(values: ArrayLike, fs: float, what: str = "samples") -> tuple[np.ndarray | None, Check]:
    """The samples as a float64 vector, and the check of their kind, count
    and finiteness; None in place of the samples when that check is a fault."""
    array = np.asarray(values)
    if array.dtype.kind not in "biuf":
        return None, Check("samples", "fault", f"{what} of type {array.dtype}, not numbers")
    if not (np.isfinite(fs) and fs > 0):
        return None, Check("samples", "fault", f"sample rate {fs} Hz is not a rate")
    samples = array.astype(np.float64).ravel()
    n = samples.size
    if n < MIN_SAMPLES:
        return None, Check("samples", "fault", f"{n} {what}: too few to judge (at least {MIN_SAMPLES})", float(n))
    bad = n - int(np.count_nonzero(np.isfinite(samples)))
    if bad:
        return None, Check("samples", "fault", f"{bad} of {n} {what} are NaN or infinite", float(bad))
    return samples, Check("samples", "ok", f"{n} samples ({n / fs:.3g} s), all finite", float(n))


def _quantiles(ordered: np.ndarray, shares: ArrayLike) -> np.ndarray:
    """Quantiles of sorted values, interpolated between neighbours as
    `np.percentile` does; one sort serves every quantile of a record."""
    position = np.asarray(shares) * (ordered.size - 1)
    below = np.floor(position).astype(np.intp)
    above = np.minimum(below + 1, ordered.size - 1)
    quantiles: np.ndarray = ordered[below] + (position - below) * (ordered[above] - ordered[below])
    return quantiles


def _magnitude(peak: float, unit: str) -> Check:
    """A peak no sensor gives: a corrupt scale factor, or numerical residue."""
    if peak > MAX_PLAUSIBLE_PEAK:
        return Check("magnitude", "fault", f"peak {peak:.3g}: beyond any sensor or converter "
                     "(corrupt scale factor?)", peak)
    if peak < MIN_PLAUSIBLE_PEAK:
        return Check("magnitude", "fault", f"peak {peak:.3g}: below any sensor's noise floor "
                     "(numerical residue, not a signal)", peak)
    return Check("magnitude", "ok", f"peak {peak:.4g}{unit}", peak)


def _flat(samples: np.ndarray, unit: np.ndarray, peak: float, units: str) -> Check:
    """A dead sensor or a disconnected cable: a constant, or an AC level of no
    more than the converter's own steps.  `unit` is the record over its peak,
    where no square overflows or underflows."""
    changes = np.abs(np.diff(unit))
    changes = changes[changes > 0]
    if not changes.size:
        return Check("flat", "fault", f"all {samples.size} samples are {samples[0]:.6g}: no signal "
                     "(dead sensor or disconnected cable)", 0.0)
    # On a quantised record the smallest change is one converter step.
    step, ac_rms = float(changes.min()), float(np.std(unit))
    if ac_rms < FLAT_MAX_STEPS * step:
        return Check("flat", "fault", f"AC level {ac_rms * peak:.3g} {units} is {ac_rms / step:.2f} converter steps "
                     f"of {step * peak:.3g} {units}: converter flicker, no sensor behind it", ac_rms * peak)
    return Check("flat", "ok", f"AC level {ac_rms * peak:.3g} {units} RMS", ac_rms * peak)


def _rail_count(ordered: np.ndarray) -> int:
    """Samples held at the upper rail of the sorted values `ordered`: those at
    the maximum, when they pile up against the value just below; 0 otherwise."""
    at_rail = ordered.size - int(np.searchsorted(ordered, ordered[-1]))
    below_value = ordered[-at_rail - 1]
    below = ordered.size - at_rail - int(np.searchsorted(ordered, below_value))
    return at_rail if at_rail > CLIP_PILE_RATIO * below else 0


def _clipping(ordered: np.ndarray, peak: float, units: str) -> tuple[Check, list[float]]:
    """Samples held at the extreme values by a saturated amplifier or
    converter, and the rails (of the sorted `ordered`) where they pile up."""
    held_at = [(float(ordered[-1]), _rail_count(ordered)), (float(ordered[0]), _rail_count(-ordered[::-1]))]
    rails = [rail for rail, count in held_at if count]
    held = sum(count for _, count in held_at)
    if not held:
        return Check("clipping", "ok", "no samples held at the extreme values", 0.0), rails
    share = held / ordered.size
    at = " and ".join(f"{rail * peak:+.4g} {units} ({count})" for rail, count in held_at if count)
    detail = f"{held} samples ({100 * share:.2g} %) held at the rails {at}"
    if share > UNUSABLE_SHARE:
        return Check("clipping", "fault", detail + ": saturated most of the time, no usable signal", share), rails
    if share > DAMAGED_SHARE:
        return Check("clipping", "warning", detail + ": the amplifier or converter saturates; levels and crest factor"
                     " are its own, the defect lines keep their place", share), rails
    return Check("clipping", "warning", detail + ": brief overload", share), rails


# Where a spike's surroundings are read: SPIKE_REACH samples either side, its
# immediate neighbours aside.
_SPIKE_SURROUNDINGS = np.r_[-SPIKE_REACH:-1, 2 : SPIKE_REACH + 1]


def _spike_samples(unit: np.ndarray, ordered: np.ndarray, fs: float) -> tuple[np.ndarray, float]:
    """The samples that stand far out of the bulk, alone, with no ringing
    after them, and the bulk's robust standard deviation."""
    q25, median, q75 = _quantiles(ordered, (0.25, 0.5, 0.75))
    sigma = (q75 - q25) / 1.349 or float(np.std(unit))
    departure = np.abs(unit - median)
    tall = np.flatnonzero(departure > SPIKE_SIGMAS * sigma)
    # Beyond the record's ends nothing rises.
    surroundings = np.pad(departure, SPIKE_REACH)[SPIKE_REACH + tall[:, None] + _SPIKE_SURROUNDINGS]
    alone = tall[departure[tall] > SPIKE_ISOLATION * surroundings.max(axis=1)]
    if not alone.size:  # the usual record: nothing stands alone, nothing to ring
        return alone, sigma
    # The millisecond after against the one before; at the record's ends the
    # record is mirrored, so that a spike there is judged by what it has.
    ring = int(min(max(SPIKE_RING_SAMPLES, SPIKE_RING_S * fs), unit.size))
    mirrored = np.pad(departure**2, ring + 3, mode="reflect")
    energy = np.concatenate(([0.0], np.cumsum(mirrored)))
    at = alone + ring + 3
    after = energy[at + 3 + ring] - energy[at + 3]
    before = np.maximum(energy[at - 2] - energy[at - 2 - ring], ring * sigma**2)
    rings = after > SPIKE_RING_RATIO**2 * before
    return alone[~rings], sigma


def _spikes(unit: np.ndarray, spikes: np.ndarray, sigma: float, peak: float, fs: float, units: str) -> Check:
    """Isolated samples far out of the bulk: electrical transients and bit
    errors, which the envelope analysis would read as impacts.  They are
    bridged before the analysis, so they are worth a warning only."""
    if not spikes.size:
        return Check("spikes", "ok", "no isolated spikes", 0.0)
    rate_hz = spikes.size * fs / unit.size
    largest = float(np.abs(unit[spikes] - np.median(unit)).max())
    detail = (f"{spikes.size} isolated spike(s), {rate_hz:.2g} per second, the largest {largest / sigma:.0f} "
              f"standard deviations ({largest * peak:.3g} {units}) out; bridged for the analysis")
    return Check("spikes", "warning", detail, float(spikes.size))


def _dropouts(unit: np.ndarray, peak: float, fs: float, rails: list[float], units: str) -> Check:
    """Runs of one held value inside a live signal (rails aside: those are
    clipping's): lost buffers filled with zeros, a stalled converter."""
    repeats = unit[1:] == unit[:-1]
    edges = np.diff(repeats.astype(np.int8), prepend=0, append=0)
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    lengths = ends - starts + 1  # samples held, the first included
    # The record's own rate of repeats, outside the long runs, bounds the
    # run length that chance could give.
    long = lengths >= DROPOUT_MIN_RUN
    p_repeat = (np.count_nonzero(repeats) - int(np.sum(lengths[long] - 1))) / repeats.size
    min_run = DROPOUT_MIN_RUN
    if p_repeat > 0:
        min_run = max(min_run, 1 + np.log(DROPOUT_CHANCE / unit.size) / np.log(p_repeat))
    held = (lengths >= min_run) & ~np.isin(unit[starts], rails)
    if not held.any():
        return Check("dropouts", "ok", "no held values", 0.0)
    share = float(lengths[held].sum()) / unit.size
    longest = int(np.argmax(np.where(held, lengths, 0)))
    detail = (f"{int(held.sum())} run(s) of a held value, {100 * share:.2g} % of the record; the longest "
              f"{lengths[longest]} samples ({lengths[longest] / fs:.3g} s) at "
              f"{unit[starts[longest]] * peak:.4g} {units}")
    if share > UNUSABLE_SHARE:
        return Check("dropouts", "fault", detail + ": held most of the time, no usable signal", share)
    return Check("dropouts", "warning", detail, share)


def _dc_offset(samples: np.ndarray, units: str) -> Check:
    """A mean out of proportion to the vibration: a sensor off its bias.  The
    magnitude check leaves no square of the samples to overflow."""
    mean, ac_rms = float(np.mean(samples)), float(np.std(samples))
    ratio = abs(mean) / ac_rms
    detail = f"mean {mean:.4g} {units}, {ratio:.2g} times the AC level"
    if ratio >= DC_FAULT_RATIO:
        return Check("dc_offset", "fault", detail + ": sensor off its bias", ratio)
    if ratio >= DC_WARNING_RATIO:
        return Check("dc_offset", "warning", detail + ": a bias left on by the chain (removed for the analysis)",
                     ratio)
    return Check("dc_offset", "ok", detail, ratio)


def check_vibration(vibration: np.ndarray, fs: float, units: str = "g") -> VibrationQuality:
    """Checks a vibration channel before it is analysed.

    Parameters
    ----------
    vibration : array_like
        The accelerometer's samples (any real or integer dtype).
    fs : float
        Sample rate, Hz.
    units : str
        Their unit, as the messages give the levels: "g" or "m/s2".

    Returns
    -------
    VibrationQuality
        "samples", "flat" and "magnitude" in turn, up to the first fault;
        after all three, "clipping", "spikes", "dropouts" and "dc_offset",
        and the samples of the isolated spikes.
    """
    samples, counted = _samples_check(vibration, fs)
    if samples is None:
        return VibrationQuality("vibration", (counted,))
    peak = float(np.max(np.abs(samples)))
    unit = samples / peak if peak > 0 else samples
    checks = [counted, _flat(samples, unit, peak, units)]
    if checks[-1].status != "fault":
        checks.append(_magnitude(peak, f" {units}"))
    if checks[-1].status == "fault":
        return VibrationQuality("vibration", tuple(checks))
    ordered = np.sort(unit)
    clipping, rails = _clipping(ordered, peak, units)
    spikes, sigma = _spike_samples(unit, ordered, fs)
    checks += [clipping, _spikes(unit, spikes, sigma, peak, fs, units), _dropouts(unit, peak, fs, rails, units),
               _dc_offset(samples, units)]
    return VibrationQuality("vibration", tuple(checks), spikes)


def bridge_spikes(vibration: np.ndarray, spikes: np.ndarray) -> np.ndarray:
    """A copy of `vibration` with each spike and its immediate neighbours
    replaced by the straight line between the samples either side: what the
    sensor would have read without the transient.

    Parameters
    ----------
    vibration : ndarray
        The samples, float.
    spikes : ndarray of int
        Where the spikes stand (`VibrationQuality.spikes`).

    Returns
    -------
    ndarray
    """
    bridged = np.array(vibration, dtype=float)
    last = bridged.size - 1
    for at in spikes:
        left, right = at - 2, at + 2
        if left < 0:  # at the record's start the line is flat from its first sound sample
            bridged[: right + 1] = bridged[min(right, last)]
        elif right > last:
            bridged[left:] = bridged[left]
        else:
            bridged[left : right + 1] = np.linspace(bridged[left], bridged[right], right - left + 1)
    return bridged


def _trigger_edges(samples: np.ndarray, median: float, top: float) -> int:
    """Rising edges through the detector's level, counted with hysteresis."""
    # Pulses on fewer than 0.5 % of the samples leave the 99.5th percentile
    # at the median: their own height is the swing then.
    swing = top - median or float(samples.max()) - median
    high = samples >= median + swing * (DETECTOR_TRIGGER + TACH_HYSTERESIS)
    low = samples <= median + swing * (DETECTOR_TRIGGER - TACH_HYSTERESIS)
    # Above the upper level the comparator goes high, below the lower level
    # low, in between it keeps its state: an edge is a high after a low, or a
    # record that begins high (the detector counts that cut pulse too).
    state = high[np.flatnonzero(high | low)]
    return int(np.count_nonzero(state & ~np.r_[False, state[:-1]]))


def _pulse_periods(periods: np.ndarray) -> tuple[Check, Check, np.ndarray]:
    """Double triggers and missed pulses, the scatter of the healthy periods,
    and which periods are healthy."""
    padded = np.pad(periods, TACH_REFERENCE_REVS // 2, mode="reflect")
    reference = np.median(np.lib.stride_tricks.sliding_window_view(padded, TACH_REFERENCE_REVS), axis=1)
    ratio = periods / reference
    short, long = ratio < 1 / TACH_PERIOD_JUMP, ratio > TACH_PERIOD_JUMP
    regular = ~(short | long)
    share = float(np.mean(~regular))  # a share of counts: one period in twenty is exactly the limit
    if share == 0:
        intervals = Check("pulse_intervals", "ok", f"{periods.size} periods, none short or long", 0.0)
    else:
        found = []
        if short.any():
            found.append(f"{int(short.sum())} short (a second trigger in the revolution)")
        if long.any():
            multiples = ", ".join(f"{m:g}" for m in np.unique(np.round(ratio[long])))
            found.append(f"{int(long.sum())} long, at {multiples} times their neighbours (missed pulses)")
        intervals = Check("pulse_intervals", "fault" if share > TACH_IRREGULAR_FAULT_SHARE else "warning",
                          f"of {periods.size} periods, " + " and ".join(found), share)
    scatter = float(np.median(np.abs(ratio[regular] - 1.0))) if regular.any() else float("inf")
    detail = f"periods depart from their neighbours' by {100 * scatter:.2f} % (median)"
    if scatter > TACH_SCATTER_FAULT:
        steadiness = Check("interval_scatter", "fault", detail + ": no shaft's speed wanders so", scatter)
    else:
        steadiness = Check("interval_scatter", "ok", detail, scatter)
    return intervals, steadiness, regular


def check_tachometer(t: np.ndarray, tach: np.ndarray, fs: float) -> TachQuality:
    """Checks a once-per-revolution tachometer channel before it is used.

    The pulses are those the analysis uses, from `core_math.get_tach_midpoints`.

    Parameters
    ----------
    t : array_like
        Sample times, s.
    tach : array_like
        The tachometer's samples (any real or integer dtype).
    fs : float
        Sample rate, Hz.

    Returns
    -------
    TachQuality
        "samples", "magnitude", "pulses" and "trigger_edges" in turn, up to
        the first fault; with enough pulses "pulse_intervals" and
        "interval_scatter"; for a usable train "speed", with the pulse times
        and the speed range.
    """
    samples, counted = _samples_check(tach, fs)
    times, timed = _samples_check(t, fs, "sample times")
    if samples is None or times is None:
        return TachQuality("tachometer", (counted if samples is None else timed,))
    if times.size != samples.size:
        return TachQuality("tachometer", (Check(
            "samples", "fault", f"{times.size} sample times for {samples.size} samples"),))
    if not np.all(np.diff(times) > 0):
        return TachQuality("tachometer", (Check("samples", "fault", "the sample times do not increase"),))
    checks = [counted]
    if samples.min() == samples.max():
        checks.append(Check("pulses", "fault", f"no pulse: the channel holds {samples[0]:.4g} throughout "
                            "(no signal on the tachometer cable)", 0.0))
        return TachQuality("tachometer", tuple(checks))
    magnitude = _magnitude(float(np.max(np.abs(samples))), "")
    checks.append(magnitude)
    if magnitude.status == "fault":
        return TachQuality("tachometer", tuple(checks))

    pulses = cm.get_tach_midpoints(times, samples)
    bottom, median, top = _quantiles(np.sort(samples), (0.005, 0.5, 0.995))
    # Notch-type pulses go below the median, and the detector triggers upwards.
    downwards = "; the pulses point downwards" if median - bottom > 4 * (top - median) else ""
    duration_s = samples.size / fs
    if pulses.size < TACH_MIN_PULSES:
        found = (f"{pulses.size} pulse(s) in {duration_s:.3g} s: too few to track (at least {TACH_MIN_PULSES})"
                 if pulses.size else "no pulse: the channel never crosses its trigger level")
        checks.append(Check("pulses", "fault", found + downwards, float(pulses.size)))
        return TachQuality("tachometer", tuple(checks))
    checks.append(Check("pulses", "ok", f"{pulses.size} pulses in {duration_s:.3g} s", float(pulses.size)))

    edges = _trigger_edges(samples, median, top)
    dropped = (edges - pulses.size) / pulses.size
    detail = f"{edges} trigger edges for {pulses.size} pulses kept"
    if dropped > TACH_IRREGULAR_FAULT_SHARE:
        checks.append(Check("trigger_edges", "fault", f"{detail} ({edges / duration_s:.4g} per second): noise "
                            "crossing the trigger level, or pulses closer than the detector's "
                            f"{1e3 * DETECTOR_LOCKOUT_S:.0f} ms lockout" + downwards, dropped))
        return TachQuality("tachometer", tuple(checks))
    checks.append(Check("trigger_edges", "ok", detail, dropped))

    periods = np.diff(pulses)
    intervals, steadiness, regular = _pulse_periods(periods)
    checks += [intervals, steadiness]
    if intervals.status == "fault" or steadiness.status == "fault":
        return TachQuality("tachometer", tuple(checks))
    speeds_hz = 1.0 / periods[regular]
    low, high = float(speeds_hz.min()), float(speeds_hz.max())
    # Over the healthy revolutions: a missed pulse or a double trigger would
    # count one revolution too few or too many.
    mean_hz = np.count_nonzero(regular) / float(periods[regular].sum())
    checks.append(Check("speed", "ok", f"shaft speed {low:.4g} to {high:.4g} Hz ({60 * low:.0f} to "
                        f"{60 * high:.0f} r/min), mean {mean_hz:.4g} Hz", float(mean_hz)))
    return TachQuality("tachometer", tuple(checks), pulse_times=pulses, speed_range_hz=(low, high))


@dataclass(frozen=True, eq=False)  # arrays inside: compared by identity
class RecordQuality:
    """The checks of a record's channels.  A record whose vibration channel
    is not usable gets the sensor-fault `verdict` instead of a diagnosis."""

    vibration: VibrationQuality
    tachometer: TachQuality | None

    @property
    def usable(self) -> bool:
        return self.vibration.usable

    @property
    def verdict(self) -> str | None:
        """"sensor fault: " and each fault of the vibration channel; None for a usable one."""
        if self.usable:
            return None
        return "sensor fault: " + "; ".join(check.detail for check in self.vibration.faults)


def check_record(record: Record, units: str = "g") -> RecordQuality:
    """Checks the vibration channel of `record`, whose samples are in `units`,
    and its tachometer when it has one."""
    tach = None if record.tach is None else check_tachometer(record.t, record.tach, record.fs)
    return RecordQuality(check_vibration(record.vibration, record.fs, units), tach)
