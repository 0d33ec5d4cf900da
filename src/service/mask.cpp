// Hiding the secrets of URLs in texts and in exception chains (rules in mask.hpp).
#include "mask.hpp"

#include "binding/names.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace service {

namespace {

Name n_copy("copy");
Name n_args("args");
Name n_dunder_notes("__notes__");
Name n_dunder_suppress_context("__suppress_context__");
Name n_dunder_dict("__dict__");

using Text = std::u32string;
using Ranges = std::vector<std::pair<size_t, size_t>>;  // [first, last) of each secret

constexpr char32_t masked[] = U"***";
constexpr std::u32string_view secret_parameters[] = {U"password", U"key", U"token"};

Text to_text(Handle s) {
    Py_UCS4* data = PyUnicode_AsUCS4Copy(s.ptr());
    if (!data) rethrow();
    Text t(data, data + PyUnicode_GET_LENGTH(s.ptr()));
    PyMem_Free(data);
    return t;
}

Ref from_text(const Text& t) {
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, t.data(), static_cast<Py_ssize_t>(t.size())));
}

bool is_ascii_alpha(char32_t c) { return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'); }
char32_t ascii_lower(char32_t c) { return c >= U'A' && c <= U'Z' ? c + (U'a' - U'A') : c; }

// Where a value quoted in a text ends: white space, a quote, an angle bracket.
bool ends_quoted_value(char32_t c) {
    return Py_UNICODE_ISSPACE(c) || c == U'\'' || c == U'"' || c == U'<' || c == U'>';
}

// Where the part after "scheme://" starts (0 without a well-formed scheme).
size_t after_scheme(const Text& url) {
    size_t end = url.find(U"://");
    if (end == Text::npos || end == 0 || !is_ascii_alpha(url[0])) return 0;
    for (size_t i = 1; i < end; ++i) {
        char32_t c = url[i];
        if (!is_ascii_alpha(c) && !(c >= U'0' && c <= U'9') && c != U'+' && c != U'-' && c != U'.') return 0;
    }
    return end + 3;
}

// The values of the secret parameters in `s`; `in_text` also ends them where a quoted value ends.
void parameter_ranges(const Text& s, bool in_text, Ranges& out) {
    for (size_t p = s.find_first_of(U"?&"); p != Text::npos; p = s.find_first_of(U"?&", p + 1)) {
        for (std::u32string_view name : secret_parameters) {
            size_t first = p + 1 + name.size();
            if (first >= s.size() || s[first] != U'=') continue;
            bool same = true;
            for (size_t i = 0; i < name.size() && same; ++i) same = ascii_lower(s[p + 1 + i]) == name[i];
            if (!same) continue;
            size_t last = ++first;
            while (last < s.size() && s[last] != U'&' && s[last] != U'#' && !(in_text && ends_quoted_value(s[last])))
                ++last;
            if (first < last) out.emplace_back(first, last);
        }
    }
}

// The password of a URL read as URL parsers read it (see mask.hpp).
void userinfo_range(const Text& url, Ranges& out) {
    const size_t start = after_scheme(url);
    size_t authority_end = url.find_first_of(U"/?#", start);
    if (authority_end == Text::npos) authority_end = url.size();
    size_t at = authority_end > start ? url.rfind(U'@', authority_end - 1) : Text::npos;
    if (at == Text::npos || at < start) {
        size_t first_at = url.find(U'@', start);
        at = first_at != Text::npos && url.find(U':', start) < first_at ? url.rfind(U'@') : Text::npos;
    }
    if (at == Text::npos) return;
    size_t colon = url.find(U':', start);
    if (colon < at && colon + 1 < at) out.emplace_back(colon + 1, at);
}

// The password of every "scheme://user:password@" in a text.
void userinfo_ranges_in_text(const Text& s, Ranges& out) {
    for (size_t p = s.find(U"://"); p != Text::npos; p = s.find(U"://", p + 3)) {
        const size_t start = p + 3;
        size_t end = start;
        while (end < s.size() && s[end] != U'/' && s[end] != U'?' && s[end] != U'#' && !ends_quoted_value(s[end]))
            ++end;
        size_t at = end > start ? s.rfind(U'@', end - 1) : Text::npos;
        if (at == Text::npos || at < start) continue;
        size_t colon = s.find(U':', start);
        if (colon < at && colon + 1 < at) out.emplace_back(colon + 1, at);
    }
}

// `s` with each (merged) range shown as "***"; the hidden texts go to `found` when given.
Text apply_ranges(const Text& s, Ranges ranges, std::vector<Text>* found) {
    std::sort(ranges.begin(), ranges.end());
    Text shown;
    size_t copied = 0;
    for (size_t i = 0; i < ranges.size();) {
        auto [first, last] = ranges[i];
        for (++i; i < ranges.size() && ranges[i].first <= last; ++i) last = std::max(last, ranges[i].second);
        if (first < copied) first = copied;
        if (found) found->push_back(s.substr(first, last - first));
        shown.append(s, copied, first - copied).append(masked);
        copied = last;
    }
    shown.append(s, copied, Text::npos);
    return shown;
}

int hex_value(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    c = ascii_lower(c);
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
    return -1;
}

// The byte of a "%XX" escape at `p`, or -1.
int escaped_byte(const Text& s, size_t p) {
    if (p + 2 >= s.size() || s[p] != U'%') return -1;
    int high = hex_value(s[p + 1]), low = hex_value(s[p + 2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// The character a run of "%XX" escapes at `p` encodes in UTF-8; `end` is
// set past the run. False when there is no escape or the bytes are not UTF-8.
bool decode_escape(const Text& s, size_t p, char32_t& c, size_t& end) {
    int lead = escaped_byte(s, p);
    if (lead < 0) return false;
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0) return false;
    char32_t value = length == 1 ? lead : static_cast<char32_t>(lead & (0x7F >> length));
    for (size_t i = 1; i < length; ++i) {
        int next = escaped_byte(s, p + 3 * i);
        if (next < 0 || (next & 0xC0) != 0x80) return false;
        value = (value << 6) | static_cast<char32_t>(next & 0x3F);
    }
    c = value;
    end = p + 3 * length;
    return true;
}

// `s` with its UTF-8 "%XX" escapes decoded (anything else kept as it is).
Text percent_decoded(const Text& s) {
    Text out;
    for (size_t p = 0; p < s.size();) {
        char32_t c;
        size_t end;
        if (decode_escape(s, p, c, end)) {
            out.push_back(c);
            p = end;
        } else {
            out.push_back(s[p++]);
        }
    }
    return out;
}

// Where a match of the decoded `secret` starting at `p` of `text` ends (each
// character as itself or percent-encoded), or npos.
size_t match_at(const Text& text, size_t p, const Text& secret) {
    for (char32_t wanted : secret) {
        if (p >= text.size()) return Text::npos;
        char32_t c;
        size_t end;
        if (text[p] == U'%' && decode_escape(text, p, c, end) && c == wanted)
            p = end;
        else if (text[p] == wanted)
            ++p;
        else
            return Text::npos;
    }
    return p;
}

// `text` with every match of `secret` replaced by "***".
Text hide_one(const Text& text, const Text& secret) {
    Text out;
    for (size_t p = 0; p < text.size();) {
        size_t end = match_at(text, p, secret);
        if (end != Text::npos) {
            out.append(masked);
            p = end;
        } else {
            out.push_back(text[p++]);
        }
    }
    return out;
}

// The hidden form of a str, or null when nothing in it is secret.
Ref hidden_or_null(const SecretMask& mask, Handle text) {
    Ref shown = mask.hide(text);
    return shown.is(text) ? Ref() : shown;
}

// The notes of an exception as a traceback prints them, with their secrets
// hidden: a new list for a list or tuple of notes, else the object itself
// (hidden when it is a str). `changed` tells whether anything was hidden.
Ref hidden_notes(const SecretMask& mask, Handle notes, bool& changed) {
    if (PyUnicode_Check(notes.ptr())) {
        Ref shown = mask.hide(notes);
        changed = changed || !shown.is(notes);
        return shown;
    }
    if (!PyList_Check(notes.ptr()) && !PyTuple_Check(notes.ptr())) return notes.ref();
    Ref items = check(PySequence_List(notes.ptr()));
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Handle note(PyList_GET_ITEM(items.ptr(), i));
        if (!PyUnicode_Check(note.ptr())) continue;
        Ref shown = mask.hide(note);
        if (shown.is(note)) continue;
        changed = true;
        check(PyList_SetItem(items.ptr(), i, shown.release()));
    }
    return items;
}

// One exception of a chain and what is shown in its place.
struct Link {
    Ref original;
    Ref text;                       // str(original), null when str() fails
    Ref hidden;                     // the text with its secrets hidden, null when it holds none
    Ref notes;                      // the notes to show, null without notes
    long cause = -1, context = -1;  // indexes in the chain
    bool replaced = false;          // shown as a copy
    Ref shown;
};

// Run `attempt`; an `Exception` it raises gives a null Ref instead.
template <class F>
Ref or_null(F&& attempt) {
    try {
        return attempt();
    } catch (PyError& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return Ref();
    }
}

// copy.copy of the exception with its hidden text as its only argument (its
// own arguments when it holds no secret) and its str attributes hidden;
// null unless its str() then shows that text.
Ref same_type_copy(const SecretMask& mask, const Link& link) {
    return or_null([&] {
        Ref copy = call_method(import("copy"), n_copy, link.original);
        if (copy.is(link.original) || copy.type() != link.original.type()) return Ref();
        setattr(copy, n_args, link.hidden ? new_tuple({link.hidden}) : getattr(link.original, n_args));
        if (Ref dict = getattr_optional(copy, n_dunder_dict); dict && PyDict_Check(dict.ptr())) {
            Ref items = check(PyDict_Items(dict.ptr()));
            for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.ptr()); i < n; ++i) {
                Handle key(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 0));
                Handle value(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), 1));
                if (!PyUnicode_Check(value.ptr())) continue;
                if (Ref shown = hidden_or_null(mask, value)) set_item(dict, key, shown);
            }
        }
        Handle wanted = link.hidden ? Handle(link.hidden) : Handle(link.text);
        if (wanted && !equals(str(copy), wanted)) return Ref();
        return copy;
    });
}

