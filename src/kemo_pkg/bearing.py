"""Rolling-element bearing diagnosis from one vibration record.

A local defect on a race or a rolling element is struck at a rate fixed by the
bearing's geometry and the shaft speed: the outer race at the ball-pass
frequency of the outer race (BPFO), the inner race at BPFI, a ball at twice its
spin frequency (BSF; it strikes both races once per spin turn).  Each strike
rings the structure's resonances; the squared envelope of a resonance band
therefore repeats at the defect rate, and its spectrum (the squared envelope
spectrum) shows a line at that rate and its harmonics:

- outer race: the race stands still in the load zone, so the lines are clean;
- inner race: the defect turns with the shaft through the load zone, so its
  lines carry sidebands at shaft rate;
- ball: the ball turns with the cage through the load zone, so its lines
  carry sidebands at cage rate (FTF), and the cage-rate lines themselves
  stand in the spectrum; a rolling element's spin wanders more than the
  races' rates do, so its lines are broader;
- cage: lines at cage rate alone.

The diagnosis:

1. refines the nominal shaft speed from the spectrum's shaft-rate harmonics;
2. pre-whitens the record twice, cepstrally (every bin's magnitude set to one)
   and by removing the discrete lines of shafts, gears and the supply, since
   either can reveal the impacts that the other hides;
3. forms the squared envelope of every band of the 1/3-binary filter-bank tree
   that lies above the defect lines (`filterbank`), and its spectrum over the
   local floor, shaft harmonics masked;
4. scores each defect family in every band: its first harmonics, at one
   common slip within a tolerance, and the sidebands the physics predicts;
5. judges each family's best band against decoys: the same comb at
   frequencies that belong to no family, taken over the same bands.  A family
   is present when it stands well clear of its decoys, both in significance
   and in size.  The strongest present family explains its own lines; the
   others are scored again without them.

Nothing here depends on the machine beyond the defect orders and the speed.
"""

import functools
import math
from dataclasses import dataclass, field, replace

import numpy as np
import scipy.fft as sfft
from scipy.ndimage import maximum_filter1d

from . import core_math as cm
from .filterbank import (
    MIN_BAND_BINS, Kurtogram, band_envelope, fast_length_at_most, level_envelopes, resolved_levels,
    spectral_kurtosis,
)

DEFECTS = ("outer_race", "inner_race", "ball", "cage")
DEFECT_LABELS = {"outer_race": "outer race", "inner_race": "inner race", "ball": "ball", "cage": "cage"}

MAX_LEVEL = 6                 # the tree's finest level: 2**6 bands between 0 Hz and Nyquist
HARMONICS = 3                 # defect harmonics scored; three are where a defect's lines stand clearest
MIN_LINES = 2                 # a family is judged where its envelope spectrum reaches two harmonics
# How far the lines may sit from their kinematic frequency: the rolling elements
# slip on the races by up to a percent or two, and a ball's spin wanders more.
SLIP_TOLERANCE = {"outer_race": 0.01, "inner_race": 0.01, "ball": 0.02, "cage": 0.01}
SIDEBAND_WEIGHT = 0.5         # a sideband counts half a line: it backs the family, it does not make it
# The bands start above this multiple of the highest defect frequency, so that
# the envelope is the ringing of resonances and not the defect lines themselves.
BAND_FLOOR_MULTIPLE = 4.0
SPEED_SEARCH = 0.03           # the shaft-rate line is sought within 3 % of the nominal speed
SPEED_HARMONICS = 5
LINE_PROMINENCE = 4.0         # a shaft line stands this many times over the spectrum's median around it
SHAFT_MASK = 0.001            # shaft harmonics masked within 0.1 % (and two bins) of their frequency
DISCRETE_LINE = 3.0           # a discrete line of a shaft, gear or the supply towers this far over the floor
# Decoys: the same comb at 0.65 to 1.5 times the defect frequency, away from the
# frequency itself; 60 of them give the null's median and spread.
DECOY_RATIOS = np.exp(np.linspace(np.log(0.65), np.log(1.5), 60))
DECOY_EXCLUSION = 0.05
# A family is present when its best comb stands this many robust standard
# deviations above its decoys' and its lines, on average, stand this much
# higher over the floor than the decoys' do (natural log: e**0.35, 1.4 times).
# Over white noise and healthy synthetic machines (shaft harmonics, supply
# lines, knocks at random) the decoys' spread can be small enough for chance
# combs to score 7, but no comb stood more than 0.28 above its decoys.
MIN_SCORE = 4.0
MIN_EXCESS = 0.35
# The decoys' spread is taken as at least this: those of a clean synthetic
# record may all sit on the floor.
MIN_SPREAD = 0.02
# The envelope spectrum is the Welch average of three half-overlapping halves of
# the record: lines that hold through the record stay, chance peaks of a single
# transform average out, and the floor they are measured against steadies.
SEGMENTS = 3
MIN_DEFECT_PERIODS = 10       # a family needs ten of its periods in the record to be judged
MAX_SAMPLES = 2**20           # longer records are cut: a million samples resolve every line that matters
# A band whose power lies 50 dB below the record's mean above the defect lines
# holds no vibration: it is the converter's anti-alias roll-off near Nyquist,
# or the empty top of a record resampled upwards.  Whitened, such a band is
# numerical noise, and its chance combs would only widen the decoys' spread.
EMPTY_BAND = 1e-5


