// One vocabulary of interned names for the whole code base.
//
// A name's C++ identifier is its text with the prefix `n_`; the double
// underscores of a special name are spelled `dunder_` (`n_dunder_name` is
// "__name__", never "name"). The names below are the ones more than one
// source file uses; a file declares the names only it uses itself, by the
// same rule (a second declaration of a name listed here does not compile:
// the two would be ambiguous). Texts that are not names (keys, messages,
// formats) are `Name` objects called `s_<meaning>` in the files that use them.
#pragma once

#include "call.hpp"

namespace binding {

// Special names of the object protocols.
inline Name n_dunder_name("__name__");
inline Name n_dunder_qualname("__qualname__");
inline Name n_dunder_module("__module__");
inline Name n_dunder_doc("__doc__");
inline Name n_dunder_code("__code__");
inline Name n_dunder_func("__func__");
inline Name n_dunder_aenter("__aenter__");
inline Name n_dunder_aexit("__aexit__");
inline Name n_dunder_await("__await__");
inline Name n_dunder_enter("__enter__");
inline Name n_dunder_exit("__exit__");
inline Name n_dunder_call("__call__");
inline Name n_dunder_prepare("__prepare__");

// Methods and attributes the modules and the layers share.
inline Name n_name("name");
inline Name n_get("get");
inline Name n_close("close");
inline Name n_done("done");
inline Name n_add("add");
inline Name n_register("register");
inline Name n_co_flags("co_flags");

// What the service's logger object is called and called with.
inline Name n_logger("logger");
inline Name n_error("error");
inline Name n_info("info");
inline Name n_exc_info("exc_info");

}  // namespace binding
