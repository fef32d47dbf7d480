// Module registration and loading.
//
// A module built on this layer lives once per process: its load-time state is static,
// the first interpreter that creates it is the only one that may, a later import gets
// the same module object back without running anything, and a failed load is forgotten
// so that the next import runs it afresh. Its load imports names through the
// interpreter's import function and creates its class the way a class statement does.
//
// The module object is held by the dict that its interpreter keeps for extensions
// (PyInterpreterState_GetDict), so it lives exactly as long as that interpreter. A
// process that finalises its runtime and starts another (Py_FinalizeEx, Py_Initialize)
// has a new interpreter with the same id and an empty dict: there the static state of
// the old runtime, whose objects went with it, is forgotten untouched, and the module
// loads afresh.
#pragma once

#include "function.hpp"

#include <span>

namespace quarn {

// --- one-time load --------------------------------------------------------------------

struct Loader {
    const char* name;               // the module's short name, for messages
    int (*load)(PyObject* module);  // the load steps: 0, or -1 with an exception set
    void (*forget)();               // drops what a failed load left in the static state
    void (*abandon)();              // forgets the static state of a finalised runtime
    long long interpreter = -1;     // the one interpreter allowed to create it
    void* state = nullptr;          // the module's state block as its last exec saw it
};

/// The create slot: refuses a second interpreter, hands back the module loaded into this
/// one to a later import, or makes a new module that holds only what the interpreter
/// gives every module.
PyObject* loader_create(Loader& loader, PyObject* module_spec) noexcept;
/// The exec slot: runs the load once; on the module already loaded it runs nothing.
int loader_exec(Loader& loader, PyObject* module) noexcept;

/// Slot functions for a module's PyModuleDef, bound to its static `Loader`.
template <Loader& L>
PyObject* create_slot(PyObject* module_spec, PyModuleDef*) noexcept {
    return loader_create(L, module_spec);
}
template <Loader& L>
int exec_slot(PyObject* module) noexcept {
    return loader_exec(L, module);
}

/// The definition of a module loaded by `L`, for multi-phase initialisation: a create and
/// an exec slot, no docstring, no module-level functions. The state lives in static
/// storage, one copy per process, so the module asks for no state of its own (m_size 0:
/// the interpreter still gives each module it executes a block, as its mark of a module
/// that has run its exec slots). On a free-threaded build it declares that it runs
/// without the GIL: its static state is written only by the load, under the import
/// system's lock for the module, and read-only afterwards; each object it calls on keeps
/// its own consistency (a dict operation is atomic under the dict's own lock); and the
/// function objects guard what can change in them (function.cpp).
template <Loader& L>
struct Definition {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_slot<L>)},
        {Py_mod_exec, reinterpret_cast<void*>(exec_slot<L>)},
#ifdef Py_GIL_DISABLED
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
        {0, nullptr} /* sentinel */
    };
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT, L.name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
};

// --- imports --------------------------------------------------------------------------

/// `import module` (name == nullptr) or `from module import name`.
struct Import {
    const char* module;
    const char* name = nullptr;
};

/// Runs the imports in order through PyImport_ImportModuleLevelObject with `globals`,
/// binding each name in `globals` as soon as it is imported. Returns false with the
/// import error set, or ImportError "cannot import name %S" for a missing name.
bool run_imports(PyObject* globals, std::span<const Import> imports) noexcept;

// --- class creation -------------------------------------------------------------------

struct Annotation {
    const char* name;
    const char* text;
};

/// One entry of a class namespace, stored in table order.
struct Entry {
    enum class What : unsigned char {
        Module,        // __module__: the module's name
        Qualname,      // __qualname__: the class name
        Doc,           // __doc__: `text`
        Annotations,   // __annotations__: a new dict of `annotations`
        Function,      // sig->name: the function
        Property,      // sig->name: property(function)
        StaticMethod,  // sig->name: staticmethod(function)
    };
    What what;
    const char* text = nullptr;
    std::span<const Annotation> annotations = {};
    const Signature* sig = nullptr;