@dataclass(frozen=True)
class DefectOrders:
    """Defect frequencies of a bearing in orders (per revolution of the shaft
    that turns the inner race; the outer race stands still)."""

    bpfo: float  # ball-pass frequency, outer race
    bpfi: float  # ball-pass frequency, inner race
    bsf: float   # ball spin frequency; a ball defect strikes at twice this
    ftf: float   # fundamental train (cage) frequency

    def __post_init__(self):
        for name in ("bpfo", "bpfi", "bsf", "ftf"):
            value = getattr(self, name)
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise ValueError(f"{name.upper()} must be a positive number of orders, not {value!r}")

    def families(self) -> dict[str, tuple[float, float | None]]:
        """For each defect: the order its lines repeat at, and the order of
        the sidebands around them (None where the physics predicts none)."""
        return {
            "outer_race": (self.bpfo, None),
            "inner_race": (self.bpfi, 1.0),
            "ball": (2.0 * self.bsf, self.ftf),
            "cage": (self.ftf, None),
        }


def defect_orders_from_geometry(
    balls: int, ball_diameter: float, pitch_diameter: float, contact_angle_deg: float = 0.0
) -> DefectOrders:
    """Kinematic defect orders of a bearing with a stationary outer race.

    Parameters
    ----------
    balls : int
        Number of rolling elements.
    ball_diameter, pitch_diameter : float
        Rolling-element and pitch-circle diameters, in one unit.
    contact_angle_deg : float
        Contact angle in degrees (0 for a deep-groove bearing under radial load).

    Returns
    -------
    DefectOrders
        BPFO = n/2 (1 - r), BPFI = n/2 (1 + r), BSF = D/(2d) (1 - r**2),
        FTF = (1 - r)/2, with r = d/D cos(contact angle).
    """
    if int(balls) != balls or balls < 1:
        raise ValueError(f"the number of balls must be a positive whole number, not {balls!r}")
    for name, value in (("ball diameter", ball_diameter), ("pitch diameter", pitch_diameter)):
        if not (math.isfinite(value) and value > 0):
            raise ValueError(f"the {name} must be positive, not {value!r}")
    if not ball_diameter < pitch_diameter:
        raise ValueError(f"the ball diameter ({ball_diameter:g}) must be smaller than the pitch diameter"
                         f" ({pitch_diameter:g})")
    if not (math.isfinite(contact_angle_deg) and 0 <= contact_angle_deg < 90):
        raise ValueError(f"the contact angle must lie from 0 to below 90 degrees, not {contact_angle_deg!r}")
    ratio = ball_diameter / pitch_diameter * math.cos(math.radians(contact_angle_deg))
    return DefectOrders(
        bpfo=balls / 2 * (1 - ratio),
        bpfi=balls / 2 * (1 + ratio),
        bsf=pitch_diameter / (2 * ball_diameter) * (1 - ratio**2),
        ftf=(1 - ratio) / 2,
    )


def _key_values(text: str, what: str) -> dict[str, float]:
    values = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError(f"{what}: '{item}' is not KEY=VALUE")
        try:
            values[key.strip().lower()] = float(value)
        except ValueError:
            raise ValueError(f"{what}: '{value.strip()}' is not a number") from None
    return values


def parse_defect_orders(text: str) -> DefectOrders:
    """`BPFO=3.05,BPFI=4.95,BSF=1.99,FTF=0.38` (any case) into DefectOrders."""
    values = _key_values(text, "bearing")
    wanted = ("bpfo", "bpfi", "bsf", "ftf")
    unknown = sorted(set(values) - set(wanted))
    missing = [key.upper() for key in wanted if key not in values]
    if unknown or missing:
        raise ValueError("bearing: give BPFO, BPFI, BSF and FTF in orders"
                         + (f"; missing {', '.join(missing)}" if missing else "")
                         + (f"; unknown {', '.join(unknown)}" if unknown else ""))
    return DefectOrders(**{key: values[key] for key in wanted})


def parse_geometry(text: str) -> DefectOrders:
    """`balls=8,ball_diameter=7.94,pitch_diameter=39.04,contact_angle=0` into
    the bearing's DefectOrders (contact_angle in degrees, optional)."""
    values = _key_values(text, "bearing geometry")
    allowed = {"balls", "ball_diameter", "pitch_diameter", "contact_angle"}
    unknown = sorted(set(values) - allowed)
    missing = sorted({"balls", "ball_diameter", "pitch_diameter"} - set(values))
    if unknown or missing:
        raise ValueError("bearing geometry: give balls, ball_diameter, pitch_diameter and optionally contact_angle"
                         + (f"; missing {', '.join(missing)}" if missing else "")
                         + (f"; unknown {', '.join(unknown)}" if unknown else ""))
    return defect_orders_from_geometry(values["balls"], values["ball_diameter"], values["pitch_diameter"],
                                       values.get("contact_angle", 0.0))


