// Reading one instance attribute of one class (see attribute.hpp).
#include "attribute.hpp"

namespace quarn {
namespace {

// A watcher callback gets no data of its own, so each reader takes one of a few slots,
// each with its own pair of callbacks, which the reader registers under watcher ids of
// its own.
constexpr int kReaders = 2;
InstanceAttribute* readers[kReaders] = {};

template <int Slot>
int on_type_changed(PyTypeObject* type) noexcept {
    if (readers[Slot] != nullptr) readers[Slot]->type_changed(type);
    return 0;
}

template <int Slot>
int on_dict_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (readers[Slot] != nullptr) readers[Slot]->dict_changed(dict, event == PyDict_EVENT_DEALLOCATED);
    return 0;
}

constexpr PyType_WatchCallback type_callbacks[kReaders] = {on_type_changed<0>, on_type_changed<1>};
constexpr PyDict_WatchCallback dict_callbacks[kReaders] = {on_dict_changed<0>, on_dict_changed<1>};

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

/// Instances of `cls` keep their attributes in the object, and a `__dict__` made for one
/// shares them, so that making it changes nothing the interpreter's specialised loads of
/// the object's attributes rest on (Py_TPFLAGS_INLINE_VALUES, CPython 3.13 on).
bool keeps_values_inline(PyObject* cls) noexcept {
    if (!PyType_Check(cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) &&
           PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES);
}

}  // namespace

// --- the probe ------------------------------------------------------------------------
//
// The reader, pointed at a class made for the purpose, reads its attribute through every
// change that the answers rest on being heard, and must read what the generic lookup
// would each time: a value it kept after a change it did not hear is a wrong answer here,
// where it costs nothing, instead of a freed object's pointer in a user's process later.

/// The throwaway classes: `NAME` is replaced by the reader's attribute name. `stores` runs
/// long enough for the interpreter to specialise its store (and, with a JIT, to compile
/// its loop) before the first read makes the object's `__dict__`, so that the stores
/// after it are the interpreter's fastest ones.
constexpr char probe_source[] = R"(
hidden = object()
shadow = property(lambda self: hidden)

class Base:
    pass

class Probe(Base):
    pass

class Swap:
    NAME = shadow

def stores(o, n, first_read, check):
    for i in range(n):
        o.NAME = i
        if i >= first_read:
            check(o, i)
)";
constexpr long kProbeStores = 8192 + 256, kProbeFirstRead = 8192;

struct Probe {
    InstanceAttribute& reader;
    PyObject* name;
    bool failed = false;

    /// Whether reading `o` gives `expected` (NULL: AttributeError). Any other outcome,
    /// including another exception, is a failure of the probe. An answer the reader would
    /// give from what it remembers is compared as a pointer and never touched: where the
    /// interpreter did not announce a change (the very fault the probe looks for), it may
    /// point to a freed object.
    bool reads(PyObject* o, PyObject* expected) noexcept {
        if (const PyObject* kept = reader.remembered_answer(o)) return kept == expected;
        PyObject* value = reader.read(o);
        if (value == nullptr) {
            const bool missing = PyErr_ExceptionMatches(PyExc_AttributeError);
            PyErr_Clear();
            return expected == nullptr && missing;
        }
        Py_DECREF(value);
        return value == expected;
    }

    /// Whether the reader holds a value for `o`'s current dict: its answers were its own.
    bool remembered(PyObject* o) noexcept {
        ref dict = steal(PyObject_GenericGetDict(o, nullptr));
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        const auto* known = reader.find(dict.get());
        return known != nullptr && known->value != nullptr;
    }

    bool knows(PyObject* dict) noexcept { return reader.find(dict) != nullptr; }

    /// stores()'s check(o, i): from the first read on, each read must give the value just
    /// stored.
    static PyObject* check(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) noexcept {
        auto* self = static_cast<Probe*>(PyCapsule_GetPointer(capsule, nullptr));
        if (self == nullptr) return nullptr;
        if (nargs != 2 || !self->reads(args[0], args[1]) || !self->remembered(args[0])) {
            self->failed = true;
        }
        Py_RETURN_NONE;
    }

    bool run() noexcept;
};

PyMethodDef probe_check_def = {"check", reinterpret_cast<PyCFunction>(Probe::check),
                               METH_FASTCALL, nullptr};

