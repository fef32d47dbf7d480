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
    PyObject* names[kMaxParams];     // interned parameter names
    PyObject* defaults[kMaxParams];  // default per parameter; NULL when required
};

/// One call of a function body: the bound arguments, in parameter order.
class Call {
public:
    Call(Function& fn, PyObject* const* values) noexcept : fn_(fn), values_(values) {}

    /// The argument bound to parameter `i` (borrowed; never NULL).
    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }

    /// Looks up a module global as a function body does: in the module namespace, then
    /// among the builtins, at the moment of the call. Returns a new reference, or NULL
    /// with NameError set.
    PyObject* global(PyObject* name) const noexcept;

    Function& function() const noexcept { return fn_; }

private:
    Function& fn_;
    PyObject* const* values_;
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

/// Binds a vectorcall to the signature of `fn` with the interpreter's rules and the
/// texts of our binding errors, then applies the exact-type tests. On success fills
/// `values` (borrowed references; the *args tuple and **kwargs dict are owned by
/// `extra`) and returns true; otherwise returns false with TypeError set.
bool bind(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** values, ref (&extra)[2]) noexcept;

}  // namespace quarn
