// Identifiers and option strings the analysis bodies use, by where they are
// looked up.
#pragma once

#include "runtime/pyops.hpp"

namespace core_math::name {

// The module's namespace: numpy, the scipy functions bound beside it, and
// the analysis functions that other bodies call through it.
inline const Name np{"np"}, get_window{"get_window"}, butter{"butter"}, cheby1{"cheby1"}, cheby2{"cheby2"},
    ellip{"ellip"}, bessel{"bessel"}, filtfilt{"filtfilt"}, savgol_filter{"savgol_filter"}, medfilt{"medfilt"},
    hilbert{"hilbert"}, interp1d{"interp1d"};
inline const Name apply_bandpass{"apply_bandpass"}, compute_envelope_waveform{"compute_envelope_waveform"},
    compute_frequency_spectrum{"compute_frequency_spectrum"};

// numpy's functions and constants, read off np; np.fft's transforms.
inline const Name abs{"abs"}, any{"any"}, append{"append"}, arange{"arange"}, array{"array"}, ceil{"ceil"},
    diff{"diff"}, digitize{"digitize"}, errstate{"errstate"}, float64{"float64"}, floor{"floor"},
    gradient{"gradient"}, insert{"insert"}, interp{"interp"}, linspace{"linspace"}, log{"log"}, max{"max"},
    maximum{"maximum"}, mean{"mean"}, median{"median"}, nan{"nan"}, percentile{"percentile"}, sqrt{"sqrt"},
    std{"std"}, sum{"sum"}, where{"where"}, zeros_like{"zeros_like"};
inline const Name fft{"fft"}, rfft{"rfft"}, irfft{"irfft"}, rfftfreq{"rfftfreq"};

// Where scipy's Savitzky-Golay filter designs its window and fits its edges.
inline const Name savgol_coeffs{"savgol_coeffs"}, scipy_linalg{"scipy.linalg"}, lstsq{"lstsq"};

// Methods of the objects the bodies handle.
inline const Name astype{"astype"}, lower{"lower"}, reshape{"reshape"}, dunder_enter{"__enter__"},
    dunder_exit{"__exit__"};

// Option values and keyword values.
inline const Name band{"band"}, cubic{"cubic"}, extrapolate{"extrapolate"}, linear{"linear"}, raise{"raise"};
inline const Name hann{"hann"}, rms{"rms"}, peak_to_peak{"peak-to-peak"}, power{"power"};

}  // namespace core_math::name
