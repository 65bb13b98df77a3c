"""The condition-monitoring chain, from a raw record to findings.

`assess_record` is the whole of it: the record's quality first (a broken
sensor gets a sensor-fault verdict and nothing else; a broken tachometer is
set aside), then the shaft speed, the overall velocity severity, the bearing
diagnosis when the bearing is known, and the drivetrain chain.

`analyze_record` is that chain: one accelerometer record (with its tachometer
when there is one) through pulse detection, slow-shaft timing, order tracking,
time-synchronous averaging, the order spectrum and its features, and the
envelope spectrum with its cepstrum.  `assess_trend` reads a condition trend:
smoothers, severity envelope, anomaly score, degradation velocity and, with a
power series, the operating state of every measurement.  `kemo_pkg.report`
turns all of it into the rows of the report and into JSON; the demonstration
and `analyze` share them.
"""

import math
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass, field, replace

import numpy as np

from . import core_math as cm
from .bearing import SPEED_TOLERANCE, BearingDiagnosis, DefectOrders, diagnose_bearing, shaft_speed_from_spectrum
from .filterbank import EDGE_TAPER
from .quality import TachQuality, VibrationQuality, bridge_spikes, check_tachometer, check_vibration
from .severity import Severity, assess_severity

# The envelope fault peak is searched between these multiples of shaft speed:
# below 1.5 orders sit shaft-rate modulation and the leakage of the spectrum's
# zero line, above 40 orders no rolling-element defect of a practical bearing.
FAULT_ORDER_RANGE = (1.5, 40.0)
# Without a tachometer the same search runs in Hz.
FAULT_HZ_RANGE = (2.0, 1000.0)
# The gear mesh is the strongest synchronous order above the first three harmonics.
MESH_MIN_ORDER = 4
Z_ALARM = 3.0
ALARM_PERSISTENCE = 3  # consecutive scores above Z_ALARM that raise an alarm
MIN_PULSES = 3
TREND_WINDOW = 21  # Savitzky-Golay window of the trend, in measurements
# A line or rahmonic at least this share of the tallest counts as strong.
STRONG = 0.5
CEPSTRUM_FLOOR = 4.0  # multiple of the envelope spectrum's median below which it is clipped
# The envelope's band-pass is a 4th-order Butterworth in transfer-function
# form, run forwards and backwards.  Its poles crowd the unit circle when the
# band is narrow and close to 0 Hz or to Nyquist: once the distance from the
# nearer end times the width falls below about 1e-5 of the squared sample
# rate, rounding puts poles outside and unit noise comes out at 1e18, or NaN.
# Three times that keeps a margin.
MIN_BAND_CONDITIONING = 3e-5


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class Record:
    """One accelerometer record: sample times in s, vibration, the tachometer
    of the high-speed shaft when there is one, and the shaft speed the data
    acquisition logged (r/min) when it did."""

    t: np.ndarray
    vibration: np.ndarray
    tach: np.ndarray | None
    fs: float
    name: str = "record"
    rpm: float | None = None


def default_band(fs: float) -> tuple[float, float]:
    """An envelope band high enough to sit above gear mesh and shaft harmonics,
    where bearing impacts ring the structure: 8 % to 20 % of the sample rate."""
    return 0.08 * fs, 0.2 * fs


def stable_band(band_hz: tuple[float, float], fs: float) -> bool:
    """Whether the envelope's band-pass filter over `band_hz` (Hz, below
    Nyquist) stays stable at the sample rate `fs`."""
    low, high = band_hz[0] / fs, band_hz[1] / fs
    return min(low, 0.5 - high) * (high - low) >= MIN_BAND_CONDITIONING


@contextmanager
def progress_step(what):
    """One line on stderr per step, with the time it took."""
    print(f"  {what} ...", end="", file=sys.stderr, flush=True)
    start = time.perf_counter()
    yield
    print(f" {time.perf_counter() - start:.2f} s", file=sys.stderr, flush=True)


@contextmanager
def _quiet_step(what):
    yield


