// The module object of dravenholt.vexa.vexa: multi-phase initialisation.
//
// The module can exist only once per process and only in the first interpreter that
// imports it. The create slot hands the one initialised module back to every later import
// (so globals changed by a caller survive re-imports and importlib.reload), and the exec
// slot runs the module's statements in source order, each looking names up in the
// module's globals the moment it runs.
#include "docstrings.h"
#include "function_object.h"

#include <frameobject.h>

#include <cstdint>
#include <cstdlib>

namespace {

using vexa_ext::frame::FunctionSpec;
namespace docstrings = vexa_ext::docstrings;
namespace bodies = vexa_ext::module_functions;

constexpr const char* kFullName = "dravenholt.vexa.vexa";

// Process-wide, never reset: the first interpreter to import the module owns it.
int64_t owning_interpreter_id = -1;
// The initialised module (strong reference), or nullptr before the first successful start
// of initialisation and after a failed one.
PyObject* initialised_module = nullptr;

const char* const kX[] = {"x"};
const char* const kAB[] = {"A", "B"};
const char* const kReportParameters[] = {"K", "M", "N", "seed"};

PyObject* report_defaults() { return Py_BuildValue("(iiii)", 256, 8, 8, 42); }

const FunctionSpec kD = {"D", "D", kX, 1, docstrings::kD, bodies::D, nullptr};
const FunctionSpec kComputeGroundTruth = {"compute_ground_truth", "compute_ground_truth", kAB, 2,
                                          docstrings::kComputeGroundTruth,
                                          bodies::compute_ground_truth, nullptr};
const FunctionSpec kVerifyPrecision = {"verify_precision", "verify_precision",
                                       kReportParameters, 4, docstrings::kVerifyPrecision,
                                       bodies::verify_precision, report_defaults};
const FunctionSpec kTest = {"test", "test", nullptr, 0, docstrings::kTest, bodies::test, nullptr};

int check_single_interpreter() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (owning_interpreter_id == -1) {
        owning_interpreter_id = current;
        return 0;
    }
    if (owning_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> into the module dict as <to>. A missing attribute is skipped; None is
// skipped unless `keep_none`.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from,
                        const char* to, bool keep_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int status = 0;
    if (keep_none || value != Py_None) status = PyDict_SetItemString(module_dict, to, value);
    Py_DECREF(value);
    return status;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (initialised_module) return Py_NewRef(initialised_module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__",
                            false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Major and minor version of the running interpreter, read from its version text as the
// build-time macros cannot tell.
void runtime_version(int* major, int* minor) {
    const char* text = Py_GetVersion();
    char* end = nullptr;
    *major = static_cast<int>(std::strtol(text, &end, 10));
    *minor = (end && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10)) : 0;
}

int warn_on_version_mismatch() {
    int major = 0, minor = 0;
    runtime_version(&major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int ensure_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* key = PyUnicode_FromString(kFullName);
    if (!key) return -1;
    int status = 0;
    PyObject* present = PyDict_GetItemWithError(modules, key);
    if (!present) status = PyErr_Occurred() ? -1 : PyDict_SetItem(modules, key, module);
    Py_DECREF(key);
    return status;
}

// Binds `value` (a new reference, or nullptr after a failure) as `name`; steals `value`.
int bind(PyObject* globals, const char* name, PyObject* value) {
    if (!value) return -1;
    int status = PyDict_SetItemString(globals, name, value);
    Py_DECREF(value);
    return status;
}

// `import <name>`, absolute, with the module's globals.
PyObject* import_module(PyObject* globals, const char* name) {
    PyObject* module_name = PyUnicode_FromString(name);
    if (!module_name) return nullptr;
    PyObject* module = PyImport_ImportModuleLevelObject(module_name, globals, nullptr, nullptr, 0);
    Py_DECREF(module_name);
    return module;
}

// `from decimal import Decimal, getcontext`: both names are bound, in that order.
int import_from_decimal(PyObject* globals) {
    PyObject* module_name = PyUnicode_FromString("decimal");
    PyObject* from_list = Py_BuildValue("(ss)", "Decimal", "getcontext");
    PyObject* module = nullptr;
    if (module_name && from_list)
        module = PyImport_ImportModuleLevelObject(module_name, globals, nullptr, from_list, 0);
    Py_XDECREF(module_name);
    int status = module ? 0 : -1;
    for (Py_ssize_t i = 0; status == 0 && i < PyTuple_GET_SIZE(from_list); ++i) {
        PyObject* attribute_name = PyTuple_GET_ITEM(from_list, i);
        PyObject* value = PyObject_GetAttr(module, attribute_name);
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %R", attribute_name);
        }
        status = value ? PyDict_SetItem(globals, attribute_name, value) : -1;
        Py_XDECREF(value);
    }
    Py_XDECREF(module);
    Py_XDECREF(from_list);
    return status;
}

// Run as a script, the module runs its self-test once, after every name is bound.
int run_self_test_under_main(PyObject* globals) {
    PyObject* name = vexa_ext::load_global(globals, "__name__");
    if (!name) return -1;
    PyObject* main_name = PyUnicode_FromString("__main__");
    int is_main = main_name ? PyObject_RichCompareBool(name, main_name, Py_EQ) : -1;
    Py_XDECREF(main_name);
    Py_DECREF(name);
    if (is_main <= 0) return is_main;
    PyObject* test = vexa_ext::load_global(globals, "test");
    if (!test) return -1;
    PyObject* result = PyObject_CallNoArgs(test);
    Py_DECREF(test);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

PyObject* new_string(const char* text) { return PyUnicode_FromString(text); }

// The module's statements in source order. Returns the source line of the statement that
// failed, for the traceback entry, or 0 when all succeeded.
int run_statements(PyObject* globals) {
    using vexa_ext::frame::make_vexa_class;
    using vexa_ext::frame::new_function;
    if (bind(globals, "ctypes", import_module(globals, "ctypes")) < 0) return __LINE__;
    if (bind(globals, "np", import_module(globals, "numpy")) < 0) return __LINE__;
    if (import_from_decimal(globals) < 0) return __LINE__;
    if (bind(globals, "os", import_module(globals, "os")) < 0) return __LINE__;
    if (bind(globals, "platform", import_module(globals, "platform")) < 0) return __LINE__;
    if (bind(globals, "__version__", new_string("2.0.0")) < 0) return __LINE__;
    if (bind(globals, "__author__", new_string("Dravenholt")) < 0) return __LINE__;
    if (vexa_ext::frame::ready_function_type() < 0) return __LINE__;
    if (bind(globals, "D", new_function(kD, globals)) < 0) return __LINE__;
    if (bind(globals, "Vexa", make_vexa_class(globals)) < 0) return __LINE__;
    if (bind(globals, "compute_ground_truth", new_function(kComputeGroundTruth, globals)) < 0)
        return __LINE__;
    if (bind(globals, "verify_precision", new_function(kVerifyPrecision, globals)) < 0)
        return __LINE__;
    if (bind(globals, "test", new_function(kTest, globals)) < 0) return __LINE__;
    if (run_self_test_under_main(globals) < 0) return __LINE__;
    if (bind(globals, "__test__", PyDict_New()) < 0) return __LINE__;
    return 0;
}

// Returns the source line of the step that failed, or 0.
int initialise(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    if (bind(globals, "__builtins__", PyImport_ImportModule("builtins")) < 0) return __LINE__;
    if (warn_on_version_mismatch() < 0) return __LINE__;
    if (ensure_in_sys_modules(module) < 0) return __LINE__;
    return run_statements(globals);
}

// Adds the entry "init dravenholt.vexa.vexa" at `line` to the traceback of the exception
// being raised, as a failing module body shows in a traceback. Should the entry itself fail,
// the original exception is kept without it.
void add_init_traceback_entry(int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* globals = PyDict_New();
    PyCodeObject* code =
        PyCode_NewEmpty("extension/module.cpp", "init dravenholt.vexa.vexa", line);
    PyFrameObject* frame =
        globals && code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    Py_XDECREF(globals);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

int exec_module(PyObject* module) {
    if (initialised_module) {
        if (initialised_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'vexa' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    initialised_module = Py_NewRef(module);
    const int failed_line = initialise(module);
    if (failed_line == 0) return 0;
    add_init_traceback_entry(failed_line);
    // A later import must start from scratch with a new module object.
    Py_CLEAR(initialised_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vexa",
    nullptr,  // set from docstrings::kModule in PyInit_vexa: it lives in another unit
    0,
    no_module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vexa(void) {
    module_definition.m_doc = docstrings::kModule;
    return PyModuleDef_Init(&module_definition);
}