bool Probe::run() noexcept {
    ref source = steal(PyUnicode_FromString(probe_source));
    ref placeholder = steal(PyUnicode_FromString("NAME"));
    if (!source || !placeholder) return false;
    source = steal(PyUnicode_Replace(source.get(), placeholder.get(), name, -1));
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    ref globals = steal(PyDict_New());
    if (text == nullptr || !globals ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        return false;
    }
    ref done = steal(PyRun_String(text, Py_file_input, globals.get(), globals.get()));
    if (!done) return false;
    auto global = [&](const char* key) {
        PyObject* value = nullptr;
        PyDict_GetItemStringRef(globals.get(), key, &value);
        return steal(value);
    };
    ref cls = global("Probe"), base = global("Base"), swap = global("Swap"),
        stores = global("stores"), hidden = global("hidden"), shadow = global("shadow");
    if (!cls || !base || !swap || !stores || !hidden || !shadow) return false;
    if (!keeps_values_inline(cls.get()) || !reader.target(cls.get())) return false;

    // Stores through the object's inline values, by the interpreter's own (specialised,
    // perhaps compiled) code, before and after the first read makes its `__dict__`.
    ref o = steal(PyObject_CallNoArgs(cls.get()));
    ref capsule = steal(PyCapsule_New(this, nullptr, nullptr));
    ref check = capsule ? steal(PyCFunction_New(&probe_check_def, capsule.get())) : ref{};
    ref n = steal(PyLong_FromLong(kProbeStores)), first = steal(PyLong_FromLong(kProbeFirstRead));
    if (!o || !check || !n || !first) return false;
    PyObject* args[] = {o.get(), n.get(), first.get(), check.get()};
    ref stored = steal(PyObject_Vectorcall(stores.get(), args, 4, nullptr));
    if (!stored || failed) return false;

    ref value = steal(PyLong_FromLong(-1));
    ref dict = steal(PyObject_GenericGetDict(o.get(), nullptr));
    if (!value || !dict) return false;
    // A store through the dict; a store through the object, after a delete through it.
    if (PyDict_SetItem(dict.get(), name, value.get()) < 0 || !reads(o.get(), value.get())) {
        return false;
    }
    if (PyObject_DelAttr(o.get(), name) < 0 || !reads(o.get(), nullptr)) return false;
    if (PyObject_SetAttr(o.get(), name, hidden.get()) < 0 || !reads(o.get(), hidden.get())) {
        return false;
    }
    // The dict cleared; the dict replaced, and the old one freed.
    PyDict_Clear(dict.get());
    if (!reads(o.get(), nullptr)) return false;
    ref replacement = steal(PyDict_New());
    if (!replacement || PyDict_SetItem(replacement.get(), name, value.get()) < 0 ||
        PyObject_SetAttrString(o.get(), "__dict__", replacement.get()) < 0 ||
        !reads(o.get(), value.get()) || !remembered(o.get())) {
        return false;
    }
    PyObject* old = dict.get();
    dict.reset();
    if (knows(old)) return false;  // its freeing went unheard
    // The dict deleted (and freed with it); the object freed (and its dict with it).
    old = replacement.get();
    replacement.reset();  // the object holds it alone
    if (PyObject_DelAttrString(o.get(), "__dict__") < 0 || knows(old)) return false;
    if (!reads(o.get(), nullptr) || PyObject_SetAttr(o.get(), name, value.get()) < 0 ||
        !reads(o.get(), value.get()) || !remembered(o.get())) {
        return false;
    }
    dict = steal(PyObject_GenericGetDict(o.get(), nullptr));
    if (!dict) return false;
    old = dict.get();
    dict.reset();
    o.reset();
    if (knows(old)) return false;

    // A data descriptor of the name on the class, on a base, and on a new base: each
    // answers in place of the value in the dict.
    o = steal(PyObject_CallNoArgs(cls.get()));
    if (!o || PyObject_SetAttr(o.get(), name, value.get()) < 0 || !reads(o.get(), value.get()) ||
        !remembered(o.get())) {
        return false;
    }
    for (PyObject* owner : {cls.get(), base.get()}) {
        if (PyObject_SetAttr(owner, name, shadow.get()) < 0 || !reads(o.get(), hidden.get()) ||
            PyObject_DelAttr(owner, name) < 0 || !reads(o.get(), value.get())) {
            return false;
        }
    }
    ref swapped = steal(PyTuple_Pack(1, swap.get())), original = steal(PyTuple_Pack(1, base.get()));
    return swapped && original &&
           PyObject_SetAttrString(cls.get(), "__bases__", swapped.get()) == 0 &&
           reads(o.get(), hidden.get()) &&
           PyObject_SetAttrString(cls.get(), "__bases__", original.get()) == 0 &&
           reads(o.get(), value.get()) && remembered(o.get());
}

// --- the reader -----------------------------------------------------------------------

bool InstanceAttribute::target(PyObject* cls) noexcept {
    drop_known();
    if (!cls_.get() || cls_.get() != cls) {
        if (cls_.get() != nullptr) PyType_Unwatch(type_watcher_, cls_.get());
        if (PyType_Watch(type_watcher_, cls) < 0) {
            cls_.reset();
            return false;
        }
        cls_.set(borrow(cls));
    }
    state_ = State::Unknown;
    return true;
}

