// The module entry: multi-phase initialisation of kemo_pkg.core_math.
//
// Create hands out one module object per process; exec binds numpy and scipy
// and publishes the analysis functions of the table in order.
#include <Python.h>

#include <stdexcept>
#include <vector>

#include "fast/genuine.hpp"
#include "fast/self_checks.hpp"
#include "runtime/function.hpp"
#include "runtime/table.hpp"

namespace core_math {
namespace {

constexpr const char kQualifiedName[] = "kemo_pkg.core_math";

// The module object once exec has run; the namespace of every call lives in
// it until the interpreter shuts down.
PyObject* executed_module = nullptr;
int64_t first_interpreter_id = -1;

int check_single_interpreter() {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (first_interpreter_id == -1) {
    first_interpreter_id = current;
    return current == -1 ? -1 : 0;
  }
  if (first_interpreter_id != current) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  return 0;
}

// Copies spec.<from> to module.<to>; a spec without it is tolerated, and so
// is None where `none_allowed`.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool none_allowed) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttrString(spec, from, &value) < 0) return -1;
  int result = 0;
  if (value != nullptr && (none_allowed || value != Py_None)) result = PyDict_SetItemString(module_dict, to, value);
  Py_XDECREF(value);
  return result;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  if (check_single_interpreter() < 0) return nullptr;
  if (executed_module != nullptr) return Py_NewRef(executed_module);
  PyObject* name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr) return nullptr;
  PyObject* module_dict = PyModule_GetDict(module);
  if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", true) < 0 ||
      copy_spec_attribute(spec, module_dict, "origin", "__file__", true) < 0 ||
      copy_spec_attribute(spec, module_dict, "parent", "__package__", true) < 0 ||
      copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", false) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

int warn_on_version_mismatch() {
  const unsigned long runtime_major = (Py_Version >> 24) & 0xFF;
  const unsigned long runtime_minor = (Py_Version >> 16) & 0xFF;
  if (runtime_major == 3 && runtime_minor == 13) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                3, 13, kQualifiedName, "does not match", static_cast<int>(runtime_major),
                static_cast<int>(runtime_minor));
  return PyErr_WarnEx(nullptr, message, 1);
}

// `from <module_name> import <names...>` into the namespace.
int import_from(PyObject* module_dict, const char* module_name, std::initializer_list<const char*> names) {
  PyObject* from_list = PyList_New(0);
  if (from_list == nullptr) return -1;
  for (const char* text : names) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr || PyList_Append(from_list, name) < 0) {
      Py_XDECREF(name);
      Py_DECREF(from_list);
      return -1;
    }
    Py_DECREF(name);
  }
  PyObject* source = PyImport_ImportModuleLevel(module_name, module_dict, nullptr, from_list, 0);
  int result = source == nullptr ? -1 : 0;
  for (Py_ssize_t i = 0; result == 0 && i < PyList_GET_SIZE(from_list); ++i) {
    PyObject* name = PyList_GET_ITEM(from_list, i);
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(source, name, &value) < 0) {
      result = -1;
    } else if (value == nullptr) {
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
      result = -1;
    } else {
      result = PyDict_SetItem(module_dict, name, value);
      Py_DECREF(value);
    }
  }
  Py_XDECREF(source);
  Py_DECREF(from_list);
  return result;
}

// Publishes the analysis functions in definition order.
int define_functions(PyObject* module_dict) {
  std::vector<const FunctionSpec*> functions;
  try {
    functions = functions_in_definition_order();
  } catch (const std::logic_error& error) {
    PyErr_Format(PyExc_ImportError, "kemo_pkg.core_math: %s", error.what());
    return -1;
  }
  for (const FunctionSpec* spec : functions) {
    PyObject* function = new_function(*spec, module_dict);
    if (function == nullptr) return -1;
    const int stored = PyDict_SetItemString(module_dict, spec->name, function);
    Py_DECREF(function);
    if (stored < 0) return -1;
  }
  return 0;
}

// The module body, in source order.
int run_body(PyObject* module_dict) {
  PyObject* numpy = PyImport_ImportModuleLevel("numpy", module_dict, nullptr, nullptr, 0);
  if (numpy == nullptr) return -1;
  const int bound = PyDict_SetItemString(module_dict, "np", numpy);
  Py_DECREF(numpy);
  if (bound < 0) return -1;
  if (import_from(module_dict, "scipy.signal",
                  {"get_window", "butter", "cheby1", "cheby2", "ellip", "bessel", "filtfilt", "savgol_filter",
                   "medfilt", "hilbert"}) < 0 ||
      import_from(module_dict, "scipy.interpolate", {"interp1d"}) < 0) {
    return -1;
  }
  // Before the functions exist: they take their fast paths only if the
  // native copies the paths rely on agree with this numpy and scipy.
  import_numpy_api();
  if (fast::remember_genuine(module_dict) < 0) return -1;
  fast::run_self_checks(module_dict);
  if (define_functions(module_dict) < 0) return -1;
  // doctest looks in a module's __test__ for tests beyond its docstrings;
  // this module has none, and its namespace says so with an empty one.
  PyObject* test = PyDict_New();
  if (test == nullptr) return -1;
  const int stored = PyDict_SetItemString(module_dict, "__test__", test);
  Py_DECREF(test);
  return stored;
}

int exec_steps(PyObject* module) {
  PyObject* module_dict = PyModule_GetDict(module);
  PyObject* builtins = PyImport_AddModuleRef("builtins");
  if (builtins == nullptr) return -1;
  const int bound = PyModule_AddObjectRef(module, "__builtins__", builtins);
  Py_DECREF(builtins);
  if (bound < 0 || warn_on_version_mismatch() < 0 || bind_builtins() < 0) return -1;
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* registered = nullptr;
  if (PyDict_GetItemStringRef(modules, kQualifiedName, &registered) < 0) return -1;
  Py_XDECREF(registered);
  if (registered == nullptr && PyDict_SetItemString(modules, kQualifiedName, module) < 0) return -1;
  return run_body(module_dict);
}

int module_exec(PyObject* module) {
  if (executed_module != nullptr) {
    if (executed_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'core_math' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  if (ready_function_type() < 0) return -1;
  executed_module = Py_NewRef(module);
  if (exec_steps(module) == 0) return 0;
  // Drop the partly built module, so that a later import starts afresh.
  if (PyErr_Occurred()) {
    add_traceback("init kemo_pkg.core_math", PyModule_GetDict(module));
  } else {
    PyErr_SetString(PyExc_ImportError, "init kemo_pkg.core_math");
  }
  Py_CLEAR(executed_module);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "core_math",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace core_math

PyMODINIT_FUNC PyInit_core_math(void) { return PyModuleDef_Init(&core_math::module_def); }
