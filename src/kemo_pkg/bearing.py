"""Rolling-element bearing diagnosis from one vibration record.

A local defect on a race or a rolling element is struck at a rate fixed by the
bearing's geometry and the shaft speed: the outer race at the ball-pass
frequency of the outer race (BPFO), the inner race at BPFI, a ball at twice its
spin frequency (BSF; it strikes both races once per spin turn).  Each strike
rings the structure's resonances; the squared envelope of a resonance band
therefore repeats at the defect rate, and its spectrum (the squared envelope
spectrum) shows a line at that rate and its harmonics:

- outer race: the race stands still; where the load swings with the shaft
  (unbalance, misalignment) the lines carry shaft-rate sidebands;
- inner race: the defect turns with the shaft through the load zone, so its
  lines carry sidebands at shaft rate;
- ball: the ball turns with the cage through the load zone, so its lines
  carry sidebands at cage rate (FTF), and the cage-rate lines themselves
  stand in the spectrum; a rolling element's spin wanders more than the
  races' rates do, so its lines are broader;
- cage: lines at cage rate alone.

The diagnosis:

1. pre-whitens the record twice, cepstrally (every bin's magnitude set to one)
   and by removing the discrete lines of shafts, gears and the supply, since
   either can reveal the impacts that the other hides;
2. forms the squared envelope of every band of the 1/3-binary filter-bank tree
   that lies above the defect lines (`filterbank`), and its spectrum over the
   local floor, shaft harmonics masked;
3. scores each defect family in every band: its first harmonics at one common
   slip within a window around the kinematic frequency, the tallest line left
   out so that no single line makes a comb, and the sidebands the physics
   predicts;
4. judges each family's best band against decoys: the same comb at
   frequencies near the family's own, over the same bands, with the family's
   own lines and their sidebands kept out of the decoys' reach.  A family is
   present when it stands well clear of its decoys, both in size and against
   their spread; the sidebands of the load zone must stand out too, at
   shaft rate for the inner race, at cage rate for a ball.  A comb that
   stands on another train's lines is not present: on the shaft-rate
   sidebands of stronger lines, or on the even harmonics of impacts at half
   its rate;
5. lets the family that stands highest explain its lines away, and judges
   the others again without them: what remains present are the alternatives.

Nothing here depends on the machine beyond the defect orders and the speed.
"""

import functools
import math
from collections.abc import Callable, Iterable
from dataclasses import dataclass, replace
from typing import Literal

import numpy as np
import scipy.fft as sfft
from numpy.typing import ArrayLike
from scipy.ndimage import maximum_filter1d

from .filterbank import (
    MIN_BAND_BINS,
    Kurtogram,
    LevelEnvelopes,
    band_envelope,
    fast_length_at_most,
    level_envelopes,
    resolved_levels,
    spectral_kurtosis,
)
from .problems import EXCERPT, printable

__all__ = [
    "DEFECTS", "DEFECT_LABELS", "BearingDiagnosis", "DefectEvidence", "DefectOrders", "defect_orders_from_geometry",
    "diagnose_bearing", "parse_defect_orders", "parse_geometry",
]

DEFECTS = ("outer_race", "inner_race", "ball", "cage")
DEFECT_LABELS = {"outer_race": "outer race", "inner_race": "inner race", "ball": "ball", "cage": "cage"}
Confidence = Literal["clear", "probable"]

MAX_LEVEL = 6                 # the tree's finest level: 2**6 bands between 0 Hz and Nyquist
HARMONICS = 3                 # defect harmonics scored; three are where a defect's lines stand clearest
MIN_LINES = 2                 # a comb stands on two lines at least: one line alone is any tone
# Where the lines may sit around their kinematic frequency: the speed's own
# error, the contact angle and a catalogue's rounded dimensions move every
# family by a per cent or so, and a ball's spin wanders more.
SLIP_TOLERANCE = {"outer_race": 0.015, "inner_race": 0.015, "ball": 0.02, "cage": 0.015}
# A lightly loaded cage lags its rolling speed, and with it the outer race's
# rate (the cage's times the balls): both are sought a second time in a window
# reaching this much further below, judged against decoys searched as widely.
CAGE_LAG = 0.045
CAGE_BORNE = ("outer_race", "cage")
SIDEBAND_WEIGHT = 0.5         # a sideband counts half a line: it backs its family, it does not make it
# The band's envelope must reach well above the defect lines for the
# envelope to be the ringing of resonances, not the lines themselves.
BAND_FLOOR_MULTIPLE = 4.0
SHAFT_MASK = 0.001            # shaft harmonics masked within 0.1 % (and two bins) of their frequency
DISCRETE_LINE = 3.0           # a discrete line of a shaft, gear or the supply towers this far over the floor
# Impacts that come so regularly that they stay in step over the record ring
# their resonance as a comb of discrete lines their rate apart, not as a hump.
# Discrete lines that pair up, a family's rate apart, this many times as
# often as at any decoy spacing are such a comb: they are the defect, and stay.
IMPACT_COMB_LEAD = 2.0
# A present family's lines, explained away: its harmonics and three
# sidebands either side of each at the rate that modulates its impacts (its
# sidebands' in `DefectOrders.families`), within this share (and two bins): a
# race's impacts swing with the load at shaft rate, a ball's follow the cage
# through the load zone.  (An outer
# race's impacts also vary from ball to ball and so repeat with the cage; but
# cage-rate sidebands on every harmonic would mask a third of the spectrum,
# the inner race's lines among them.)
LATTICE_WIDTH = 0.002
LATTICE_SIDEBANDS = 3
# Decoys: the same comb at 0.65 to 1.5 times the family's frequency, kept this
# far clear of its search window; 60 of them give the null's median and spread.
DECOY_RATIOS = np.exp(np.linspace(np.log(0.65), np.log(1.5), 60))
DECOY_CLEARANCE = 0.05
# A family is present when its comb stands this much above its decoys'
# median (natural log: e**0.5, 1.65 times) and this many robust standard
# deviations above it.  The spread is read from the decoys below their
# median, where a strong defect's own lines, caught by some decoys' teeth,
# cannot swell it.
MIN_EXCESS = 0.5
MIN_SCORE = 3.0
MIN_SPREAD = 0.02             # the decoys of a clean synthetic record may all sit on the floor
# The load zone's sidebands stand this much above the decoys' own: a comb
# near the rate of a part that turns through the load zone, without the
# load zone's modulation, is another machine's, not that part's.
MIN_SIDEBAND_EXCESS = 0.5
# An inner race's lines, of this bearing or of another on the shaft, stand
# over their shaft-rate sidebands.  A family whose every line is, harmonic by
# harmonic, weaker than the line this many shaft rates away is found on such
# sidebands (a comb of sidebands of a carrier c at c - 1 shaft rate hits
# c - 1, 2c - 2, 3c - 3), and is not judged present: its lines are the
# carrier's.  The steps reach as far as a family's own lines do.
CARRIER_STEPS = tuple(step for step in range(-LATTICE_SIDEBANDS, LATTICE_SIDEBANDS + 1) if step)
# The verdict is clear when its family stands at least this many times
# further above its decoys than any alternative does.
CLEAR_LEAD = 2.0
# The lines that go with a verdict's own, and are no alternative to it.
COMPANIONS = {"outer_race": ("cage",), "ball": ("cage",), "cage": ("ball",)}
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
# The inner race turns its defect through the load zone with the shaft, a
# ball with the cage, under every radial load: lines without sidebands at
# that rate are not theirs.  (A comb of a gear's, a belt's or the supply's
# modulation near a ball's rate, on a healthy machine, has none.)
REQUIRED_SIDEBANDS = ("inner_race", "ball")

Families = dict[str, tuple[float, float | None]]  # per defect: its rate and its sidebands' spacing, Hz

