// Reading one instance attribute of one class (see attribute.hpp).
#include "attribute.hpp"

#include <array>

namespace quarn {
namespace {

// One type watcher and one dict watcher for the process, shared by every
// InstanceAttribute.
int type_watcher = -1, dict_watcher = -1;
std::array<InstanceAttribute*, 4> watching{};

int on_type_changed(PyTypeObject* type) noexcept {
    for (InstanceAttribute* a : watching) {
        if (a != nullptr) a->type_changed(type);
    }
    return 0;
}

int on_dict_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    for (InstanceAttribute* a : watching) {
        if (a != nullptr) a->dict_changed(dict, event == PyDict_EVENT_DEALLOCATED);
    }
    return 0;
}

/// Whether a class dict along `mro` has the key `name`: 1 or 0, or -1 when a lookup
/// failed (a key whose comparison raised; the exception is cleared, as the interpreter's
/// own lookup along the MRO clears it).
int found_along(PyObject* mro, PyObject* name) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return -1;
        ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        const int found = dict ? PyDict_Contains(dict.get(), name) : -1;
        if (found != 0) {
            if (found < 0) PyErr_Clear();
            return found;
        }
    }
    return 0;
}

/// Whether every key of `dict` is an exact str. Runs no code.
bool str_keys_only(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace

void InstanceAttribute::watch(PyObject* cls, PyObject* name) noexcept {
    forget();
    name_.set(borrow(name));  // read by the generic lookup too
    if (!kInstanceDictSharesValues || !PyType_Check(cls) ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_MANAGED_DICT)) {
        return;
    }
    if (type_watcher < 0) type_watcher = PyType_AddWatcher(on_type_changed);
    if (dict_watcher < 0) dict_watcher = PyDict_AddWatcher(on_dict_changed);
    InstanceAttribute** slot = nullptr;
    for (InstanceAttribute*& a : watching) {
        if (a == nullptr) slot = &a;
    }
    if (type_watcher < 0 || dict_watcher < 0 || slot == nullptr ||
        PyType_Watch(type_watcher, cls) < 0) {
        PyErr_Clear();  // every watcher taken: generic reads
        return;
    }
    *slot = this;
    cls_.set(borrow(cls));
    state_ = State::Unknown;
}

void InstanceAttribute::forget() noexcept {
    for (InstanceAttribute*& a : watching) {
        if (a == this) a = nullptr;
    }
    // The class and the dict may stay watched: the watchers then find nothing to tell.
    cls_.reset();
    name_.reset();
    state_ = State::Generic;
    dict_ = value_ = nullptr;
}

void InstanceAttribute::type_changed(PyTypeObject* type) noexcept {
    if (reinterpret_cast<PyObject*>(type) != cls_.get()) return;
    ++generation_;
    state_ = State::Unknown;
}

void InstanceAttribute::dict_changed(PyObject* dict, bool freed) noexcept {
    if (dict != dict_) return;
    value_ = nullptr;
    if (freed) dict_ = nullptr;  // the pointer may be reused: never compare with it again
}

bool InstanceAttribute::settle() noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_.get());
    const unsigned generation = generation_;
    // The watcher hears of a change only while the class has a valid version tag: one is
    // assigned first, so that any change after the look below is heard.
    if (!PyUnstable_Type_AssignVersionTag(type)) {
        state_ = State::Generic;  // no tags left: the generic lookup for good
        return false;
    }
    const int found = found_along(type->tp_mro, name_);
    if (generation != generation_) return false;  // changed while we looked: look again
    state_ = found == 0 ? State::DictOnly : State::Generic;
    return found == 0;
}

PyObject* InstanceAttribute::look_up(PyObject* dict) noexcept {
    if (!str_keys_only(dict)) return nullptr;
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, name_, &value) <= 0) return nullptr;  // missing; no error
    if (dict != dict_) {
        if (PyDict_Watch(dict_watcher, dict) < 0) {
            PyErr_Clear();
            return value;  // answered, not remembered
        }
        if (dict_ != nullptr && PyDict_Unwatch(dict_watcher, dict_) < 0) PyErr_Clear();
        dict_ = dict;
    }
    value_ = value;
    return value;
}

}  // namespace quarn
