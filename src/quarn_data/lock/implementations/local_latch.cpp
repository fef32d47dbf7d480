// quarn_data.lock.implementations.local_latch: `LocalLatch`, locks inside one process.
//
// Each target gets one `threading.Lock` on its first acquisition, kept in the instance
// table `locks`, beside a `LockObject` record of its expiry stamp and metadata in
// `lock_data`. Entries are never removed. There is nothing to connect to: the lifecycle
// members give fixed answers.
#include "attribute.hpp"
#include "module.hpp"

namespace {

using namespace quarn;

// --- load-time state ------------------------------------------------------------------

struct State {
    // Constants shared by all calls: 0 (lower bound of the tests on timeout_ms), 1000
    // (milliseconds per second), -1 (default timeout_ms, no expiry, no wait limit).
    static_ref zero, thousand, minus_one;
    // Builtins fetched once.
    static_ref builtins, property, round;
    // Attribute and global names, keyword-name tuples.
    static_ref locks, lock_data, acquire, release, lock_global, lock_object, time;
    static_ref kw_record, kw_timeout, kw_blocking;
    // The C lock type behind threading.Lock, when it can be identified, and its own
    // `acquire` and `release` method descriptors (see is_thread_lock).
    static_ref thread_lock, thread_lock_acquire, thread_lock_release;
};

/// The C functions behind those two method descriptors, where they take the calling
/// conventions that call_acquire and release use (NULL otherwise; 3.12's `acquire`
/// parses a tuple). A method descriptor's own call checks the type of `self`, counts one
/// level of C recursion and runs this function; for a lock of the exact type, that is
/// the call the interpreter itself makes for `lock.acquire(...)` and `lock.release()`
/// once it has specialised them, which runs the function with no recursion count.
using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
FastWithKeywords thread_lock_acquire_fast = nullptr;
PyCFunction thread_lock_release_noargs = nullptr;

/// Reads of `self.locks` (see attribute.hpp): on an instance of LocalLatch itself, whose
/// MRO has no `locks`, straight from the instance dict.
InstanceAttribute locks_attribute;

State S;

constexpr const char* record_keywords[] = {"expires_at", "data"};
constexpr const char* timeout_keyword[] = {"timeout"};
constexpr const char* blocking_keyword[] = {"blocking"};

constexpr Constant constants[] = {
    integer(S.zero, 0),
    integer(S.thousand, 1000),
    integer(S.minus_one, -1),
    builtins(S.builtins),
    builtin(S.property, "property"),
    builtin(S.round, "round"),
    name(S.locks, "locks"),
    name(S.lock_data, "lock_data"),
    name(S.acquire, "acquire"),
    name(S.release, "release"),
    name(S.lock_global, "Lock"),
    name(S.lock_object, "LockObject"),
    name(S.time, "time"),
    names(S.kw_record, record_keywords),
    names(S.kw_timeout, timeout_keyword),
    names(S.kw_blocking, blocking_keyword),
};

/// The C function of a builtin method descriptor whose calling convention is `flags`
/// exactly, else NULL.
PyCFunction c_function(PyObject* descriptor, int flags) noexcept {
    if (!Py_IS_TYPE(descriptor, &PyMethodDescr_Type)) return nullptr;
    const PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descriptor)->d_method;
    return def->ml_flags == flags ? def->ml_meth : nullptr;
}

