// The analysis functions, as the subsystem units define them, and the one
// table that publishes them in order.
#pragma once

#include <array>

#include "function.hpp"

namespace core_math {

namespace conditioning {
extern const FunctionSpec remove_dc_offset, apply_bandpass, compute_envelope_waveform, compute_envelope_spectrum,
    compute_true_overall_rms;
}
namespace order_domain {
extern const FunctionSpec get_tach_midpoints, generate_fault_freq_fast, perform_order_tracking, perform_tsa;
}
namespace spectral {
extern const FunctionSpec compute_fft_dsp, compute_frequency_spectrum, compute_cepstrum, get_harmonic_peak,
    get_band_energy, detect_harmonic_signature;
}
namespace trend {
extern const FunctionSpec classify_operating_state, compute_severity_envelope, compute_moving_average,
    compute_robust_trend, compute_median_filter, compute_savgol_filter, compute_dynamic_zscore,
    compute_degradation_velocity;
}

// The functions in the order the module defines them.
const std::array<const FunctionSpec*, 23>& function_table();

}  // namespace core_math
