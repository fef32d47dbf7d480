// quarn_data.lock.implementations.remote_latch: `RemoteLatch`, locks kept as keys on a
// Redis server.
//
// A lock is the key `target.to_string()`: taken by SET key value NX through the client
// of the `redis` package, retried every 0.1 s while the caller waits, freed by DEL. The
// server's atomic SET NX is what makes the lock exclusive across processes.
#include "module.hpp"

namespace {

using namespace quarn;

// --- load-time state ------------------------------------------------------------------

struct State {
    // Constants shared by all calls.
    static_ref wait_step, ms_per_second, default_port, no_timeout;
    // Builtins fetched once.
    static_ref builtins, property, staticmethod, import_error;
    // Attribute and global names.
    static_ref client, set, delete_, to_string, dumps, ping, close, exceptions, connection_error,
        get_redis_client, redis_class, json, sleep, redis, quarn_connection_error;
    // Texts and keyword-name tuples.
    static_ref empty_value, not_connected, redis_missing, kw_nx, kw_connect, kw_redis;
};

State S;

constexpr const char* nx_keyword[] = {"nx"};
constexpr const char* connect_keywords[] = {"port",         "username",    "password",    "ssl",
                                            "ssl_certfile", "ssl_keyfile", "ssl_ca_certs"};
constexpr const char* redis_keywords[] = {"host", "port",         "username",    "password",
                                          "ssl",  "ssl_certfile", "ssl_keyfile", "ssl_ca_certs"};

constexpr Constant constants[] = {
    floating(S.wait_step, 0.1),  // seconds between two attempts
    floating(S.ms_per_second, 1000.0),
    integer(S.default_port, 6379),
    integer(S.no_timeout, -1),
    builtins(S.builtins),
    builtin(S.property, "property"),
    builtin(S.staticmethod, "staticmethod"),
    builtin(S.import_error, "ImportError"),
    name(S.client, "client"),
    name(S.set, "set"),
    name(S.delete_, "delete"),
    name(S.to_string, "to_string"),
    name(S.dumps, "dumps"),
    name(S.ping, "ping"),
    name(S.close, "close"),
    name(S.exceptions, "exceptions"),
    name(S.connection_error, "ConnectionError"),
    name(S.get_redis_client, "_get_redis_client"),
    name(S.redis_class, "Redis"),
    name(S.json, "json"),
    name(S.sleep, "sleep"),
    name(S.redis, "redis"),
    name(S.quarn_connection_error, "QuarnConnectionError"),
    text(S.empty_value, ""),
    text(S.not_connected, "RemoteLatch is not connected. Call connect() before using this method."),
    text(S.redis_missing,
         "RemoteLatch requires the redis package. Use pip \"install quarn_data[remote-latch]\""),
    names(S.kw_nx, nx_keyword),
    names(S.kw_connect, connect_keywords),
    names(S.kw_redis, redis_keywords),
};

// --- connection lifecycle -------------------------------------------------------------

PyObject* is_connected(const Call& c) noexcept {
    ref client = steal(attr_or_none(c[0], S.client));
    if (!client) return nullptr;
    return PyBool_FromLong(client.get() != Py_None);
}

/// `except redis.exceptions.ConnectionError:` for the exception `caught` (stolen):
/// true when it matches and was discarded; otherwise false with an exception set.
bool is_connection_error(const Call& c, PyObject* caught) noexcept {
    ref redis = steal(c.global(S.redis));
    ref exceptions = redis ? steal(PyObject_GetAttr(redis.get(), S.exceptions)) : ref{};
    ref cls = exceptions ? steal(PyObject_GetAttr(exceptions.get(), S.connection_error)) : ref{};
    if (!cls) {
        chain_context(caught);
        return false;
    }
    bool valid = PyExceptionClass_Check(cls.get());
    if (PyTuple_Check(cls.get())) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.get()); ++i) {
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls.get(), i));
        }
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        chain_context(caught);
        return false;
    }
    if (PyErr_GivenExceptionMatches(caught, cls.get())) {
        Py_DECREF(caught);
        return true;
    }
    PyErr_SetRaisedException(caught);
    return false;
}

