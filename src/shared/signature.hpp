// Function signatures, described once as data.
//
// A `Signature` names a function, lists its parameters (kind, annotation text, default,
// exact-type test), its return annotation, docstring and further local variable names.
// Everything else is derived from it: the argument binder (binder.cpp), the defaults and
// annotations that the function object reports, and its code object (function.cpp).
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <span>

namespace quarn {

/// The most parameters a signature may have, `self` and `*args`/`**kwargs` included.
inline constexpr std::size_t kMaxParams = 12;

enum class Kind : unsigned char {
    Positional,  // positional or keyword
    KeywordOnly,
    VarPositional,  // *args
    VarKeyword,     // **kwargs
};

/// Exact-type test applied after binding: no subclass passes, and neither does None.
enum class Exact : unsigned char { Any, Int, Str };

struct Default {
    enum class Tag : unsigned char { Required, None, True, False, Constant };
    Tag tag = Tag::Required;
    /// Tag::Constant: a constant that the module makes at load, before any function.
    const static_ref* constant = nullptr;
};

inline constexpr Default required{};
inline constexpr Default none_default{Default::Tag::None};
inline constexpr Default true_default{Default::Tag::True};
inline constexpr Default false_default{Default::Tag::False};
constexpr Default constant_default(const static_ref& value) {
    return {Default::Tag::Constant, &value};
}

struct Param {
    const char* name;
    Kind kind = Kind::Positional;
    const char* annotation = nullptr;  // stored as text, never evaluated
    Default default_ = required;
    Exact exact = Exact::Any;
};

/// A positional-or-keyword parameter without default.
constexpr Param arg(const char* name, const char* annotation = nullptr, Exact exact = Exact::Any) {
    return {name, Kind::Positional, annotation, required, exact};
}
/// A keyword-only parameter; keyword-only parameters always have a default here.
constexpr Param kwarg(const char* name, const char* annotation, Default value,
                      Exact exact = Exact::Any) {
    return {name, Kind::KeywordOnly, annotation, value, exact};
}
constexpr Param star_args(const char* name, const char* annotation = nullptr) {
    return {name, Kind::VarPositional, annotation};
}
constexpr Param star_kwargs(const char* name, const char* annotation = nullptr) {
    return {name, Kind::VarKeyword, annotation};
}

class Call;
/// A function body. Returns a new reference, or NULL with an exception set.
using Body = PyObject* (*)(const Call&);

struct Signature {
    const char* name;  // __name__, and the name in binding errors
    std::span<const Param> params;
    const char* returns = nullptr;             // return annotation text
    const char* doc = nullptr;                 // docstring
    std::span<const char* const> locals = {};  // local variables after the parameters
    Body body = nullptr;
    /// The body calls nothing that could run other code (it only returns a constant), so
    /// no call can re-enter the interpreter through it and it needs no recursion count.
    bool leaf = false;
};

/// Counts derived from a parameter list.
struct Shape {
    Py_ssize_t positional = 0;  // positional-or-keyword parameters
    Py_ssize_t required = 0;    // leading positional parameters without default
    Py_ssize_t keyword_only = 0;
    Py_ssize_t var_positional = -1;  // index of *args, or -1
    Py_ssize_t var_keyword = -1;     // index of **kwargs, or -1
    Py_ssize_t count = 0;
};

constexpr Shape shape_of(std::span<const Param> params) {
    Shape s;
    for (const Param& p : params) {
        switch (p.kind) {
            case Kind::Positional:
                if (p.default_.tag == Default::Tag::Required && s.required == s.positional) {
                    ++s.required;
                }
                ++s.positional;
                break;
            case Kind::KeywordOnly: ++s.keyword_only; break;
            case Kind::VarPositional: s.var_positional = s.count; break;
            case Kind::VarKeyword: s.var_keyword = s.count; break;
        }
        ++s.count;
    }
    return s;
}

/// Checked at compile time for every signature a module declares: parameters in the
/// order Python allows, no required parameter after a default, keyword-only parameters
/// with defaults, a body, and room in the binder.
constexpr bool well_formed(const Signature& sig) {
    if (sig.name == nullptr || sig.body == nullptr || sig.params.size() > kMaxParams) {
        return false;
    }
    int stage = 0;  // 0 positional, 1 after *args, 2 keyword-only, 3 after **kwargs
    bool seen_default = false;
    for (const Param& p : sig.params) {
        const bool has_default = p.default_.tag != Default::Tag::Required;
        if (p.default_.tag == Default::Tag::Constant && p.default_.constant == nullptr) {
            return false;
        }
        switch (p.kind) {
            case Kind::Positional:
                if (stage != 0 || (seen_default && !has_default)) return false;
                seen_default = seen_default || has_default;
                break;
            case Kind::VarPositional:
                if (stage != 0 || has_default || p.exact != Exact::Any) return false;
                stage = 1;
                break;
            case Kind::KeywordOnly:
                if (stage > 2 || !has_default) return false;
                stage = 2;
                break;
            case Kind::VarKeyword:
                if (stage > 2 || has_default || p.exact != Exact::Any) return false;
                stage = 3;
                break;
        }
    }
    return true;
}

}  // namespace quarn
