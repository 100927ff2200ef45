// Argument matching for the module's function objects.
//
// The rules and messages are those every function of the module shares: each parameter
// can be given by position or keyword, nothing is variadic, and the error text names the
// bare function name. The order of the checks decides which message wins when a call is
// wrong in several ways at once (a missing required argument beats an unknown keyword).
#include "function_object.h"

namespace vexa_ext::frame {
namespace {

int raise_wrong_count(const char* function_name, Py_ssize_t minimum, Py_ssize_t maximum,
                      Py_ssize_t found) {
    const bool exact = minimum == maximum;
    const char* more_or_less;
    Py_ssize_t expected;
    if (found < minimum) {
        more_or_less = "at least";
        expected = minimum;
    } else {
        more_or_less = "at most";
        expected = maximum;
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, more_or_less, expected, expected == 1 ? "" : "s", found);
    return -1;
}

// 1 when `key` spells `parameter`, 0 when not, -1 on error. Identity first: keyword names
// written in source are interned, so the comparison is rarely needed.
int same_name(PyObject* parameter, PyObject* key) {
    if (parameter == key) return 1;
    if (!PyUnicode_Check(key)) return 0;
    int compared = PyUnicode_Compare(parameter, key);
    if (compared == -1 && PyErr_Occurred()) return -1;
    return compared == 0;
}

// Index of the keyword spelling `parameter` in `kwnames`, -1 when absent, -2 on error.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* parameter) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < count; ++j) {
        int same = same_name(parameter, PyTuple_GET_ITEM(kwnames, j));
        if (same < 0) return -2;
        if (same) return j;
    }
    return -1;
}

// Index of the parameter spelled by `key`, -1 when none, -2 on error.
Py_ssize_t find_parameter(PyObject* parameter_names, PyObject* key) {
    const Py_ssize_t count = PyTuple_GET_SIZE(parameter_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        int same = same_name(PyTuple_GET_ITEM(parameter_names, i), key);
        if (same < 0) return -2;
        if (same) return i;
    }
    return -1;
}

// Explains why some keywords were not taken: they are checked in the caller's order, so
// the first offending keyword is the one reported.
int raise_for_leftover_keywords(const char* function_name, PyObject* parameter_names,
                                Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
            return -1;
        }
        Py_ssize_t index = find_parameter(parameter_names, key);
        if (index == -2) return -1;
        if (index >= nargs) {
            // Only a raw vectorcall can name the same keyword twice; CPython's own call
            // paths reject that before we are reached.
            Py_ssize_t first = find_keyword(kwnames, key);
            if (first == -2) return -1;
            if (first == j) continue;
        }
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function_name, key);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function_name, key);
        }
        return -1;
    }
    // Unreachable: a keyword was left over, so one of them must have been reported.
    PyErr_SetString(PyExc_SystemError, "keyword arguments were matched inconsistently");
    return -1;
}

int match_no_arguments(const char* function_name, Py_ssize_t nargs, Py_ssize_t keyword_count) {
    if (keyword_count > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", function_name, "takes no keyword arguments");
        return -1;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", function_name,
                     "takes no arguments", nargs);
        return -1;
    }
    return 0;
}

}  // namespace

int match_arguments(const char* function_name, PyObject* parameter_names, PyObject* defaults,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values) {
    const Py_ssize_t parameter_count = PyTuple_GET_SIZE(parameter_names);
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (parameter_count == 0) return match_no_arguments(function_name, nargs, keyword_count);

    // As for Python functions, a defaults tuple longer than the parameter list lends its
    // last entries to the parameters.
    const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t defaulted = default_count < parameter_count ? default_count : parameter_count;
    const Py_ssize_t minimum = parameter_count - defaulted;
    const Py_ssize_t maximum = parameter_count;
    auto default_for = [&](Py_ssize_t i) {
        return PyTuple_GET_ITEM(defaults, i - parameter_count + default_count);
    };

    if (keyword_count == 0) {
        if (nargs < minimum || nargs > maximum)
            return raise_wrong_count(function_name, minimum, maximum, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
        for (Py_ssize_t i = nargs; i < parameter_count; ++i) values[i] = default_for(i);
        return 0;
    }

    if (nargs > maximum) return raise_wrong_count(function_name, minimum, maximum, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    Py_ssize_t keywords_taken = 0;
    for (Py_ssize_t i = nargs; i < parameter_count; ++i) {
        Py_ssize_t j = find_keyword(kwnames, PyTuple_GET_ITEM(parameter_names, i));
        if (j == -2) return -1;
        if (j >= 0) {
            values[i] = args[nargs + j];
            ++keywords_taken;
        } else if (i < minimum) {
            return raise_wrong_count(function_name, minimum, maximum, i);
        } else {
            values[i] = default_for(i);
        }
    }
    if (keywords_taken < keyword_count)
        return raise_for_leftover_keywords(function_name, parameter_names, nargs, kwnames);
    return 0;
}

}  // namespace vexa_ext::frame
