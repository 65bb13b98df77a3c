"""A synthetic drivetrain with known truth, for the demonstration and the tests.

One gear stage: the tachometer sits on the high-speed shaft, whose speed drifts
slowly around its set point; a pinion on that shaft drives a wheel on the slow
shaft.  The accelerometer on the high-speed bearing housing picks up the shaft
harmonics, the gear mesh, a slow-shaft once-per-revolution from wheel run-out,
and the impacts of an outer-race defect, each ringing the housing resonance.
Beside the record the drivetrain has a measurement history: one power reading
and one bearing-band level per day, with a spall that forms on a known day and
then grows.

Everything is drawn from fixed seeds, so every run builds the same record.
`truth` gives, for every finding the analysis makes of them, the value
injected and the test the found value has to pass: `python -m kemo_pkg demo`
runs the analysis and prints both.
"""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from . import core_math as cm
from .bearing import DefectOrders
from .records import Record
from .severity import STANDARD_G, severity_band, tone_velocity_rms_mm_s, zone_of
from .trend import OPERATING_STATES, OUT_OF_RANGE, state_counts

__all__ = ["Drivetrain", "History", "make_history", "make_record", "truth"]


@dataclass(frozen=True)
class Drivetrain:
    """The injected truth of the synthetic drivetrain."""

    fs: float = 25600.0                  # accelerometer and tachometer sample rate, Hz
    duration_s: float = 10.0
    hss_speed_hz: float = 25.0           # set point of the high-speed shaft
    speed_drift_hz: float = 0.6          # slow swing of the speed around the set point
    speed_swing_period_s: float = 14.0
    pinion_teeth: int = 23
    wheel_teeth: int = 92
    amp_1x: float = 0.30                 # high-speed shaft harmonics, g
    amp_2x: float = 0.135
    amp_3x: float = 0.30
    signature_level: int = 2             # the harmonic signature these amplitudes grade to
    mesh_amp: float = 0.80               # gear mesh, g
    lss_1x_amp: float = 0.12             # wheel run-out, g
    bpfo_order: float = 3.57             # outer-race defect frequency per high-speed revolution
    # The rest of that bearing's defect orders: nine balls, ball to pitch
    # diameter 0.2067, no contact angle.
    bpfi_order: float = 5.43
    bsf_order: float = 2.316
    ftf_order: float = 0.3967
    impact_amp: float = 1.6              # peak of one ringing impact, g
    resonance_hz: float = 3000.0         # housing resonance rung by the impacts
    resonance_damping: float = 0.05
    envelope_band_hz: tuple[float, float] = (2000.0, 4500.0)
    noise_rms: float = 0.25              # broadband noise, g
    dc_offset: float = 0.02              # accelerometer bias, g
    tach_high_v: float = 5.0
    tach_pulse_rev: float = 0.04         # share of a revolution the tachometer pulse lasts
    tach_phase_rev: float = 0.3          # shaft angle at the start of the record
    # Measurement history
    days: int = 150
    rating_kw: float = 2000.0
    band_level: float = 0.20             # healthy bearing-band level, g
    band_scatter: float = 0.01
    onset_day: int = 100
    spall_g: float = 0.04                # step in level when the spall forms on the onset day
    growth_g: float = 0.02               # then the spall grows: growth_g * (exp(days since onset / growth_days) - 1)
    growth_days: float = 15.0
    spike_day: int = 40                  # one faulty measurement (a loose sensor cable)
    spike_g: float = 0.15
    seed: int = 7

    @property
    def gear_ratio(self) -> float:
        return self.wheel_teeth / self.pinion_teeth

    def hss_revs(self, t: ArrayLike) -> Any:
        """High-speed shaft angle in revolutions at times `t`, integrated exactly."""
        omega = 2 * np.pi / self.speed_swing_period_s
        t = np.asarray(t, dtype=float)
        return (
            self.tach_phase_rev
            + self.hss_speed_hz * t
            + self.speed_drift_hz / omega * (1 - np.cos(omega * t))
        )

    def pulse_times(self) -> np.ndarray:
        """Mid-times of the tachometer pulses that lie wholly inside the record."""
        t = np.arange(int(self.duration_s * self.fs)) / self.fs
        revs = self.hss_revs(t)
        # A pulse is high from a whole revolution on for tach_pulse_rev of a revolution.
        whole = np.arange(np.ceil(revs[0]), np.floor(revs[-1] - self.tach_pulse_rev) + 1)
        pulses: np.ndarray = np.interp(whole + self.tach_pulse_rev / 2, revs, t)
        return pulses

    def ringing(self) -> np.ndarray:
        """The housing's response to one impact, unit peak, over eight decay times."""
        decay = self.resonance_damping * 2 * np.pi * self.resonance_hz
        omega_r = 2 * np.pi * self.resonance_hz
        ring_t = np.arange(int(8 / decay * self.fs)) / self.fs
        # The response carries no DC: the phase that makes the decaying sine
        # integrate to zero, then the remainder that sampling leaves.
        ringing = np.exp(-decay * ring_t) * np.sin(omega_r * ring_t - np.arctan2(omega_r, decay))
        response: np.ndarray = ringing - ringing.mean()
        return response

    def overall_rms(self) -> float:
        """RMS of the record from its parts: the tones, the impacts (which do not
        overlap), the noise and the bias."""
        tones = [self.amp_1x, self.amp_2x, self.amp_3x, self.mesh_amp, self.lss_1x_amp]
        impacts_per_s = self.bpfo_order * self.mean_speed()
        impact_power = self.impact_amp**2 * np.sum(self.ringing() ** 2) * impacts_per_s / self.fs
        power = sum(a**2 / 2 for a in tones) + impact_power + self.noise_rms**2 + self.dc_offset**2
        return float(np.sqrt(power))

    @property
    def bearing(self) -> DefectOrders:
        return DefectOrders(self.bpfo_order, self.bpfi_order, self.bsf_order, self.ftf_order)

    def velocity_rms_mm_s(self) -> float:
        """Velocity RMS of the record in the severity band: the tones at the
        mean speed, and the white noise, whose acceleration density
        noise_rms**2 / (fs / 2) integrates to density / (2 pi)**2 (1/f1 - 1/f2)
        in velocity.  The impacts ring far above the band."""
        band = severity_band(self.mean_speed(), self.fs)
        speed = self.mean_speed()
        tones = [(speed, self.amp_1x), (2 * speed, self.amp_2x), (3 * speed, self.amp_3x),
                 (self.pinion_teeth * speed, self.mesh_amp), (speed / self.gear_ratio, self.lss_1x_amp)]
        tone_power = tone_velocity_rms_mm_s(tones, band) ** 2
        density = (self.noise_rms * STANDARD_G) ** 2 / (self.fs / 2)
        noise_power = density / (2 * np.pi) ** 2 * (1 / band[0] - 1 / band[1]) * 1e6
        return float(np.sqrt(tone_power + noise_power))

    def mean_speed(self) -> float:
        """Mean high-speed shaft speed over the record, Hz."""
        return float((self.hss_revs(self.duration_s) - self.hss_revs(0.0)) / self.duration_s)

    def health_level(self, day: ArrayLike) -> Any:
        """Noise-free bearing-band level on `day`."""
        since_onset = np.maximum(np.asarray(day, dtype=float) - self.onset_day, 0.0)
        spall = self.spall_g * (np.asarray(day) >= self.onset_day)
        return self.band_level + spall + self.growth_g * np.expm1(since_onset / self.growth_days)

    def health_velocity(self, day: ArrayLike) -> Any:
        """Rate of change of the noise-free level on `day`, per day."""
        since_onset = np.maximum(np.asarray(day, dtype=float) - self.onset_day, 0.0)
        return self.growth_g / self.growth_days * np.exp(since_onset / self.growth_days) * (since_onset > 0)


