// The class Vexa, made the way a class statement makes it: a namespace dict in source
// order handed to `type`, so it is an ordinary heap class with __dict__ and weakrefs.
#include "docstrings.h"
#include "function_object.h"

#include <cstring>

namespace vexa_ext::frame {
namespace {

const char* const kSelf[] = {"self"};
const char* const kSelfDllPath[] = {"self", "dll_path"};
const char* const kSelfPath[] = {"self", "path"};
const char* const kSelfAB[] = {"self", "A", "B"};

PyObject* init_defaults() { return PyTuple_Pack(1, Py_None); }

// In namespace order; `version` is wrapped in a property when it is stored.
const FunctionSpec kMethods[] = {
    {"__init__", "Vexa.__init__", kSelfDllPath, 2, docstrings::kInit, vexa_methods::init,
     init_defaults},
    {"_find_dll", "Vexa._find_dll", kSelf, 1, docstrings::kFindDll, vexa_methods::find_dll,
     nullptr},
    {"_load_dll", "Vexa._load_dll", kSelfPath, 2, docstrings::kLoadDll, vexa_methods::load_dll,
     nullptr},
    {"_setup_functions", "Vexa._setup_functions", kSelf, 1, docstrings::kSetupFunctions,
     vexa_methods::setup_functions, nullptr},
    {"version", "Vexa.version", kSelf, 1, docstrings::kVersion, vexa_methods::version, nullptr},
    {"gemm_pair", "Vexa.gemm_pair", kSelfAB, 3, docstrings::kGemmPair, vexa_methods::gemm_pair,
     nullptr},
    {"gemm", "Vexa.gemm", kSelfAB, 3, docstrings::kGemm, vexa_methods::gemm, nullptr},
    {"gemm_decimal", "Vexa.gemm_decimal", kSelfAB, 3, docstrings::kGemmDecimal,
     vexa_methods::gemm_decimal, nullptr},
};

int set_string_item(PyObject* dict, const char* key, const char* text) {
    PyObject* value = PyUnicode_FromString(text);
    if (!value) return -1;
    int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status;
}

int fill_namespace(PyObject* namespace_dict, PyObject* function_type, PyObject* globals) {
    if (set_string_item(namespace_dict, "__module__", "dravenholt.vexa.vexa") < 0 ||
        set_string_item(namespace_dict, "__qualname__", "Vexa") < 0 ||
        set_string_item(namespace_dict, "__doc__", docstrings::kVexaClass) < 0)
        return -1;
    for (const FunctionSpec& spec : kMethods) {
        PyObject* member = new_function(spec, function_type, globals);
        if (!member) return -1;
        if (std::strcmp(spec.name, "version") == 0) {
            PyObject* getter = member;
            member = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter);
            Py_DECREF(getter);
            if (!member) return -1;
        }
        int status = PyDict_SetItemString(namespace_dict, spec.name, member);
        Py_DECREF(member);
        if (status < 0) return -1;
    }
    return 0;
}

}  // namespace

PyObject* make_vexa_class(PyObject* function_type, PyObject* globals) {
    PyObject* namespace_dict = PyDict_New();
    if (!namespace_dict) return nullptr;
    PyObject* vexa_class = nullptr;
    if (fill_namespace(namespace_dict, function_type, globals) == 0) {
        vexa_class = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                           "Vexa", namespace_dict);
    }
    Py_DECREF(namespace_dict);
    return vexa_class;
}

}  // namespace vexa_ext::frame