/// `_thread.LockType`, already loaded by the import of threading, if it is the C lock
/// type: immutable, so no Python code can change how its methods take their arguments,
/// and its `acquire` and `release`. Looks, imports nothing; without it every lock is
/// treated like any other object.
void find_thread_lock_type() noexcept {
    ref thread = steal(PyImport_GetModule(ref::steal(PyUnicode_FromString("_thread")).get()));
    ref type = thread ? steal(PyObject_GetAttrString(thread.get(), "LockType")) : ref{};
    PyErr_Clear();
    if (!type || !PyType_Check(type.get())) return;
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    if (!PyType_HasFeature(t, Py_TPFLAGS_IMMUTABLETYPE) ||
        PyType_HasFeature(t, Py_TPFLAGS_BASETYPE) || t->tp_dictoffset != 0) {
        return;
    }
    ref acquire = steal(PyObject_GetAttr(type.get(), S.acquire));
    ref release = steal(PyObject_GetAttr(type.get(), S.release));
    PyErr_Clear();
    if (!acquire || !release || !PyCallable_Check(acquire.get()) ||
        !PyCallable_Check(release.get())) {
        return;
    }
    thread_lock_acquire_fast = reinterpret_cast<FastWithKeywords>(
        c_function(acquire.get(), METH_FASTCALL | METH_KEYWORDS));
    thread_lock_release_noargs = c_function(release.get(), METH_NOARGS);
    S.thread_lock.set(std::move(type));
    S.thread_lock_acquire.set(std::move(acquire));
    S.thread_lock_release.set(std::move(release));
}

// --- construction and lifecycle -------------------------------------------------------