    static constexpr Entry module() { return {What::Module}; }
    static constexpr Entry qualname() { return {What::Qualname}; }
    static constexpr Entry doc(const char* text) { return {What::Doc, text}; }
    static constexpr Entry class_annotations(std::span<const Annotation> a) {
        return {What::Annotations, nullptr, a};
    }
    static constexpr Entry function(const Signature& s) { return {What::Function, {}, {}, &s}; }
    static constexpr Entry property(const Signature& s) { return {What::Property, {}, {}, &s}; }
    static constexpr Entry static_method(const Signature& s) {
        return {What::StaticMethod, {}, {}, &s};
    }
};

/// Every signature in a namespace table is well formed (checked at compile time).
constexpr bool well_formed(std::span<const Entry> entries) {
    for (const Entry& e : entries) {
        if (e.sig != nullptr && !well_formed(*e.sig)) return false;
    }
    return true;
}

/// The builtins that a load fetched once: the builtins namespace, and `property` and
/// `staticmethod` for the namespace entries that wrap a function (borrowed; a wrapper the
/// table does not use may be NULL).
struct LoadBuiltins {
    PyObject* dict;
    PyObject* property;
    PyObject* staticmethod;
};

/// `class <name>(<base>): <entries>` run at load: takes the global `base` of `module`,
/// creates the class as a class statement does (resolves the bases, takes the most
/// derived metaclass, calls its __prepare__ if any with the name and the bases, stores
/// the entries in table order, calls the metaclass with name, bases and namespace) and
/// binds it as `name` in the module. Returns the class (whatever the metaclass made), or
/// an empty ref with an exception set.
ref define_class(PyObject* module, const char* name, const char* base,
                  std::span<const Entry> entries, const LoadBuiltins& builtins) noexcept;

// --- small protocol helpers used by the modules ---------------------------------------

/// getattr(obj, name, None): a missing attribute (AttributeError) reads as None; any other
/// error propagates. Returns a new reference, or NULL with an exception set.
PyObject* attr_or_none(PyObject* obj, PyObject* name) noexcept;

/// Raises `exc` as a `raise exc` statement does: an exception instance as it is, an
/// exception class by calling it, anything else as TypeError. Always returns NULL.
PyObject* raise_object(PyObject* exc) noexcept;

/// Makes the pending exception the __context__ of `caught` handling: call after a new
/// error was raised while `caught` was being handled. Steals `caught`.
void chain_context(PyObject* caught) noexcept;

// --- load-time state ------------------------------------------------------------------

/// One object of a module's static state, made once at load: which slot it goes into
/// and what it is. A module lists them in a table, in the order it makes them.
struct Constant {
    enum class What : unsigned char {
        Name,  // an interned string: attribute and global names
        Text,  // a string
        Int,
        Float,
        Builtins,  // the builtins namespace of the loading code (a dict)
        Builtin,   // a builtin, by name, from that namespace
        Names,     // a tuple of interned strings: the keyword names of a vectorcall
    };
    static_ref* slot;
    What what;
    const char* text = nullptr;
    long integer = 0;
    double number = 0;
    std::span<const char* const> names = {};
};

constexpr Constant name(static_ref& slot, const char* text) {
    return {&slot, Constant::What::Name, text};
}
constexpr Constant text(static_ref& slot, const char* text) {
    return {&slot, Constant::What::Text, text};
}
constexpr Constant integer(static_ref& slot, long value) {
    return {&slot, Constant::What::Int, nullptr, value};
}
constexpr Constant floating(static_ref& slot, double value) {
    return {&slot, Constant::What::Float, nullptr, 0, value};
}
constexpr Constant builtins(static_ref& slot) { return {&slot, Constant::What::Builtins}; }
constexpr Constant builtin(static_ref& slot, const char* name) {
    return {&slot, Constant::What::Builtin, name};
}
constexpr Constant names(static_ref& slot, std::span<const char* const> list) {
    return {&slot, Constant::What::Names, nullptr, 0, 0, list};
}

/// Makes the constants in table order. Returns false with an exception set (NameError for
/// a missing builtin) when one cannot be made.
bool make_constants(std::span<const Constant> table) noexcept;

/// Drops every constant of the table: what a failed load leaves must not outlive it.
void forget_constants(std::span<const Constant> table) noexcept;
/// Forgets every constant of the table untouched: they went with a finalised runtime.
void abandon_constants(std::span<const Constant> table) noexcept;

}  // namespace quarn
