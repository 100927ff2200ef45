// Vexa construction: find libvexa (unless named), load it with ctypes.CDLL, declare the
// two native signatures; and the `version` property.
//
// Nothing is cached anywhere: each instance loads through its own CDLL object, every
// step goes through attribute lookup on `self` (so subclasses can replace a step), and
// failures propagate untouched, leaving whatever attributes were already assigned.
#include "python_support.h"

#include <initializer_list>
#include <utility>

namespace vexa_ext::vexa_methods {
namespace {

using py::Ref;

// `self._lib.<function_name>.<field> = value`, reading `self._lib` afresh as Python would.
int declare_on_native_function(PyObject* self, const char* function_name, const char* field,
                               PyObject* value) {
    Ref lib = py::attribute(self, "_lib");
    if (!lib) return -1;
    Ref function = py::attribute(lib.get(), function_name);
    if (!function) return -1;
    return PyObject_SetAttrString(function.get(), field, value);
}

}  // namespace

PyObject* init(ModuleState* /*state*/, PyObject* /*globals*/, PyObject* const* args) {
    PyObject* self = args[0];
    Ref dll_path(Py_NewRef(args[1]));
    if (dll_path.get() == Py_None) {
        dll_path = py::call_method(self, "_find_dll");
        if (!dll_path) return nullptr;
    }
    if (!py::call_method(self, "_load_dll", dll_path.get())) return nullptr;
    if (!py::call_method(self, "_setup_functions")) return nullptr;
    Py_RETURN_NONE;
}

PyObject* load_dll(ModuleState* /*state*/, PyObject* globals, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* path = args[1];
    Ref ctypes_module = py::global(globals, "ctypes");
    if (!ctypes_module) return nullptr;
    Ref library = py::call_method(ctypes_module.get(), "CDLL", path);
    if (!library) return nullptr;
    if (PyObject_SetAttrString(self, "_lib", library.get()) < 0) return nullptr;
    if (PyObject_SetAttrString(self, "_path", path) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* setup_functions(ModuleState* /*state*/, PyObject* globals, PyObject* const* args) {
    PyObject* self = args[0];

    // P_D = ctypes.POINTER(ctypes.c_double); P_F likewise with c_float; I = ctypes.c_int
    Ref pointer_to_double;
    Ref pointer_to_float;
    for (auto [target, element] : {std::pair{&pointer_to_double, "c_double"},
                                   std::pair{&pointer_to_float, "c_float"}}) {
        Ref ctypes_module = py::global(globals, "ctypes");
        if (!ctypes_module) return nullptr;
        Ref pointer = py::attribute(ctypes_module.get(), "POINTER");
        if (!pointer) return nullptr;
        Ref ctypes_again = py::global(globals, "ctypes");
        if (!ctypes_again) return nullptr;
        Ref element_type = py::attribute(ctypes_again.get(), element);
        if (!element_type) return nullptr;
        *target = Ref(PyObject_CallOneArg(pointer.get(), element_type.get()));
        if (!*target) return nullptr;
    }
    Ref ctypes_module = py::global(globals, "ctypes");
    if (!ctypes_module) return nullptr;
    Ref native_int = py::attribute(ctypes_module.get(), "c_int");
    if (!native_int) return nullptr;

    // Argument order of vexa_gemm_host: A, B, C_hi, C_lo (float64), C_res (float32), M, N, K.
    PyObject* const P_D = pointer_to_double.get();
    PyObject* const P_F = pointer_to_float.get();
    PyObject* const I = native_int.get();
    Ref argument_types(PyList_New(8));
    if (!argument_types) return nullptr;
    PyObject* const order[8] = {P_D, P_D, P_D, P_D, P_F, I, I, I};
    for (Py_ssize_t i = 0; i < 8; ++i)
        PyList_SET_ITEM(argument_types.get(), i, Py_NewRef(order[i]));

    if (declare_on_native_function(self, "vexa_gemm_host", "argtypes", argument_types.get()) < 0)
        return nullptr;
    if (declare_on_native_function(self, "vexa_gemm_host", "restype", I) < 0) return nullptr;

    Ref ctypes_for_char_p = py::global(globals, "ctypes");
    if (!ctypes_for_char_p) return nullptr;
    Ref char_pointer = py::attribute(ctypes_for_char_p.get(), "c_char_p");
    if (!char_pointer) return nullptr;
    if (declare_on_native_function(self, "vexa_version", "restype", char_pointer.get()) < 0)
        return nullptr;

    if (PyObject_SetAttrString(self, "_P_D", P_D) < 0) return nullptr;
    if (PyObject_SetAttrString(self, "_P_F", P_F) < 0) return nullptr;
    if (PyObject_SetAttrString(self, "_I", I) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* version(ModuleState* /*state*/, PyObject* /*globals*/, PyObject* const* args) {
    Ref lib = py::attribute(args[0], "_lib");
    if (!lib) return nullptr;
    Ref raw = py::call_method(lib.get(), "vexa_version");
    if (!raw) return nullptr;
    return py::call_method(raw.get(), "decode").release();
}

}  // namespace vexa_ext::vexa_methods