# What a rolling bearing can be.  A rolling element is at least 1 % of the
# pitch diameter (a needle bearing's needles and a slewing ring's balls are
# among the smallest), and no more of them fit around the pitch circle than
# its circumference holds, 314 at 1 %.  Hence a cage turning at under half
# the shaft's speed, ball-pass rates under the number of balls, and a ball
# spinning at under 50 orders.
MIN_BALL_RATIO = 0.01
MAX_BALLS = int(math.pi / math.asin(MIN_BALL_RATIO))
MAX_BSF = 1 / (2 * MIN_BALL_RATIO)
Window = tuple[float, float]                      # slips below and above a kinematic rate, as shares


@dataclass(frozen=True)
class DefectOrders:
    """Defect frequencies of a bearing in orders (per revolution of the shaft
    that turns the inner race; the outer race stands still)."""

    bpfo: float  # ball-pass frequency, outer race
    bpfi: float  # ball-pass frequency, inner race
    bsf: float   # ball spin frequency; a ball defect strikes at twice this
    ftf: float   # fundamental train (cage) frequency

    def __post_init__(self) -> None:
        for name in ("bpfo", "bpfi", "bsf", "ftf"):
            value = getattr(self, name)
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise ValueError(f"{name.upper()} must be a positive number of orders, not {value!r}")
        if not self.ftf < 0.5:
            raise ValueError(f"FTF must be below 0.5 orders (the cage turns at under half the shaft's speed),"
                             f" not {self.ftf:g}")
        if not self.bpfo < self.bpfi:
            raise ValueError(f"BPFO ({self.bpfo:g}) must be below BPFI ({self.bpfi:g}): the balls pass a point of"
                             " the standing outer race less often than one of the turning inner race")
        if not self.bpfi < MAX_BALLS:
            raise ValueError(f"BPFI must be below {MAX_BALLS} orders (under the number of balls, and no bearing"
                             f" holds more than {MAX_BALLS}), not {self.bpfi:g}")
        if not self.bsf < MAX_BSF:
            raise ValueError(f"BSF must be below {MAX_BSF:g} orders (a ball at least {MIN_BALL_RATIO:.0%} of the"
                             f" pitch diameter), not {self.bsf:g}")

    def families(self) -> dict[str, tuple[float, float | None]]:
        """For each defect: the order its lines repeat at, and the order of
        the sidebands that modulate them (None where the physics predicts
        none): the shaft's for a race (the inner race turns through the load
        zone; on the outer race the load swings with unbalance), the cage's
        for a ball."""
        return {
            "outer_race": (self.bpfo, 1.0),
            "inner_race": (self.bpfi, 1.0),
            "ball": (2.0 * self.bsf, self.ftf),
            "cage": (self.ftf, None),
        }


def defect_orders_from_geometry(
    balls: float, ball_diameter: float, pitch_diameter: float, contact_angle_deg: float = 0.0
) -> DefectOrders:
    """Kinematic defect orders of a bearing with a stationary outer race.

    Parameters
    ----------
    balls : int
        Number of rolling elements (a whole number, of any numeric type).
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
    if not (math.isfinite(balls) and int(balls) == balls and balls >= 1):
        raise ValueError(f"the number of balls must be a positive whole number, not {balls!r}")
    for name, value in (("ball diameter", ball_diameter), ("pitch diameter", pitch_diameter)):
        if not (math.isfinite(value) and value > 0):
            raise ValueError(f"the {name} must be positive, not {value!r}")
    if not ball_diameter < pitch_diameter:
        raise ValueError(f"the ball diameter ({ball_diameter:g}) must be smaller than the pitch diameter"
                         f" ({pitch_diameter:g})")
    if not ball_diameter >= MIN_BALL_RATIO * pitch_diameter:
        raise ValueError(f"the ball diameter ({ball_diameter:g}) must be at least {MIN_BALL_RATIO:.0%} of the pitch"
                         f" diameter ({pitch_diameter:g})")
    # Balls side by side on the pitch circle each take an angle of 2 asin(d/D).
    fit = int(math.pi / math.asin(ball_diameter / pitch_diameter) + 1e-9)
    if balls > fit:
        raise ValueError(f"{balls:g} balls of diameter {ball_diameter:g} do not fit around a pitch circle of"
                         f" diameter {pitch_diameter:g}: {fit} do at most")
    if not (math.isfinite(contact_angle_deg) and 0 <= contact_angle_deg < 90):
        raise ValueError(f"the contact angle must lie from 0 to below 90 degrees, not {contact_angle_deg!r}")
    ratio = ball_diameter / pitch_diameter * math.cos(math.radians(contact_angle_deg))
    return DefectOrders(
        bpfo=balls / 2 * (1 - ratio),
        bpfi=balls / 2 * (1 + ratio),
        bsf=pitch_diameter / (2 * ball_diameter) * (1 - ratio**2),
        ftf=(1 - ratio) / 2,
    )


def _key_values(text: str, what: str, give: str, required: tuple[str, ...],
                optional: tuple[str, ...] = ()) -> dict[str, float]:
    """`KEY=VALUE,...` (keys in any case) into numbers by lower-case key,
    every key of `required` given and none beyond it and `optional`; where
    not, the error asks to `give` them and names those missing as
    `required` spells them."""
    values = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError(f"{what}: '{printable(item, EXCERPT)}' is not KEY=VALUE")
        try:
            values[key.strip().lower()] = float(value)
        except ValueError:
            raise ValueError(f"{what}: '{printable(value.strip(), EXCERPT)}' is not a number") from None
    unknown = sorted(set(values) - {key.lower() for key in required + optional})
    missing = [key for key in required if key.lower() not in values]
    if unknown or missing:
        raise ValueError(f"{what}: give {give}"
                         + (f"; missing {', '.join(missing)}" if missing else "")
                         + (f"; unknown {printable(', '.join(unknown), EXCERPT)}" if unknown else ""))
    return values


def parse_defect_orders(text: str) -> DefectOrders:
    """`BPFO=3.05,BPFI=4.95,BSF=1.99,FTF=0.38` (any case) into DefectOrders."""
    values = _key_values(text, "bearing", "BPFO, BPFI, BSF and FTF in orders", ("BPFO", "BPFI", "BSF", "FTF"))
    return DefectOrders(**values)


def parse_geometry(text: str) -> DefectOrders:
    """`balls=8,ball_diameter=7.94,pitch_diameter=39.04,contact_angle=0` into
    the bearing's DefectOrders (contact_angle in degrees, optional)."""
    values = _key_values(text, "bearing geometry", "balls, ball_diameter, pitch_diameter and optionally contact_angle",
                         ("balls", "ball_diameter", "pitch_diameter"), ("contact_angle",))
    return defect_orders_from_geometry(values["balls"], values["ball_diameter"], values["pitch_diameter"],
                                       values.get("contact_angle", 0.0))


