// Module registration, the load-time imports and class creation.
#include "module.hpp"

namespace quarn {

// --- one-time load --------------------------------------------------------------------

namespace {

/// The key under which the interpreter's dict holds a loader's module.
/// Returns a new reference.
PyObject* holder_key(const Loader& loader) noexcept {
    return PyUnicode_FromFormat("quarn-latches:%s", loader.name);
}

/// The dict that the current interpreter keeps for extensions (borrowed), or NULL with an
/// exception set.
PyObject* interpreter_dict() noexcept {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) PyErr_SetString(PyExc_RuntimeError, "no interpreter dict available");
    return dict;
}

/// The module that `loader` loaded into the current interpreter: 1 with a new reference
/// in `*module`, 0 when none is loaded here, -1 with an exception set. When the current
/// interpreter has the id of the one that loaded it but does not hold it, the runtime of
/// that one has been finalised: its static state is forgotten first.
int loaded_module(Loader& loader, PyObject** module) noexcept {
    *module = nullptr;
    const long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    PyObject* dict = current < 0 ? nullptr : interpreter_dict();
    ref key = steal(dict != nullptr ? holder_key(loader) : nullptr);
    if (!key) return -1;
    const int found = PyDict_GetItemRef(dict, key.get(), module);
    if (found == 0 && loader.interpreter == current) {
        // Within one runtime, ids are never reused, and the module is held from the start
        // of its load until its interpreter is cleared; after a failed load (or a create
        // that no exec followed) the state is empty already.
        loader.abandon();
        abandon_function_type();
        loader.state = nullptr;
    }
    return found;
}

}  // namespace