def refine_shaft_speed(vibration: np.ndarray, fs: float, nominal_hz: float) -> float:
    """The shaft speed (Hz) within `SPEED_SEARCH` of `nominal_hz`: a motor's
    slip or a drive's set point moves the speed by a few percent from its
    nameplate.

    The speed is first taken where the first `SPEED_HARMONICS` shaft harmonics
    of the Hann-windowed spectrum stand highest together (their log
    amplitudes summed), then read finely from those harmonics that stand
    clear of the spectrum around them, each line's peak placed between bins
    by a parabola through its log amplitudes, the higher harmonics weighing
    more as they resolve the speed more finely.  Where no harmonic stands
    out, the nominal speed is kept: a spectrum without shaft lines says
    nothing of the speed."""
    freqs, amps = cm.compute_frequency_spectrum(vibration, fs)
    df = float(freqs[1] - freqs[0])
    harmonics = np.arange(1, SPEED_HARMONICS + 1)
    # A line is read from its bin and both neighbours: none within two bins of
    # 0 Hz (the record's mean) or of Nyquist.
    harmonics = harmonics[(harmonics * nominal_hz * (1 - SPEED_SEARCH) > freqs[2])
                          & (harmonics * nominal_hz * (1 + SPEED_SEARCH) < freqs[-2])]
    if harmonics.size == 0:
        return float(nominal_hz)
    log_amps = np.log(np.maximum(amps, np.finfo(float).tiny))
    candidates = np.arange(nominal_hz * (1 - SPEED_SEARCH), nominal_hz * (1 + SPEED_SEARCH), df / harmonics[-1] / 2)
    below = np.floor(np.outer(candidates, harmonics) / df).astype(int)
    score = np.maximum(log_amps[below], log_amps[below + 1]).sum(axis=1)
    coarse = float(candidates[np.argmax(score)])
    estimates, weights = [], []
    for k in harmonics:
        centre = int(round(k * coarse / df))
        peak = centre - 1 + int(np.argmax(log_amps[centre - 1 : centre + 2]))
        around = amps[max(peak - 20, 0) : peak + 21]
        if amps[peak] < LINE_PROMINENCE * np.median(around):
            continue  # no line here
        left, middle, right = log_amps[peak - 1 : peak + 2]
        curvature = left - 2 * middle + right
        offset = 0.5 * (left - right) / curvature if curvature < 0 else 0.0
        estimates.append((peak + offset) * df / k)
        weights.append(float(k))
    return float(np.average(estimates, weights=weights)) if estimates else float(nominal_hz)


@dataclass(frozen=True)
class DefectEvidence:
    """What the envelope spectrum says of one defect."""

    defect: str
    frequency_hz: float          # kinematic frequency at the refined speed
    found_hz: float              # where its lines stand: the frequency with the best common slip
    score: float                 # robust standard deviations above the decoys
    excess: float                # mean log line-over-floor ratio above the decoys' median
    present: bool
    band_hz: tuple[float, float]  # the band where the family stands highest
    prewhitening: str            # "cepstral" or "lines removed"
    line_ratios: tuple[float, ...]  # each harmonic's line over the local floor
    sideband_ratio: float | None  # mean sideband over floor, where sidebands are predicted
    note: str | None = None

    def scaled(self, factor: float) -> "DefectEvidence":
        """The same evidence with every frequency multiplied by `factor`."""
        return replace(self, frequency_hz=self.frequency_hz * factor, found_hz=self.found_hz * factor,
                       band_hz=(self.band_hz[0] * factor, self.band_hz[1] * factor))


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class BearingDiagnosis:
    """The verdict and the evidence behind it."""

    verdict: str                 # a defect of DEFECTS, or "none"
    nominal_shaft_hz: float
    shaft_hz: float              # refined from the spectrum
    band_hz: tuple[float, float]
    band_reason: str
    defects: dict[str, DefectEvidence]
    kurtogram: Kurtogram
    envelope_hz: np.ndarray      # squared envelope spectrum of the verdict's band, over its floor
    envelope_ratio: np.ndarray
    notes: list[str] = field(default_factory=list)
    band_rms: float = math.nan   # RMS of the record in band_hz, in its units: what the resonances carry

    def scaled(self, factor: float) -> "BearingDiagnosis":
        """The same diagnosis with every frequency multiplied by `factor`: a
        diagnosis made over shaft angle (frequencies in orders) read in Hz at
        the mean shaft speed."""
        kurt = self.kurtogram
        return replace(
            self, nominal_shaft_hz=self.nominal_shaft_hz * factor, shaft_hz=self.shaft_hz * factor,
            band_hz=(self.band_hz[0] * factor, self.band_hz[1] * factor),
            defects={d: e.scaled(factor) for d, e in self.defects.items()},
            kurtogram=Kurtogram(kurt.levels, kurt.kurtosis, kurt.nyquist_hz * factor),
            envelope_hz=self.envelope_hz * factor,
        )


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class _Level:
    """The candidate bands of one tree level under one pre-whitening, with
    their envelope spectra as log line-over-floor ratios (each bin the
    largest of itself and its neighbours, so that a line between two bins
    counts in full).  Masked bins say nothing: a comb's tooth on one is left
    out of its mean.  The ratios are zero on masked bins and past the
    spectra's last bin, where every bin is masked."""

    prewhitening: str
    low_hz: np.ndarray
    high_hz: np.ndarray
    df: float                    # bin spacing of the envelope spectra, Hz
    bins: int                    # bins of the envelope spectra; the columns beyond are padding
    log_ratio: np.ndarray        # (bands, columns), zero where not `valid`
    valid: np.ndarray            # (columns,): False on shaft harmonics and on lines explained away
    decoy_log_ratio: np.ndarray  # zero where not `decoy_valid`
    decoy_valid: np.ndarray      # (columns,): False on every family's lines too, the decoys' ground

    @classmethod
    def masked(cls, prewhitening, low_hz, high_hz, df, log_ratio, columns, valid, decoy_valid) -> "_Level":
        rows, bins = log_ratio.shape
        padded = np.zeros((rows, columns), log_ratio.dtype)
        padded[:, :bins] = log_ratio
        valid = np.pad(valid, (0, columns - bins))
        decoy_valid = np.pad(decoy_valid, (0, columns - bins))
        valid[bins - 1 :] = decoy_valid[bins - 1 :] = False  # the last bin holds no whole line
        return cls(prewhitening, low_hz, high_hz, df, bins, padded * valid, valid, padded * decoy_valid, decoy_valid)

    def without(self, mask: np.ndarray) -> "_Level":
        """The same bands with the bins of `mask` masked too."""
        valid = self.valid & ~mask[: len(self.valid)]
        return replace(self, log_ratio=self.log_ratio * valid, valid=valid)


