"""The condition-monitoring analysis of one record, from raw samples to findings.

`assess_record` is the whole of it: the record's quality first (a broken
sensor gets a sensor-fault verdict and nothing else; a broken tachometer is
set aside), then the shaft speed, the overall velocity severity, the bearing
diagnosis when the bearing is known, and the drivetrain chain.  `Settings`
holds what the analyst knows of the machine; `Assessment` is what was found,
plain typed data that the report, the figure and a fleet's table read.
"""

import math
from collections.abc import Callable
from contextlib import AbstractContextManager, nullcontext
from dataclasses import dataclass, replace

import numpy as np

from . import core_math as cm
from .bearing import BearingDiagnosis, DefectOrders, diagnose_bearing
from .drivetrain import ChainAnalysis, analyze_chain
from .filterbank import EDGE_TAPER, check_band, stable_band
from .problems import InputError, Note
from .quality import RecordQuality, bridge_spikes, check_record
from .records import Record
from .severity import UNITS_TO_M_S2, ZONE_BOUNDARIES_MM_S, Severity, assess_severity
from .speed import SPEED_READERS, SPEED_TOLERANCE
from .tracking import OrderDomain, track_orders

__all__ = ["MIN_GEAR_RATIO", "MIN_REVOLUTIONS", "Assessment", "Progress", "Settings", "ShaftSpeed", "assess_record",
           "check_settings"]

# The slow shaft turns slower: below 1 the "slow-shaft revolutions" would
# outnumber the pulses, a thousand to one at 0.001, and fill the memory.
MIN_GEAR_RATIO = 1.0
# A record resolves no frequency below the spacing of its spectrum, one
# cycle per record: a shaft must turn once in it for its speed to be read.
MIN_REVOLUTIONS = 1.0

# A step of the analysis, named: the caller's context, entered around it (to
# time it, show it, or log it).
Progress = Callable[[str], AbstractContextManager[object]]


@dataclass(frozen=True)
class Settings:
    """What the analyst knows of the machine and asks of the analysis.

    Raises InputError for a setting no machine has: a gear ratio below
    `MIN_GEAR_RATIO`, a band that does not rise from above 0 Hz, a unit
    other than those of `severity.UNITS_TO_M_S2`, a machine group and support
    not in `severity.ZONE_BOUNDARIES_MM_S`.
    """

    gear_ratio: float = 1.0              # high-speed revolutions per slow-shaft revolution
    band_hz: tuple[float, float] | None = None  # envelope band; chosen from the record by default
    rpm: float | None = None             # nominal shaft speed, r/min; else the record's own
    rpm_tolerance: float = SPEED_TOLERANCE  # how far the shaft may turn from the nominal speed, as a share
    bearing: DefectOrders | None = None
    units: str = "g"                     # of the vibration record: "g" or "m/s2"
    machine_group: int = 1               # of ISO 20816-3
    support: str = "rigid"

    def __post_init__(self) -> None:
        if not (math.isfinite(self.gear_ratio) and self.gear_ratio >= MIN_GEAR_RATIO):
            raise InputError(f"gear ratio must be at least {MIN_GEAR_RATIO:g} (high-speed revolutions per"
                             f" slow-shaft revolution), not {self.gear_ratio:g}")
        if self.band_hz is not None and not 0 < self.band_hz[0] < self.band_hz[1]:
            raise InputError(f"envelope band {self.band_hz[0]:g}-{self.band_hz[1]:g} Hz must rise from above 0 Hz")
        if self.rpm is not None and not (math.isfinite(self.rpm) and self.rpm > 0):
            raise InputError(f"shaft speed must be a positive number of r/min, not {self.rpm:g}")
        # Beyond a third the search for the shaft's lines would reach its neighbouring harmonics.
        if not 0 < self.rpm_tolerance < 1 / 3:
            raise InputError(f"the shaft speed's tolerance must lie above 0 and below 1/3, not {self.rpm_tolerance:g}")
        if self.units not in UNITS_TO_M_S2:
            raise InputError(f"unknown units {self.units!r}: expected one of {', '.join(UNITS_TO_M_S2)}")
        if (self.machine_group, self.support) not in ZONE_BOUNDARIES_MM_S:
            raise InputError(f"no ISO 20816-3 zones for machine group {self.machine_group!r} on a"
                             f" {self.support!r} support")