PyObject* loader_create(Loader& loader, PyObject* module_spec) noexcept {
    PyObject* held = nullptr;
    const int found = loaded_module(loader, &held);
    if (found != 0) return held;  // a later import, or an error
    const long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (loader.interpreter == -1) {
        loader.interpreter = current;
    } else if (loader.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    ref name = steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int loader_exec(Loader& loader, PyObject* module) noexcept {
    PyObject* held = nullptr;
    const int found = loaded_module(loader, &held);
    if (found < 0) return -1;
    ref keep = steal(held);
    if (found > 0) {
        if (held != module) {
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not "
                         "supported.",
                         loader.name);
            return -1;
        }
        // A later import: nothing runs again. The interpreter has given the module a new
        // state block (a module that a create slot returns loses the one it had, and its
        // exec allocates another: moduleobject.c, PyModule_FromDefAndSpec2 and
        // PyModule_ExecDef). Only when the module no longer points to the block that the
        // last exec saw is that block nobody's, and freed here as the module would have
        // freed it (module_dealloc: PyMem_Free of its current block).
        void* block = PyModule_GetState(module);
        if (block != loader.state) {
            PyMem_Free(loader.state);
            loader.state = block;
        }
        return 0;
    }
    PyObject* dict = interpreter_dict();
    ref key = steal(dict != nullptr ? holder_key(loader) : nullptr);
    if (!key || PyDict_SetItem(dict, key.get(), module) < 0) return -1;
    loader.state = PyModule_GetState(module);
    if (loader.load(module) == 0) return 0;
    // Forget the failed load. Dropping its objects may run arbitrary code, so keep the
    // load's exception aside meanwhile.
    PyObject* exc = PyErr_GetRaisedException();
    loader.forget();
    forget_function_type();
    loader.state = nullptr;
    if (PyDict_DelItem(dict, key.get()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return -1;
}

// --- imports --------------------------------------------------------------------------

namespace {

/// The `name` attribute of `module`, else the loaded submodule `module.name`.
/// Returns a new reference, or NULL with an exception set.
PyObject* import_from(PyObject* module, PyObject* name) noexcept {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    const char* module_name = PyModule_Check(module) ? PyModule_GetName(module) : nullptr;
    if (module_name != nullptr) {
        ref full = steal(PyUnicode_FromFormat("%s.%U", module_name, name));
        if (!full) return nullptr;
        value = PyImport_GetModule(full.get());
        if (value != nullptr || PyErr_Occurred()) return value;
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return nullptr;
}

bool run_import(PyObject* globals, const Import& item) noexcept {
    ref module_name = steal(PyUnicode_FromString(item.module));
    if (!module_name) return false;
    if (item.name == nullptr) {
        // `import a.b` binds the top-level package `a`, which is what the call returns.
        ref top = steal(
            PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, nullptr, 0));
        if (!top) return false;
        const Py_ssize_t dot = PyUnicode_FindChar(module_name.get(), '.', 0,
                                                  PyUnicode_GET_LENGTH(module_name.get()), 1);
        ref bound =
            steal(dot < 0 ? module_name.new_ref() : PyUnicode_Substring(module_name.get(), 0, dot));
        if (!bound) return false;
        return PyDict_SetItem(globals, bound.get(), top.get()) == 0;
    }
    ref name = steal(PyUnicode_InternFromString(item.name));
    if (!name) return false;
    ref fromlist = steal(PyTuple_Pack(1, name.get()));
    if (!fromlist) return false;
    ref module = steal(
        PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), 0));
    if (!module) return false;
    ref value = steal(import_from(module.get(), name.get()));
    return value && PyDict_SetItem(globals, name.get(), value.get()) == 0;
}

}  // namespace

bool run_imports(PyObject* globals, std::span<const Import> imports) noexcept {
    for (const Import& item : imports) {
        if (!run_import(globals, item)) return false;
    }
    return true;
}

// --- class creation -------------------------------------------------------------------

namespace {

/// Replaces bases that are not classes by what their __mro_entries__ gives, as the class
/// statement does. Returns a new reference to the (possibly same) tuple.
PyObject* resolve_bases(PyObject* bases) noexcept {
    ref list;  // made on the first base that changes
    ref mro_entries = steal(PyUnicode_InternFromString("__mro_entries__"));
    if (!mro_entries) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        ref entries;
        if (!PyType_Check(base)) {
            PyObject* meth = nullptr;
            if (PyObject_GetOptionalAttr(base, mro_entries.get(), &meth) < 0) return nullptr;
            ref method = steal(meth);
            if (method) {
                entries = steal(PyObject_CallOneArg(method.get(), bases));
                if (!entries) return nullptr;
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return nullptr;
                }
            }
        }
        if (!entries && !list) continue;
        if (!list) {
            ref head = steal(PyTuple_GetSlice(bases, 0, i));  // the bases kept so far
            if (!head) return nullptr;
            list = steal(PySequence_List(head.get()));
            if (!list) return nullptr;
        }
        if (entries) {
            const Py_ssize_t end = PyList_GET_SIZE(list.get());
            if (PyList_SetSlice(list.get(), end, end, entries.get()) < 0) return nullptr;
        } else if (PyList_Append(list.get(), base) < 0) {
            return nullptr;
        }
    }
    if (!list) return Py_NewRef(bases);
    return PyList_AsTuple(list.get());
}

/// The most derived metaclass among `meta` and the types of `bases` (borrowed).
PyObject* most_derived_metaclass(PyObject* meta, PyObject* bases) noexcept {
    if (!PyType_Check(meta)) return meta;
    PyTypeObject* winner = reinterpret_cast<PyTypeObject*>(meta);
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

/// The namespace from meta.__prepare__(name, bases), or a new dict.
PyObject* prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases) noexcept {
    PyObject* prepare = nullptr;
    ref prepare_name = steal(PyUnicode_InternFromString("__prepare__"));
    if (!prepare_name || PyObject_GetOptionalAttr(meta, prepare_name.get(), &prepare) < 0) {
        return nullptr;
    }
    if (prepare == nullptr) return PyDict_New();
    PyObject* args[] = {name, bases};
    ref ns = steal(PyObject_Vectorcall(prepare, args, 2, nullptr));
    Py_DECREF(prepare);
    if (!ns) return nullptr;
    if (!PyMapping_Check(ns.get())) {
        PyErr_Format(
            PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
            PyType_Check(meta) ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
            Py_TYPE(ns.get())->tp_name);
        return nullptr;
    }
    return ns.release();
}