@dataclass(frozen=True)
class DefectEvidence:
    """What the envelope spectrum says of one defect."""

    defect: str
    frequency_hz: float          # kinematic frequency at the shaft speed
    found_hz: float              # where its lines stand: the frequency with the best common slip
    score: float                 # robust standard deviations above the decoys' median
    excess: float                # comb score above the decoys' median (natural log)
    present: bool
    band_hz: tuple[float, float]  # the band where the family stands highest
    prewhitening: str            # "cepstral" or "lines removed"
    line_ratios: tuple[float, ...]  # each harmonic's line over the local floor
    sideband_ratio: float | None  # mean sideband over floor, where sidebands are predicted
    note: str | None = None
    hidden: bool = False         # absent or unjudged, with its lines at its kinematic rate on the shaft's

    def scaled(self, factor: float) -> "DefectEvidence":
        """The same evidence with every frequency multiplied by `factor`."""
        return replace(self, frequency_hz=self.frequency_hz * factor, found_hz=self.found_hz * factor,
                       band_hz=(self.band_hz[0] * factor, self.band_hz[1] * factor))


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class BearingDiagnosis:
    """The verdict and the evidence behind it.

    `confidence` is "clear" when the verdict's family stands well above the
    other families still present once its lines are explained away;
    "probable" when some come close (they are the `alternatives`), or when a
    ball is read from cage-rate lines alone; None with no verdict."""

    verdict: str                 # a defect of DEFECTS, or "none"
    confidence: Confidence | None
    alternatives: tuple[str, ...]
    nominal_shaft_hz: float | None
    shaft_hz: float              # the speed the families were sought at
    band_hz: tuple[float, float]
    band_reason: str
    defects: dict[str, DefectEvidence]
    kurtogram: Kurtogram
    envelope_hz: np.ndarray      # squared envelope spectrum of the verdict's band, over its floor
    envelope_ratio: np.ndarray
    notes: tuple[str, ...] = ()
    band_rms: float = math.nan   # RMS of the record in band_hz, in its units: what the resonances carry

    @property
    def verdict_text(self) -> str:
        """The verdict in words, with its confidence; with no defect, the
        families that may hide on the shaft's lines."""
        if self.verdict == "none":
            hidden = ", ".join(DEFECT_LABELS[d] for d, e in self.defects.items() if e.hidden)
            return f"no bearing defect seen; may hide on the shaft's lines: {hidden}" if hidden else "no bearing defect"
        return f"{DEFECT_LABELS[self.verdict]} defect ({self.confidence})"

    def scaled(self, factor: float) -> "BearingDiagnosis":
        """The same diagnosis with every frequency multiplied by `factor`: a
        diagnosis made over shaft angle (frequencies in orders) read in Hz at
        the mean shaft speed."""
        kurt = self.kurtogram
        nominal = None if self.nominal_shaft_hz is None else self.nominal_shaft_hz * factor
        return replace(
            self, nominal_shaft_hz=nominal, shaft_hz=self.shaft_hz * factor,
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
    out.  The ratios are zero on masked bins and past the spectra's last bin,
    where every bin is masked."""

    prewhitening: str
    low_hz: np.ndarray
    high_hz: np.ndarray
    width_hz: float              # of each band: no modulation faster than this is in its envelope
    df: float                    # bin spacing of the envelope spectra, Hz
    bins: int                    # bins of the envelope spectra
    log_ratio: np.ndarray        # (bands, bins)
    valid: np.ndarray            # (bins,): False on shaft harmonics and on lines explained away
    typical: np.ndarray          # (bands, 1): what a bin of each band reads, the middle of its valid bins
    unexplained: np.ndarray      # (bins,): `valid` before any family's lines were explained away

    @classmethod
    def masked(cls, prewhitening: str, low_hz: np.ndarray, high_hz: np.ndarray, width_hz: float, df: float,
               log_ratio: np.ndarray, valid: np.ndarray) -> "_Level":
        valid = valid.copy()
        # The last bin holds no whole line; a comb's teeth past the spectra land there.
        valid[-1] = False
        # The middle of each band's valid bins (of an even count, the upper of the two); with every bin
        # masked (a shaft so slow that its harmonics fill the spectra) no tooth counts.
        kept = log_ratio[:, valid]
        middle = kept.shape[1] // 2
        typical = (np.partition(kept, middle, axis=1)[:, middle : middle + 1] if kept.size
                   else np.zeros((log_ratio.shape[0], 1), log_ratio.dtype))
        return cls(prewhitening, low_hz, high_hz, width_hz, df, log_ratio.shape[1], log_ratio * valid, valid, typical,
                   valid)

    @property
    def grid(self) -> tuple[int, float]:
        """What levels with the same bins share: their bins and spacing."""
        return self.log_ratio.shape[1], self.df

    def without(self, mask: np.ndarray) -> "_Level":
        """The same bands with the bins of `mask` masked too."""
        return replace(self, valid=self.valid & ~mask)


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
    floor: np.ndarray = medians[:, left] * (1 - weight) + medians[:, right] * weight
    return floor


def _floor_ratio(spectra: np.ndarray, block: int) -> np.ndarray:
    """Each row over its local floor."""
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio: np.ndarray = spectra / _local_floor(spectra, block)
    return ratio


def _line_mask(bins: int, df: float, centres_hz: ArrayLike, relative: float) -> np.ndarray:
    """True on the bins within `relative` (and two bins) of each centre."""
    centres = np.asarray(centres_hz, float) / df
    half = 2 + relative * centres
    lows = np.clip(np.floor(centres - half), 0, bins).astype(np.intp)
    highs = np.clip(np.ceil(centres + half) + 1, 0, bins).astype(np.intp)
    # Each span as +1 at its start and -1 past its end: a running sum covers them all at once.
    edges = np.zeros(bins + 1, np.intp)
    np.add.at(edges, lows, 1)
    np.add.at(edges, highs, -1)
    return np.cumsum(edges[:bins]) > 0


@functools.lru_cache(maxsize=64)
def _slips(low: float, high: float, steps: int) -> np.ndarray:
    """The slips a comb is tried at: every band of a diagnosis asks for the
    same few grids."""
    slips = np.linspace(low, high, steps)
    slips.flags.writeable = False
    return slips


def _comb(log_ratio: np.ndarray, valid: np.ndarray, df: float, fundamentals_hz: np.ndarray,
          windows: list[Window], sideband_hz: float | None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Best comb over a common slip within each of `windows` (shares below
    and above the fundamental), for every band (rows) and every fundamental:
    (score, sideband mean, slip), each (windows, rows, fundamentals).

    A comb's teeth are its first HARMONICS lines that fall on valid bins; at
    least MIN_LINES are needed, and the first where the rate lags (-inf
    otherwise).  Its score is the mean log ratio of its teeth with the
    tallest left out, so that one line (a tone of anything) does not make a
    comb, plus SIDEBAND_WEIGHT times the mean of the valid sidebands around
    them.  The slip steps by two bins at the last
    harmonic: each bin already holds the largest of its neighbours."""
    low, high = min(w[0] for w in windows), max(w[1] for w in windows)
    steps = max(3, int(math.ceil((high - low) / 2 * fundamentals_hz.max() * HARMONICS / df)) + 1)
    slips = _slips(low, high, steps)
    trial = fundamentals_hz[:, None] * (1 + slips)[None, :]
    last = log_ratio.shape[1] - 1  # always masked: teeth beyond the spectra land there
    masked = log_ratio * valid  # zero on masked bins, so that a sum over teeth counts the valid ones only
    absent = np.where(valid, np.float32(0), np.float32(-np.inf))  # a masked tooth is never the tallest
    # The teeth of every comb, harmonic by harmonic: one gather each for their values and their validity.
    harmonics = np.arange(1, HARMONICS + 1)[:, None, None] * trial
    teeth = np.minimum(np.rint(harmonics / df).astype(np.intp), last)
    total = np.take(masked, teeth[0], axis=1)
    tallest = total + absent[teeth[0]]
    for tooth in teeth[1:]:
        value = np.take(masked, tooth, axis=1)
        total = total + value
        tallest = np.maximum(tallest, value + absent[tooth])
    seen = valid[teeth]
    counted = seen.sum(axis=0).astype(np.float32)
    score = np.where(counted >= MIN_LINES, (total - tallest) / np.maximum(counted - 1, 1), -np.inf)
    # Every window reaches up to the family's slip tolerance (`_windows`).  A rate further below its kinematic
    # one than that is a lagging cage's, an exception a comb claims only with its fundamental: over a lag of
    # several per cent its higher harmonics alone are as easily another family's far sidebands, or another
    # machine's train whose first line hides under a shaft harmonic.
    tolerance = min(w[1] for w in windows)
    score = np.where(seen[0] | (slips >= -tolerance - 1e-12), score, -np.inf)
    sideband = None
    if sideband_hz is not None:
        sides = harmonics[:, None] + np.array([-sideband_hz, sideband_hz])[None, :, None, None]
        side_teeth = np.clip(np.rint(sides / df).astype(np.intp), 0, last).reshape((-1,) + trial.shape)
        side_total = np.take(masked, side_teeth[0], axis=1)
        for tooth in side_teeth[1:]:
            side_total = side_total + np.take(masked, tooth, axis=1)
        sides_counted = valid[side_teeth].sum(axis=0).astype(np.float32)
        sideband = np.where(sides_counted > 0, side_total / np.maximum(sides_counted, 1), 0.0)
        score = score + SIDEBAND_WEIGHT * sideband
    scores, sidebands, best_slips = [], [], []
    for window_low, window_high in windows:
        # The window's slips, a run of the grid's.
        first, stop = np.searchsorted(slips, (window_low - 1e-12, window_high + 1e-12), side="left")
        in_window = score[:, :, first:stop]
        best = np.argmax(in_window, axis=2)
        scores.append(in_window.max(axis=2))
        sidebands.append(np.take_along_axis(sideband[:, :, first:stop], best[..., None], axis=2)[..., 0]
                         if sideband is not None else np.zeros_like(scores[-1]))
        best_slips.append(slips[first + best])
    return np.array(scores), np.array(sidebands), np.array(best_slips)


def _pairs_apart(lines: np.ndarray) -> np.ndarray:
    """For every spacing in bins, how many of the lines have another line
    that far above them, give or take a bin: one correlation serves every
    family and its decoys."""
    near_line = maximum_filter1d(lines, 3)
    size = sfft.next_fast_len(2 * len(lines), real=True)
    spectra = sfft.rfft(np.array([lines, near_line], float), size, axis=1, workers=1)
    pairs: np.ndarray = np.rint(sfft.irfft(spectra[0].conj() * spectra[1], size, workers=1)[: len(lines)])
    return pairs


def _impact_combs(lines: np.ndarray, df: float, families_hz: Families) -> np.ndarray:
    """The discrete lines of `lines` that belong to a comb of impact lines:
    lines a family's rate apart (anywhere in its slip windows), where that
    rate pairs IMPACT_COMB_LEAD times as many lines as any spacing of its
    decoys' range, clear of its windows, does.  The cage strikes nothing, and rings no such comb."""
    line_bins = np.flatnonzero(lines)
    comb = np.zeros_like(lines)
    if not len(line_bins):
        return comb
    # Spacings out to the widest decoy's: no wider one is ever asked for.
    widest_hz = DECOY_RATIOS[-1] * max(fundamental_hz for fundamental_hz, _ in families_hz.values())
    pairs = _pairs_apart(lines)[: int(min(len(lines), widest_hz / df + 2))]
    spacing = np.arange(len(pairs)) * df
    for defect, (fundamental_hz, _) in families_hz.items():
        if defect == "cage":
            continue
        windows = _windows(defect)
        ratio = spacing / fundamental_hz
        within = (ratio >= 1 + min(low for low, _ in windows)) & (ratio <= 1 + max(high for _, high in windows))
        decoys = (ratio >= DECOY_RATIOS[0]) & (ratio <= DECOY_RATIOS[-1]) & _clear_of(windows, ratio).all(axis=0)
        within[0] = decoys[0] = False  # a line is no pair of itself
        if not within.any() or pairs[within].max() < IMPACT_COMB_LEAD * max(1.0, pairs[decoys].max(initial=0.0)):
            continue
        partners = line_bins + np.flatnonzero(within)[np.argmax(pairs[within])]
        for offset in (-1, 0, 1):
            target = partners + offset
            paired = target < len(lines)
            paired[paired] = lines[target[paired]]
            comb[line_bins[paired]] = comb[target[paired]] = True
    return comb


def _prewhitened(spectrum: np.ndarray, block: int, df: float, families_hz: Families) -> dict[str, np.ndarray]:
    """The record's one-sided transform, cepstrally pre-whitened (every
    magnitude one) and with its discrete lines brought down to the local
    floor (blocks of `block` bins), phases kept, but for the lines of a
    comb of impacts at a family's rate."""
    magnitude = np.abs(spectrum)
    floor = _local_floor(magnitude[None, :], block)[0]
    lines = magnitude > DISCRETE_LINE * floor
    lines &= ~_impact_combs(lines, df, families_hz)
    lines_removed = spectrum * np.divide(floor, magnitude, out=np.ones_like(magnitude), where=lines)
    # Single precision is ample for ratios of envelope spectra, and twice as fast.
    return {"cepstral": (spectrum / np.maximum(magnitude, np.finfo(float).tiny)).astype(np.complex64),
            "lines removed": lines_removed.astype(np.complex64)}


def _candidate_levels(spectrum: np.ndarray, whitened_by: dict[str, np.ndarray], df: float, shaft_hz: float,
                      families_hz: Families, band_hz: tuple[float, float] | None, tree: list[float],
                      highest_hz: float) -> tuple[list[_Level], list[np.ndarray]]:
    """The envelope spectra of every candidate band of the record's transform
    `spectrum`, pre-whitened each way (`whitened_by`), and the spectral
    kurtosis of every level of `tree` of the record with its lines removed."""
    floor_hz = BAND_FLOOR_MULTIPLE * _highest_line_hz(families_hz)
    # No envelope spectrum reaches past the record's Nyquist, whatever the defect orders ask.
    top_hz = min(_top_hz(families_hz, shaft_hz), (len(spectrum) - 1) * df)
    shaft_lines = shaft_hz * np.arange(1, int(top_hz / shaft_hz) + 2)
    bin_power = np.abs(spectrum) ** 2
    cumulative_power = np.concatenate(([0.0], np.cumsum(bin_power)))
    floor_bin = min(int(math.ceil(floor_hz / df)), len(bin_power) - 1)
    empty_power = EMPTY_BAND * float(np.mean(bin_power[floor_bin:]))
    candidates: list[_Level] = []
    kurtosis_rows = []
    valid_on: dict[tuple[int, float], np.ndarray] = {}  # per grid of envelope spectra
    for prewhitening, whitened in whitened_by.items():
        levels: Iterable[LevelEnvelopes]
        if band_hz is None:
            whitened = whitened.copy()
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
                      & ~empty if band_hz is None else np.ones(1, bool))
            squared = envelopes.envelopes[usable]
            if not len(squared):
                continue
            ses, level_df = _envelope_spectra(squared, envelopes.rate_hz)
            bins = min(int(top_hz / level_df) + 2, ses.shape[1])
            ses = ses[:, :bins]
            with np.errstate(divide="ignore", invalid="ignore"):
                log_ratio = np.log(_floor_ratio(ses, _floor_block(shaft_hz, level_df))).astype(np.float32)
            log_ratio = maximum_filter1d(np.nan_to_num(log_ratio, nan=0.0, neginf=-10.0), 3, axis=1)
            if (bins, level_df) not in valid_on:
                valid_on[bins, level_df] = ~_line_mask(bins, level_df, shaft_lines, SHAFT_MASK)
            low = np.maximum(envelopes.low_hz[usable], floor_hz) if band_hz is None else envelopes.low_hz
            candidates.append(_Level.masked(prewhitening, low, envelopes.high_hz[usable], envelopes.width_hz, level_df,
                                            log_ratio, valid_on[bins, level_df]))
    return candidates, kurtosis_rows