def _floor_block(shaft_hz: float, df: float) -> int:
    """Bins per block of a local floor: half the shaft rate, so that a block
    holds more broadband floor than lines, and at least 16."""
    return max(16, int(0.5 * shaft_hz / df))


def _local_floor(spectra: np.ndarray, block: int) -> np.ndarray:
    """The local floor of each row: medians of consecutive blocks of `block`
    bins, interpolated linearly between block centres."""
    rows, bins = spectra.shape
    block = min(block, bins)  # a spectrum shorter than one block is its own floor
    blocks = bins // block
    medians = np.median(spectra[:, : blocks * block].reshape(rows, blocks, block), axis=2)
    position = np.clip((np.arange(bins) + 0.5) / block - 0.5, 0, blocks - 1)
    left = np.minimum(position.astype(int), blocks - 1)
    right = np.minimum(left + 1, blocks - 1)
    weight = position - left
    return medians[:, left] * (1 - weight) + medians[:, right] * weight


def _floor_ratio(spectra: np.ndarray, block: int) -> np.ndarray:
    """Each row over its local floor."""
    with np.errstate(divide="ignore", invalid="ignore"):
        return spectra / _local_floor(spectra, block)


def _line_mask(bins: int, df: float, centres_hz, relative: float) -> np.ndarray:
    """True on the bins within `relative` (and two bins) of each centre."""
    mask = np.zeros(bins, bool)
    for centre in centres_hz:
        half = 2 + relative * centre / df
        lo, hi = int(math.floor(centre / df - half)), int(math.ceil(centre / df + half))
        if lo < bins and hi >= 0:
            mask[max(lo, 0) : min(hi, bins - 1) + 1] = True
    return mask


@functools.lru_cache(maxsize=64)
def _slips(tolerance: float, steps: int) -> np.ndarray:
    """The slips a comb is tried at: every band of a diagnosis asks for the
    same few grids."""
    slips = np.linspace(-tolerance, tolerance, steps)
    slips.flags.writeable = False
    return slips


