// A native function that behaves as an ordinary Python function.
//
// It binds as a method through the descriptor protocol, is called through vectorcall,
// and carries __name__, __qualname__, __module__, __doc__, __annotations__ (texts),
// __defaults__, __kwdefaults__, __globals__, __dict__ and a real __code__, so that
// inspect.signature() and help() show the true signature. All of it comes from the
// function's `Signature`.
#pragma once

#include "signature.hpp"

namespace quarn {

/// The function object. Fields are managed by the type (traverse/clear/dealloc).
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Signature* sig;
    Shape shape;
    PyObject* globals;   // the module namespace; globals are looked up here...
    PyObject* builtins;  // ...and then here
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* names[kMaxParams];        // interned parameter names
    PyObject* defaults[kMaxParams];     // default per parameter; NULL when required
    unsigned char checked[kMaxParams];  // parameters with an exact-type test, in order
    unsigned char checked_count;
};

/// One call of a function body: the bound arguments, in parameter order. The first
/// `given` come from `values`; each parameter after them takes its default, as a call that
/// passes only its leading parameters by position binds them (no copy is made for it).
class Call {
public:
    Call(Function& fn, PyObject* const* values, Py_ssize_t given) noexcept
        : fn_(fn), values_(values), given_(given) {}

    /// The argument bound to parameter `i` (borrowed; never NULL).
    PyObject* operator[](std::size_t i) const noexcept {
        return static_cast<Py_ssize_t>(i) < given_ ? values_[i] : fn_.defaults[i];
    }

    /// Looks up a module global as a function body does: in the module namespace, then
    /// among the builtins, at the moment of the call. Returns a new reference, or NULL
    /// with NameError set.
    PyObject* global(PyObject* name) const noexcept;

    Function& function() const noexcept { return fn_; }

private:
    Function& fn_;
    PyObject* const* values_;
    Py_ssize_t given_;
};

/// Where the functions of one class are made: the module they belong to and the class
/// whose qualified name prefixes theirs. All borrowed.
struct Scope {
    PyObject* module_name;  // __module__ of every function
    PyObject* class_name;   // "RemoteLatch" gives "RemoteLatch.acquire"
    PyObject* globals;      // module namespace
    PyObject* builtins;     // builtins namespace (a dict)
    PyObject* filename;     // co_filename of the code objects
};

/// Makes the function that `sig` describes. `sig` must outlive the function.
/// Returns a new reference, or NULL with an exception set.
ref make_function(const Signature& sig, const Scope& scope) noexcept;

/// Drops the function type, made by the first make_function of a load (a failed load:
/// the functions it made keep the type alive as long as they live).
void forget_function_type() noexcept;
/// Forgets it untouched: the runtime it was made in has been finalised.
void abandon_function_type() noexcept;

/// Binds a vectorcall to the signature of `fn` with the interpreter's rules and the
/// texts of our binding errors, then applies the exact-type tests. On success fills
/// `values` (room for kMaxParams; borrowed references; the *args tuple and **kwargs dict
/// are owned by `extra`) and returns true; otherwise returns false with TypeError set.
bool bind(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, ref (&extra)[2]) noexcept;

/// Raises the TypeError of a failed exact-type test of `p` on `value`; returns false.
bool exact_type_error(const Param& p, PyObject* value) noexcept;

/// The exact-type test of `p` on a bound `value`: true when it passes (or `p` has none),
/// else false with TypeError set.
inline bool exact_type_ok(const Param& p, PyObject* value) noexcept {
    switch (p.exact) {
        case Exact::Any: return true;
        case Exact::Int:
            if (Py_IS_TYPE(value, &PyLong_Type)) return true;
            break;
        case Exact::Str:
            if (Py_IS_TYPE(value, &PyUnicode_Type)) return true;
            break;
    }
    return exact_type_error(p, value);
}

}  // namespace quarn
