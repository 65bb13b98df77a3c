#include "runtime/table.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace core_math {
namespace {

// The order in which the module defines its functions, and so lists them in
// its namespace.
constexpr const char* kDefinitionOrder[] = {
    "remove_dc_offset",
    "get_tach_midpoints",
    "generate_fault_freq_fast",
    "apply_bandpass",
    "perform_order_tracking",
    "perform_tsa",
    "compute_envelope_waveform",
    "compute_fft_dsp",
    "compute_frequency_spectrum",
    "compute_envelope_spectrum",
    "compute_cepstrum",
    "get_harmonic_peak",
    "get_band_energy",
    "compute_true_overall_rms",
    "classify_operating_state",
    "compute_severity_envelope",
    "compute_moving_average",
    "compute_robust_trend",
    "compute_median_filter",
    "compute_savgol_filter",
    "detect_harmonic_signature",
    "compute_dynamic_zscore",
    "compute_degradation_velocity",
};

}  // namespace

std::vector<const FunctionSpec*> functions_in_definition_order() {
  std::vector<const FunctionSpec*> defined;
  for (const FunctionTable* table : {&conditioning::functions, &order_domain::functions, &spectral::functions,
                                     &trend::functions}) {
    for (const FunctionSpec& spec : *table) defined.push_back(&spec);
  }
  std::vector<const FunctionSpec*> ordered;
  for (const char* name : kDefinitionOrder) {
    for (const FunctionSpec*& spec : defined) {
      if (spec != nullptr && std::strcmp(spec->name, name) == 0) {
        ordered.push_back(spec);
        spec = nullptr;  // placed: a second function of that name is left over below
        break;
      }
    }
    if (ordered.empty() || std::strcmp(ordered.back()->name, name) != 0) {
      throw std::logic_error(std::string("no subsystem defines ") + name + ", which the definition order names");
    }
  }
  for (const FunctionSpec* spec : defined) {
    if (spec != nullptr) {
      throw std::logic_error(std::string(spec->name) + " is defined once too often, or missing from the definition order");
    }
  }
  return ordered;
}

}  // namespace core_math