@dataclass
class OrderDomain:
    """What the tachometer makes possible: everything over shaft angle."""

    pulse_times: np.ndarray
    speed_hz: float                      # mean high-speed shaft speed over the pulses
    total_revs: int
    pts_per_rev: int
    orders: np.ndarray                   # order spectrum of the whole tracked record
    order_amps: np.ndarray
    harmonics: tuple[float, float, float]
    signature_level: int
    tsa_blocks: int
    tsa_wf: np.ndarray                   # one averaged revolution
    order_wf: np.ndarray                 # the whole record over shaft angle, pts_per_rev points a revolution
    residual: np.ndarray                 # order_wf less its synchronous average: what the envelope reads
    mesh_order: int
    mesh_amp: float                      # read from the synchronous average
    mesh_band_energy: float              # read from the order spectrum, mesh order +- 0.5
    lss_times: np.ndarray | None = None
    hss_revs_per_lss_rev: float | None = None
    lss_1x: float | None = None


@dataclass
class RecordAnalysis:
    name: str
    fs: float
    duration_s: float
    dc_offset: float
    overall_rms: float                   # DC included
    band_hz: tuple[float, float]
    order: OrderDomain | None
    spectrum_axis: np.ndarray            # order spectrum with a tachometer, else Hz
    spectrum_amps: np.ndarray
    env_axis: np.ndarray                 # orders with a tachometer, else Hz
    env_amps: np.ndarray
    fault_peak: float                    # dominant envelope line, on env_axis
    fault_amp: float
    env_noise_floor: float               # median of the envelope spectrum over the search range
    quefrency: np.ndarray                # revolutions with a tachometer, else s
    cepstrum: np.ndarray
    fault_period: float                  # dominant cepstral period, on quefrency
    notes: list[str] = field(default_factory=list)

    @property
    def env_bin(self) -> float:
        return float(self.env_axis[1] - self.env_axis[0])

    @property
    def angle_domain(self) -> bool:
        return self.order is not None


def _peak_in(axis, amps, low, high):
    """Position and height of the largest value of `amps` with `axis` in [low,
    high]; NaN for both when the axis has no point there."""
    inside = np.flatnonzero((axis >= low) & (axis <= high))
    if inside.size == 0:
        return float("nan"), float("nan")
    best = inside[np.argmax(amps[inside])]
    return float(axis[best]), float(amps[best])


def _fundamental_line(axis, amps, low, high):
    """Position and height of the fundamental of the dominant line in [low,
    high]: impacts give harmonics nearly as tall as their fundamental, so the
    tallest line may be one of them; a strong line at a half or a third of it
    is taken instead, as often as one is found."""
    peak, amp = _peak_in(axis, amps, low, high)
    bin_width = axis[1] - axis[0]
    stepped_down = not np.isnan(peak)
    while stepped_down:
        stepped_down = False
        for divisor in (2, 3):
            candidate = peak / divisor
            if candidate < low:
                continue
            below, below_amp = _peak_in(axis, amps, candidate - 2 * bin_width, candidate + 2 * bin_width)
            # On a coarse axis the window around the candidate reaches the line
            # itself; only a line below it is a step down, so the search ends.
            if below < peak and below_amp >= STRONG * amp:
                peak, amp, stepped_down = below, below_amp, True
                break
    return peak, amp


def _fundamental_period(quefrency, cepstrum, low, high):
    """The shortest period among the strong rahmonics in [low, high]: a defect
    that rings harmonics at every multiple of its frequency shows peaks at every
    multiple of its period, and the second is often as tall as the first.
    NaN when the range holds no peak."""
    inside = np.flatnonzero((quefrency >= low) & (quefrency <= high))
    values = cepstrum[inside]
    local_max = (values[1:-1] >= values[:-2]) & (values[1:-1] >= values[2:])
    strong = np.flatnonzero(local_max & (values[1:-1] >= STRONG * values.max(initial=0.0)))
    return float(quefrency[inside[1 + strong[0]]]) if strong.size else float("nan")


def track_orders(
    record: Record, gear_ratio: float = 1.0, progress: bool = False
) -> tuple[OrderDomain | None, list[str]]:
    """Everything over shaft angle that the record's tachometer makes
    possible, and notes of what it did not; None without a tachometer or when
    its pulses cannot time the shaft."""
    notes: list[str] = []
    if record.tach is None:
        return None, notes
    step = progress_step if progress else _quiet_step
    return _order_domain(record, cm.remove_dc_offset(record.vibration), gear_ratio, step, notes), notes