def make_record(design: Drivetrain = Drivetrain()) -> Record:
    """The accelerometer and tachometer record of `design`."""
    rng = np.random.default_rng(design.seed)
    n = int(design.duration_s * design.fs)
    t = np.arange(n) / design.fs
    hss_angle = 2 * np.pi * design.hss_revs(t)

    vib = (
        design.amp_1x * np.cos(hss_angle + 0.4)
        + design.amp_2x * np.cos(2 * hss_angle + 1.1)
        + design.amp_3x * np.cos(3 * hss_angle + 2.3)
        + design.mesh_amp * np.cos(design.pinion_teeth * hss_angle + 0.7)
        + design.lss_1x_amp * np.cos(hss_angle / design.gear_ratio + 1.9)
    )

    # Outer-race impacts: evenly spaced in shaft angle, with the small random
    # slip of the rolling elements, each one ringing the housing resonance.
    revs = hss_angle / (2 * np.pi)
    first, last = revs[0], revs[-1]
    impact_revs = np.arange(first, last, 1.0 / design.bpfo_order)
    impact_revs += rng.normal(0.0, 0.005 / design.bpfo_order, impact_revs.size)
    impact_idx = np.searchsorted(revs, impact_revs)
    impact_idx = impact_idx[impact_idx < n]
    impulses = np.zeros(n)
    impulses[impact_idx] = 1.0
    vib += design.impact_amp * np.convolve(impulses, design.ringing())[:n]

    vib += rng.normal(0.0, design.noise_rms, n) + design.dc_offset

    in_pulse = (revs % 1.0) < design.tach_pulse_rev
    tach = 0.15 + design.tach_high_v * in_pulse + rng.normal(0.0, 0.02, n)
    return Record(t=t, vibration=vib, tach=tach, fs=design.fs, name="synthetic drivetrain")


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class History:
    """Daily measurements: power in kW, bearing-band level in g, and the
    operating state each power reading was set in."""

    power_kw: np.ndarray
    band_level: np.ndarray
    states: np.ndarray


# Operating bands of a 2 MW class machine, kW (lower edge belongs to the band);
# below the first the machine idles.
_STATE_BANDS = dict(zip(OPERATING_STATES, [(100, 500), (500, 800), (800, 1400), (1400, 1800), (1800, 2400)]))
_IDLE_KW = (0, 100)


