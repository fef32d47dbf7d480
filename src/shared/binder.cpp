// The argument binder: one vectorcall against one signature.
//
// Order of the checks, first failure wins:
//   1. too many positional arguments (no *args);
//   2. each positional parameter not given by position, looked up among the keywords
//      in parameter order; a missing one without default reports the count found so far;
//   3. each keyword in call order: not a string, given twice, or unknown (no **kwargs);
//   4. the exact-type tests, in parameter order.
// A call whose keywords are the very names of parameters after the positional arguments
// (what a call in Python source passes) takes a shorter path to the same binding.
#include "function.hpp"

#include <cstring>

namespace quarn {
namespace {

bool count_error(const Function& fn, Py_ssize_t given) noexcept {
    const Shape& s = fn.shape;
    Py_ssize_t expected;
    const char* how;
    if (given < s.required) {
        expected = s.required;
        how = "at least";
    } else {
        expected = s.positional;
        how = "at most";
    }
    if (s.required == s.positional && s.var_positional < 0) how = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fn.sig->name, how, expected, expected == 1 ? "" : "s", given);
    return false;
}

bool keywords_must_be_strings(const Function& fn) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.sig->name);
    return false;
}

/// Index of the named (not variadic) parameter called `key`, or -1. `key` is a str.
Py_ssize_t param_index(const Function& fn, PyObject* key) noexcept {
    const Py_ssize_t n = fn.shape.count;
    auto named = [&fn](Py_ssize_t i) {
        return i != fn.shape.var_positional && i != fn.shape.var_keyword;
    };
    for (Py_ssize_t i = 0; i < n; ++i) {  // interned names: identity is the common case
        if (fn.names[i] == key && named(i)) return i;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (named(i) && PyUnicode_Compare(fn.names[i], key) == 0) return i;
    }
    return -1;
}

/// The value of keyword `name` among the call's keywords, or NULL. Keys that are not
/// strings are skipped here and reported by the keyword scan.
PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[k];
    }
    return nullptr;
}

/// The exact-type tests on the bound `values`, in parameter order.
bool exact_types_ok(const Function& fn, PyObject* const* values) noexcept {
    for (unsigned char k = 0; k < fn.checked_count; ++k) {
        const unsigned char i = fn.checked[k];
        if (!exact_type_ok(fn.sig->params[i], values[i])) return false;
    }
    return true;
}

/// The common call with keywords to a signature without *args and **kwargs: no more
/// positional arguments than positional parameters, and each keyword the very (interned)
/// name of a parameter after them. Such a call cannot fail to bind but for a missing
/// required parameter, and it binds as the steps above would: the keywords in call order,
/// then the defaults. Returns false, with nothing raised, for any other call (and for a
/// missing parameter), which the steps above then bind and report.
bool bind_named(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** values) noexcept {
    const Shape& s = fn.shape;
    const Py_ssize_t count = s.count;  // a local: the stores below may not alias it
    if (s.var_positional >= 0 || s.var_keyword >= 0 || nargs > s.positional) return false;
    std::memcpy(values, fn.defaults, sizeof fn.defaults);  // NULL where required
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    PyObject* const* names = fn.names;
    PyObject* const* kwvalues = args + nargs;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = nargs;
        while (i < count && names[i] != key) ++i;
        if (i == count) return false;
        values[i] = kwvalues[k];
    }
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (values[i] == nullptr) return false;  // a required parameter not given
    }
    return true;
}

}  // namespace

bool exact_type_error(const Param& p, PyObject* value) noexcept {
    const char* expected = p.exact == Exact::Int ? "int" : "str";
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                 expected, Py_TYPE(value)->tp_name);
    return false;
}

bool bind(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, ref (&extra)[2]) noexcept {
    const Shape& s = fn.shape;
    if (kwnames != nullptr && bind_named(fn, args, nargs, kwnames, values)) {
        return exact_types_ok(fn, values);
    }
    if (nargs > s.positional && s.var_positional < 0) return count_error(fn, nargs);

    const Py_ssize_t by_position = nargs < s.positional ? nargs : s.positional;
    for (Py_ssize_t i = 0; i < s.count; ++i) values[i] = i < by_position ? args[i] : nullptr;

    if (s.var_positional >= 0) {
        PyObject* rest = PyTuple_New(nargs - by_position);
        if (rest == nullptr) return false;
        for (Py_ssize_t i = by_position; i < nargs; ++i) {
            PyTuple_SET_ITEM(rest, i - by_position, Py_NewRef(args[i]));
        }
        extra[0] = steal(rest);
        values[s.var_positional] = rest;
    }

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + nargs;

    for (Py_ssize_t i = by_position; i < s.positional; ++i) {
        PyObject* v = nkw != 0 ? find_keyword(fn.names[i], kwnames, kwvalues) : nullptr;
        if (v == nullptr) v = fn.defaults[i];
        if (v == nullptr) return count_error(fn, i);
        values[i] = v;
    }

    if (s.var_keyword >= 0) {
        PyObject* dict = PyDict_New();
        if (dict == nullptr) return false;
        extra[1] = steal(dict);
        values[s.var_keyword] = dict;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return keywords_must_be_strings(fn);
        const Py_ssize_t i = param_index(fn, key);
        if (i >= 0 && i < by_position) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         fn.sig->name, key);
            return false;
        }
        if (i >= 0) {
            values[i] = kwvalues[k];
        } else if (s.var_keyword >= 0) {
            if (PyDict_SetItem(values[s.var_keyword], key, kwvalues[k]) < 0) return false;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         fn.sig->name, key);
            return false;
        }
    }

    for (Py_ssize_t i = 0; i < s.count; ++i) {
        if (values[i] == nullptr) values[i] = fn.defaults[i];  // keyword-only defaults
    }
    return exact_types_ok(fn, values);
}

}  // namespace quarn