def _order_domain(record, vib_ac, gear_ratio, step, notes) -> OrderDomain | None:
    with step("tachometer pulses"):
        pulses = cm.get_tach_midpoints(record.t, record.tach)
    if len(pulses) < MIN_PULSES:
        notes.append(f"tachometer: {len(pulses)} pulse(s) found, too few to track orders; analysed over time")
        return None
    speed_hz = (len(pulses) - 1) / (pulses[-1] - pulses[0])

    with step("order tracking, high-speed shaft"):
        _, order_wf, total_revs, pts_per_rev = cm.perform_order_tracking(record.t, vib_ac, pulses)
    if order_wf is None:
        notes.append("tachometer: no vibration samples between the pulses; analysed over time")
        return None
    orders, order_amps = cm.compute_fft_dsp(order_wf, 1.0 / pts_per_rev)
    amp_1x, amp_2x, amp_3x = (cm.get_harmonic_peak(orders, order_amps, k) for k in (1.0, 2.0, 3.0))
    level = cm.detect_harmonic_signature(amp_1x, amp_2x, amp_3x)

    # One-revolution blocks keep what repeats with the high-speed shaft: its
    # harmonics and the pinion's mesh.  The rest, bearing impacts included, is
    # the residual that the envelope analysis reads.
    _, tsa_wf, tsa_blocks = cm.perform_tsa(order_wf, pts_per_rev, total_revs, 1)
    tsa_orders, tsa_amps = cm.compute_fft_dsp(tsa_wf, 1.0 / pts_per_rev)
    mesh_order, mesh_amp = _peak_in(tsa_orders, tsa_amps, MESH_MIN_ORDER, tsa_orders[-1])
    mesh_band_energy = cm.get_band_energy(orders, order_amps, mesh_order - 0.5, mesh_order + 0.5)
    residual = order_wf - np.tile(tsa_wf, tsa_blocks)

    domain = OrderDomain(
        pulse_times=pulses, speed_hz=float(speed_hz), total_revs=total_revs, pts_per_rev=pts_per_rev,
        orders=orders, order_amps=order_amps, harmonics=(amp_1x, amp_2x, amp_3x), signature_level=level,
        tsa_blocks=tsa_blocks, tsa_wf=tsa_wf, order_wf=order_wf, residual=residual,
        mesh_order=int(round(mesh_order)), mesh_amp=mesh_amp, mesh_band_energy=mesh_band_energy,
    )

    if gear_ratio != 1.0:
        lss_times = cm.generate_fault_freq_fast(pulses, gear_ratio)
        if lss_times is None:
            notes.append(f"slow shaft: the record holds less than one revolution at gear ratio {gear_ratio:g}")
        else:
            # High-speed revolution count at each slow-shaft revolution: the
            # pulse index, interpolated at the slow-shaft times.
            hss_counts = np.interp(lss_times, pulses, np.arange(len(pulses)))
            domain.lss_times = lss_times
            domain.hss_revs_per_lss_rev = float(np.mean(np.diff(hss_counts)))
            with step("order tracking, slow shaft"):
                _, lss_wf, _, lss_pts = cm.perform_order_tracking(record.t, vib_ac, lss_times)
            if lss_wf is not None:
                lss_orders, lss_amps = cm.compute_fft_dsp(lss_wf, 1.0 / lss_pts)
                domain.lss_1x = cm.get_harmonic_peak(lss_orders, lss_amps, 1.0)
    return domain


