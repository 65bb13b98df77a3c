#include "fast/genuine.hpp"

#include "runtime/names.hpp"

namespace core_math::fast {
namespace {

// One object the fast paths stand in for: bound under `name` in the module
// namespace, or, with `within`, in the module of that genuine function.
struct Binding {
  const Name& name;
  const Name* within;
  PyObject* object;  // held for the life of the process
};

Binding identity_table[] = {
    {name::np, nullptr, nullptr},
    {name::get_window, nullptr, nullptr},
    {name::medfilt, nullptr, nullptr},
    {name::filtfilt, nullptr, nullptr},
    {name::interp1d, nullptr, nullptr},
    {name::savgol_filter, nullptr, nullptr},
    {name::savgol_coeffs, &name::savgol_filter, nullptr},
};

Binding* binding_of(const Name& name) {
  for (Binding& binding : identity_table) {
    if (&binding.name == &name) return &binding;
  }
  return nullptr;
}

// The namespace that binds `binding` now: the module's, or that of the
// genuine function it lives within; nullptr if there is none.
PyObject* namespace_of(const Binding& binding, PyObject* module_dict) {
  if (binding.within == nullptr) return module_dict;
  PyObject* function = binding_of(*binding.within)->object;
  return function != nullptr && PyFunction_Check(function) ? PyFunction_GetGlobals(function) : nullptr;
}

// What `namespace_dict` binds under `name` (borrowed), or nullptr.
PyObject* bound_in(PyObject* namespace_dict, const Name& name) {
  PyObject* value = PyDict_GetItemWithError(namespace_dict, name.handle().ptr());
  if (value == nullptr) PyErr_Clear();
  return value;
}

}  // namespace

int remember_genuine(PyObject* module_dict) {
  static bool remembered = false;
  if (remembered) return 0;
  for (Binding& binding : identity_table) {
    PyObject* namespace_dict = namespace_of(binding, module_dict);
    if (binding.object == nullptr && namespace_dict != nullptr &&
        PyDict_GetItemRef(namespace_dict, binding.name.handle().ptr(), &binding.object) < 0) {
      return -1;
    }
  }
  remembered = true;
  return 0;
}

PyObject* imported(const Name& name) { return binding_of(name)->object; }

PyObject* genuine(const Scope& scope, const Name& name) {
  const Binding& binding = *binding_of(name);
  if (binding.within != nullptr && genuine(scope, *binding.within) == nullptr) return nullptr;
  PyObject* namespace_dict = namespace_of(binding, scope.globals());
  if (binding.object == nullptr || namespace_dict == nullptr) return nullptr;
  return bound_in(namespace_dict, name) == binding.object ? binding.object : nullptr;
}

}  // namespace core_math::fast