def make_history(design: Drivetrain = Drivetrain()) -> History:
    """The daily measurements of `design`, one faulty reading among them."""
    rng = np.random.default_rng(design.seed + 1)
    days = np.arange(design.days)
    names = np.array([OUT_OF_RANGE, *OPERATING_STATES])
    states = names[rng.choice(6, size=design.days, p=[0.05, 0.08, 0.12, 0.25, 0.25, 0.25])]
    power = np.empty(design.days)
    for i, state in enumerate(states):
        # Readings kept a margin away from the band edges; out of range means idling.
        low, high = _STATE_BANDS.get(state, _IDLE_KW)
        margin = 0.05 * (high - low)
        power[i] = rng.uniform(low + margin, high - margin)
    level = design.health_level(days) + rng.normal(0.0, design.band_scatter, design.days)
    level[design.spike_day] += design.spike_g
    return History(power_kw=power, band_level=level, states=states)


# A found value passes or fails: a number, a string, a pair or an array, as the finding holds it.
Check = Callable[[Any], bool]


def _close(expected: float, rel: float) -> Check:
    return lambda found: bool(abs(found - expected) <= rel * abs(expected))


def truth(design: Drivetrain, history: History, bin_order: float) -> dict[str, tuple[str, Check]]:
    """For every finding the analysis makes of the record and the history of
    `design` (by its key): the injected value as the report shows it, and the
    test the found value has to pass.  `bin_order` is the bin of the envelope
    spectrum over shaft angle, which bounds how closely its line is read."""
    n_pulses = len(design.pulse_times())
    slow_revs = int((n_pulses - 1) / design.gear_ratio)  # whole ones between the first and the last pulse
    speed = design.mean_speed()
    health = design.health_level(np.arange(design.days))
    # The severity envelope of the noise-free level: it attacks fast and lags
    # a rising level by a little.
    level_now, severity_now = float(health[-1]), float(cm.compute_severity_envelope(health)[-1])
    velocity = design.velocity_rms_mm_s()
    harmonics = (design.amp_1x, design.amp_2x, design.amp_3x)
    # A tone on a bin of the Hann-windowed spectrum reads A there and A/2 in
    # each neighbour: its band energy is A * sqrt(1.5).
    mesh_band = design.mesh_amp * np.sqrt(1.5)
    return {
        "velocity_rms": (f"{velocity:.3f}", _close(velocity, 0.02)),
        "zone": (zone_of(velocity), lambda f: f == zone_of(velocity)),
        "bearing_verdict": ("outer_race", lambda f: f == "outer_race"),
        "dc_offset": (f"{design.dc_offset:.4f}", lambda f: abs(f - design.dc_offset) <= 0.002),
        "overall_rms": (f"{design.overall_rms():.3f}", _close(design.overall_rms(), 0.02)),
        "pulses": (f"{n_pulses}", lambda f: f == n_pulses),
        "speed": (f"{speed:.3f}", _close(speed, 0.001)),
        "lss_revs": (f"{slow_revs}", lambda f: f == slow_revs),
        "gear_ratio": (f"{design.gear_ratio:.4f}", lambda f: abs(f - design.gear_ratio) < 1e-9),
        "lss_1x": (f"{design.lss_1x_amp:.3f}", _close(design.lss_1x_amp, 0.05)),
        **{f"harmonic_{k}x": (f"{amp:.3f}", _close(amp, 0.05)) for k, amp in enumerate(harmonics, 1)},
        "signature": (f"{design.signature_level}", lambda f: f == design.signature_level),
        "mesh_order": (f"{design.pinion_teeth}", lambda f: f == design.pinion_teeth),
        "mesh_amp": (f"{design.mesh_amp:.3f}", _close(design.mesh_amp, 0.05)),
        "mesh_band": (f"{mesh_band:.3f}", _close(mesh_band, 0.05)),
        "fault": (f"{design.bpfo_order:.4f}", lambda f: abs(f - design.bpfo_order) <= bin_order),
        "fault_hz": (f"{design.bpfo_order * speed:.2f}",
                     lambda f: abs(f - design.bpfo_order * speed) <= bin_order * speed * 1.01),
        "period": (f"{1 / design.bpfo_order:.4f}", _close(1 / design.bpfo_order, 0.01)),
        "outlier": (f"{design.spike_day}, {design.spike_g:+.3f}",
                    lambda f: f[0] == design.spike_day and abs(f[1] - design.spike_g) <= 0.03),
        # The median filter sees two days ahead and the alarm wants three
        # scores in a row.
        "alarm": (f"{design.onset_day}", lambda f: f is not None and design.onset_day - 2 <= f <= design.onset_day + 5),
        "level": (f"{level_now:.3f} / {severity_now:.3f}",
                  lambda f: _close(level_now, 0.10)(f[0]) and _close(severity_now, 0.10)(f[1])),
        "velocity": (f"{design.health_velocity(design.days - 1):+.4f}",
                     _close(float(design.health_velocity(design.days - 1)), 0.20)),
        "states": (state_counts(history.states), lambda f: bool(np.array_equal(f, history.states))),
    }