PyObject* is_alive(const Call& c) noexcept {
    PyObject* self = c[0];
    ref client = steal(attr_or_none(self, S.client));
    if (!client) return nullptr;
    const int held = PyObject_IsTrue(client.get());
    if (held <= 0) return held < 0 ? nullptr : Py_NewRef(Py_False);

    ref current = steal(PyObject_GetAttr(self, S.client));
    ref answer = current ? steal(PyObject_CallMethodNoArgs(current.get(), S.ping)) : ref{};
    if (answer) Py_RETURN_TRUE;  // whatever ping returned
    if (is_connection_error(c, PyErr_GetRaisedException())) Py_RETURN_FALSE;
    return nullptr;
}

PyObject* connect(const Call& c) noexcept {
    ref factory = steal(PyObject_GetAttr(c[0], S.get_redis_client));
    if (!factory) return nullptr;
    // host positionally, then port, username, password, ssl, ssl_certfile, ssl_keyfile,
    // ssl_ca_certs by keyword, defaults included.
    PyObject* args[] = {nullptr, c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8]};
    ref client = steal(PyObject_Vectorcall(factory.get(), args + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_connect));
    if (!client || PyObject_SetAttr(c[0], S.client, client.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* disconnect(const Call& c) noexcept {
    ref client = steal(PyObject_GetAttr(c[0], S.client));
    if (!client) return nullptr;
    ref closed = steal(PyObject_CallMethodNoArgs(client.get(), S.close));
    if (!closed) return nullptr;
    Py_RETURN_NONE;
}

PyObject* get_redis_client(const Call& c) noexcept {
    ref redis =
        steal(PyImport_ImportModuleLevelObject(S.redis, c.function().globals, nullptr, nullptr, 0));
    if (!redis) {
        if (!PyErr_ExceptionMatches(S.import_error)) return nullptr;
        PyObject* caught = PyErr_GetRaisedException();
        ref error = steal(PyObject_CallOneArg(S.import_error, S.redis_missing));
        if (!error) {
            chain_context(caught);
            return nullptr;
        }
        // raise ImportError(...) from caught, inside the handler of caught
        PyException_SetCause(error.get(), Py_NewRef(caught));
        PyException_SetContext(error.get(), caught);
        PyErr_SetRaisedException(error.release());
        return nullptr;
    }
    ref redis_class = steal(PyObject_GetAttr(redis.get(), S.redis_class));
    if (!redis_class) return nullptr;
    PyObject* args[] = {nullptr, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]};
    return PyObject_Vectorcall(redis_class.get(), args + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                               S.kw_redis);
}

// --- acquire and release --------------------------------------------------------------

/// getattr(self, "client", None) tested for truth: 1, 0, or -1 with an exception set.
int holds_client(PyObject* self) noexcept {
    ref client = steal(attr_or_none(self, S.client));
    return client ? PyObject_IsTrue(client.get()) : -1;
}

PyObject* raise_not_connected(const Call& c) noexcept {
    ref error_class = steal(c.global(S.quarn_connection_error));
    if (!error_class) return nullptr;
    ref error = steal(PyObject_CallOneArg(error_class.get(), S.not_connected));
    if (!error) return nullptr;
    return raise_object(error.get());
}

/// One lock attempt: self.client.set(target.to_string(), value, nx=True), the value
/// being "" for no metadata, else json.dumps(metadata), both computed afresh.
/// Returns 1 when the key was created, 0 when it existed, -1 with an exception set.
int attempt(const Call& c, PyObject* self, PyObject* target, PyObject* metadata) noexcept {
    ref client = steal(PyObject_GetAttr(self, S.client));
    if (!client) return -1;
    ref set = steal(PyObject_GetAttr(client.get(), S.set));
    if (!set) return -1;
    ref key = steal(PyObject_CallMethodNoArgs(target, S.to_string));
    if (!key) return -1;
    ref value;
    if (metadata == Py_None) {
        value = borrow(S.empty_value);
    } else {
        ref json = steal(c.global(S.json));
        if (!json) return -1;
        value = steal(PyObject_CallMethodOneArg(json.get(), S.dumps, metadata));
        if (!value) return -1;
    }
    PyObject* args[] = {nullptr, key.get(), value.get(), Py_True};
    ref reply = steal(
        PyObject_Vectorcall(set.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.kw_nx));
    return reply ? PyObject_IsTrue(reply.get()) : -1;
}

PyObject* acquire(const Call& c) noexcept {
    PyObject *self = c[0], *target = c[1], *timeout_ms = c[2], *blocking = c[3], *metadata = c[4];
    const int connected = holds_client(self);
    if (connected <= 0) return connected < 0 ? nullptr : raise_not_connected(c);

    const int blocks = PyObject_IsTrue(blocking);
    if (blocks < 0) return nullptr;
    if (!blocks) {
        const int taken = attempt(c, self, target, metadata);
        return taken < 0 ? nullptr : PyBool_FromLong(taken);
    }

    // The waits are counted, not timed: `timing` grows by 0.1 per wait, and a negative
    // limit never ends the loop.
    ref timeout_seconds = steal(PyNumber_TrueDivide(timeout_ms, S.ms_per_second));
    if (!timeout_seconds) return nullptr;
    const double limit = PyFloat_AsDouble(timeout_seconds.get());
    if (limit == -1.0 && PyErr_Occurred()) return nullptr;
    double timing = 0.0;
    for (;;) {
        const int taken = attempt(c, self, target, metadata);
        if (taken != 0) return taken < 0 ? nullptr : Py_NewRef(Py_True);
        if (0 <= limit && limit <= timing) Py_RETURN_FALSE;
        ref sleep = steal(c.global(S.sleep));
        if (!sleep) return nullptr;
        ref slept = steal(PyObject_CallOneArg(sleep.get(), S.wait_step));
        if (!slept) return nullptr;
        timing += 0.1;
    }
}

PyObject* release(const Call& c) noexcept {
    PyObject *self = c[0], *target = c[1];
    const int connected = holds_client(self);
    if (connected <= 0) return connected < 0 ? nullptr : raise_not_connected(c);

    ref client = steal(PyObject_GetAttr(self, S.client));
    if (!client) return nullptr;
    ref delete_ = steal(PyObject_GetAttr(client.get(), S.delete_));
    if (!delete_) return nullptr;
    ref key = steal(PyObject_CallMethodNoArgs(target, S.to_string));
    if (!key) return nullptr;
    ref reply = steal(PyObject_CallOneArg(delete_.get(), key.get()));
    if (!reply) return nullptr;
    Py_RETURN_NONE;
}

// --- signatures -----------------------------------------------------------------------

constexpr char class_doc[] =
    "\n"
    "    Represents a Redis-based lock mechanism.\n"
    "\n"
    "    Attributes:\n"
    "        client (redis.Redis): The Redis client used for lock operations.\n"
    "    ";

constexpr Param self_only[] = {arg("self")};

constexpr Signature is_connected_sig{
    .name = "is_connected",
    .params = self_only,
    .returns = "bool",
    .doc =
        "\n"
        "        Checks if the Redis client is connected.\n"
        "\n"
        "        Returns:\n"
        "            bool: True if the Redis client is connected, False otherwise.\n"
        "        ",
    .body = is_connected,
};

constexpr Signature is_alive_sig{
    .name = "is_alive",
    .params = self_only,
    .returns = "bool",
    .doc =
        "\n"
        "        Checks if the Redis client is alive by sending a ping command.\n"
        "\n"
        "        Returns:\n"
        "            bool: True if the Redis client is alive and responds to the ping, "
        "False otherwise.\n"
        "        ",
    .body = is_alive,
};

#define CONNECTION_PARAMS                                                                   \
    arg("host", "str", Exact::Str),                                                         \
        kwarg("port", "int", constant_default(S.default_port), Exact::Int),                 \
        kwarg("username", "str | None", none_default),                                      \
        kwarg("password", "str | None", none_default), kwarg("ssl", "bool", false_default), \
        kwarg("ssl_certfile", "str | None", none_default),                                  \
        kwarg("ssl_keyfile", "str | None", none_default),                                   \
        kwarg("ssl_ca_certs", "str | None", none_default)

constexpr Param connect_params[] = {arg("self"), CONNECTION_PARAMS};
constexpr Param get_redis_client_params[] = {CONNECTION_PARAMS};
#undef CONNECTION_PARAMS

constexpr Signature connect_sig{
    .name = "connect",
    .params = connect_params,
    .returns = "None",
    .doc =
        "\n"
        "        Connects to the Redis server with the specified parameters.\n"
        "\n"
        "        Args:\n"
        "            host (str): The hostname of the Redis server.\n"
        "            port (int, optional): The port number of the Redis server. "
        "Defaults to 6379.\n"
        "            username (str | None, optional): The username for Redis "
        "authentication. Defaults to None.\n"
        "            password (str | None, optional): The password for Redis "
        "authentication. Defaults to None.\n"
        "            ssl (bool, optional): Whether to use SSL for the connection. "
        "Defaults to False.\n"
        "            ssl_certfile (str | None, optional): The path to the SSL "
        "certificate file. Defaults to None.\n"
        "            ssl_keyfile (str | None, optional): The path to the SSL key file. "
        "Defaults to None.\n"
        "            ssl_ca_certs (str | None, optional): The path to the SSL CA "
        "certificates file. Defaults to None.\n"
        "\n"
        "        Returns:\n"
        "            None\n"
        "        ",
    .body = connect,
};

constexpr Signature disconnect_sig{
    .name = "disconnect",
    .params = self_only,
    .returns = "None",
    .doc =
        "\n"
        "        Disconnects the Redis client.\n"
        "\n"
        "        Returns:\n"
        "            None\n"
        "        ",
    .body = disconnect,
};

constexpr Param acquire_params[] = {
    arg("self"),
    arg("target_address", "Address"),
    kwarg("timeout_ms", "int", constant_default(S.no_timeout), Exact::Int),
    kwarg("blocking", "bool", true_default),
    kwarg("metadata", "dict[str, Any] | None", none_default),
};
constexpr const char* acquire_locals[] = {"_set_command", "_timeout_seconds", "_timing", "_result",
                                          "msg"};
constexpr Signature acquire_sig{
    .name = "acquire",
    .params = acquire_params,
    .returns = "bool",
    .doc =
        "\n"
        "        Acquires a lock for the given target address.\n"
        "\n"
        "        Args:\n"
        "            target_address (Address): The address to lock.\n"
        "            timeout_ms (int, optional): The timeout in milliseconds to wait for "
        "the lock. Defaults to -1 (no timeout).\n"
        "            blocking (bool, optional): Whether to block until the lock is "
        "acquired. Defaults to True.\n"
        "            metadata (dict[str, Any] | None, optional): Additional metadata to "
        "associate with the lock. Defaults to None\n"
        "\n"
        "        Returns:\n"
        "            bool: True if the lock was acquired, False otherwise.\n"
        "        ",
    .locals = acquire_locals,
    .body = acquire,
};

constexpr Param release_params[] = {arg("self"), arg("target_address", "Address")};
constexpr const char* release_locals[] = {"msg"};
constexpr Signature release_sig{
    .name = "release",
    .params = release_params,
    .returns = "None",
    .doc =
        "\n"
        "        Releases the lock for the given target address.\n"
        "\n"
        "        Args:\n"
        "            target_address (Address): The address to unlock.\n"
        "\n"
        "        Returns:\n"
        "            None\n"
        "        ",
    .locals = release_locals,
    .body = release,
};

constexpr Signature get_redis_client_sig{
    .name = "_get_redis_client",
    .params = get_redis_client_params,
    .returns = "Any",
    .body = get_redis_client,
};

// --- module load ----------------------------------------------------------------------

constexpr Import imports[] = {
    {"json"},
    {"time", "sleep"},
    {"typing", "Any"},
    {"redis"},
    {"quarn_utils.models.data_models.address", "Address"},
    {"quarn_data.errors", "QuarnConnectionError"},
    {"quarn_data.lock.base", "LockBase"},
};

constexpr Annotation class_annotations[] = {{"client", "redis.Redis"}};

constexpr Entry class_namespace[] = {
    Entry::module(),
    Entry::qualname(),
    Entry::doc(class_doc),
    Entry::class_annotations(class_annotations),
    Entry::property(is_connected_sig),
    Entry::property(is_alive_sig),
    Entry::function(connect_sig),
    Entry::function(disconnect_sig),
    Entry::function(acquire_sig),
    Entry::function(release_sig),
    Entry::static_method(get_redis_client_sig),
};
static_assert(well_formed(class_namespace));

int load(PyObject* module) noexcept {
    if (!make_constants(constants)) return -1;
    PyObject* globals = PyModule_GetDict(module);
    if (!run_imports(globals, imports)) return -1;

    return define_class(module, "RemoteLatch", "LockBase", class_namespace,
                        {S.builtins, S.property, S.staticmethod})
               ? 0
               : -1;
}

void forget() noexcept { forget_constants(constants); }
void abandon() noexcept { abandon_constants(constants); }

Loader loader{"remote_latch", load, forget, abandon};

}  // namespace

PyMODINIT_FUNC PyInit_remote_latch() { return PyModuleDef_Init(&Definition<loader>::def); }
