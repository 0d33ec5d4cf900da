// Calling into Python: interned names, attribute access, vectorcalls with
// positional and keyword arguments, and a few small object helpers.
//
//     Ref r = call(f, a, b, kw(n_ex, ttl));      // f(a, b, ex=ttl)
//     Ref v = call_method(client, n_get, key);   // client.get(key)
//
// The `Name` objects (`n_ex`, `n_get`) are spelled and placed as names.hpp says.
#pragma once

#include "error.hpp"

#include <array>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace binding {

// An interned `str`, made on first use and kept for the rest of the process.
// Declared as a `static` object; constant-initialised, so it is usable from
// any module code without an initialisation order question.
class Name {
public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    Handle get() const {
        if (!obj_) {
            obj_ = PyUnicode_InternFromString(text_);
            if (!obj_) rethrow();
        }
        return Handle(obj_);
    }
    operator Handle() const { return get(); }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

// A keyword argument for the call helpers; keyword arguments come last.
struct Kw {
    Handle name;
    Handle value;
};
inline Kw kw(const Name& name, Handle value) { return Kw{name.get(), value}; }

namespace detail {
// Record the object and the name on a raised AttributeError (as the
// interpreter does, for its "Did you mean" hints), then throw it.
[[noreturn]] void attribute_error_context(Handle obj, const Name& name);

inline PyObject* arg_ptr(Handle h) noexcept { return h.ptr(); }
inline PyObject* arg_ptr(const Name& n) { return n.get().ptr(); }
inline PyObject* arg_ptr(const Kw& k) noexcept { return k.value.ptr(); }

template <class... A>
constexpr size_t count_kw() {
    return (size_t{0} + ... + size_t{std::is_same_v<std::decay_t<A>, Kw>});
}
template <class... A>
constexpr bool kw_last() {
    bool seen = false, ok = true;
    ((std::is_same_v<std::decay_t<A>, Kw> ? void(seen = true) : void(ok = ok && !seen)), ...);
    return ok;
}

// The tuple of keyword names of a call, or null when it has none.
template <class... A>
Ref kwnames(const A&... a) {
    constexpr size_t k = count_kw<A...>();
    if constexpr (k == 0) {
        return Ref();
    } else {
        Ref names = check(PyTuple_New(k));
        Py_ssize_t i = 0;
        auto put = [&](const auto& x) {
            if constexpr (std::is_same_v<std::decay_t<decltype(x)>, Kw>)
                PyTuple_SET_ITEM(names.ptr(), i++, Py_NewRef(x.name.ptr()));
        };
        (put(a), ...);
        return names;
    }
}
}  // namespace detail

// f(args..., name=value...)
template <class... A>
Ref call(Handle f, const A&... a) {
    static_assert(detail::kw_last<A...>(), "keyword arguments come last");
    constexpr size_t k = detail::count_kw<A...>();
    PyObject* v[] = {nullptr, detail::arg_ptr(a)...};
    Ref names = detail::kwnames(a...);
    return check(PyObject_Vectorcall(f.ptr(), v + 1, (sizeof...(A) - k) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

// obj.name(args..., name=value...)
template <class... A>
Ref call_method(Handle obj, const Name& name, const A&... a) {
    static_assert(detail::kw_last<A...>(), "keyword arguments come last");
    constexpr size_t k = detail::count_kw<A...>();
    PyObject* v[] = {nullptr, obj.ptr(), detail::arg_ptr(a)...};
    Ref names = detail::kwnames(a...);
    return check(PyObject_VectorcallMethod(name.get().ptr(), v + 1,
                                           (1 + sizeof...(A) - k) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

// f(*leading, *varargs, **kwargs): `varargs` a tuple, `kwargs` a dict (both may be null).
Ref call_star(Handle f, std::initializer_list<Handle> leading, Handle varargs, Handle kwargs);

// obj.name. Calls the type's attribute slot directly (the name is already an
// interned str, so PyObject_GetAttr's checks have nothing to do), and gives a
// failing lookup the same AttributeError context PyObject_GetAttr gives.
inline Ref getattr(Handle obj, const Name& name) {
    getattrofunc slot = obj.type()->tp_getattro;
    if (!slot) return check(PyObject_GetAttr(obj.ptr(), name.get().ptr()));
    PyObject* result = slot(obj.ptr(), name.get().ptr());
    if (!result) detail::attribute_error_context(obj, name);
    return Ref::steal(result);
}
// For one-off lookups (module set-up); hot paths use a static Name.
inline Ref getattr(Handle obj, const char* name) { return check(PyObject_GetAttrString(obj.ptr(), name)); }
// obj.name when the object has the attribute, else a null Ref (only an
// AttributeError counts as missing; other errors propagate).
inline Ref getattr_optional(Handle obj, const Name& name) {
    PyObject* found = nullptr;
    check(PyObject_GetOptionalAttr(obj.ptr(), name.get().ptr(), &found));
    return Ref::steal(found);
}
// obj.name = value, through the type's attribute slot (see getattr).
inline void setattr(Handle obj, const Name& name, Handle value) {
    setattrofunc slot = obj.type()->tp_setattro;
    check(slot ? slot(obj.ptr(), name.get().ptr(), value.ptr())
               : PyObject_SetAttr(obj.ptr(), name.get().ptr(), value.ptr()));
}
inline Ref import(const char* module) { return check(PyImport_ImportModule(module)); }
inline Ref import_from(const char* module, const Name& name) { return getattr(import(module), name); }

// super(cls, obj): for calling the next class's method in obj's method resolution order.
inline Ref super(Handle cls, Handle obj) { return call(Handle(reinterpret_cast<PyObject*>(&PySuper_Type)), cls, obj); }

inline bool truthy(Handle obj) { return check(PyObject_IsTrue(obj.ptr())) != 0; }
// len(obj)
inline Py_ssize_t length(Handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) rethrow();
    return n;
}
inline bool contains(Handle container, Handle item) {
    return check(PySequence_Contains(container.ptr(), item.ptr())) != 0;
}
inline bool equals(Handle a, Handle b) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) != 0; }
inline Ref str(Handle obj) { return check(PyObject_Str(obj.ptr())); }
inline Ref new_str(const char* text) { return check(PyUnicode_FromString(text)); }
inline Ref new_int(long long value) { return check(PyLong_FromLongLong(value)); }
inline Ref new_dict() { return check(PyDict_New()); }
inline Ref new_list() { return check(PyList_New(0)); }
// A tuple of the given objects.
Ref new_tuple(std::initializer_list<Handle> items);
// A tuple of `n` borrowed objects.
Ref tuple_from_array(PyObject* const* items, size_t n);
// The concatenation of the given str objects (one allocation; TypeError for a non-str part).
Ref concat(std::initializer_list<Handle> parts);
// A new dict holding the given items in order; a new list holding the given items.
Ref dict_of(std::initializer_list<std::pair<Handle, Handle>> items);
Ref list_of(std::initializer_list<Handle> items);
// A str from a PyUnicode_FromFormat format ("%U" a str, "%S" str() of an object).
Ref format(const char* format, ...);
// container[key]; container[key] = value
inline Ref get_item(Handle container, Handle key) { return check(PyObject_GetItem(container.ptr(), key.ptr())); }
inline void set_item(Handle container, Handle key, Handle value) {
    check(PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()));
}
inline void list_append(Handle list, Handle item) { check(PyList_Append(list.ptr(), item.ptr())); }

namespace detail {
// Unpack `obj` into `n` owned references at `out`, as `a, b, ... = obj` does:
// the interpreter's errors and messages, an iterator's own error kept.
void unpack_into(Handle obj, Ref* out, size_t n);
}  // namespace detail

// `a, b, ... = obj`: exactly N items, with the interpreter's errors otherwise.
template <size_t N>
std::array<Ref, N> unpack(Handle obj) {
    std::array<Ref, N> items;
    detail::unpack_into(obj, items.data(), N);
    return items;
}

}  // namespace binding
