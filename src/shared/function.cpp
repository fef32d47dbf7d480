// The native function type: a heap type with GC, vectorcall, the method-descriptor flag
// and the attributes of an ordinary function.
#include "function.hpp"

#include <cstddef>

namespace quarn {
namespace {

// Made on first use by each load, for the runtime of that load: a failed load drops it
// (the functions it made keep it alive as long as they live), a finalised runtime takes
// it along.
static_ref function_type;

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// --- calling --------------------------------------------------------------------------

/// Runs the body on the bound arguments (see Call). A body may call back into Python and
/// from there into another of our functions; the depth is counted so that a loop made of
/// native calls ends in RecursionError. A leaf body calls nothing, so it cannot be part
/// of such a loop.
template <bool Leaf>
PyObject* run_body(Function& fn, PyObject* const* values, Py_ssize_t given) noexcept {
    if constexpr (Leaf) {
        return fn.sig->body(Call(fn, values, given));
    } else {
        if (Py_EnterRecursiveCall(" while calling a native function")) return nullptr;
        PyObject* result = fn.sig->body(Call(fn, values, given));
        Py_LeaveRecursiveCall();
        return result;
    }
}

/// Any call, through the binder. Kept out of line, so that the common call does not pay
/// for its frame.
template <bool Leaf>
[[gnu::noinline]] PyObject* call_bound(Function& fn, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    PyObject* values[kMaxParams];
    ref extra[2];
    if (!bind(fn, args, nargs, kwnames, values, extra)) return nullptr;
    return run_body<Leaf>(fn, values, fn.shape.count);
}

/// The vectorcall of a function with *args or **kwargs.
template <bool Leaf>
PyObject* Function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    return call_bound<Leaf>(*as_function(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

/// The vectorcall of a function without *args and **kwargs. The common call gives no
/// keywords and at least the required positional arguments, at most as many as there are
/// positional parameters: it binds them as they are and the defaults for the rest, then
/// the exact-type tests run in parameter order, as the binder does for such a call. Any
/// other call goes through the binder.
template <bool Leaf>
PyObject* Function_vectorcall_fixed(PyObject* self, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) noexcept {
    Function& fn = *as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || nargs < fn.shape.required || nargs > fn.shape.positional) {
        return call_bound<Leaf>(fn, args, nargs, kwnames);
    }
    for (unsigned char k = 0; k < fn.checked_count; ++k) {
        const unsigned char i = fn.checked[k];
        if (!exact_type_ok(fn.sig->params[i], i < nargs ? args[i] : fn.defaults[i])) {
            return nullptr;
        }
    }
    return run_body<Leaf>(fn, args, nargs);
}

/// The entry point for a signature: the fixed-shape one where it applies, and without the
/// recursion count for a leaf body.
vectorcallfunc entry_point(const Shape& shape, bool leaf) noexcept {
    const bool fixed = shape.var_positional < 0 && shape.var_keyword < 0;
    if (fixed) return leaf ? Function_vectorcall_fixed<true> : Function_vectorcall_fixed<false>;
    return leaf ? Function_vectorcall<true> : Function_vectorcall<false>;
}

/// Binds like a function: through an instance a bound method, otherwise itself.
PyObject* Function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- lifetime -------------------------------------------------------------------------

int Function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    for (PyObject* p : f->names) Py_VISIT(p);
    for (PyObject* p : f->defaults) Py_VISIT(p);
    return 0;
}

int Function_clear(PyObject* self) noexcept {
    Function* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    for (PyObject*& p : f->names) Py_CLEAR(p);
    for (PyObject*& p : f->defaults) Py_CLEAR(p);
    return 0;
}

void Function_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    Function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// --- attributes -----------------------------------------------------------------------
//
// __name__, __qualname__, __doc__, __module__ and __annotations__ can be replaced. Each is
// read (with a reference of the reader's own) and replaced under a critical section on the
// function: on a free-threaded build a reader never takes a reference to an object that a
// writer has just let go; with the GIL, the sections are empty.

/// A new reference to `slot` of the function `self`, or to None where it is NULL.
PyObject* read_field(PyObject* self, PyObject* Function::*slot) noexcept {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = as_function(self)->*slot;
    value = Py_NewRef(value != nullptr ? value : Py_None);
    Py_END_CRITICAL_SECTION();
    return value;
}

/// Stores a new reference to `value` (NULL allowed) in `slot`; drops the old one after.
void write_field(PyObject* self, PyObject* Function::*slot, PyObject* value) noexcept {
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = as_function(self)->*slot;
    as_function(self)->*slot = Py_XNewRef(value);
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

PyObject* Function_repr(PyObject* self) noexcept {
    ref qualname = steal(read_field(self, &Function::qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

/// Pickles by qualified name, as functions do.
PyObject* Function_reduce(PyObject* self, PyObject*) noexcept {
    return read_field(self, &Function::qualname);
}

PyObject* get_name(PyObject* self, void*) noexcept { return read_field(self, &Function::name); }
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return read_field(self, &Function::qualname);
}

int set_text(PyObject* self, PyObject* Function::*slot, PyObject* value,
             const char* attribute) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    write_field(self, slot, value);
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(self, &Function::name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(self, &Function::qualname, value, "__qualname__");
}

// __doc__ and __module__ read as None once deleted, as on functions.
PyObject* get_doc(PyObject* self, void*) noexcept { return read_field(self, &Function::doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    write_field(self, &Function::doc, value);
    return 0;
}
PyObject* get_module(PyObject* self, void*) noexcept {
    return read_field(self, &Function::module);
}
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    write_field(self, &Function::module, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    PyObject* annotations;
    Py_BEGIN_CRITICAL_SECTION(self);
    Function* f = as_function(self);
    if (f->annotations == nullptr) f->annotations = PyDict_New();
    annotations = Py_XNewRef(f->annotations);
    Py_END_CRITICAL_SECTION();
    return annotations;
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    write_field(self, &Function::annotations, value);
    return 0;
}

// The defaults are fixed by the signature; both attributes report them afresh on each
// read, so nothing a caller does to the result can make them disagree with the binder.
PyObject* get_defaults(PyObject* self, void*) noexcept {
    Function* f = as_function(self);
    const Py_ssize_t first = f->shape.required, n = f->shape.positional - first;
    if (n == 0) Py_RETURN_NONE;
    PyObject* tuple = PyTuple_New(n);
    if (tuple == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(f->defaults[first + i]));
    }
    return tuple;
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    Function* f = as_function(self);
    if (f->shape.keyword_only == 0) Py_RETURN_NONE;
    ref dict = steal(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < f->shape.count; ++i) {
        if (f->sig->params[i].kind == Kind::KeywordOnly &&
            PyDict_SetItem(dict.get(), f->names[i], f->defaults[i]) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

/// The class whose body defines the function, found as inspect finds it for a Python
/// function: the module named by __module__, then __qualname__ without its last part.
/// inspect.getdoc and help() look here to take a missing docstring from a base class.
/// AttributeError when it does not name a class.
PyObject* get_objclass(PyObject* self, void*) noexcept {
    ref module = steal(read_field(self, &Function::module));
    ref qualname = steal(read_field(self, &Function::qualname));
    if (!PyUnicode_Check(module.get())) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    ref owner = steal(PyImport_GetModule(module.get()));
    ref dot = steal(PyUnicode_FromString("."));
    if (!dot) return nullptr;
    ref parts = steal(PyUnicode_Split(qualname.get(), dot.get(), -1));
    if (!parts) return nullptr;
    if (!owner || PyList_GET_SIZE(parts.get()) < 2) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(parts.get()); ++i) {
        owner = steal(PyObject_GetAttr(owner.get(), PyList_GET_ITEM(parts.get(), i)));
        if (!owner) return nullptr;
    }
    if (!PyType_Check(owner.get())) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
        return nullptr;
    }
    return owner.release();
}

PyGetSetDef Function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr} /* sentinel */
};

PyMemberDef Function_members[] = {
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr} /* sentinel */
};

PyMethodDef Function_methods[] = {
    {"__reduce__", Function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot Function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(Function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(Function_descr_get)},
    {Py_tp_getset, Function_getset},
    {Py_tp_members, Function_members},
    {Py_tp_methods, Function_methods},
    {0, nullptr} /* sentinel */
};

PyType_Spec Function_spec = {
    "quarn_data.lock.implementations.native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    Function_slots,
};

// --- construction ---------------------------------------------------------------------

/// The object a `Default` stands for. Returns a new reference.
PyObject* default_value(const Default& d) noexcept {
    switch (d.tag) {
        case Default::Tag::None: Py_RETURN_NONE;
        case Default::Tag::True: Py_RETURN_TRUE;
        case Default::Tag::False: Py_RETURN_FALSE;
        case Default::Tag::Constant:
            if (d.constant->get() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "default constant used before it was made");
            }
            return Py_XNewRef(d.constant->get());
        case Default::Tag::Required: break;
    }
    return nullptr;
}

/// Parameter names, then the further locals, as co_varnames. Returns a new reference.
PyObject* variable_names(const Function& f) noexcept {
    const Signature& sig = *f.sig;
    const Py_ssize_t n = f.shape.count, total = n + static_cast<Py_ssize_t>(sig.locals.size());
    PyObject* names = PyTuple_New(total);
    if (names == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(names, i, Py_NewRef(f.names[i]));
    for (Py_ssize_t i = n; i < total; ++i) {
        PyObject* name = PyUnicode_InternFromString(sig.locals[i - n]);
        if (name == nullptr) {
            Py_DECREF(names);
            return nullptr;
        }
        PyTuple_SET_ITEM(names, i, name);
    }
    return names;
}

/// An inert code object that describes the signature to introspection: argument counts,
/// variable names and flags. It is never run. Returns a new reference.
PyObject* make_code(const Function& f, PyObject* filename) noexcept {
    const char* file = PyUnicode_AsUTF8(filename);
    if (file == nullptr) return nullptr;
    ref empty = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, f.sig->name, 1)));
    if (!empty) return nullptr;
    ref varnames = steal(variable_names(f));
    if (!varnames) return nullptr;
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (f.shape.var_positional >= 0) flags |= CO_VARARGS;
    if (f.shape.var_keyword >= 0) flags |= CO_VARKEYWORDS;

