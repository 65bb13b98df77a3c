#include "table.hpp"

namespace core_math {

const std::array<const FunctionSpec*, 23>& function_table() {
  static const std::array<const FunctionSpec*, 23> table = {
      &conditioning::remove_dc_offset,
      &order_domain::get_tach_midpoints,
      &order_domain::generate_fault_freq_fast,
      &conditioning::apply_bandpass,
      &order_domain::perform_order_tracking,
      &order_domain::perform_tsa,
      &conditioning::compute_envelope_waveform,
      &spectral::compute_fft_dsp,
      &spectral::compute_frequency_spectrum,
      &conditioning::compute_envelope_spectrum,
      &spectral::compute_cepstrum,
      &spectral::get_harmonic_peak,
      &spectral::get_band_energy,
      &conditioning::compute_true_overall_rms,
      &trend::classify_operating_state,
      &trend::compute_severity_envelope,
      &trend::compute_moving_average,
      &trend::compute_robust_trend,
      &trend::compute_median_filter,
      &trend::compute_savgol_filter,
      &spectral::detect_harmonic_signature,
      &trend::compute_dynamic_zscore,
      &trend::compute_degradation_velocity,
  };
  return table;
}

}  // namespace core_math