def _comb(log_ratio: np.ndarray, valid: np.ndarray, df: float, fundamentals_hz: np.ndarray, tolerance: float,
          sideband_hz: float | None):
    """Best comb over a common slip, for every band (rows) and every
    fundamental: (score, sideband mean, slip), each (rows, fundamentals).

    A comb's score is the mean log ratio of its first HARMONICS lines that
    fall on valid bins (at least MIN_LINES are needed; -inf otherwise), plus
    SIDEBAND_WEIGHT times the mean of the valid sidebands around them.  The
    slip steps by two bins at the last harmonic: each bin already holds the
    largest of its neighbours."""
    rows, columns = log_ratio.shape
    steps = max(3, int(math.ceil(tolerance * fundamentals_hz.max() * HARMONICS / df)) + 1)
    slips = _slips(tolerance, steps)
    trial = fundamentals_hz[:, None] * (1 + slips)[None, :]
    last = columns - 1  # always masked: teeth beyond the spectra land there
    # The teeth of every comb, harmonic by harmonic: one gather, then one sum.
    harmonics = np.arange(1, HARMONICS + 1)[:, None, None] * trial
    teeth = np.minimum(np.rint(harmonics / df).astype(np.intp), last)
    carrier = log_ratio[:, teeth].sum(axis=1)
    counted = valid[teeth].sum(axis=0)
    if sideband_hz is None:
        sideband = np.zeros_like(carrier)
        sidebands_counted = np.zeros(trial.shape)
    else:
        sides = harmonics[:, None] + np.array([-sideband_hz, sideband_hz])[None, :, None, None]
        side_teeth = np.clip(np.rint(sides / df).astype(np.intp), 0, last).reshape((-1,) + trial.shape)
        sideband = log_ratio[:, side_teeth].sum(axis=1)
        sidebands_counted = valid[side_teeth].sum(axis=0)
    total = np.where(counted >= MIN_LINES, carrier / np.maximum(counted, 1), -np.inf)
    sideband = np.where(sidebands_counted > 0, sideband / np.maximum(sidebands_counted, 1), 0.0)
    if sideband_hz is not None:
        total = total + SIDEBAND_WEIGHT * sideband
    best = np.argmax(total, axis=2)
    # Each (band, fundamental) row's entry at its best slip, by flat index.
    flat = np.arange(best.size).reshape(best.shape) * total.shape[2] + best
    return total.reshape(-1)[flat], sideband.reshape(-1)[flat], slips[best]


def _prewhitened(spectrum: np.ndarray, block: int) -> dict[str, np.ndarray]:
    """The record's one-sided transform, cepstrally pre-whitened (every
    magnitude one) and with its discrete lines brought down to the local
    floor (blocks of `block` bins), phases kept."""
    magnitude = np.abs(spectrum)
    floor = _local_floor(magnitude[None, :], block)[0]
    lines = magnitude > DISCRETE_LINE * floor
    lines_removed = spectrum * np.divide(floor, magnitude, out=np.ones_like(magnitude), where=lines)
    # Single precision is ample for ratios of envelope spectra, and twice as fast.
    return {"cepstral": (spectrum / np.maximum(magnitude, np.finfo(float).tiny)).astype(np.complex64),
            "lines removed": lines_removed.astype(np.complex64)}


def _candidate_levels(spectrum, df, shaft_hz, families_hz, band_hz, tree,
                      highest_hz) -> tuple[list[_Level], list[np.ndarray]]:
    """The envelope spectra of every candidate band, and the spectral
    kurtosis of every level of `tree` of the record with its lines removed."""
    highest = max(f + (s or 0.0) for f, s in families_hz.values())
    floor_hz = BAND_FLOOR_MULTIPLE * highest
    top_hz = 1.5 * highest * HARMONICS + shaft_hz
    block = _floor_block(shaft_hz, df)
    # Where any family's lines may stand: its harmonics and sidebands, within its slip.
    known = {defect: [k * f + m * (s or 0.0) for k in range(1, HARMONICS + 2) for m in ((-1, 0, 1) if s else (0,))]
             for defect, (f, s) in families_hz.items()}
    shaft_lines = shaft_hz * np.arange(1, int(top_hz / shaft_hz) + 2)
    bin_power = np.abs(spectrum) ** 2
    cumulative_power = np.concatenate(([0.0], np.cumsum(bin_power)))
    floor_bin = min(int(math.ceil(floor_hz / df)), len(bin_power) - 1)
    empty_power = EMPTY_BAND * float(np.mean(bin_power[floor_bin:]))
    candidates: list[_Level] = []
    kurtosis_rows = []
    masks: dict[tuple[int, float], tuple[np.ndarray, np.ndarray]] = {}  # (valid, decoy_valid) per grid
    for prewhitening, whitened in _prewhitened(spectrum, block).items():
        if band_hz is None:
            whitened[: int(math.ceil(floor_hz / df))] = 0.0  # the defect lines and shaft harmonics stay out
            levels = (level_envelopes(whitened, df, level, top_hz) for level in tree)
        else:
            levels = (band_envelope(whitened, df, band_hz, top_hz),)
        for envelopes in levels:
            first = np.rint(envelopes.low_hz / df).astype(np.intp)
            width = int(round(envelopes.width_hz / df))
            empty = (cumulative_power[first + width] - cumulative_power[first]) / width < empty_power
            if prewhitening == "lines removed" and band_hz is None:
                kurtosis_rows.append(np.where(empty, np.nan, spectral_kurtosis(envelopes.envelopes)))
            # At least half of a band must lie above the defect lines, all of
            # it within what the record holds, and some vibration in it.
            usable = ((envelopes.high_hz > floor_hz + 0.5 * envelopes.width_hz) & (envelopes.high_hz <= highest_hz)
                      & ~empty if band_hz is None else [True])
            squared = envelopes.envelopes[usable]
            if not len(squared):
                continue
            ses, level_df = _envelope_spectra(squared, envelopes.rate_hz)
            bins = min(int(top_hz / level_df) + 2, ses.shape[1])
            ses = ses[:, :bins]
            with np.errstate(divide="ignore", invalid="ignore"):
                log_ratio = np.log(_floor_ratio(ses, _floor_block(shaft_hz, level_df))).astype(np.float32)
            log_ratio = maximum_filter1d(np.nan_to_num(log_ratio, nan=0.0, neginf=-10.0), 3, axis=1)
            if (bins, level_df) not in masks:
                valid = ~_line_mask(bins, level_df, shaft_lines, SHAFT_MASK)
                decoy_valid = valid.copy()
                for defect, centres in known.items():
                    decoy_valid &= ~_line_mask(bins, level_df, centres, SLIP_TOLERANCE[defect])
                masks[bins, level_df] = valid, decoy_valid
            valid, decoy_valid = masks[bins, level_df]
            low = np.maximum(envelopes.low_hz[usable], floor_hz) if band_hz is None else envelopes.low_hz
            columns = bins + int(0.5 * top_hz / level_df) + 2  # room for the teeth of the highest decoys
            candidates.append(_Level.masked(prewhitening, low, envelopes.high_hz[usable], level_df, log_ratio,
                                            columns, valid, decoy_valid))
    return candidates, kurtosis_rows


