// Vexa._find_dll: the fixed, per-platform search for libvexa.
//
// The candidate list is rebuilt on every call from `platform`, `os` and `__file__` as the
// module globals hold them at that moment, so a test (or a caller) can rebind them, and a
// change of working directory between two searches is honoured. Entries are returned
// exactly as built: relative ones stay relative, nothing is resolved or normalised.
#include "python_support.h"

#include <initializer_list>

namespace vexa_ext::vexa_methods {
namespace {

using py::Ref;

constexpr const char kNotFoundPrefix[] =
    "Vexa library not found. Build it first or specify dll_path.\nSearched: ";

// os.path.join(os.path.dirname(__file__), *parts)
Ref join_module_dir(PyObject* globals, std::initializer_list<const char*> parts) {
    Ref os = py::global(globals, "os");
    if (!os) return Ref();
    Ref os_path = py::attribute(os.get(), "path");
    if (!os_path) return Ref();
    Ref join = py::attribute(os_path.get(), "join");
    if (!join) return Ref();

    Ref os_again = py::global(globals, "os");
    if (!os_again) return Ref();
    Ref os_path_again = py::attribute(os_again.get(), "path");
    if (!os_path_again) return Ref();
    Ref dirname = py::attribute(os_path_again.get(), "dirname");
    if (!dirname) return Ref();
    Ref module_file = py::global(globals, "__file__");
    if (!module_file) return Ref();
    Ref module_dir(PyObject_CallOneArg(dirname.get(), module_file.get()));
    if (!module_dir) return Ref();

    Ref join_args(PyTuple_New(static_cast<Py_ssize_t>(parts.size()) + 1));
    if (!join_args) return Ref();
    PyTuple_SET_ITEM(join_args.get(), 0, module_dir.release());
    Py_ssize_t index = 1;
    for (const char* part : parts) {
        PyObject* text = PyUnicode_FromString(part);
        if (!text) return Ref();
        PyTuple_SET_ITEM(join_args.get(), index++, text);
    }
    return Ref(PyObject_Call(join.get(), join_args.get(), nullptr));
}

int append_owned(PyObject* list, Ref item) {
    if (!item) return -1;
    return PyList_Append(list, item.get());
}

int append_literal(PyObject* list, const char* text) {
    return append_owned(list, Ref(PyUnicode_FromString(text)));
}

}  // namespace

PyObject* find_dll(ModuleState* /*state*/, PyObject* globals, PyObject* const* /*args: self only*/) {
    Ref platform_module = py::global(globals, "platform");
    if (!platform_module) return nullptr;
    Ref system = py::call_method(platform_module.get(), "system");
    if (!system) return nullptr;
    Ref windows(PyUnicode_FromString("Windows"));
    if (!windows) return nullptr;
    const int is_windows = py::compare_true(system.get(), windows.get(), Py_EQ);
    if (is_windows < 0) return nullptr;

    Ref candidates(PyList_New(0));
    if (!candidates) return nullptr;
    PyObject* list = candidates.get();
    if (is_windows) {
        if (append_owned(list, join_module_dir(globals, {"libvexa.dll"})) < 0 ||
            append_owned(list, join_module_dir(globals, {"vexa_unified.dll"})) < 0 ||
            append_owned(list, join_module_dir(globals, {"build", "libvexa.dll"})) < 0 ||
            append_literal(list, "C:\\Vexa\\build\\libvexa.dll") < 0 ||
            append_literal(list, "libvexa.dll") < 0)
            return nullptr;
    } else {
        if (append_owned(list, join_module_dir(globals, {"libvexa.so"})) < 0 ||
            append_literal(list, "./libvexa.so") < 0 ||
            append_literal(list, "/usr/local/lib/libvexa.so") < 0)
            return nullptr;
    }

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* candidate = PyList_GET_ITEM(list, i);
        Ref os = py::global(globals, "os");
        if (!os) return nullptr;
        Ref os_path = py::attribute(os.get(), "path");
        if (!os_path) return nullptr;
        Ref exists = py::call_method(os_path.get(), "exists", candidate);
        if (!exists) return nullptr;
        const int found = PyObject_IsTrue(exists.get());
        if (found < 0) return nullptr;
        if (found) return Py_NewRef(candidate);
    }

    Ref listing = py::format_plain(list);
    if (!listing) return nullptr;
    Ref prefix(PyUnicode_FromString(kNotFoundPrefix));
    if (!prefix) return nullptr;
    Ref message(PyUnicode_Concat(prefix.get(), listing.get()));
    if (!message) return nullptr;
    py::raise_with_message(PyExc_FileNotFoundError, message.get());
    return nullptr;
}

}  // namespace vexa_ext::vexa_methods
