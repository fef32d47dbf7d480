// Reading one instance attribute of one class with fewer steps than the generic lookup,
// and with its result.
//
// `obj.name`, for an object whose class has no `__getattribute__` or `__getattr__`, is the
// generic lookup: the name is looked up along the class's MRO (a data descriptor found
// there answers), then in the object's `__dict__`, then a non-data descriptor or class
// attribute found along the MRO answers, else AttributeError. When the MRO has no entry
// of that name at all, only the `__dict__` step is left: its value, or AttributeError.
//
// `InstanceAttribute` knows, for one class, whether that is so, and then looks into the
// object's `__dict__` itself, and only into a dict whose keys are all exact str, where a
// lookup of a str runs no code and cannot fail. It keeps the value it found with the
// dict it came from, and answers the next read of that same dict with it until the dict
// changes.
//
// Each thing it knows is forgotten when the interpreter says that it may have changed:
// - the MRO: a type watcher hears of every change to the class's dict or to a base's
//   (an attribute set or deleted, `__bases__` assigned), the same signal that ends the
//   interpreter's own caches of the class's lookups;
// - the value: a dict watcher hears of every change to the dict it came from (a key
//   added, replaced or deleted, the dict cleared, updated or freed), the signal that the
//   interpreter's own caches of global names rest on.
// Everything else is tested on each read: the object's class (so `__class__` assignment
// and subclasses take the generic lookup), its `tp_getattro` (a `__getattribute__` or
// `__getattr__` added later), and which dict the object has now (`__dict__` assigned).
// Where a watcher cannot be had, or where asking for an object's `__dict__` would change
// how the interpreter stores its attributes (kInstanceDictSharesValues), every read is the
// generic lookup.
#pragma once

#include "ref.hpp"

namespace quarn {

class InstanceAttribute {
public:
    /// Starts answering reads of `name` (an interned str) on instances of exactly `cls`.
    /// Keeps references to both until `forget`. Never fails: without watchers, or for a
    /// `cls` that is not a class whose instances have a `__dict__`, every read is generic.
    void watch(PyObject* cls, PyObject* name) noexcept;
    void forget() noexcept;

    /// getattr(obj, name). Returns a new reference, or NULL with an exception set.
    PyObject* read(PyObject* obj) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (kInstanceDictSharesValues && reinterpret_cast<PyObject*>(type) == cls_.get() &&
            type->tp_getattro == PyObject_GenericGetAttr &&
            (state_ == State::DictOnly || (state_ == State::Unknown && settle()))) {
            PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
            if (dict != nullptr) {
                const bool known = dict == dict_ && value_ != nullptr;
                Py_DECREF(dict);  // the object keeps it
                if (known) return Py_NewRef(value_);
                PyObject* value = look_up(dict);
                if (value != nullptr) return value;
            } else {
                PyErr_Clear();  // the generic lookup meets the same failure and reports it
            }
        }
        return PyObject_GetAttr(obj, name_);
    }

    /// Called by the watchers.
    void type_changed(PyTypeObject* type) noexcept;
    void dict_changed(PyObject* dict, bool freed) noexcept;

private:
    enum class State : unsigned char { Unknown, DictOnly, Generic };

    /// Looks along the MRO and records the answer. True when only the dict is left.
    bool settle() noexcept;

    /// dict[name] (borrowed `dict`, the current `__dict__` of an object), when every key
    /// of the dict is an exact str, and remembered with the dict. Returns a new reference,
    /// or NULL with nothing raised when the key is missing or the dict has other keys.
    PyObject* look_up(PyObject* dict) noexcept;

    static_ref cls_, name_;
    State state_ = State::Generic;
    unsigned generation_ = 0;     // counts the class changes heard, see settle()
    PyObject* dict_ = nullptr;    // the watched dict (borrowed: its freeing is heard)...
    PyObject* value_ = nullptr;   // ...and its value for `name` (borrowed from it), or NULL
};

}  // namespace quarn