def _envelope_spectra(squared: np.ndarray, rate_hz: float) -> tuple[np.ndarray, float]:
    """Amplitude spectra of the rows of `squared` (sampled at `rate_hz`) and
    their bin spacing: Welch averages of SEGMENTS half-overlapping
    Hann-windowed segments."""
    squared = squared - squared.mean(axis=1, keepdims=True)
    length = int(round(2 * squared.shape[1] / (SEGMENTS + 1)))
    views = np.lib.stride_tricks.sliding_window_view(squared, length, axis=1)[:, :: length // 2, :]
    spectra = sfft.rfft(views * np.hanning(length).astype(squared.dtype), axis=2, workers=1)
    power = (spectra.real**2 + spectra.imag**2).mean(axis=1)
    return np.sqrt(power), rate_hz / length


def _reaches(level: _Level, fundamental_hz: float, tolerance: float) -> bool:
    """Whether the level's envelope spectra reach two harmonics of the family."""
    return level.bins - 1 > MIN_LINES * fundamental_hz * (1 + tolerance) / level.df + 1


def _robust(values: np.ndarray) -> tuple[float, float]:
    """Median and robust standard deviation (1.4826 median absolute deviation)."""
    median = float(np.median(values))
    return median, max(MIN_SPREAD, float(1.4826 * np.median(np.abs(values - median))))


def _decoy_null(levels, fundamental_hz, sideband_hz, tolerance):
    """Median and robust spread of the decoys' best combs over all bands, and
    of the sidebands of those best combs."""
    ratios = DECOY_RATIOS[np.abs(DECOY_RATIOS - 1) > DECOY_EXCLUSION]
    decoys = fundamental_hz * ratios
    best = np.full(len(decoys), -np.inf)
    best_sideband = np.zeros(len(decoys))
    for level in levels:
        if _reaches(level, decoys.max(), tolerance):
            total, sideband, _ = _comb(level.decoy_log_ratio, level.decoy_valid, level.df, decoys, tolerance,
                                       sideband_hz)
            row = np.argmax(total, axis=0)
            top = total[row, np.arange(len(decoys))]
            better = top > best
            best = np.where(better, top, best)
            best_sideband = np.where(better, sideband[row, np.arange(len(decoys))], best_sideband)
    finite = np.isfinite(best)
    if finite.sum() < len(decoys) // 2:
        return None
    return _robust(best[finite]), _robust(best_sideband[finite])


def _evidence(defect, levels, fundamental_hz, sideband_hz, null) -> DefectEvidence:
    """The family's best comb over all bands, judged against its decoys."""
    tolerance = SLIP_TOLERANCE[defect]
    best = None
    for level in levels:
        if not _reaches(level, fundamental_hz, tolerance):
            continue
        total, sideband, slip = _comb(level.log_ratio, level.valid, level.df, np.array([fundamental_hz]), tolerance,
                                      sideband_hz)
        row = int(np.argmax(total[:, 0]))
        if best is None or total[row, 0] > best[0]:
            best = (float(total[row, 0]), level, row, float(sideband[row, 0]), float(slip[row, 0]))
    if best is None or not math.isfinite(best[0]) or null is None:
        return _unjudged(defect, fundamental_hz, "no band reaches two of its harmonics")
    (median, spread), (sideband_median, _) = null
    total, level, row, sideband, slip = best
    found = fundamental_hz * (1 + slip)
    at = [round(k * found / level.df) for k in range(1, HARMONICS + 1)]
    ratios = tuple(float(np.exp(level.log_ratio[row, i])) for i in at if i < level.bins - 1)
    excess = total - median
    score = excess / spread
    # Where the physics predicts sidebands, they must stand out too: a lone
    # line near the inner race's rate, without the load zone's modulation
    # around it, is more often a stray tone than a defect.
    sidebands_stand_out = sideband_hz is None or sideband - sideband_median >= MIN_EXCESS
    return DefectEvidence(
        defect=defect, frequency_hz=fundamental_hz, found_hz=found, score=score, excess=excess,
        present=score >= MIN_SCORE and excess >= MIN_EXCESS and sidebands_stand_out,
        band_hz=(float(level.low_hz[row]), float(level.high_hz[row])), prewhitening=level.prewhitening,
        line_ratios=ratios, sideband_ratio=math.exp(sideband) if sideband_hz is not None else None,
    )


def _unjudged(defect: str, frequency_hz: float, why: str) -> DefectEvidence:
    nan = float("nan")
    return DefectEvidence(defect, frequency_hz, nan, nan, nan, False, (nan, nan), "", (), None, why)


def _explain_away(levels: list[_Level], evidence: DefectEvidence, shaft_hz: float,
                  sideband_hz: float | None) -> list[_Level]:
    """The levels with the lines of a present family set to the floor, so that
    no other family borrows them: its harmonics, their shaft-rate sidebands
    (any unbalance or misalignment modulates the impacts at shaft rate) and
    the sidebands its physics predicts."""
    spacings = {shaft_hz, sideband_hz or shaft_hz}
    top_hz = max(level.bins * level.df for level in levels)
    # A family above shaft rate explains all its harmonics; the cage's, dense
    # below shaft rate, only those its comb claimed.
    last = int(top_hz / evidence.found_hz) if evidence.found_hz >= shaft_hz else HARMONICS + 1
    centres = [k * evidence.found_hz + m * spacing
               for k in range(1, last + 1) for spacing in spacings for m in range(-3, 4)]
    masks = {}
    for level in levels:
        key = (level.log_ratio.shape[1], level.df)
        if key not in masks:
            masks[key] = _line_mask(key[0], level.df, centres, 0.002)
    return [level.without(masks[(level.log_ratio.shape[1], level.df)]) for level in levels]


def diagnose_bearing(
    vibration: np.ndarray,
    fs: float,
    orders: DefectOrders,
    nominal_shaft_hz: float,
    band_hz: tuple[float, float] | None = None,
    refine_speed: bool = True,
    highest_hz: float | None = None,
) -> BearingDiagnosis:
    """Diagnoses the bearing whose defect orders are `orders` from one
    accelerometer record.

    Parameters
    ----------
    vibration : ndarray
        The record, finite samples, sampled at `fs` Hz.
    orders : DefectOrders
        Defect frequencies in orders of the shaft speed.
    nominal_shaft_hz : float
        Shaft speed in Hz: nominal (refined here from the spectrum) or measured
        by a tachometer (then pass `refine_speed=False`).
    band_hz : (low, high), optional
        A demodulation band chosen by the analyst; by default every band of
        the 1/3-binary tree above the defect lines is tried.
    refine_speed : bool
        Refine `nominal_shaft_hz` from the spectrum's shaft-rate line.
    highest_hz : float, optional
        The highest frequency the record truly holds, where it was resampled
        (over shaft angle: the Nyquist of the sampling at the fastest
        revolution).  Bands reaching above it hold only images and are not
        tried.  By default the Nyquist of `fs`.

    Returns
    -------
    BearingDiagnosis
    """
    notes: list[str] = []
    x = np.asarray(vibration, dtype=float)
    if x.ndim != 1 or not np.all(np.isfinite(x)):
        raise ValueError("the vibration record must be one-dimensional with finite samples")
    if len(x) > MAX_SAMPLES:
        notes.append(f"bearing: the first {MAX_SAMPLES} samples of the record were analysed")
        x = x[:MAX_SAMPLES]
    shaft_hz = refine_shaft_speed(x, fs, nominal_shaft_hz) if refine_speed else float(nominal_shaft_hz)
    n = fast_length_at_most(len(x))
    x = x[:n] - np.mean(x[:n])
    # Every figure below is a ratio, so the record's scale does not matter;
    # unit peak keeps the squared envelopes of any record finite.
    peak = float(np.max(np.abs(x)))
    spectrum = sfft.rfft(x / peak if peak > 0 else x, workers=1)
    df = fs / n
    families_hz = {d: (o * shaft_hz, None if s is None else s * shaft_hz) for d, (o, s) in orders.families().items()}

    tree = resolved_levels(MAX_LEVEL, len(spectrum))
    if band_hz is not None and (band_hz[1] - band_hz[0]) / df < MIN_BAND_BINS:
        notes.append(f"bearing: the band given spans fewer than {MIN_BAND_BINS} bins of the record's spectrum;"
                     " nothing to demodulate")
        levels, kurtosis_rows = [], []
    else:
        levels, kurtosis_rows = _candidate_levels(spectrum, df, shaft_hz, families_hz, band_hz, tree,
                                                  fs / 2 if highest_hz is None else highest_hz)
        if not levels:
            notes.append("bearing: no band of the record lies above the defect lines; the sample rate is too low"
                         " for this bearing at this speed")
    kurt = Kurtogram(tuple(tree) if kurtosis_rows else (), tuple(kurtosis_rows), fs / 2)
    evidence = _judge_families(levels, families_hz, shaft_hz, n / fs)
    verdict = _verdict(evidence)
    band, reason = _band_and_reason(verdict, evidence, kurt, band_hz, families_hz, highest_hz)
    envelope_hz, envelope_ratio = _envelope_over_floor(spectrum, df, band, shaft_hz, evidence, verdict)
    return BearingDiagnosis(verdict, float(nominal_shaft_hz), shaft_hz, band, reason, evidence, kurt,
                            envelope_hz, envelope_ratio, notes)


def _judge_families(levels, families_hz, shaft_hz, duration_s) -> dict[str, DefectEvidence]:
    """Every family's evidence.  The family whose lines stand highest over its
    decoys explains its lines away before the others are judged again."""
    evidence: dict[str, DefectEvidence] = {}
    judged = []
    for defect, (fundamental_hz, _) in families_hz.items():
        if fundamental_hz * duration_s < MIN_DEFECT_PERIODS:
            evidence[defect] = _unjudged(defect, fundamental_hz,
                                         f"the record holds fewer than {MIN_DEFECT_PERIODS} of its periods")
        elif not levels:
            evidence[defect] = _unjudged(defect, fundamental_hz, "no band to judge it in")
        else:
            judged.append(defect)
    nulls = {d: _decoy_null(levels, *families_hz[d], SLIP_TOLERANCE[d]) for d in judged}
    while judged:
        round_evidence = {d: _evidence(d, levels, *families_hz[d], nulls[d]) for d in judged}
        present = [e for e in round_evidence.values() if e.present]
        if not present:
            evidence.update(round_evidence)
            break
        strongest = max(present, key=lambda e: e.excess)
        evidence[strongest.defect] = strongest
        judged.remove(strongest.defect)
        levels = _explain_away(levels, strongest, shaft_hz, families_hz[strongest.defect][1])
    return {d: evidence[d] for d in DEFECTS}


def _verdict(evidence: dict[str, DefectEvidence]) -> str:
    """The present defect that stands clearest of its decoys, or "none".

    Cage-rate lines in the envelope of a resonance band mean impacts whose
    strength follows the cage: a rolling element passing in and out of the
    load zone once per cage turn.  They are a ball defect's clearest trace when
    its own spin wanders, so they are read as one."""
    present = [e for e in evidence.values() if e.present]
    if not present:
        return "none"
    strongest = max(present, key=lambda e: e.excess).defect
    return "ball" if strongest == "cage" else strongest


def _verdict_source(evidence, verdict) -> DefectEvidence | None:
    """The family the verdict rests on: its own, or the cage-rate lines of a ball."""
    if verdict == "none":
        return None
    return evidence[verdict] if evidence[verdict].present else evidence["cage"]


def _band_and_reason(verdict, evidence, kurt, band_hz, families_hz, highest_hz):
    if band_hz is not None:
        return (float(band_hz[0]), float(band_hz[1])), "the band given"
    source = _verdict_source(evidence, verdict)
    if source is not None:
        e = source
        return e.band_hz, (f"where the {DEFECT_LABELS[e.defect]} lines stand highest over the floor"
                           f" ({e.prewhitening} pre-whitening)")
    floor_hz = BAND_FLOOR_MULTIPLE * max(f + (s or 0.0) for f, s in families_hz.values())
    level, band, value = kurt.peak(above_hz=floor_hz, below_hz=np.inf if highest_hz is None else highest_hz)
    if not math.isfinite(value):
        return (float("nan"), float("nan")), "no band lies above the defect lines"
    return band, f"highest spectral kurtosis ({value:.2f}, level {level:g}); no defect family stands out in any band"


def _envelope_over_floor(spectrum, df, band, shaft_hz, evidence, verdict):
    """Envelope spectrum of `band` over its floor, as the verdict was read
    from it, up to past the third harmonic of the highest defect frequency:
    the figure's evidence panel."""
    if not all(map(math.isfinite, band)):
        return np.zeros(0), np.zeros(0)
    source = _verdict_source(evidence, verdict)
    prewhitening = source.prewhitening if source is not None else ""
    whitened = _prewhitened(spectrum, _floor_block(shaft_hz, df))[prewhitening or "cepstral"]
    envelope = band_envelope(whitened, df, band)
    ses, level_df = _envelope_spectra(envelope.envelopes, envelope.rate_hz)
    top = (HARMONICS + 1.5) * max(e.frequency_hz for e in evidence.values())
    ses = ses[:, : min(int(top / level_df) + 1, ses.shape[1])]
    ratio = _floor_ratio(ses, _floor_block(shaft_hz, level_df))[0]
    return np.arange(ses.shape[1]) * level_df, np.nan_to_num(ratio)
