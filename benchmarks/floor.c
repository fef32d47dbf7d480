/* The C floor of benchmarks/bench_local.py: LocalLatch's acquire and release steps for a target
 * that already has its lock, as plain METH_FASTCALL module functions.
 *
 *   acquire(holder, target): target in holder.locks; holder.locks[target], then the lock
 *                            type's own acquire called as acquire(lock, True, -1.0)
 *   release(holder, target): target in holder.locks; holder.locks[target], then the lock
 *                            type's own release called as release(lock); returns None
 *
 * Public calls only, no argument binder beyond a count of the positional arguments, and
 * the lock type's two methods taken once at load. The benchmark builds this file for the
 * interpreter that runs it; it is not part of the package.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject* locks_name;    /* "locks", interned */
static PyObject* minus_one;     /* -1.0: no wait limit */
static PyObject* lock_acquire;  /* _thread.LockType.acquire */
static PyObject* lock_release;  /* _thread.LockType.release */

/* holder.locks[target] after the membership test, each on the table read afresh.
 * Returns a new reference, or NULL with an exception set. */
static PyObject* lock_of(PyObject* holder, PyObject* target) {
    PyObject* locks = PyObject_GetAttr(holder, locks_name);
    if (locks == NULL) return NULL;
    int known = PySequence_Contains(locks, target);
    Py_DECREF(locks);
    if (known < 0) return NULL;
    locks = PyObject_GetAttr(holder, locks_name);
    if (locks == NULL) return NULL;
    PyObject* lock = PyObject_GetItem(locks, target);
    Py_DECREF(locks);
    return lock;
}

static int two_arguments(const char* name, Py_ssize_t nargs) {
    if (nargs == 2) return 1;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 arguments (%zd given)", name, nargs);
    return 0;
}

static PyObject* floor_acquire(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    (void)module;
    if (!two_arguments("acquire", nargs)) return NULL;
    PyObject* lock = lock_of(args[0], args[1]);
    if (lock == NULL) return NULL;
    PyObject* call[] = {lock, Py_True, minus_one};
    PyObject* result = PyObject_Vectorcall(lock_acquire, call, 3, NULL);
    Py_DECREF(lock);
    return result;
}

static PyObject* floor_release(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    (void)module;
    if (!two_arguments("release", nargs)) return NULL;
    PyObject* lock = lock_of(args[0], args[1]);
    if (lock == NULL) return NULL;
    PyObject* result = PyObject_Vectorcall(lock_release, &lock, 1, NULL);
    Py_DECREF(lock);
    if (result == NULL) return NULL;
    Py_DECREF(result);
    Py_RETURN_NONE;
}

static int floor_exec(PyObject* module) {
    (void)module;
    PyObject* thread = PyImport_ImportModule("_thread");
    if (thread == NULL) return -1;
    PyObject* type = PyObject_GetAttrString(thread, "LockType");
    Py_DECREF(thread);
    if (type == NULL) return -1;
    lock_acquire = PyObject_GetAttrString(type, "acquire");
    lock_release = PyObject_GetAttrString(type, "release");
    Py_DECREF(type);
    locks_name = PyUnicode_InternFromString("locks");
    minus_one = PyFloat_FromDouble(-1.0);
    if (lock_acquire == NULL || lock_release == NULL || locks_name == NULL ||
        minus_one == NULL) {
        return -1;
    }
    return 0;
}

static PyMethodDef floor_methods[] = {
    {"acquire", (PyCFunction)(void (*)(void))floor_acquire, METH_FASTCALL, NULL},
    {"release", (PyCFunction)(void (*)(void))floor_release, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL} /* sentinel */
};

static PyModuleDef_Slot floor_slots[] = {
    {Py_mod_exec, (void*)floor_exec},
    {0, NULL} /* sentinel */
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "bench_floor", NULL, 0, floor_methods, floor_slots,
    NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_bench_floor(void) { return PyModuleDef_Init(&floor_module); }