def _highest_line_hz(families_hz: Families) -> float:
    """The highest defect line with its first sideband: the bands start well above it."""
    return max(f + (s or 0.0) for f, s in families_hz.values())


def _top_hz(families_hz: Families, shaft_hz: float) -> float:
    """How far the envelope spectra reach: the teeth of the highest decoys
    (1.5 times the highest line), their slip and a shaft-rate sideband."""
    return 1.5 * _highest_line_hz(families_hz) * HARMONICS + shaft_hz


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


def _windows(defect: str) -> list[Window]:
    """The slip windows a family is sought in: around its kinematic rate,
    and for the cage-borne rates a second one reaching as far down as a
    lagging cage takes them.  Both reach up to the family's slip tolerance."""
    tolerance = SLIP_TOLERANCE[defect]
    if defect in CAGE_BORNE:
        return [(-tolerance, tolerance), (-tolerance - CAGE_LAG, tolerance)]
    return [(-tolerance, tolerance)]


def _reaches(level: _Level, fundamental_hz: float, windows: list[Window]) -> bool:
    """Whether the level's bands are wide enough, and their envelope spectra
    long enough, to carry two harmonics of a comb at `fundamental_hz`: the
    squared envelope of a band holds no modulation faster than its width."""
    second_hz = MIN_LINES * fundamental_hz * (1 + max(w[1] for w in windows))
    return level.width_hz >= second_hz and level.bins - 1 > second_hz / level.df + 1