def analyze_record(
    record: Record,
    gear_ratio: float = 1.0,
    band_hz: tuple[float, float] | None = None,
    progress: bool = False,
    tracked: tuple[OrderDomain | None, list[str]] | None = None,
) -> RecordAnalysis:
    """Runs the chain over one record.  `gear_ratio` is high-speed revolutions
    per slow-shaft revolution (1.0: no slow shaft); `band_hz` is the envelope
    band (default: `default_band`); `tracked` is what `track_orders` gave for
    the record, when it has been tracked already."""
    step = progress_step if progress else _quiet_step
    order, notes = tracked if tracked is not None else track_orders(record, gear_ratio, progress)
    notes = list(notes)
    band_hz = band_hz or default_band(record.fs)
    vib_ac = cm.remove_dc_offset(record.vibration)
    dc_offset = float(np.mean(record.vibration - vib_ac))
    overall_rms = cm.compute_true_overall_rms(record.vibration)

    with step("envelope spectrum and cepstrum"):
        if order is not None:
            # Over shaft angle the defect lines stay sharp however the speed
            # drifts; the band follows the resonance at the mean speed.
            sample_rate, band = order.pts_per_rev, (band_hz[0] / order.speed_hz, band_hz[1] / order.speed_hz)
            spectrum_axis, spectrum_amps = order.orders, order.order_amps
            search = FAULT_ORDER_RANGE
            env_input = order.residual
        else:
            sample_rate, band = record.fs, band_hz
            spectrum_axis, spectrum_amps = cm.compute_frequency_spectrum(vib_ac, record.fs)
            search = FAULT_HZ_RANGE
            env_input = vib_ac
        env_axis, env_amps = cm.compute_envelope_spectrum(env_input, sample_rate, band[0], band[1])
        fault_peak, fault_amp = _fundamental_line(env_axis, env_amps, *search)
        # Clipping the noise floor leaves the log spectrum to the family of
        # defect lines, so the cepstrum reads their spacing and not the noise.
        in_search = (env_axis >= search[0]) & (env_axis <= search[1])
        if in_search.any():
            noise_floor = float(np.median(env_amps[in_search]))
        else:  # the spectrum ends below the range (a slow sample rate) or its bins step over it (a short record)
            noise_floor = float("nan")
            unit = "orders" if order is not None else "Hz"
            notes.append(f"envelope: no bin of the spectrum (0 to {env_axis[-1]:.3g} {unit}, {env_axis[1]:.3g} apart)"
                         f" lies in the fault search range {search[0]:g}-{search[1]:g} {unit}; no fault line read")
        # Without a floor (NaN) fmax clips nothing.
        quefrency, cepstrum = cm.compute_cepstrum(
            np.fmax(env_amps, CEPSTRUM_FLOOR * noise_floor), env_axis[1] - env_axis[0]
        )
        # The quefrency axis is the shorter of the two; its points pair with the
        # leading cepstrum values.
        cepstrum = cepstrum[: len(quefrency)]
        fault_period = _fundamental_period(quefrency, cepstrum, 1.0 / search[1], 1.0 / search[0])

    return RecordAnalysis(
        name=record.name, fs=record.fs, duration_s=float(record.t[-1] - record.t[0] + 1.0 / record.fs),
        dc_offset=dc_offset, overall_rms=overall_rms, band_hz=band_hz, order=order,
        spectrum_axis=spectrum_axis, spectrum_amps=spectrum_amps, env_axis=env_axis, env_amps=env_amps,
        fault_peak=fault_peak, fault_amp=fault_amp, env_noise_floor=noise_floor, quefrency=quefrency,
        cepstrum=cepstrum, fault_period=fault_period, notes=notes,
    )


@dataclass
class TrendAssessment:
    feature: np.ndarray
    moving_average: np.ndarray
    median: np.ndarray
    savgol: np.ndarray
    robust: np.ndarray
    severity: np.ndarray
    zscore: np.ndarray                   # of the median trend, so that a lone spike raises no alarm
    velocity: np.ndarray                 # of the Savitzky-Golay trend, per time_delta
    alarm_index: int | None              # first of ALARM_PERSISTENCE scores above Z_ALARM
    outlier_index: int                   # largest departure from the median trend
    outlier_size: float
    states: np.ndarray | None = None