@dataclass(frozen=True)
class ShaftSpeed:
    """The shaft speed the analysis worked with."""

    shaft_hz: float
    # "tachometer"; "spectrum": read from the shaft lines near the nominal
    # speed; "envelope": from their trace in the envelope of the resonances,
    # where noise buries them in the spectrum; "nominal": no shaft line
    # stands out in either, so the nominal speed itself.
    source: str
    nominal_hz: float | None = None


@dataclass(frozen=True, eq=False)  # arrays inside: compared by identity
class Assessment:
    """Everything the analysis found in one record.  With an unusable vibration
    channel only `quality` is filled in: a sensor fault, no diagnosis.  A
    finding that could not be made is None, and a note says why."""

    name: str
    fs: float
    samples: int
    quality: RecordQuality
    units: str = "g"                     # of the vibration record
    speed: ShaftSpeed | None = None
    severity: Severity | None = None
    bearing: BearingDiagnosis | None = None
    chain: ChainAnalysis | None = None
    notes: tuple[Note, ...] = ()

    @property
    def duration_s(self) -> float:
        return self.samples / self.fs


def check_settings(settings: Settings, fs: float, samples: int | None = None) -> None:
    """Raises InputError when `settings` cannot serve a record of `samples`
    samples at `fs` (Hz): an envelope band the chain's band-pass cannot take,
    a nominal speed at which the shaft turns less than `MIN_REVOLUTIONS`
    times in the record."""
    if settings.band_hz is not None:
        check_band(settings.band_hz, fs)
    if settings.rpm is not None and samples is not None and not settings.rpm >= _lowest_rpm(fs, samples):
        raise InputError(f"a shaft speed of {settings.rpm:g} r/min turns less than once in the record's"
                         f" {samples / fs:.3g} s; the record resolves no speed below {_lowest_rpm(fs, samples):.3g}"
                         " r/min")


def _lowest_rpm(fs: float, samples: int) -> float:
    return 60.0 * MIN_REVOLUTIONS * fs / samples


def assess_record(record: Record, settings: Settings = Settings(), progress: Progress = nullcontext) -> Assessment:
    """Runs the whole analysis over one record.

    Parameters
    ----------
    record : Record
    settings : Settings
        The machine as the analyst knows it: gear ratio, bearing, nominal
        speed, units and ISO machine class.
    progress : callable
        Called with the name of each step; the context it returns is entered
        around the step.  By default nothing is shown.

    Returns
    -------
    Assessment

    Raises
    ------
    InputError
        For settings the record cannot take (`check_settings`).
    """
    check_settings(settings, record.fs, len(record.vibration))
    assessment = Assessment(record.name, record.fs, len(record.vibration), _quality(record, settings, progress),
                            settings.units)
    if not assessment.quality.usable:
        return assessment
    notes: list[Note] = []
    tachometer = assessment.quality.tachometer
    if tachometer is not None and not tachometer.usable:
        faults = "; ".join(check.detail for check in tachometer.faults)
        notes.append(Note("tachometer", f"set aside ({faults}); analysed without it"))
        record = replace(record, tach=None)
    notes += [Note(check.name, check.detail) for check in assessment.quality.vibration.warnings]
    if assessment.quality.vibration.spikes.size:
        record = replace(record, vibration=bridge_spikes(record.vibration, assessment.quality.vibration.spikes))

    order = None
    if record.tach is not None:
        with progress("order tracking"):
            order, tracking_notes = track_orders(record, settings.gear_ratio)
        notes += tracking_notes
    speed = _shaft_speed(record, settings, order, progress, notes)
    with progress("velocity severity"):
        severity = _severity(record, settings, speed, notes)
    with progress("bearing diagnosis"):
        bearing = _bearing(record, settings, order, speed, notes)
    with progress("envelope spectrum and cepstrum"):
        chain = analyze_chain(record, order, _chain_band(settings, bearing, record.fs))
    return replace(assessment, speed=speed, severity=severity, bearing=bearing, chain=chain,
                   notes=(*notes, *chain.notes))


def _quality(record: Record, settings: Settings, progress: Progress) -> RecordQuality:
    with progress("data quality"):
        return check_record(record, settings.units)