PyObject* init(const Call& c) noexcept {
    ref locks = steal(PyDict_New());
    if (!locks || PyObject_SetAttr(c[0], S.locks, locks.get()) < 0) return nullptr;
    ref lock_data = steal(PyDict_New());
    if (!lock_data || PyObject_SetAttr(c[0], S.lock_data, lock_data.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* answer_none(const Call&) noexcept { Py_RETURN_NONE; }
PyObject* answer_true(const Call&) noexcept { Py_RETURN_TRUE; }

// --- acquire and release --------------------------------------------------------------

/// "expires_at" of a new record: round(time() * 1000) + timeout_ms when timeout_ms >= 0,
/// else -1. Returns a new reference.
PyObject* expires_at(const Call& c, PyObject* timeout_ms) noexcept {
    const int limited = PyObject_RichCompareBool(timeout_ms, S.zero, Py_GE);
    if (limited <= 0) return limited < 0 ? nullptr : Py_NewRef(S.minus_one.get());
    ref clock = steal(c.global(S.time));
    if (!clock) return nullptr;
    ref now = steal(PyObject_CallNoArgs(clock.get()));
    if (!now) return nullptr;
    ref now_ms = steal(PyNumber_Multiply(now.get(), S.thousand));
    if (!now_ms) return nullptr;
    ref rounded = steal(PyObject_CallOneArg(S.round, now_ms.get()));
    if (!rounded) return nullptr;
    return PyNumber_Add(rounded.get(), timeout_ms);
}

/// Stores `lock` as locks[target] unless another thread has stored one meanwhile.
/// Returns 1 when stored, 0 when the target already had a lock, -1 with an exception set.
int store_if_absent(PyObject* locks, PyObject* target, PyObject* lock) noexcept {
    if (PyDict_CheckExact(locks)) {
        PyObject* stored = PyDict_SetDefault(locks, target, lock);  // one dict operation
        return stored == nullptr ? -1 : stored == lock;
    }
    return PyObject_SetItem(locks, target, lock) < 0 ? -1 : 1;
}

/// The first acquisition of a target: a new lock in `locks`, then its record in
/// `lock_data`. A failure after the lock is stored leaves the lock without a record.
bool add_target(const Call& c, PyObject* self, PyObject* target, PyObject* timeout_ms,
                PyObject* metadata) noexcept {
    ref lock_class = steal(c.global(S.lock_global));
    if (!lock_class) return false;
    ref lock = steal(PyObject_CallNoArgs(lock_class.get()));
    if (!lock) return false;
    ref locks = steal(PyObject_GetAttr(self, S.locks));
    if (!locks) return false;
    const int stored = store_if_absent(locks.get(), target, lock.get());
    if (stored <= 0) return stored == 0;  // the thread that stored the lock makes the record

    ref record_class = steal(c.global(S.lock_object));
    if (!record_class) return false;
    ref expiry = steal(expires_at(c, timeout_ms));
    if (!expiry) return false;
    const int has_metadata = PyObject_IsTrue(metadata);
    if (has_metadata < 0) return false;
    ref data = has_metadata ? borrow(metadata) : steal(PyDict_New());
    if (!data) return false;
    PyObject* args[] = {nullptr, expiry.get(), data.get()};
    ref record = steal(PyObject_Vectorcall(record_class.get(), args + 1,
                                           PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_record));
    if (!record) return false;
    ref lock_data = steal(PyObject_GetAttr(self, S.lock_data));
    return lock_data && PyObject_SetItem(lock_data.get(), target, record.get()) == 0;
}

/// `target in self.locks`, the table read afresh: 1 or 0, or -1 with an exception set.
/// An exact dict is asked directly: its membership slot is that very test (hash the
/// target, compare it with the keys of equal hash), so only the dispatch is skipped; a
/// subclass, whatever it overrides, and any other table go through the protocol.
int has_lock(PyObject* self, PyObject* target) noexcept {
    ref locks = steal(locks_attribute.read(self));
    if (!locks) return -1;
    return PyDict_CheckExact(locks.get()) ? PyDict_Contains(locks.get(), target)
                                          : PySequence_Contains(locks.get(), target);
}

/// Raises KeyError(key) as a dict's subscript does for a missing key: the key is wrapped
/// in a tuple, so that a tuple key is not taken for the arguments.
void raise_key_error(PyObject* key) noexcept {
    ref args = steal(PyTuple_Pack(1, key));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
}

/// `self.locks[target]`, the table read afresh; KeyError when the target has no entry
/// (the table may have changed since the membership test). An exact dict is looked up
/// directly: its subscript is the same lookup, and an exact dict has no `__missing__`, so
/// a missing key raises that KeyError. Returns a new reference.
PyObject* lock_of(PyObject* self, PyObject* target) noexcept {
    ref locks = steal(locks_attribute.read(self));
    if (!locks) return nullptr;
    if (!PyDict_CheckExact(locks.get())) return PyObject_GetItem(locks.get(), target);
    PyObject* lock = nullptr;
    if (PyDict_GetItemRef(locks.get(), target, &lock) == 0) raise_key_error(target);
    return lock;
}

/// Whether `lock` is a `_thread.lock`, what threading.Lock() makes. Its type is an
/// immutable C type whose instances have no attribute dict, so `lock.acquire` and
/// `lock.release` are always that type's own methods: fetching them cannot fail and runs
/// no code, and calling the method descriptors taken at load is the same call.
bool is_thread_lock(PyObject* lock) noexcept {
    return Py_IS_TYPE(lock, reinterpret_cast<PyTypeObject*>(S.thread_lock.get()));
}

/// The wait limit of a blocking acquire: timeout_ms / 1000 (a float of seconds) when
/// timeout_ms >= 0, else -1. `timeout_ms` is an exact int (checked when the arguments
/// are bound), whose comparison with 0 runs no Python code: its sign is read directly.
/// Returns a new reference.
PyObject* wait_limit(PyObject* timeout_ms) noexcept {
    if (timeout_ms == S.minus_one) return Py_NewRef(timeout_ms);  // the default
    int overflow;
    const long value = PyLong_AsLongAndOverflow(timeout_ms, &overflow);
    if (overflow < 0 || (overflow == 0 && value < 0)) return Py_NewRef(S.minus_one.get());
    return PyNumber_TrueDivide(timeout_ms, S.thousand);
}

/// lock.acquire(timeout=<wait limit>) when `blocks`, else lock.acquire(blocking=False).
/// The method is fetched before the limit is computed, so a lock whose `acquire` cannot
/// be read reports that, not a limit that does not fit. Returns a new reference.
PyObject* call_acquire(PyObject* lock, PyObject* timeout_ms, bool blocks) noexcept {
    if (is_thread_lock(lock)) {
        // Nothing can be seen between fetching the method and computing the limit here,
        // so the limit comes first. The lock parses positional arguments several times
        // faster than keywords, and acquire() is its acquire(timeout=-1).
        ref limit = blocks ? steal(wait_limit(timeout_ms)) : ref{};
        if (blocks && !limit) return nullptr;
        PyObject* args[] = {lock, blocks ? Py_True : Py_False, limit.get()};
        const size_t nargs = !blocks ? 2 : limit.get() == S.minus_one ? 1 : 3;
        if (thread_lock_acquire_fast != nullptr) {
            return thread_lock_acquire_fast(lock, args + 1, nargs - 1, nullptr);
        }
        return PyObject_Vectorcall(S.thread_lock_acquire, args, nargs, nullptr);
    }
    ref method = steal(PyObject_GetAttr(lock, S.acquire));
    if (!method) return nullptr;
    ref value = blocks ? steal(wait_limit(timeout_ms)) : borrow(Py_False);  // one keyword
    if (!value) return nullptr;
    PyObject* args[] = {nullptr, value.get()};
    return PyObject_Vectorcall(method.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                               blocks ? S.kw_timeout : S.kw_blocking);
}

PyObject* acquire(const Call& c) noexcept {
    PyObject *self = c[0], *target = c[1], *timeout_ms = c[2];
    const int known = has_lock(self, target);
    if (known < 0) return nullptr;
    if (!known && !add_target(c, self, target, timeout_ms, c[4])) return nullptr;
    ref lock = steal(lock_of(self, target));
    if (!lock) return nullptr;
    PyObject* blocking = c[3];
    // True by identity, as the truth test itself decides it.
    const int blocks = blocking == Py_True ? 1 : PyObject_IsTrue(blocking);
    if (blocks < 0) return nullptr;
    return call_acquire(lock.get(), timeout_ms, blocks != 0);
}

PyObject* release(const Call& c) noexcept {
    const int known = has_lock(c[0], c[1]);
    if (known <= 0) return known < 0 ? nullptr : Py_NewRef(Py_None);
    ref lock = steal(lock_of(c[0], c[1]));
    if (!lock) return nullptr;
    PyObject* args[] = {lock.get()};
    ref released =
        steal(!is_thread_lock(lock.get()) ? PyObject_CallMethodNoArgs(lock.get(), S.release)
              : thread_lock_release_noargs != nullptr
                  ? thread_lock_release_noargs(lock.get(), nullptr)
                  : PyObject_Vectorcall(S.thread_lock_release, args, 1, nullptr));
    if (!released) return nullptr;
    Py_RETURN_NONE;
}

// --- signatures -----------------------------------------------------------------------

constexpr char class_doc[] =
    "\n"
    "    A local latch implementation of the LockBase class.\n"
    "    ";

constexpr Param self_only[] = {arg("self")};
constexpr Param connect_params[] = {arg("self"), star_args("args", "Any"),
                                    star_kwargs("kwargs", "Any")};

// The lifecycle members answer a constant: leaf bodies.
constexpr Signature connect_sig{.name = "connect",
                                .params = connect_params,
                                .returns = "None",
                                .body = answer_none,
                                .leaf = true};
constexpr Signature disconnect_sig{
    .name = "disconnect", .params = self_only, .returns = "None", .body = answer_none, .leaf = true};
constexpr Signature is_connected_sig{.name = "is_connected",
                                     .params = self_only,
                                     .returns = "bool",
                                     .body = answer_true,
                                     .leaf = true};
constexpr Signature is_alive_sig{
    .name = "is_alive", .params = self_only, .returns = "bool", .body = answer_true, .leaf = true};
constexpr Signature init_sig{
    .name = "__init__", .params = self_only, .returns = "None", .body = init};

constexpr Param acquire_params[] = {
    arg("self"),
    arg("target_address", "Address"),
    kwarg("timeout_ms", "int", constant_default(S.minus_one), Exact::Int),
    kwarg("blocking", "bool", true_default),
    kwarg("metadata", "dict[str, Any] | None", none_default),
};
constexpr const char* lock_local[] = {"lock"};
constexpr Signature acquire_sig{
    .name = "acquire",
    .params = acquire_params,
    .returns = "bool",
    .doc =
        "\n"
        "        Acquires the lock for a specific target (resource) with optional timeout, "
        "blocking, and metadata parameters.\n"
        "\n"
        "        Args:\n"
        "            target_address (Address): The target address to acquire the lock "
        "for.\n"
        "            timeout_ms (int, optional): The timeout in milliseconds. Defaults to "
        "-1 (no timeout).\n"
        "            blocking (bool, optional): Whether to block until the lock is "
        "acquired. Defaults to True.\n"
        "            metadata (dict[str, Any] | None, optional): The metadata to store with "
        "the lock. Defaults to None.\n"
        "\n"
        "        Returns:\n"
        "            bool: True if the lock was acquired, False otherwise.\n"
        "        ",
    .locals = lock_local,
    .body = acquire,
};

constexpr Param release_params[] = {arg("self"), arg("target_address", "Address")};
constexpr Signature release_sig{
    .name = "release",
    .params = release_params,
    .returns = "None",
    .doc =
        "\n"
        "        Releases the lock for a specific target (resource).\n"
        "\n"
        "        Args:\n"
        "            target_address (Address): The target address to release the lock "
        "for.\n"
        "\n"
        "        Raises:\n"
        "            RuntimeError: If the lock is not acquired.\n"
        "\n"
        "        Returns:\n"
        "            None\n"
        "        ",
    .locals = lock_local,
    .body = release,
};

// --- module load ----------------------------------------------------------------------

constexpr Import imports[] = {
    {"threading", "Lock"},
    {"time", "time"},
    {"typing", "Any"},
    {"quarn_utils.models.data_models.address", "Address"},
    {"quarn_data.data_models.lock_object", "LockObject"},
    {"quarn_data.lock.base", "LockBase"},
};

constexpr Entry class_namespace[] = {
    Entry::module(),
    Entry::qualname(),
    Entry::doc(class_doc),
    Entry::function(connect_sig),
    Entry::function(disconnect_sig),
    Entry::property(is_connected_sig),
    Entry::property(is_alive_sig),
    Entry::function(init_sig),
    Entry::function(acquire_sig),
    Entry::function(release_sig),
};
static_assert(well_formed(class_namespace));

int load(PyObject* module) noexcept {
    if (!make_constants(constants)) return -1;
    if (!run_imports(PyModule_GetDict(module), imports)) return -1;
    find_thread_lock_type();
    ref cls = define_class(module, "LocalLatch", "LockBase", class_namespace,
                           {S.builtins, S.property, nullptr});
    if (!cls) return -1;
    locks_attribute.watch(cls.get(), S.locks);
    return 0;
}

/// Lets go of what the load made: drops it while the interpreter is alive (`abandon`
/// false: a failed load), or forgets it untouched once its runtime has been finalised.
void let_go(bool abandon) noexcept {
    if (abandon) {
        locks_attribute.abandon();
        abandon_constants(constants);
    } else {
        locks_attribute.forget();
        forget_constants(constants);
    }
    thread_lock_acquire_fast = nullptr;
    thread_lock_release_noargs = nullptr;
    for (static_ref* held : {&S.thread_lock, &S.thread_lock_acquire, &S.thread_lock_release}) {
        if (abandon) {
            held->abandon();
        } else {
            held->reset();
        }
    }
}

void forget() noexcept { let_go(false); }
void abandon() noexcept { let_go(true); }

Loader loader{"local_latch", load, forget, abandon};

}  // namespace

PyMODINIT_FUNC PyInit_local_latch() { return PyModuleDef_Init(&Definition<loader>::def); }