def assess_trend(feature, power=None, rating=None, time_delta=1.0) -> TrendAssessment:
    """Reads a condition trend (one value per measurement, oldest first; at
    least TREND_WINDOW measurements) and, with `power` and `rating`, the
    operating state of every measurement."""
    feature = np.asarray(feature, dtype=float)
    median = cm.compute_median_filter(feature, 5)
    savgol = cm.compute_savgol_filter(feature, TREND_WINDOW, 3)
    zscore = cm.compute_dynamic_zscore(median, 30)
    above = zscore > Z_ALARM
    persistent = [
        i for i in range(len(above) - ALARM_PERSISTENCE + 1) if above[i : i + ALARM_PERSISTENCE].all()
    ]
    # The median filter pads the ends with zeros; only measurements with a full
    # kernel of neighbours are judged for outliers.
    departure = (feature - median)[2:-2]
    outlier = int(np.argmax(np.abs(departure)))
    return TrendAssessment(
        feature=feature,
        moving_average=cm.compute_moving_average(feature, 5),
        median=median,
        savgol=savgol,
        robust=cm.compute_robust_trend(feature, 5, 15, 3),
        severity=cm.compute_severity_envelope(feature, 0.9),
        zscore=zscore,
        # The median trend is padded with zeros at the ends, so the level and
        # rate of the latest measurements are read from the Savitzky-Golay fit.
        velocity=cm.compute_degradation_velocity(savgol, time_delta),
        alarm_index=persistent[0] if persistent else None,
        outlier_index=outlier + 2,
        outlier_size=float(departure[outlier]),
        states=None if power is None else cm.classify_operating_state(power, rating),
    )


def segment_trend(record: Record, segments: int = 40) -> np.ndarray:
    """Overall RMS of consecutive segments of one record: the trend within it."""
    vib_ac = cm.remove_dc_offset(record.vibration)
    return np.array([cm.compute_true_overall_rms(part) for part in np.array_split(vib_ac, segments)])


@dataclass(frozen=True)
class Settings:
    """What the analyst knows of the machine and asks of the analysis."""

    gear_ratio: float = 1.0              # high-speed revolutions per slow-shaft revolution
    band_hz: tuple[float, float] | None = None  # envelope band; chosen from the record by default
    rpm: float | None = None             # nominal shaft speed, r/min; else the record's own
    rpm_tolerance: float = SPEED_TOLERANCE  # how far the shaft may turn from the nominal speed, as a share
    bearing: DefectOrders | None = None
    units: str = "g"                     # of the vibration record: "g" or "m/s2"
    machine_group: int = 1               # of ISO 20816-3
    support: str = "rigid"


@dataclass(frozen=True)
class ShaftSpeed:
    """The shaft speed the analysis worked with."""

    shaft_hz: float
    # "tachometer"; "spectrum": read from the shaft lines near the nominal
    # speed; "nominal": no shaft line stands out, so the nominal speed itself.
    source: str
    nominal_hz: float | None = None


@dataclass(frozen=True, eq=False)  # arrays inside: compared by identity
class RecordQuality:
    vibration: VibrationQuality
    tachometer: TachQuality | None

    @property
    def usable(self) -> bool:
        return self.vibration.usable


@dataclass(frozen=True, eq=False)  # arrays inside: compared by identity
class Assessment:
    """Everything the analysis found in one record.  With an unusable vibration
    channel only `quality` is filled in: a sensor fault, no diagnosis."""

    name: str
    fs: float
    samples: int
    quality: RecordQuality
    units: str = "g"                     # of the vibration record
    speed: ShaftSpeed | None = None
    severity: Severity | None = None
    bearing: BearingDiagnosis | None = None
    chain: RecordAnalysis | None = None
    notes: list[str] = field(default_factory=list)

    @property
    def duration_s(self) -> float:
        return self.samples / self.fs


def sensor_fault(quality: RecordQuality) -> str:
    """The sensor-fault verdict of an unusable vibration channel."""
    return "sensor fault: " + "; ".join(check.detail for check in quality.vibration.faults)


def _record_quality(record: Record) -> RecordQuality:
    tach = None if record.tach is None else check_tachometer(record.t, record.tach, record.fs)
    return RecordQuality(check_vibration(record.vibration, record.fs), tach)


def _nominal_speed_hz(record: Record, settings: Settings) -> float | None:
    rpm = settings.rpm if settings.rpm is not None else record.rpm
    return None if rpm is None else rpm / 60.0