@dataclass(frozen=True)
class _Comb:
    """A family's best comb over all bands: its score, where, at what slip."""

    score: float
    level: _Level
    row: int
    slip: float
    sideband: float


def _best_combs(levels: list[_Level], fundamental_hz: float, sideband_hz: float | None,
                windows: list[Window]) -> list[_Comb | None]:
    """A family's best comb over all bands in each window; None where no band
    reaches two of its harmonics."""
    best: list[_Comb | None] = [None] * len(windows)
    for level in levels:
        # Judged over the bands its decoys are: those that carry the highest decoys' combs.
        if not _reaches(level, DECOY_RATIOS[-1] * fundamental_hz, windows):
            continue
        scores, sidebands, slips = _comb(level.log_ratio, level.valid, level.df, np.array([fundamental_hz]), windows,
                                         sideband_hz)
        for k, (score, sideband, slip) in enumerate(zip(scores[:, :, 0], sidebands[:, :, 0], slips[:, :, 0])):
            row = int(np.argmax(score))
            so_far = best[k]
            if so_far is None or score[row] > so_far.score:
                best[k] = _Comb(float(score[row]), level, row, float(slip[row]), float(sideband[row]))
    return best


def _lattice(defect: str, found_hz: float, modulations_hz: tuple[float, ...], top_hz: float) -> np.ndarray:
    """Where a family's lines stand once found: every harmonic up to `top_hz`
    (the cage's, dense below shaft rate: only those its comb claims), each
    with LATTICE_SIDEBANDS sidebands either side at each of its modulations."""
    last = HARMONICS + 1 if defect == "cage" else max(1, int(top_hz / found_hz))
    steps = np.arange(-LATTICE_SIDEBANDS, LATTICE_SIDEBANDS + 1)
    sidebands = np.concatenate([[0.0], *(steps * spacing for spacing in modulations_hz)])
    centres: np.ndarray = (np.arange(1, last + 1)[:, None] * found_hz + sidebands[None, :]).ravel()
    return centres


def _lattice_masks(levels: list[_Level], centres_hz: np.ndarray) -> dict[tuple[int, float], np.ndarray]:
    """The bins of a lattice on every grid of `levels`."""
    masks = {}
    for level in levels:
        if level.grid not in masks:
            masks[level.grid] = _line_mask(level.grid[0], level.df, centres_hz, LATTICE_WIDTH)
    return masks


@dataclass(frozen=True)
class _Null:
    """What a family's decoys score: the median, the spread (a robust
    standard deviation, from below the median) and their sidebands' median."""

    median: float
    spread: float
    sideband_median: float


def _decoy_nulls(levels: list[_Level], fundamental_hz: float, sideband_hz: float | None, windows: list[Window],
                 own_lines: dict[tuple[int, float], np.ndarray]) -> list[_Null | None]:
    """The decoys' best combs over all bands in each window, on ground where
    the family's own lines (`own_lines`, each grid's mask) cannot be caught by
    their teeth; None where fewer than half of a window's decoys fit in the
    envelope spectra.  Each window's decoys keep DECOY_CLEARANCE clear of it."""
    clear = _clear_of(windows, DECOY_RATIOS)
    decoys = fundamental_hz * DECOY_RATIOS[clear.any(axis=0)]
    clear = clear[:, clear.any(axis=0)]
    best = np.full((len(windows), len(decoys)), -np.inf)
    best_sideband = np.zeros_like(best)
    columns = np.arange(len(decoys))
    for level in levels:
        if _reaches(level, decoys.max(), windows):
            # On the family's own lines a decoy's tooth reads what a bin of its band typically reads: it
            # catches none of the family's lines and, unlike a tooth reading the floor, sinks no decoy
            # below the rest, which would widen the spread with the family's own strength.
            own_lines_typical = np.where(own_lines[level.grid], level.typical, level.log_ratio)
            scores, sidebands, _ = _comb(own_lines_typical, level.valid, level.df, decoys, windows, sideband_hz)
            for k, (score, sideband) in enumerate(zip(scores, sidebands)):
                row = np.argmax(score, axis=0)
                top = score[row, columns]
                better = top > best[k]
                best[k] = np.where(better, top, best[k])
                best_sideband[k] = np.where(better, sideband[row, columns], best_sideband[k])
    nulls: list[_Null | None] = []
    for values, sides, allowed in zip(best, best_sideband, clear):
        finite = np.isfinite(values) & allowed
        if finite.sum() < allowed.sum() // 2:
            nulls.append(None)
            continue
        median = float(np.median(values[finite]))
        spread = (median - float(np.quantile(values[finite], 0.25))) / 0.6745
        nulls.append(_Null(median, max(MIN_SPREAD, spread), float(np.median(sides[finite]))))
    return nulls


def _clear_of(windows: list[Window], ratios: np.ndarray) -> np.ndarray:
    """For each window (rows), which of `ratios` to a family's rate lie
    DECOY_CLEARANCE clear of it: where its decoys may stand."""
    return np.array([(ratios < 1 + low - DECOY_CLEARANCE) | (ratios > 1 + high + DECOY_CLEARANCE)
                     for low, high in windows])


def _reader(comb: _Comb, explained_too: bool = False) -> Callable[[float], float | None]:
    """The log ratio of the comb's band at a frequency, None on a masked bin
    or past the spectra; with `explained_too`, on the lines of families
    explained away as well."""
    level, row = comb.level, comb.row
    valid = level.unexplained if explained_too else level.valid

    def read(hz: float) -> float | None:
        i = round(hz / level.df)
        return float(level.log_ratio[row, i]) if i < level.bins - 1 and valid[i] else None

    return read


def _all_beaten(pairs: Iterable[tuple[float | None, float | None]],
                bar: Callable[[float], float] = lambda tooth: tooth) -> bool:
    """Whether, of the (tooth, counterpart) pairs that can be compared (two
    at least), every counterpart stands above `bar` of its tooth: by default
    the tooth itself."""
    compared = [(tooth, other) for tooth, other in pairs if tooth is not None and other is not None]
    return len(compared) >= MIN_LINES and all(other > bar(tooth) for tooth, other in compared)


def _near_multiple(hz: float, spacing_hz: float, tolerance_hz: float) -> bool:
    """Whether `hz` lies within `tolerance_hz` of a whole multiple of `spacing_hz`."""
    return abs(hz - round(hz / spacing_hz) * spacing_hz) < tolerance_hz


def _carrier_hz(comb: _Comb, found_hz: float, shaft_hz: float) -> float | None:
    """Where stronger lines stand a whole number of shaft rates (CARRIER_STEPS)
    from every tooth of a family's comb found at `found_hz`, in the comb's
    band, harmonic by harmonic; None where no such lines do.  A line on the
    family's own harmonics is no other carrier's."""
    read, read_any, df = _reader(comb), _reader(comb, explained_too=True), comb.level.df

    # The carrier may be a family already explained away: its lines carry their sidebands still.
    def other(hz: float) -> float | None:
        return None if _near_multiple(hz, found_hz, max(2 * df, LATTICE_WIDTH * hz)) else read_any(hz)

    for step in CARRIER_STEPS:
        carrier_hz = found_hz + step * shaft_hz
        if carrier_hz < 1.5 * shaft_hz:  # the shaft's own lines are masked, and the cage's lie below
            continue
        if _all_beaten((read(k * found_hz), other(k * carrier_hz)) for k in range(1, HARMONICS + 1)):
            return carrier_hz
    return None