struct ClassContext {
    Scope scope;
    PyObject* property;
    PyObject* staticmethod;
};

/// The value of one namespace entry. Returns a new reference.
PyObject* entry_value(const Entry& e, const ClassContext& ctx) noexcept {
    switch (e.what) {
        case Entry::What::Module: return Py_NewRef(ctx.scope.module_name);
        case Entry::What::Qualname: return Py_NewRef(ctx.scope.class_name);
        case Entry::What::Doc: return PyUnicode_FromString(e.text);
        case Entry::What::Annotations: {
            ref dict = steal(PyDict_New());
            if (!dict) return nullptr;
            for (const Annotation& a : e.annotations) {
                ref text = steal(PyUnicode_FromString(a.text));
                if (!text || PyDict_SetItemString(dict.get(), a.name, text.get()) < 0)
                    return nullptr;
            }
            return dict.release();
        }
        case Entry::What::Function: return make_function(*e.sig, ctx.scope).release();
        case Entry::What::Property:
        case Entry::What::StaticMethod: {
            PyObject* wrapper = e.what == Entry::What::Property ? ctx.property : ctx.staticmethod;
            if (wrapper == nullptr) {
                PyErr_SetString(PyExc_SystemError,
                                "class entry needs a wrapper not fetched at load");
                return nullptr;
            }
            ref fn = make_function(*e.sig, ctx.scope);
            if (!fn) return nullptr;
            return PyObject_CallOneArg(wrapper, fn.get());
        }
    }
    return nullptr;
}

PyObject* entry_key(const Entry& e) noexcept {
    switch (e.what) {
        case Entry::What::Module: return PyUnicode_InternFromString("__module__");
        case Entry::What::Qualname: return PyUnicode_InternFromString("__qualname__");
        case Entry::What::Doc: return PyUnicode_InternFromString("__doc__");
        case Entry::What::Annotations: return PyUnicode_InternFromString("__annotations__");
        default: return PyUnicode_InternFromString(e.sig->name);
    }
}

ref build_class(PyObject* base, std::span<const Entry> entries, const ClassContext& ctx) noexcept {
    PyObject* name = ctx.scope.class_name;
    ref orig_bases = steal(PyTuple_Pack(1, base));
    if (!orig_bases) return {};
    ref bases = steal(resolve_bases(orig_bases.get()));
    if (!bases) return {};
    PyObject* meta = PyTuple_GET_SIZE(bases.get()) > 0
                         ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)))
                         : reinterpret_cast<PyObject*>(&PyType_Type);
    meta = most_derived_metaclass(meta, bases.get());
    if (meta == nullptr) return {};
    ref keep_meta = borrow(meta);  // __prepare__ may run code that drops other references
    ref ns = steal(prepare_namespace(meta, name, bases.get()));
    if (!ns) return {};
    for (const Entry& e : entries) {
        ref key = steal(entry_key(e));
        if (!key) return {};
        ref value = steal(entry_value(e, ctx));
        if (!value || PyObject_SetItem(ns.get(), key.get(), value.get()) < 0) return {};
    }
    if (bases.get() != orig_bases.get() &&
        PyMapping_SetItemString(ns.get(), "__orig_bases__", orig_bases.get()) < 0) {
        return {};
    }
    PyObject* args[] = {name, bases.get(), ns.get()};
    return steal(PyObject_Vectorcall(meta, args, 3, nullptr));
}

}  // namespace