    ref kwargs = steal(Py_BuildValue(
        "{s:n,s:i,s:n,s:n,s:O,s:i,s:O}", "co_argcount", f.shape.positional, "co_posonlyargcount", 0,
        "co_kwonlyargcount", f.shape.keyword_only, "co_nlocals", PyTuple_GET_SIZE(varnames.get()),
        "co_varnames", varnames.get(), "co_flags", flags, "co_qualname", f.qualname));
    if (!kwargs) return nullptr;
    ref replace = steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!replace) return nullptr;
    ref no_args = steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), kwargs.get());
}

/// {parameter: annotation text, ..., "return": text}. Returns a new reference.
PyObject* make_annotations(const Function& f) noexcept {
    ref dict = steal(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < f.shape.count; ++i) {
        const char* text = f.sig->params[i].annotation;
        if (text == nullptr) continue;
        ref value = steal(PyUnicode_FromString(text));
        if (!value || PyDict_SetItem(dict.get(), f.names[i], value.get()) < 0) return nullptr;
    }
    if (f.sig->returns != nullptr) {
        ref value = steal(PyUnicode_FromString(f.sig->returns));
        if (!value || PyDict_SetItemString(dict.get(), "return", value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyTypeObject* ensure_type() noexcept {
    if (function_type.get() == nullptr) function_type.set(steal(PyType_FromSpec(&Function_spec)));
    return reinterpret_cast<PyTypeObject*>(function_type.get());
}

}  // namespace

void forget_function_type() noexcept { function_type.reset(); }
void abandon_function_type() noexcept { function_type.abandon(); }

PyObject* Call::global(PyObject* name) const noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(fn_.globals, name, &value) == 0 &&
        PyDict_GetItemRef(fn_.builtins, name, &value) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

ref make_function(const Signature& sig, const Scope& scope) noexcept {
    PyTypeObject* type = ensure_type();
    if (type == nullptr) return {};
    ref self = steal(type->tp_alloc(type, 0));  // zeroed and tracked
    if (!self) return {};
    Function& f = *as_function(self.get());
    f.sig = &sig;
    f.shape = shape_of(sig.params);
    f.vectorcall = entry_point(f.shape, sig.leaf);
    f.globals = Py_NewRef(scope.globals);
    f.builtins = Py_NewRef(scope.builtins);
    f.module = Py_NewRef(scope.module_name);
    f.name = PyUnicode_InternFromString(sig.name);
    if (f.name == nullptr) return {};
    f.qualname = PyUnicode_FromFormat("%U.%U", scope.class_name, f.name);
    if (f.qualname == nullptr) return {};
    f.doc = sig.doc != nullptr ? PyUnicode_FromString(sig.doc) : Py_NewRef(Py_None);
    if (f.doc == nullptr) return {};
    for (Py_ssize_t i = 0; i < f.shape.count; ++i) {
        const Param& p = sig.params[i];
        f.names[i] = PyUnicode_InternFromString(p.name);
        if (f.names[i] == nullptr) return {};
        if (p.default_.tag != Default::Tag::Required) {
            f.defaults[i] = default_value(p.default_);
            if (f.defaults[i] == nullptr) return {};
        }
        if (p.exact != Exact::Any) f.checked[f.checked_count++] = static_cast<unsigned char>(i);
    }
    f.annotations = make_annotations(f);
    if (f.annotations == nullptr) return {};
    f.code = make_code(f, scope.filename);
    if (f.code == nullptr) return {};
    return self;
}

}  // namespace quarn