// "module.Type" of an exception's type, without the module for built-in types.
Ref type_name(Handle exc) {
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(exc.type()));
    Ref name = or_null([&] {
        Ref module = getattr(type, n_dunder_module), qualname = getattr(type, n_dunder_qualname);
        if (!PyUnicode_Check(module.ptr()) || !PyUnicode_Check(qualname.ptr())) return Ref();
        if (PyUnicode_EqualToUTF8(module.ptr(), "builtins")) return qualname;
        return format("%U.%U", module.ptr(), qualname.ptr());
    });
    return name ? name : new_str(exc.type()->tp_name);
}

// An instance of the nearest built-in exception class of the exception's
// type whose text is "module.Type: text" (the text alone when that class is
// the type itself).
Ref stand_in(const Link& link) {
    PyTypeObject* type = link.original.type();
    Handle text = link.hidden ? Handle(link.hidden) : Handle(link.text);
    Ref name = type_name(link.original);
    Ref prefixed = text ? format("%U: %U", name.ptr(), text.ptr()) : name;
    Ref mro = Ref::borrow(type->tp_mro);  // held: the calls below run Python code
    for (Py_ssize_t i = 0, n = mro && PyTuple_Check(mro.ptr()) ? PyTuple_GET_SIZE(mro.ptr()) : 0; i < n; ++i) {
        PyObject* cls = PyTuple_GET_ITEM(mro.ptr(), i);
        if (!PyExceptionClass_Check(cls) ||
            (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(cls)) & Py_TPFLAGS_HEAPTYPE))
            continue;
        Handle message = cls == reinterpret_cast<PyObject*>(type) && text ? text : Handle(prefixed);
        Ref made = or_null([&] {
            Ref e = call(Handle(cls), message);
            return PyExceptionInstance_Check(e.ptr()) && equals(str(e), message) ? e : Ref();
        });
        if (made) return made;
    }
    return call(Handle(PyExc_Exception), prefixed);
}

}  // namespace