def _half_rate_train(comb: _Comb, found_hz: float, shaft_hz: float) -> bool:
    """Whether the lines halfway between the comb's teeth (at 1/2, 3/2, 5/2
    of `found_hz`), two at least, each stand nearer the tooth above them than
    the band's typical bin: the teeth are then the even harmonics of impacts
    at half the rate, which a train at the comb's own rate never shows.
    Where half the rate is a whole number of shaft rates, the halfway lines
    are the comb's own shaft-rate sidebands, and say nothing."""
    level = comb.level
    half_hz = found_hz / 2
    if _near_multiple(half_hz, shaft_hz, max(2 * level.df, LATTICE_WIDTH * found_hz)):
        return False
    read, typical = _reader(comb), float(level.typical[comb.row, 0])
    return _all_beaten(((read(k * found_hz), read(k * found_hz - half_hz)) for k in range(1, HARMONICS + 1)),
                       bar=lambda tooth: (tooth + typical) / 2)


def _hidden_by_shaft_lines(level: _Level, fundamental_hz: float, shaft_hz: float) -> str | None:
    """Why a family read absent may stand unseen, or None: so many of its
    harmonics at its kinematic rate fall on the shaft's masked lines, on the
    grid of `level`, that fewer than MIN_LINES are left to show a comb there,
    and the search found its best comb a little off that rate, on the floor.
    Where they lie further from the shaft's harmonics than the mask's share,
    a longer record's finer bins would part them."""
    teeth_hz = fundamental_hz * np.arange(1, HARMONICS + 1)
    teeth = np.rint(teeth_hz / level.df).astype(np.intp)
    within = teeth < level.bins - 1  # teeth past the spectra are no shaft's doing
    teeth_hz, teeth = teeth_hz[within], teeth[within]
    if len(teeth) < MIN_LINES:
        return None
    shaft_lines = shaft_hz * np.arange(1, int(teeth_hz[-1] / shaft_hz) + 2)
    # The mask up to the last tooth is all that is read.
    if (~_line_mask(int(teeth[-1]) + 1, level.df, shaft_lines, SHAFT_MASK)[teeth]).sum() >= MIN_LINES:
        return None
    nearest_hz = np.rint(teeth_hz / shaft_hz) * shaft_hz
    parted = np.abs(teeth_hz - nearest_hz) > SHAFT_MASK * nearest_hz
    note = ("absent where it could be seen, but at its kinematic rate its harmonics fall on the shaft's lines at this"
            " record's resolution, where it may hide")
    return f"{note} (a longer record parts them)" if parted.sum() >= MIN_LINES else note


def _evidence(defect: str, comb: _Comb, fundamental_hz: float, sideband_hz: float | None,
              null: _Null, shaft_hz: float) -> DefectEvidence:
    """A family's best comb judged against its decoys, and against the lines
    a few shaft rates away."""
    level, row = comb.level, comb.row
    found_hz = fundamental_hz * (1 + comb.slip)
    teeth = [round(k * found_hz / level.df) for k in range(1, HARMONICS + 1)]
    # A tooth on a masked bin (a shaft harmonic, a line explained away) says nothing: NaN.
    ratios = tuple(float(np.exp(level.log_ratio[row, i])) if level.valid[i] else math.nan
                   for i in teeth if i < level.bins - 1)
    excess = comb.score - null.median
    score = excess / null.spread
    sidebands_stand_out = (defect not in REQUIRED_SIDEBANDS
                           or comb.sideband - null.sideband_median >= MIN_SIDEBAND_EXCESS)
    present = excess >= MIN_EXCESS and score >= MIN_SCORE and sidebands_stand_out
    note, hidden = None, False
    # The cage's lines, below the shaft's rate, are no shaft-rate sidebands; a ball striking its two races
    # unequally leaves its own lines at half its rate.
    if present and defect != "cage":
        if (carrier_hz := _carrier_hz(comb, found_hz, shaft_hz)) is not None:
            note = f"its lines are the shaft-rate sidebands of stronger lines at {carrier_hz:.4g} Hz"
        elif defect != "ball" and _half_rate_train(comb, found_hz, shaft_hz):
            note = f"its lines are the even harmonics of a train of impacts at {found_hz / 2:.4g} Hz, half its rate"
    elif not present:
        note = _hidden_by_shaft_lines(level, fundamental_hz, shaft_hz)
        hidden = note is not None
    return DefectEvidence(
        defect=defect, frequency_hz=fundamental_hz, found_hz=found_hz, score=score, excess=excess,
        present=present and note is None,
        band_hz=(float(level.low_hz[row]), float(level.high_hz[row])), prewhitening=level.prewhitening,
        line_ratios=ratios, sideband_ratio=math.exp(comb.sideband) if sideband_hz is not None else None,
        note=note, hidden=hidden,
    )


def _unjudged(defect: str, frequency_hz: float, why: str, hidden: bool = False) -> DefectEvidence:
    nan = float("nan")
    return DefectEvidence(defect, frequency_hz, nan, nan, nan, False, (nan, nan), "", (), None, why, hidden)


@dataclass(frozen=True)
class _Trial:
    """One slip window of a family and its decoys' null there."""

    window: Window
    null: _Null


def _trials(defect: str, levels: list[_Level], fundamental_hz: float, sideband_hz: float | None,
            modulations_hz: tuple[float, ...], top_hz: float) -> tuple[list[_Trial], str, bool]:
    """A family's windows with their nulls; where none fits, why, and whether
    the family may hide on the shaft's lines."""
    windows = _windows(defect)
    combs = _best_combs(levels, fundamental_hz, sideband_hz, windows)
    found = {k: comb for k, comb in enumerate(combs) if comb is not None and math.isfinite(comb.score)}
    if not found:
        if all(comb is None for comb in combs):
            return [], "no band is wide enough to carry two of its harmonics", False
        why = "its harmonics fall on the shaft's lines at this record's resolution (a longer record resolves them)"
        return [], why, True
    # The family's own lines, wherever a window found them, are out of its decoys' reach.
    own = np.concatenate([_lattice(defect, fundamental_hz * (1 + comb.slip), modulations_hz, top_hz)
                          for comb in found.values()])
    nulls = _decoy_nulls(levels, fundamental_hz, sideband_hz, windows, _lattice_masks(levels, own))
    trials = [_Trial(windows[k], null) for k in found if (null := nulls[k]) is not None]
    why = "too few decoys fit in the envelope spectra to judge it against (a short record or a slow shaft)"
    return trials, why, False


def _strongest(defect: str, levels: list[_Level], fundamental_hz: float, sideband_hz: float | None,
               trials: list[_Trial], shaft_hz: float) -> DefectEvidence | None:
    """A family's evidence in the window where it stands highest, present or
    not; None where every tooth is masked."""
    combs = _best_combs(levels, fundamental_hz, sideband_hz, [trial.window for trial in trials])
    judged = [_evidence(defect, comb, fundamental_hz, sideband_hz, trial.null, shaft_hz)
              for trial, comb in zip(trials, combs) if comb is not None and math.isfinite(comb.score)]
    return max(judged, key=lambda e: (e.present, e.excess), default=None)


def _explain_away(levels: list[_Level], evidence: DefectEvidence, modulations_hz: tuple[float, ...],
                  top_hz: float) -> list[_Level]:
    """The levels with the lines of a present family masked, so that no other
    family borrows them."""
    masks = _lattice_masks(levels, _lattice(evidence.defect, evidence.found_hz, modulations_hz, top_hz))
    return [level.without(masks[level.grid]) for level in levels]


