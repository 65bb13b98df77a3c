// Identifiers and option strings the analysis bodies use: module globals,
// attributes, keyword values and the option vocabulary.
#pragma once

#include "runtime/pyops.hpp"

namespace core_math::name {

inline const Name abs{"abs"};
inline const Name any{"any"};
inline const Name append{"append"};
inline const Name apply_bandpass{"apply_bandpass"};
inline const Name arange{"arange"};
inline const Name array{"array"};
inline const Name astype{"astype"};
inline const Name band{"band"};
inline const Name bessel{"bessel"};
inline const Name butter{"butter"};
inline const Name ceil{"ceil"};
inline const Name cheby1{"cheby1"};
inline const Name cheby2{"cheby2"};
inline const Name compute_envelope_waveform{"compute_envelope_waveform"};
inline const Name compute_frequency_spectrum{"compute_frequency_spectrum"};
inline const Name cubic{"cubic"};
inline const Name diff{"diff"};
inline const Name dunder_enter{"__enter__"};
inline const Name dunder_exit{"__exit__"};
inline const Name digitize{"digitize"};
inline const Name ellip{"ellip"};
inline const Name errstate{"errstate"};
inline const Name extrapolate{"extrapolate"};
inline const Name fft{"fft"};
inline const Name filtfilt{"filtfilt"};
inline const Name float64{"float64"};
inline const Name floor{"floor"};
inline const Name get_window{"get_window"};
inline const Name gradient{"gradient"};
inline const Name hann{"hann"};
inline const Name hilbert{"hilbert"};
inline const Name insert{"insert"};
inline const Name interp{"interp"};
inline const Name interp1d{"interp1d"};
inline const Name irfft{"irfft"};
inline const Name linear{"linear"};
inline const Name linspace{"linspace"};
inline const Name lstsq{"lstsq"};
inline const Name log{"log"};
inline const Name lower{"lower"};
inline const Name max{"max"};
inline const Name maximum{"maximum"};
inline const Name mean{"mean"};
inline const Name medfilt{"medfilt"};
inline const Name median{"median"};
inline const Name nan{"nan"};
inline const Name np{"np"};
inline const Name raise{"raise"};
inline const Name peak_to_peak{"peak-to-peak"};
inline const Name percentile{"percentile"};
inline const Name power{"power"};
inline const Name reshape{"reshape"};
inline const Name rfft{"rfft"};
inline const Name rfftfreq{"rfftfreq"};
inline const Name rms{"rms"};
inline const Name savgol_coeffs{"savgol_coeffs"};
inline const Name savgol_filter{"savgol_filter"};
inline const Name scipy_linalg{"scipy.linalg"};
inline const Name sqrt{"sqrt"};
inline const Name std{"std"};
inline const Name sum{"sum"};
inline const Name where{"where"};
inline const Name zeros_like{"zeros_like"};

}  // namespace core_math::name