Ref SecretMask::add_url(Handle url) {
    Ref url_text = PyUnicode_Check(url.ptr()) ? url.ref() : str(url);
    Text original = to_text(url_text);
    Ranges ranges;
    userinfo_range(original, ranges);
    parameter_ranges(original, false, ranges);
    if (ranges.empty()) return url_text;
    std::vector<Text> found;
    Text shown = apply_ranges(original, std::move(ranges), &found);
    auto learn = [this](const Text& raw) {
        Text secret = percent_decoded(raw);
        if (!secret.empty() && std::find(secrets_.begin(), secrets_.end(), secret) == secrets_.end())
            secrets_.push_back(std::move(secret));
    };
    for (const Text& secret : found) {
        learn(secret);
        if (secret.find_first_of(U"/?#&@:") == Text::npos) continue;
        for (size_t pos = 0; pos <= secret.size();) {
            size_t stop = secret.find_first_of(U"/?#&@:", pos);
            if (stop == Text::npos) stop = secret.size();
            if (stop - pos >= 3) learn(secret.substr(pos, stop - pos));
            pos = stop + 1;
        }
    }
    // Longest first, so that a piece does not break up a whole secret.
    std::stable_sort(secrets_.begin(), secrets_.end(),
                     [](const Text& x, const Text& y) { return x.size() > y.size(); });
    return from_text(shown);
}