@dataclass(frozen=True, eq=False)  # arrays: compared by identity
class _Bands:
    """A record's transform, pre-whitened each way, and the envelope spectra
    of its candidate bands."""

    whitened: dict[str, np.ndarray]  # the transform of the record at unit peak, by pre-whitening
    df: float
    duration_s: float
    shaft_hz: float
    families_hz: Families
    levels: list[_Level]
    kurtogram: Kurtogram
    notes: tuple[str, ...]


@dataclass(frozen=True)
class _Families:
    """What the families are judged with: each one's windows and nulls (or
    the evidence that it could not be judged, and why), and the rates that
    modulate each one's impacts."""

    levels: list[_Level]
    rates_hz: Families
    trials: dict[str, list[_Trial]]
    unjudged: dict[str, DefectEvidence]
    modulations_hz: dict[str, tuple[float, ...]]
    top_hz: float
    shaft_hz: float


def _families(bands: _Bands) -> _Families:
    """Every family scored against its decoys in each of its windows."""
    levels, families_hz = bands.levels, bands.families_hz
    trials: dict[str, list[_Trial]] = {}
    unjudged: dict[str, DefectEvidence] = {}
    top_hz = max((level.bins * level.df for level in levels), default=0.0)
    modulations_hz: dict[str, tuple[float, ...]] = {
        defect: () if sideband_hz is None else (sideband_hz,) for defect, (_, sideband_hz) in families_hz.items()}
    for defect, (fundamental_hz, sideband_hz) in families_hz.items():
        hidden = False
        if fundamental_hz * bands.duration_s < MIN_DEFECT_PERIODS:
            why = f"the record holds fewer than {MIN_DEFECT_PERIODS} of its periods"
        elif not levels:
            why = "no band to judge it in"
        else:
            trials[defect], why, hidden = _trials(defect, levels, fundamental_hz, sideband_hz,
                                                  modulations_hz[defect], top_hz)
            if trials[defect]:
                continue
            del trials[defect]
        unjudged[defect] = _unjudged(defect, fundamental_hz, why, hidden)
    return _Families(levels, families_hz, trials, unjudged, modulations_hz, top_hz, bands.shaft_hz)


def _explained(families: _Families) -> tuple[dict[str, DefectEvidence], list[str], dict[str, DefectEvidence]]:
    """Every family's evidence, the present families from the strongest
    down, and each family's evidence when all were judged together: the
    family that stands highest explains its lines away, and the others are
    scored again without them, against the same decoys, while any stands."""
    evidence = dict(families.unjudged)
    trials = dict(families.trials)
    levels = families.levels
    ranked: list[str] = []
    was_present: set[str] = set()
    first: dict[str, DefectEvidence] = {}
    while trials:
        judged: dict[str, DefectEvidence] = {}
        for defect in trials:
            e = _strongest(defect, levels, *families.rates_hz[defect], trials[defect], families.shaft_hz)
            if e is None or (not e.present and defect in was_present):
                # What stood before stands no more: its lines were the last present family's.
                because = f"its lines are the {DEFECT_LABELS[ranked[-1]]}'s"
                e = replace(e or _unjudged(defect, families.rates_hz[defect][0], because), note=because, hidden=False)
            judged[defect] = e
        if not ranked:
            first = judged
        was_present |= {d for d, e in judged.items() if e.present}
        present = [e for e in judged.values() if e.present]
        if not present:
            evidence.update(judged)
            break
        lead = max(present, key=lambda e: e.excess)
        evidence[lead.defect] = lead
        ranked.append(lead.defect)
        del trials[lead.defect]
        levels = _explain_away(levels, lead, families.modulations_hz[lead.defect], families.top_hz)
    return {d: evidence[d] for d in DEFECTS}, ranked, first


def _shadowed(families: _Families, evidence: dict[str, DefectEvidence], ranked: list[str],
              first: dict[str, DefectEvidence]) -> tuple[str, ...]:
    """The families (the cage and the verdict's companions aside) that stood
    within CLEAR_LEAD of the verdict's when all were judged together
    (`first`), until the verdict's lines explained theirs away, and whose
    lines the verdict's shares: the verdict's family stands no more once
    that family's lines are explained away in turn.  Where it still stands,
    the lines were the verdict's alone."""
    if not ranked:
        return ()
    lead = ranked[0]

    def shares(other: DefectEvidence) -> bool:
        levels = _explain_away(families.levels, other, families.modulations_hz[other.defect], families.top_hz)
        e = _strongest(lead, levels, *families.rates_hz[lead], families.trials[lead], families.shaft_hz)
        return e is None or not e.present

    return tuple(d for d, e in first.items()
                 if e.present and d not in (*ranked, *COMPANIONS.get(lead, ()), "cage")
                 and CLEAR_LEAD * e.excess > evidence[lead].excess and shares(e))


def diagnose_bearing(
    vibration: np.ndarray,
    fs: float,
    orders: DefectOrders,
    shaft_hz: float,
    band_hz: tuple[float, float] | None = None,
    highest_hz: float | None = None,
    nominal_shaft_hz: float | None = None,
) -> BearingDiagnosis:
    """Diagnoses the bearing whose defect orders are `orders` from one
    accelerometer record.

    Parameters
    ----------
    vibration : ndarray
        The record, finite samples, sampled at `fs` Hz.
    fs : float
        Sample rate, Hz.
    orders : DefectOrders
        Defect frequencies in orders of the shaft speed.
    shaft_hz : float
        Shaft speed, Hz: measured by a tachometer, or read from the spectrum
        (`speed.shaft_speed_from_spectrum`).
    band_hz : (low, high), optional
        A demodulation band chosen by the analyst; by default every band of
        the 1/3-binary tree above the defect lines is tried.
    highest_hz : float, optional
        The highest frequency the record truly holds, where it was resampled
        (over shaft angle: the Nyquist of the sampling at the fastest
        revolution).  Bands reaching above it hold only images and are not
        tried.  By default the Nyquist of `fs`.
    nominal_shaft_hz : float, optional
        The speed the analyst gave, reported beside the one used.

    Returns
    -------
    BearingDiagnosis
    """
    bands = _bands(vibration, fs, orders, shaft_hz, band_hz, highest_hz)
    evidence, ranked, shadowed, set_aside = _judged(_families(bands))
    notes = (*bands.notes, *set_aside)
    verdict, confidence, alternatives = _verdict(evidence, ranked, shadowed)
    source = evidence[ranked[0]] if ranked else None
    band, reason = _band_and_reason(source, bands.kurtogram, band_hz, bands.families_hz, highest_hz)
    envelope_hz, envelope_ratio = _envelope_over_floor(bands.whitened, bands.df, band, shaft_hz, evidence, source)
    return BearingDiagnosis(verdict, confidence, alternatives, nominal_shaft_hz, float(shaft_hz), band, reason,
                            evidence, bands.kurtogram, envelope_hz, envelope_ratio, notes)


def _judged(families: _Families) -> tuple[dict[str, DefectEvidence], list[str], tuple[str, ...], tuple[str, ...]]:
    """Every family's evidence, the present families the verdict is read
    from (the strongest first), the families its lines explained away that
    share them (`_shadowed`), and why a strongest one was set aside."""
    evidence, ranked, first = _explained(families)
    set_aside: tuple[str, ...] = ()
    if (why := _another_cage(evidence, ranked)) is not None:
        ranked, set_aside = ranked[1:], (why,)
    return evidence, ranked, _shadowed(families, evidence, ranked, first), set_aside


