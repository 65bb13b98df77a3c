"""The shaft speed a record shows near the speed it was given.

A motor's slip or a drive's set point moves the speed from its nameplate by
a few per cent; a set point of a test rig, by several.  The bearing's defect
lines are sought at the speed the shaft truly turns, so it is read from the
shaft's own harmonics within a stated tolerance of the speed given: in the
record's spectrum, or where broadband noise buries them there, in the
envelope of the resonances the shaft's unbalance and load swing.
"""

import numpy as np

from . import core_math as cm

__all__ = ["SPEED_READERS", "SPEED_TOLERANCE", "shaft_speed_from_envelope", "shaft_speed_from_spectrum"]

SPEED_TOLERANCE = 0.1  # a set point or a nameplate speed is within 10 % of the shaft's
SPEED_HARMONICS = 5
LINE_PROMINENCE = 4.0  # a shaft line stands this many times over the spectrum's median around it
# The envelope's band, as shares of the sample rate: far above the shaft's
# own lines, below the converter's anti-alias roll-off.
ENVELOPE_BAND = (1 / 8, 0.45)
# A defect's lines stand in the envelope too, taller than the shaft's, with
# shaft-rate sidebands: a wrong speed gathers two of them as its fourth and
# fifth harmonics.  The shaft rate's own modulation stands at its first two,
# below the rate of any race or ball; both must stand out.
ENVELOPE_HARMONICS = 2
# Its peaks are read from a Hann window's lobe, four bins wide: only bins
# this fine (a share of the speed) part a shaft harmonic from a defect's
# sideband a slip tolerance (1.5 %) or more away, as an 8-ball bearing's
# BPFO less one shaft rate lies 2.6 % above two shaft orders.
ENVELOPE_RESOLUTION = 0.0075
ENVELOPE_PADDING = 27  # samples the fourth-order band-pass pads each end with: 3 (2 * 4 + 1)


def shaft_speed_from_spectrum(
    vibration: np.ndarray, fs: float, nominal_hz: float, tolerance: float = SPEED_TOLERANCE
) -> float | None:
    """The shaft speed (Hz) within `tolerance` (a share) of `nominal_hz`,
    read from the spectrum's shaft harmonics; None where no harmonic stands
    out: a spectrum without shaft lines says nothing of the speed.

    A motor's slip or a drive's set point moves the speed from its nameplate.
    The speed is first taken where the first `SPEED_HARMONICS` shaft harmonics
    of the Hann-windowed spectrum stand highest together (their log
    amplitudes summed, the tallest left out where three or more fit: one
    line of another machine lifts one harmonic only, and makes no speed),
    then read finely from those harmonics that stand clear of the spectrum
    around them, each line's peak placed between bins by a parabola through
    its log amplitudes, the higher harmonics weighing more as they resolve
    the speed more finely.

    Parameters
    ----------
    vibration : ndarray
        The record, finite samples.
    fs : float
        Sample rate, Hz.
    nominal_hz : float
        The speed given: a set point, a nameplate or a logged speed, Hz.
    tolerance : float
        How far the shaft may turn from `nominal_hz`, as a share of it; below
        1/3, so that no other harmonic falls in the search.

    Returns
    -------
    float or None
    """
    return _speed_from_lines(vibration, fs, nominal_hz, tolerance, SPEED_HARMONICS, 1)


def shaft_speed_from_envelope(
    vibration: np.ndarray, fs: float, nominal_hz: float, tolerance: float = SPEED_TOLERANCE
) -> float | None:
    """The shaft speed (Hz) within `tolerance` of `nominal_hz`, read as
    `shaft_speed_from_spectrum` reads it, from the first two shaft harmonics
    of the amplitude envelope of the record's upper band (`ENVELOPE_BAND`);
    None where either does not stand out, or where the record is too short
    for its bins to part them from a defect's lines (`ENVELOPE_RESOLUTION`).

    Broadband noise (a noisy sensor or amplifier, flow, cavitation) can bury
    the shaft's own lines in the spectrum while the resonances above still
    swing at shaft rate with the unbalance, the load zone a turning inner
    race carries its defect through, or a bent shaft: their envelope then
    tells the speed that the spectrum no longer does.  Parameters and
    result as `shaft_speed_from_spectrum`'s.
    """
    vibration = np.asarray(vibration, dtype=float)
    # The band-pass runs forwards and backwards from padded ends: a record
    # shorter than the padding holds no envelope.
    if len(vibration) <= ENVELOPE_PADDING or fs / len(vibration) > ENVELOPE_RESOLUTION * nominal_hz:
        return None
    low, high = ENVELOPE_BAND
    envelope = cm.compute_envelope_waveform(vibration, fs, low * fs, high * fs)
    return _speed_from_lines(envelope, fs, nominal_hz, tolerance, ENVELOPE_HARMONICS, ENVELOPE_HARMONICS)


def _speed_from_lines(
    vibration: np.ndarray, fs: float, nominal_hz: float, tolerance: float, harmonics_read: int, lines_needed: int
) -> float | None:
    """The speed read from the first `harmonics_read` shaft harmonics of the
    spectrum of `vibration`, where `lines_needed` of them stand out
    (`shaft_speed_from_spectrum`)."""
    freqs, amps = cm.compute_frequency_spectrum(vibration, fs)
    if freqs is None or amps is None:  # a record of fewer than two samples
        return None
    df = float(freqs[1] - freqs[0])
    harmonics = np.arange(1, harmonics_read + 1)
    # A line is read from its bin and both neighbours: none within two bins of
    # 0 Hz (the record's mean) or of Nyquist.
    harmonics = harmonics[
        (harmonics * nominal_hz * (1 - tolerance) > freqs[2]) & (harmonics * nominal_hz * (1 + tolerance) < freqs[-2])
    ]
    if harmonics.size == 0:
        return None
    log_amps = np.log(np.maximum(amps, np.finfo(float).tiny))
    candidates = np.arange(nominal_hz * (1 - tolerance), nominal_hz * (1 + tolerance), df / harmonics[-1] / 2)
    below = np.floor(np.outer(candidates, harmonics) / df).astype(int)
    each = np.maximum(log_amps[below], log_amps[below + 1])
    score = each.sum(axis=1)
    if harmonics.size > 2:
        # The tallest harmonic left out: one line of another machine (a
        # defect's sideband, a gear mesh) near a wrong speed's harmonic does
        # not make that speed.
        score -= each.max(axis=1)
    coarse = float(candidates[np.argmax(score)])
    estimates, weights = [], []
    for k in harmonics:
        centre = int(round(k * coarse / df))
        peak = centre - 1 + int(np.argmax(log_amps[centre - 1 : centre + 2]))
        around = amps[max(peak - 20, 0) : peak + 21]
        if not amps[peak] > LINE_PROMINENCE * np.median(around):
            continue  # no line here (a silent record's spectrum holds none either)
        left, middle, right = log_amps[peak - 1 : peak + 2]
        curvature = left - 2 * middle + right
        offset = 0.5 * (left - right) / curvature if curvature < 0 else 0.0
        estimates.append((peak + offset) * df / k)
        weights.append(float(k))
    return float(np.average(estimates, weights=weights)) if len(estimates) >= lines_needed else None


# Where the speed is read, in turn, and what each source is called: the
# envelope only where the spectrum shows no shaft line.
SPEED_READERS = (("spectrum", shaft_speed_from_spectrum), ("envelope", shaft_speed_from_envelope))