Ref SecretMask::hide(Handle text) const {
    const Text original = to_text(text);
    Text shown = original;
    for (const Text& secret : secrets_) shown = hide_one(shown, secret);
    Ranges ranges;
    parameter_ranges(shown, true, ranges);
    userinfo_ranges_in_text(shown, ranges);
    if (!ranges.empty()) shown = apply_ranges(shown, std::move(ranges), nullptr);
    return shown == original ? text.ref() : from_text(shown);
}

PyError SecretMask::hide_in(const PyError& error) const {
    // The chain, each exception once (a chain may loop back on itself).
    std::vector<Link> chain;
    std::unordered_map<PyObject*, long> index;
    auto visit = [&](Ref exc) -> long {
        if (!exc || exc.is_none()) return -1;
        auto [at, added] = index.try_emplace(exc.ptr(), static_cast<long>(chain.size()));
        if (added) chain.push_back(Link{std::move(exc)});
        return at->second;
    };
    visit(error.value().ref());
    for (size_t i = 0; i < chain.size(); ++i) {
        Handle exc = chain[i].original;  // kept alive by the chain while it grows
        long cause = visit(Ref::steal(PyException_GetCause(exc.ptr())));
        long context = visit(Ref::steal(PyException_GetContext(exc.ptr())));
        chain[i].cause = cause;
        chain[i].context = context;
    }

    // Which exceptions show a secret, and which lead to one.
    for (Link& link : chain) {
        link.text = or_null([&] { return str(link.original); });
        if (link.text) link.hidden = hidden_or_null(*this, link.text);
        bool notes_changed = false;
        if (Ref notes = getattr_optional(link.original, n_dunder_notes))
            link.notes = hidden_notes(*this, notes, notes_changed);
        link.replaced = link.hidden || notes_changed;
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (Link& link : chain) {
            if (link.replaced) continue;
            link.replaced = (link.cause >= 0 && chain[link.cause].replaced) ||
                            (link.context >= 0 && chain[link.context].replaced);
            changed = changed || link.replaced;
        }
    }
    if (!chain[0].replaced) return PyError(error.value().ref());

    for (Link& link : chain)
        if (link.replaced) {
            link.shown = same_type_copy(*this, link);
            if (!link.shown) link.shown = stand_in(link);
        }
    auto shown = [&](long i) { return i < 0 ? Ref() : chain[i].replaced ? chain[i].shown : chain[i].original; };
    for (Link& link : chain) {
        if (!link.replaced) continue;
        PyObject* copy = link.shown.ptr();
        Ref suppress = getattr(link.original, n_dunder_suppress_context);
        PyException_SetCause(copy, shown(link.cause).release());  // steals; sets __suppress_context__
        setattr(link.shown, n_dunder_suppress_context, suppress);
        PyException_SetContext(copy, shown(link.context).release());  // steals
        Ref traceback = Ref::steal(PyException_GetTraceback(link.original.ptr()));
        check(PyException_SetTraceback(copy, traceback ? traceback.ptr() : Py_None));
        if (link.notes) setattr(link.shown, n_dunder_notes, link.notes);
    }
    return PyError(chain[0].shown);
}

}  // namespace service
