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
// lookup of a str runs no code and cannot fail. It remembers the value it found with the
// dict it came from, for the last few dicts read (several instances taking turns), and
// answers the next read of such a dict with it until the dict changes.
//
// Each thing it knows is forgotten when the interpreter says that it may have changed:
// - the MRO: a type watcher (PyType_AddWatcher, CPython 3.12: gh-91051) hears of every
//   change to the class's dict or to a base's (an attribute set or deleted, `__bases__`
//   assigned), the same signal (PyType_Modified) that ends the interpreter's own caches of
//   the class's lookups; it is sent only while the class has a valid version tag, which
//   settle() assigns before it looks;
// - a value: a dict watcher (PyDict_AddWatcher, 3.12: gh-91052) hears of every change to
//   the dict it came from (a key added, replaced or deleted, the dict cleared, updated or
//   freed), the signal that the interpreter's own caches of global names rest on; it comes
//   before the change is made (gh-122208), and the remembered value is dropped then.
// Everything else is tested on each read: the object's class (so `__class__` assignment
// and subclasses take the generic lookup), its `tp_getattro` (a `__getattribute__` or
// `__getattr__` added later), and which dict the object has now (`__dict__` assigned).
//
// Those signals are the interpreter's, and an interpreter may miss one: CPython 3.13.0
// sent no dict event for a store through an object's inline values once its `__dict__`
// existed (gh-125608, fixed in 3.13.1 by gh-125611). So before it answers a single read,
// a reader proves on the running interpreter, with its own watchers and its own reads of
// a throwaway class, that every event it relies on arrives (see probe() in
// attribute.cpp); where one does not, where the class's instances do not keep their
// values in the object once a `__dict__` is made for them (CPython before 3.13, where
// making it would cost the object the interpreter's specialised loads), where no watcher
// is free, or on a free-threaded build, every read is the generic lookup for as long as
// the module is loaded.
//
// Each reader has a dict watcher and a type watcher of its own: it alone watches and
// unwatches the dicts it remembers, so no reader can silence a dict another still
// borrows from.
#pragma once

#include "ref.hpp"

namespace quarn {

class InstanceAttribute {
public:
    /// Starts answering reads of `name` (an interned str) on instances of exactly `cls`,
    /// once the probe has shown that the running interpreter sends every event the answers
    /// rest on. Keeps references to both until `forget`. Never fails: otherwise every read
    /// is generic.
    void watch(PyObject* cls, PyObject* name) noexcept;
    /// Drops everything it holds and gives its watchers back (the interpreter is alive).
    void forget() noexcept;
    /// Forgets everything without touching it: the runtime it was made in has ended, and
    /// its objects and watchers went with it.
    void abandon() noexcept;

    /// getattr(obj, name). Returns a new reference, or NULL with an exception set.
    PyObject* read(PyObject* obj) noexcept {
#ifndef Py_GIL_DISABLED
        if (PyObject* dict = own_dict(obj)) {
            const Known* known = find(dict);
            if (known != nullptr && known->value != nullptr) return Py_NewRef(known->value);
            PyObject* value = look_up(dict);
            if (value != nullptr) return value;
        }
#endif
        return PyObject_GetAttr(obj, name_);
    }

    /// Called by the watchers.
    void type_changed(PyTypeObject* type) noexcept;
    void dict_changed(PyObject* dict, bool freed) noexcept;

private:
    enum class State : unsigned char { Unknown, DictOnly, Generic };

    /// A dict read recently, watched by this reader, and its value for `name` (borrowed
    /// from it), or NULL after a change. `dict` is borrowed too: its freeing is heard.
    struct Known {
        PyObject* dict;
        PyObject* value;
    };
    static constexpr unsigned kKnown = 8;

    Known* find(PyObject* dict) noexcept {
        if (known_[last_].dict == dict) return &known_[last_];
        for (unsigned i = 0; i < kKnown; ++i) {
            if (known_[i].dict == dict) {
                last_ = i;
                return &known_[i];
            }
        }
        return nullptr;
    }

    /// The `__dict__` of `obj` (borrowed: the object keeps it) where `name` can only come
    /// from there (settling the MRO if it is not known yet); else NULL, with nothing
    /// raised: where making the dict failed, the generic lookup meets the same failure and
    /// reports it. Inlined into read() whatever the compiler judges, so that its test of
    /// the dict and read()'s fold into one: a LocalLatch pair then costs the instructions
    /// it cost when read() spelled these steps out.
    [[gnu::always_inline]] PyObject* own_dict(PyObject* obj) noexcept {
        PyTypeObject* type = Py_TYPE(obj);
        if (reinterpret_cast<PyObject*>(type) != cls_.get() ||
            type->tp_getattro != PyObject_GenericGetAttr ||
            !(state_ == State::DictOnly || (state_ == State::Unknown && settle()))) {
            return nullptr;
        }
        PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
        if (dict == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        Py_DECREF(dict);  // the object keeps it
        return dict;
    }

    /// What read(obj) would answer from what it remembers, settling the MRO as it would,
    /// without touching that object: after a change the interpreter did not announce it may
    /// be freed. NULL when read(obj) would look the name up afresh.
    const PyObject* remembered_answer(PyObject* obj) noexcept;

    /// Looks along the MRO and records the answer. True when only the dict is left.
    bool settle() noexcept;

    /// dict[name] (borrowed `dict`, the current `__dict__` of an object), when every key
    /// of the dict is an exact str, and remembered with the dict. Returns a new reference,
    /// or NULL with nothing raised when the key is missing or the dict has other keys.
    PyObject* look_up(PyObject* dict) noexcept;

    /// Points the reader at `cls`: watched, its MRO not yet looked at, nothing known.
    bool target(PyObject* cls) noexcept;
    /// Unwatches every dict it knows and forgets them.
    void drop_known() noexcept;
    bool probe() noexcept;
    friend struct Probe;

    static_ref cls_, name_;
    State state_ = State::Generic;
    unsigned generation_ = 0;  // counts the class changes heard, see settle()
    int slot_ = -1;            // which of the watcher callbacks are this reader's
    int type_watcher_ = -1, dict_watcher_ = -1;
    Known known_[kKnown] = {};
    unsigned last_ = 0;  // the entry the last read found
    unsigned next_ = 0;  // the entry that the next new dict replaces
};

}  // namespace quarn