def _another_cage(evidence: dict[str, DefectEvidence], ranked: list[str]) -> str | None:
    """Why the strongest lines, cage-rate lines with no ball lines beside
    them, are not read as this bearing's, or None where they may be.

    Every rolling bearing's cage turns at about 0.4 of the shaft's speed, so
    the cage of another bearing on the same shaft puts its lines within a few
    per cent of this one's.  Beside a race's lines, a lagging cage is this
    bearing's own; alone, cage lines are read as this bearing's only at its
    own kinematic cage rate."""
    if not ranked or ranked[0] != "cage" or "ball" in ranked:
        return None
    cage = evidence["cage"]
    slip = cage.found_hz / cage.frequency_hz - 1
    if abs(slip) <= SLIP_TOLERANCE["cage"]:
        return None
    return (f"bearing: cage-rate lines stand {-100 * slip:.1f} % below this bearing's cage rate, where another"
            " bearing's cage turns as well; no ball defect is read from them")


def _bands(vibration: np.ndarray, fs: float, orders: DefectOrders, shaft_hz: float,
           band_hz: tuple[float, float] | None, highest_hz: float | None) -> _Bands:
    """The record's candidate bands and their envelope spectra."""
    x = np.asarray(vibration, dtype=float)
    if x.ndim != 1 or not np.all(np.isfinite(x)):
        raise ValueError("the vibration record must be one-dimensional with finite samples")
    if not (math.isfinite(shaft_hz) and shaft_hz > 0):
        raise ValueError(f"the shaft speed must be a positive number of Hz, not {shaft_hz!r}")
    notes = []
    if len(x) > MAX_SAMPLES:
        notes.append(f"bearing: the first {MAX_SAMPLES} samples of the record were analysed")
        x = x[:MAX_SAMPLES]
    n = fast_length_at_most(len(x))
    x = x[:n] - np.mean(x[:n])
    # Every figure below is a ratio, so the record's scale does not matter;
    # unit peak keeps the squared envelopes of any record finite.
    peak = float(np.max(np.abs(x)))
    spectrum = sfft.rfft(x / peak if peak > 0 else x, workers=1)
    df = fs / n
    families_hz = {d: (o * shaft_hz, None if s is None else s * shaft_hz) for d, (o, s) in orders.families().items()}
    whitened = _prewhitened(spectrum, _floor_block(shaft_hz, df), df, families_hz)
    tree = resolved_levels(MAX_LEVEL, len(spectrum))
    levels: list[_Level] = []
    kurtosis_rows: list[np.ndarray] = []
    if band_hz is not None and (band_hz[1] - band_hz[0]) / df < MIN_BAND_BINS:
        notes.append(f"bearing: the band given spans fewer than {MIN_BAND_BINS} bins of the record's spectrum;"
                     " nothing to demodulate")
    else:
        levels, kurtosis_rows = _candidate_levels(spectrum, whitened, df, shaft_hz, families_hz, band_hz, tree,
                                                  fs / 2 if highest_hz is None else highest_hz)
        if not levels:
            notes.append("bearing: no band of the record lies above the defect lines; the sample rate is too low"
                         " for this bearing at this speed")
    kurtogram = Kurtogram(tuple(tree) if kurtosis_rows else (), tuple(kurtosis_rows), fs / 2)
    return _Bands(whitened, df, n / fs, shaft_hz, families_hz, levels, kurtogram, tuple(notes))


def _verdict(evidence: dict[str, DefectEvidence], ranked: list[str],
             shadowed: tuple[str, ...]) -> tuple[str, Confidence | None, tuple[str, ...]]:
    """The verdict, its confidence and its alternatives, from the present
    families, strongest first.

    The verdict is clear when its family stands at least CLEAR_LEAD times
    further above its decoys than any other present family; those that come
    closer are its alternatives, and make it probable.  Cage-rate lines in
    the envelope of a resonance band mean impacts whose strength follows the
    cage: a rolling element passing in and out of the load zone once per
    cage turn.  Beside an outer-race or a ball defect they are its own trace
    (a race's impacts vary from ball to ball and so repeat with the cage), not
    an alternative.  Alone (and at this bearing's own cage rate,
    `_another_cage`), they are a ball defect's clearest trace when its own
    spin wanders, and are read as one, probably: a cracked cage leaves them
    too.  A family that stood as close beside the verdict's when all were
    judged together, until the verdict's lines explained its own away, is an
    alternative too where the verdict's family stands no more without that
    family's lines (`shadowed`): the lines they share could be either's.  So
    is a defect whose lines this bearing's geometry puts where the verdict's
    stand (`_rivals`), however weak it reads."""
    if not ranked:
        return "none", None, ()
    lead = ranked[0]
    companions = COMPANIONS.get(lead, ())
    alternatives = tuple(d for d in ranked[1:] if d not in companions
                         and CLEAR_LEAD * evidence[d].excess > evidence[lead].excess)
    if lead == "cage" and "ball" not in ranked:
        return "ball", "probable", ("cage", *alternatives)
    alternatives += tuple(d for d in (*shadowed, *_rivals(evidence, lead)) if d not in alternatives)
    return ("ball" if lead == "cage" else lead), ("probable" if alternatives else "clear"), alternatives


def _rivals(evidence: dict[str, DefectEvidence], lead: str) -> tuple[str, ...]:
    """The other defects (the cage aside) that would be sought where the
    lead's lines were found: within the search windows of their own rate or,
    for a ball, of its spin rate too, since a ball striking its two races
    unequally leaves lines there.  For such a geometry the lines alone cannot
    tell the families apart, whichever stands higher."""
    if lead == "cage":
        return ()
    found_hz = evidence[lead].found_hz

    def near(defect: str) -> bool:
        rate_hz = evidence[defect].frequency_hz
        centres_hz = (rate_hz, rate_hz / 2) if defect == "ball" else (rate_hz,)
        return any(centre_hz * (1 + low) <= found_hz <= centre_hz * (1 + high)
                   for centre_hz in centres_hz for low, high in _windows(defect))

    return tuple(d for d in DEFECTS if d not in (lead, "cage") and near(d))


def _band_and_reason(source: DefectEvidence | None, kurt: Kurtogram, band_hz: tuple[float, float] | None,
                     families_hz: Families, highest_hz: float | None) -> tuple[tuple[float, float], str]:
    """The band the verdict was read from, and why that one: the analyst's,
    where the strongest family's lines stand highest, or with no family
    present, the band of highest spectral kurtosis above the defect lines."""
    if band_hz is not None:
        return (float(band_hz[0]), float(band_hz[1])), "the band given"
    if source is not None:
        return source.band_hz, (f"where the {DEFECT_LABELS[source.defect]} lines stand highest over the floor"
                                f" ({source.prewhitening} pre-whitening)")
    floor_hz = BAND_FLOOR_MULTIPLE * _highest_line_hz(families_hz)
    level, band, value = kurt.peak(above_hz=floor_hz, below_hz=np.inf if highest_hz is None else highest_hz)
    if not math.isfinite(value):
        return (float("nan"), float("nan")), "no band lies above the defect lines"
    return band, f"highest spectral kurtosis ({value:.2f}, level {level:g}); no defect is read from any band"


def _envelope_over_floor(whitened_by: dict[str, np.ndarray], df: float, band: tuple[float, float], shaft_hz: float,
                         evidence: dict[str, DefectEvidence],
                         source: DefectEvidence | None) -> tuple[np.ndarray, np.ndarray]:
    """Envelope spectrum of `band` over its floor, as the verdict was read
    from it, up to past the third harmonic of the highest defect frequency:
    the figure's evidence panel."""
    if not all(map(math.isfinite, band)):
        return np.zeros(0), np.zeros(0)
    prewhitening = source.prewhitening if source is not None else "cepstral"
    envelope = band_envelope(whitened_by[prewhitening], df, band)
    ses, level_df = _envelope_spectra(envelope.envelopes, envelope.rate_hz)
    top = (HARMONICS + 1.5) * max(e.frequency_hz for e in evidence.values())
    ses = ses[:, : min(int(top / level_df) + 1, ses.shape[1])]
    ratio = _floor_ratio(ses, _floor_block(shaft_hz, level_df))[0]
    return np.arange(ses.shape[1]) * level_df, np.nan_to_num(ratio)