def _shaft_speed(record: Record, settings: Settings, order: OrderDomain | None, progress: Progress,
                 notes: list[Note]) -> ShaftSpeed | None:
    """From the tachometer; else read from the shaft lines within the
    tolerance of the nominal speed (the analyst's before the one the record
    logged), in the spectrum or else in the envelope; else, where no shaft
    line stands out, the nominal speed."""
    rpm = settings.rpm if settings.rpm is not None else record.rpm
    if rpm is not None and rpm < _lowest_rpm(record.fs, len(record.vibration)):  # the record's own, logged
        notes.append(Note("shaft speed", f"the logged speed, {rpm:g} r/min, turns less than once in the record;"
                          " set aside"))
        rpm = None
    nominal_hz = None if rpm is None else rpm / 60.0
    if order is not None:
        return ShaftSpeed(order.speed_hz, "tachometer", nominal_hz)
    if nominal_hz is None:
        return None
    for source, read in SPEED_READERS:
        with progress(f"shaft speed from the {source}"):
            found_hz = read(record.vibration, record.fs, nominal_hz, settings.rpm_tolerance)
        if found_hz is not None:
            return ShaftSpeed(found_hz, source, nominal_hz)
    notes.append(Note("shaft speed", f"no shaft line stands out within {100 * settings.rpm_tolerance:g} % of the"
                      " nominal speed, in the spectrum or its envelope; the nominal speed is used"))
    return ShaftSpeed(nominal_hz, "nominal", nominal_hz)


def _severity(record: Record, settings: Settings, speed: ShaftSpeed | None, notes: list[Note]) -> Severity | None:
    try:
        return assess_severity(record.vibration, record.fs, units=settings.units,
                               machine_group=settings.machine_group, support=settings.support,
                               shaft_hz=None if speed is None else speed.shaft_hz)
    except ValueError as error:  # a sample rate too low for any severity band
        notes.append(Note("velocity severity", str(error)))
        return None


def _bearing(record: Record, settings: Settings, order: OrderDomain | None, speed: ShaftSpeed | None,
             notes: list[Note]) -> BearingDiagnosis | None:
    """The bearing diagnosis: over shaft angle when a tachometer times the
    shaft (the lines stay sharp however the speed drifts), over time at the
    speed read from the spectrum otherwise."""
    if settings.bearing is None:
        return None
    if speed is None:
        notes.append(Note("bearing", "not diagnosed; it needs the shaft speed (give --rpm or a tachometer)"))
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
    notes += [Note("bearing", text.removeprefix("bearing: ")) for text in diagnosis.notes]
    return replace(diagnosis, band_rms=_band_rms(record.vibration, record.fs, diagnosis.band_hz))


def _band_rms(vibration: np.ndarray, fs: float, band_hz: tuple[float, float]) -> float:
    """RMS of the record in the bearing's band (Hz): the energy its
    resonances carry, which a growing defect raises.  NaN without a band that
    a band-pass filter can take."""
    band = _filterable(band_hz, fs)
    if band is None:
        return math.nan
    return cm.compute_true_overall_rms(cm.apply_bandpass(cm.remove_dc_offset(vibration), *band, fs))


def _chain_band(settings: Settings, bearing: BearingDiagnosis | None, fs: float) -> tuple[float, float] | None:
    """The chain's envelope band: the analyst's, else the bearing's where a
    band-pass can take it, else the chain's default (None)."""
    if settings.band_hz is not None:
        return settings.band_hz
    return None if bearing is None else _filterable(bearing.band_hz, fs)


def _filterable(band_hz: tuple[float, float], fs: float) -> tuple[float, float] | None:
    """The filter bank's band (Hz) as a band-pass can take it at `fs`; None
    where none can (no band, or one too narrow or too close to an end)."""
    if not all(map(math.isfinite, band_hz)):
        return None
    low, high = _below_nyquist(band_hz, fs)
    return (low, high) if 0 < low < high < fs / 2 and stable_band((low, high), fs) else None


def _below_nyquist(band_hz: tuple[float, float], fs: float) -> tuple[float, float]:
    """The filter bank's band as a band-pass can take it.  A band of the
    tree's top row ends at Nyquist, where no band-pass can; it is cut where
    the filter bank's own taper begins."""
    low, high = band_hz
    if high < fs / 2:
        return band_hz
    return low, fs / 2 - EDGE_TAPER * (high - low)