bool InstanceAttribute::probe() noexcept {
    Probe probe{*this, name_.get()};
    const bool proven = probe.run();
    PyErr_Clear();
    // The probe's objects may outlive this call (its classes wait for the collector):
    // nothing of them stays watched or known.
    drop_known();
    if (cls_.get() != nullptr && PyType_Unwatch(type_watcher_, cls_.get()) < 0) PyErr_Clear();
    cls_.reset();
    state_ = State::Generic;
    return proven;
}

void InstanceAttribute::watch(PyObject* cls, PyObject* name) noexcept {
    forget();
    name_.set(borrow(name));  // read by the generic lookup too
#ifndef Py_GIL_DISABLED
    if (!keeps_values_inline(cls)) return;
    int slot = 0;
    while (slot < kReaders && readers[slot] != nullptr) ++slot;
    if (slot == kReaders) return;
    type_watcher_ = PyType_AddWatcher(type_callbacks[slot]);
    dict_watcher_ = PyDict_AddWatcher(dict_callbacks[slot]);
    readers[slot] = this;
    slot_ = slot;
    if (type_watcher_ < 0 || dict_watcher_ < 0 || !probe() || !target(cls)) {
        PyErr_Clear();
        forget();  // the watchers go back; every read is generic
        name_.set(borrow(name));
    }
#else
    (void)cls;  // free-threaded: no reader may borrow what another thread can free
#endif
}

void InstanceAttribute::drop_known() noexcept {
    for (Known& k : known_) {
        if (k.dict != nullptr && PyDict_Unwatch(dict_watcher_, k.dict) < 0) PyErr_Clear();
        k = {};
    }
    last_ = next_ = 0;
}

void InstanceAttribute::forget() noexcept {
    drop_known();
    if (cls_.get() != nullptr && PyType_Unwatch(type_watcher_, cls_.get()) < 0) PyErr_Clear();
    if (type_watcher_ >= 0 && PyType_ClearWatcher(type_watcher_) < 0) PyErr_Clear();
    if (dict_watcher_ >= 0 && PyDict_ClearWatcher(dict_watcher_) < 0) PyErr_Clear();
    if (slot_ >= 0) readers[slot_] = nullptr;
    cls_.reset();
    name_.reset();
    abandon();
}

void InstanceAttribute::abandon() noexcept {
    if (slot_ >= 0 && readers[slot_] == this) readers[slot_] = nullptr;
    cls_.abandon();
    name_.abandon();
    state_ = State::Generic;
    slot_ = type_watcher_ = dict_watcher_ = -1;
    for (Known& k : known_) k = {};
    last_ = next_ = 0;
}

void InstanceAttribute::type_changed(PyTypeObject* type) noexcept {
    if (reinterpret_cast<PyObject*>(type) != cls_.get()) return;
    ++generation_;
    state_ = State::Unknown;
}

void InstanceAttribute::dict_changed(PyObject* dict, bool freed) noexcept {
    for (Known& k : known_) {
        if (k.dict != dict) continue;
        k.value = nullptr;
        if (freed) k.dict = nullptr;  // the pointer may be reused: never compare with it again
        return;
    }
}

const PyObject* InstanceAttribute::remembered_answer(PyObject* obj) noexcept {
    PyObject* dict = own_dict(obj);
    if (dict == nullptr) return nullptr;
    const Known* known = find(dict);
    return known != nullptr ? known->value : nullptr;
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
    // A key compared along the way may have run code that changed the class: its event
    // came meanwhile (state_ is Unknown again). This read answers as the search found,
    // as the generic lookup's own search does; the next one searches again.
    if (generation != generation_) return found == 0;
    state_ = found == 0 ? State::DictOnly : State::Generic;
    return found == 0;
}

PyObject* InstanceAttribute::look_up(PyObject* dict) noexcept {
    if (!str_keys_only(dict)) return nullptr;
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict, name_, &value) <= 0) return nullptr;  // missing; no error
    Known* entry = find(dict);
    if (entry == nullptr) {
        // A dict not seen lately takes the place of the oldest: that one is unwatched
        // (it is alive, or its freeing would have removed it), this one watched.
        if (PyDict_Watch(dict_watcher_, dict) < 0) {
            PyErr_Clear();
            return value;  // answered, not remembered
        }
        entry = &known_[next_];
        last_ = next_;
        next_ = (next_ + 1) % kKnown;
        if (entry->dict != nullptr && PyDict_Unwatch(dict_watcher_, entry->dict) < 0) {
            PyErr_Clear();
        }
        entry->dict = dict;
    }
    entry->value = value;
    return value;
}

}  // namespace quarn
