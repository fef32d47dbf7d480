// The one place where CPython versions differ.
//
// The code is written against the newest public C API of the versions we support
// (CPython 3.12 to 3.15 with the GIL, and free-threaded 3.14). Where an older version lacks
// a name, this header gives it that name, built from public calls only; nothing else tests
// a version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x03100000
#error "quarn lock backends support CPython 3.12 to 3.15 only (see README, Install)"
#endif
#if defined(Py_GIL_DISABLED) && (PY_VERSION_HEX < 0x030E0000 || PY_VERSION_HEX >= 0x030F0000)
#error "quarn lock backends support free-threaded CPython 3.14 only (see README, Install)"
#endif

#if PY_VERSION_HEX < 0x030D0000

/// A type whose instances keep their attributes in the object itself, where a `__dict__`
/// made for one shares them instead of taking them over. New in 3.13; no type of 3.12
/// does so.
#define Py_TPFLAGS_INLINE_VALUES 0

/// A critical section on one object: on a free-threaded build, its per-object lock; with
/// the GIL, nothing beyond it. New in 3.13; 3.12 has only the GIL.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }

/// getattr(obj, name) where a missing attribute is no error: 1 with a new reference in
/// `*result`, 0 with NULL when AttributeError was raised (and cleared), -1 on any other
/// error. New in 3.13.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

/// dict[key] as a new reference: 1 found, 0 missing (no error), -1 with an exception set.
/// New in 3.13.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(item);
    if (item != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

/// As PyDict_GetItemRef, with a UTF-8 key. New in 3.13.
inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** result) {
    PyObject* key_object = PyUnicode_FromString(key);
    if (key_object == nullptr) {
        *result = nullptr;
        return -1;
    }
    const int found = PyDict_GetItemRef(dict, key_object, result);
    Py_DECREF(key_object);
    return found;
}

#endif