def _bearing(record, settings, order, speed, notes) -> BearingDiagnosis | None:
    """The bearing diagnosis: over shaft angle when a tachometer times the
    shaft (the lines stay sharp however the speed drifts), over time at the
    refined speed otherwise."""
    if settings.bearing is None:
        return None
    if speed is None:
        notes.append("bearing: not diagnosed; it needs the shaft speed (give --rpm or a tachometer)")
        return None
    band = settings.band_hz
    if order is not None:
        band_orders = None if band is None else (band[0] / order.speed_hz, band[1] / order.speed_hz)
        # Resampled over angle, the record holds no order above its Nyquist
        # at the fastest revolution; the resampling's images lie beyond.
        highest_order = record.fs / 2 * float(np.min(np.diff(order.pulse_times)))
        nominal = None if speed.nominal_hz is None else speed.nominal_hz / order.speed_hz
        diagnosis = diagnose_bearing(order.order_wf, order.pts_per_rev, settings.bearing, 1.0, band_orders,
                                     highest_hz=highest_order, nominal_shaft_hz=nominal).scaled(order.speed_hz)
    else:
        diagnosis = diagnose_bearing(record.vibration, record.fs, settings.bearing, speed.shaft_hz, band,
                                     nominal_shaft_hz=speed.nominal_hz)
    notes.extend(diagnosis.notes)
    return diagnosis


def assess_record(record: Record, settings: Settings = Settings(), progress: bool = False) -> Assessment:
    """Runs the whole analysis over one record.

    Parameters
    ----------
    record : Record
    settings : Settings
        The machine as the analyst knows it: gear ratio, bearing, nominal
        speed, units and ISO machine class.
    progress : bool
        One line per step on stderr, with its time.

    Returns
    -------
    Assessment
    """
    step = progress_step if progress else _quiet_step
    notes: list[str] = []
    with step("data quality"):
        quality = _record_quality(record)
    assessment = Assessment(record.name, record.fs, len(record.vibration), quality, settings.units, notes=notes)
    if not quality.usable:
        return assessment
    if quality.tachometer is not None and not quality.tachometer.usable:
        faults = "; ".join(check.detail for check in quality.tachometer.faults)
        notes.append(f"tachometer set aside ({faults}); analysed without it")
        record = replace(record, tach=None)
    notes.extend(f"{check.name}: {check.detail}" for check in quality.vibration.warnings)
    if quality.vibration.spikes.size:
        record = replace(record, vibration=bridge_spikes(record.vibration, quality.vibration.spikes))

    tracked = track_orders(record, settings.gear_ratio, progress)
    order = tracked[0]
    nominal_hz = _nominal_speed_hz(record, settings)
    if order is not None:
        speed = ShaftSpeed(order.speed_hz, "tachometer", nominal_hz)
    elif nominal_hz is not None:
        with step("shaft speed from the spectrum"):
            found_hz = shaft_speed_from_spectrum(record.vibration, record.fs, nominal_hz, settings.rpm_tolerance)
        if found_hz is None:
            notes.append(f"shaft speed: no shaft line stands out within {100 * settings.rpm_tolerance:g} % of the"
                         " nominal speed; the nominal speed is used")
            speed = ShaftSpeed(nominal_hz, "nominal", nominal_hz)
        else:
            speed = ShaftSpeed(found_hz, "spectrum", nominal_hz)
    else:
        speed = None
    with step("velocity severity"):
        severity = _severity(record, settings, speed, notes)
    with step("bearing diagnosis"):
        bearing = _bearing(record, settings, order, speed, notes)
    # The chain's envelope band: the analyst's, else the bearing's, else the default.
    band = settings.band_hz
    if band is None and bearing is not None and all(map(math.isfinite, bearing.band_hz)):
        band = _below_nyquist(bearing.band_hz, record.fs)
    chain = analyze_record(record, settings.gear_ratio, band, progress, tracked)
    notes.extend(chain.notes)
    return replace(assessment, speed=speed, severity=severity, bearing=bearing, chain=chain)


def _below_nyquist(band_hz: tuple[float, float], fs: float) -> tuple[float, float]:
    """The filter bank's band as a band-pass can take it.  A band of the
    tree's top row ends at Nyquist, where no band-pass can; it is cut where
    the filter bank's own taper begins."""
    low, high = band_hz
    if high < fs / 2:
        return band_hz
    return low, fs / 2 - EDGE_TAPER * (high - low)


def _severity(record, settings, speed, notes) -> Severity | None:
    try:
        return assess_severity(record.vibration, record.fs, units=settings.units,
                               machine_group=settings.machine_group, support=settings.support,
                               shaft_hz=None if speed is None else speed.shaft_hz)
    except ValueError as error:  # a sample rate too low for any severity band
        notes.append(f"velocity severity: {error}")
        return None
