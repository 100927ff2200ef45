// The module state: made when the module executes, released with the module.
#include "module_state.h"

#include "function_object.h"

namespace vexa_ext {
namespace {

int intern_names(Names& names) {
#define VEXA_INTERN(field, text) \
    if (!(names.field = PyUnicode_InternFromString(text))) return -1;
    VEXA_INTERNED_NAMES(VEXA_INTERN)
#undef VEXA_INTERN
    return 0;
}

// The real decimal.Decimal, from the decimal module rather than the module's globals.
PyTypeObject* decimal_type() {
    PyObject* decimal_module = PyImport_ImportModule("decimal");
    if (!decimal_module) return nullptr;
    PyObject* type = PyObject_GetAttrString(decimal_module, "Decimal");
    Py_DECREF(decimal_module);
    if (type && !PyType_Check(type)) {
        Py_DECREF(type);
        PyErr_SetString(PyExc_TypeError, "decimal.Decimal is not a type");
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

int init_state(PyObject* module) {
    ModuleState* state = state_of(module);
    if (!state) return -1;
    if (intern_names(state->names) < 0) return -1;
    if (!(state->decimal_type = decimal_type())) return -1;
    if (!(state->function_type = frame::new_function_type(module))) return -1;
    return 0;
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    if (!state) return 0;
    Py_VISIT(state->function_type);
    Py_VISIT(reinterpret_cast<PyObject*>(state->decimal_type));
    // The names are strings and the table behind D holds Decimals: no cycle runs through
    // them.
    return 0;
}

int clear_state(PyObject* module) {
    ModuleState* state = state_of(module);
    if (!state) return 0;
    Py_CLEAR(state->function_type);
    PyObject* decimal = reinterpret_cast<PyObject*>(state->decimal_type);
    state->decimal_type = nullptr;
    Py_XDECREF(decimal);
#define VEXA_CLEAR(field, text) Py_CLEAR(state->names.field);
    VEXA_INTERNED_NAMES(VEXA_CLEAR)
#undef VEXA_CLEAR
    delete_exact_doubles(state->exact_doubles);
    state->exact_doubles = nullptr;
    return 0;
}

void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }

}  // namespace vexa_ext
