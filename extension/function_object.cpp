// The function type behind every function and method of the module.
//
// One heap type, made for the module and kept in its state, serves all of them; through
// it a call finds the module's state.
#include "function_object.h"

#include <cstddef>
#include <structmember.h>

namespace vexa_ext::frame {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const char* error_name;    // bare name for argument errors, unaffected by renaming
    Body body;
    PyObject* name;            // str
    PyObject* qualname;        // str
    PyObject* module;          // any object, like a Python function's __module__
    PyObject* doc;             // any object or nullptr (reads as None)
    PyObject* defaults;        // tuple or nullptr (reads as None)
    PyObject* parameter_names; // tuple of str
    PyObject* globals;         // the module's dict
    PyObject* dict;
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    FunctionObject* function = as_function(callable);
    auto* state = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(callable)));
    if (!state) return nullptr;
    if (!function->globals) {
        // Only reachable from a finaliser that revives a function the collector cleared.
        PyErr_SetString(PyExc_SystemError, "function called after it was cleared");
        return nullptr;
    }
    PyObject* values[kMaxParameters];
    // The body may replace __defaults__ while it runs; keep the tuple whose items we lend.
    PyObject* defaults = Py_XNewRef(function->defaults);
    PyObject* result = nullptr;
    if (match_arguments(function->error_name, function->parameter_names, defaults, args,
                        PyVectorcall_NARGS(nargsf), kwnames, values) == 0) {
        result = function->body(state, function->globals, values);
    }
    Py_XDECREF(defaults);
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->parameter_names);
    Py_VISIT(function->globals);
    Py_VISIT(function->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->dict);
    // name, qualname and parameter_names are strings and tuples of strings: they cannot
    // take part in a cycle, and keeping them lets a cleared function still repr itself.
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->parameter_names);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// ---- attributes ----

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_string(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(&as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) {
    PyObject* doc = as_function(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

// Built on every access from the current defaults, so a changed __defaults__ shows.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    PyObject* inspect = PyImport_ImportModule("inspect");
    if (!inspect) return nullptr;
    PyObject* parameter_type = PyObject_GetAttrString(inspect, "Parameter");
    PyObject* signature_type = PyObject_GetAttrString(inspect, "Signature");
    Py_DECREF(inspect);
    PyObject* kind = parameter_type
                         ? PyObject_GetAttrString(parameter_type, "POSITIONAL_OR_KEYWORD")
                         : nullptr;
    PyObject* default_keyword = PyUnicode_FromString("default");
    const Py_ssize_t count = PyTuple_GET_SIZE(function->parameter_names);
    PyObject* parameters = PyList_New(count);
    PyObject* signature = nullptr;
    if (signature_type && kind && default_keyword && parameters) {
        PyObject* defaults = function->defaults;
        const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults) : 0;
        Py_ssize_t i = 0;
        for (; i < count; ++i) {
            PyObject* call_args[4] = {nullptr, PyTuple_GET_ITEM(function->parameter_names, i),
                                      kind, nullptr};
            Py_ssize_t default_index = i - count + default_count;
            PyObject* keywords = nullptr;
            size_t nargs = 2;
            if (default_index >= 0) {
                call_args[3] = PyTuple_GET_ITEM(defaults, default_index);
                keywords = PyTuple_Pack(1, default_keyword);
                if (!keywords) break;
            }
            PyObject* parameter = PyObject_Vectorcall(
                parameter_type, call_args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords);
            Py_XDECREF(keywords);
            if (!parameter) break;
            PyList_SET_ITEM(parameters, i, parameter);
        }
        if (i == count) signature = PyObject_CallOneArg(signature_type, parameters);
    }
    Py_XDECREF(parameters);
    Py_XDECREF(default_keyword);
    Py_XDECREF(kind);
    Py_XDECREF(signature_type);
    Py_XDECREF(parameter_type);
    return signature;
}

// Pickled by reference, as Python functions are: the unpickler imports __module__ and
// looks __qualname__ up in it.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// No Py_tp_doc: a heap type's doc string would shadow the functions' own __doc__.
PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "dravenholt.vexa.vexa.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

PyObject* new_function_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &function_spec, nullptr);
}

PyObject* new_function(const FunctionSpec& spec, PyObject* function_type, PyObject* globals) {
    if (spec.parameter_count > kMaxParameters) {
        PyErr_SetString(PyExc_SystemError, "function declares too many parameters");
        return nullptr;
    }
    PyObject* parameter_names = PyTuple_New(spec.parameter_count);
    if (!parameter_names) return nullptr;
    for (Py_ssize_t i = 0; i < spec.parameter_count; ++i) {
        PyObject* parameter = PyUnicode_InternFromString(spec.parameters[i]);
        if (!parameter) {
            Py_DECREF(parameter_names);
            return nullptr;
        }
        PyTuple_SET_ITEM(parameter_names, i, parameter);
    }
    PyObject* defaults = spec.make_defaults ? spec.make_defaults() : nullptr;
    PyObject* name = PyUnicode_InternFromString(spec.name);
    PyObject* qualname = PyUnicode_FromString(spec.qualname);
    PyObject* module = PyUnicode_InternFromString("dravenholt.vexa.vexa");
    PyObject* doc = PyUnicode_FromString(spec.doc);
    FunctionObject* function = nullptr;
    if ((defaults || !spec.make_defaults) && name && qualname && module && doc)
        function = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(function_type));
    if (!function) {
        Py_DECREF(parameter_names);
        Py_XDECREF(defaults);
        Py_XDECREF(name);
        Py_XDECREF(qualname);
        Py_XDECREF(module);
        Py_XDECREF(doc);
        return nullptr;
    }
    function->vectorcall = function_vectorcall;
    function->error_name = spec.name;
    function->body = spec.body;
    function->name = name;
    function->qualname = qualname;
    function->module = module;
    function->doc = doc;
    function->defaults = defaults;
    function->parameter_names = parameter_names;
    function->globals = Py_NewRef(globals);
    function->dict = nullptr;
    function->weakreflist = nullptr;
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

}  // namespace vexa_ext::frame