ref define_class(PyObject* module, const char* name, const char* base,
                 std::span<const Entry> entries, const LoadBuiltins& builtins) noexcept {
    PyObject* globals = PyModule_GetDict(module);
    ref module_name = steal(PyModule_GetNameObject(module));
    if (!module_name) return {};
    ref filename = steal(PyModule_GetFilenameObject(module));
    if (!filename) {
        PyErr_Clear();  // no __file__: the code objects name the module instead
        filename = module_name;
    }
    ref class_name = steal(PyUnicode_InternFromString(name));
    ref base_name = steal(PyUnicode_InternFromString(base));
    if (!class_name || !base_name) return {};
    PyObject* found = nullptr;
    const int has_base = PyDict_GetItemRef(globals, base_name.get(), &found);
    ref keep_base = steal(found);  // the class body may rebind the global
    if (has_base <= 0) {
        if (has_base == 0)
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", base_name.get());
        return {};
    }
    const ClassContext ctx{
        {module_name.get(), class_name.get(), globals, builtins.dict, filename.get()},
        builtins.property,
        builtins.staticmethod,
    };
    ref cls = build_class(keep_base.get(), entries, ctx);
    if (!cls || PyDict_SetItem(globals, class_name.get(), cls.get()) < 0) return {};
    return cls;
}

// --- small protocol helpers -----------------------------------------------------------

PyObject* attr_or_none(PyObject* obj, PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return nullptr;
    return value != nullptr ? value : Py_NewRef(Py_None);
}

PyObject* raise_object(PyObject* exc) noexcept {
    if (PyExceptionInstance_Check(exc)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    } else if (PyExceptionClass_Check(exc)) {
        ref instance = steal(PyObject_CallNoArgs(exc));
        if (!instance) return nullptr;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         exc, Py_TYPE(instance.get()));
            return nullptr;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
    }
    return nullptr;
}

void chain_context(PyObject* caught) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc != nullptr && exc != caught) {
        PyException_SetContext(exc, caught);  // steals
    } else {
        Py_XDECREF(caught);
    }
    PyErr_SetRaisedException(exc);
}

// --- load-time state ------------------------------------------------------------------

namespace {

/// The object a constant stands for. Returns a new reference, or NULL with an exception.
PyObject* make_constant(const Constant& c) noexcept {
    switch (c.what) {
        case Constant::What::Name: return PyUnicode_InternFromString(c.text);
        case Constant::What::Text: return PyUnicode_FromString(c.text);
        case Constant::What::Int: return PyLong_FromLong(c.integer);
        case Constant::What::Float: return PyFloat_FromDouble(c.number);
        case Constant::What::Builtins: {
            PyObject* dict = PyEval_GetBuiltins();
            if (dict == nullptr && !PyErr_Occurred()) {
                PyErr_SetString(PyExc_RuntimeError, "no builtins namespace");
            }
            return Py_XNewRef(dict);
        }
        case Constant::What::Builtin: {
            PyObject* dict = PyEval_GetBuiltins();
            PyObject* value = nullptr;
            if (dict == nullptr || PyDict_GetItemStringRef(dict, c.text, &value) == 0) {
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", c.text);
            }
            return value;
        }
        case Constant::What::Names: {
            ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(c.names.size())));
            if (!tuple) return nullptr;
            for (std::size_t i = 0; i < c.names.size(); ++i) {
                PyObject* name = PyUnicode_InternFromString(c.names[i]);
                if (name == nullptr) return nullptr;
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
            }
            return tuple.release();
        }
    }
    return nullptr;
}

}  // namespace

bool make_constants(std::span<const Constant> table) noexcept {
    for (const Constant& c : table) {
        c.slot->set(steal(make_constant(c)));
        if (c.slot->get() == nullptr) return false;
    }
    return true;
}

void forget_constants(std::span<const Constant> table) noexcept {
    for (const Constant& c : table) c.slot->reset();
}

void abandon_constants(std::span<const Constant> table) noexcept {
    for (const Constant& c : table) c.slot->abandon();
}

}  // namespace quarn
