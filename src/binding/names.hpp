// One vocabulary of interned names for the whole code base.
//
// A name's C++ identifier is its text with the prefix `n_`. The double
// underscores of a special name are spelled `dunder_` (`n_dunder_name` is
// "__name__", never "name"); the leading underscore of a private name is
// dropped (`n_channel` is "_channel"), unless a public name has the same
// identifier: then it is spelled `underscore_` (`n_underscore_loop` is
// "_loop", `n_loop` is "loop").
//
// Each name is declared once. The names below are the special names and
// those more than one source file uses; a file declares the names only it
// uses, and the units of one folder declare the names only they share in
// their own header (service/channel_state.hpp, service_toolkit/toolkit.hpp).
// A module file that declares a name listed here again does not compile
// where it uses it (the two are ambiguous), but in a namespace of its own a
// second declaration only hides this one: keep to the rule there by hand.
// Texts that are not names (keys, messages, formats) are `Name` objects
// called `s_<meaning>` in the files that use them.
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
inline Name n_get("get");
inline Name n_close("close");
inline Name n_done("done");
inline Name n_add("add");
inline Name n_co_flags("co_flags");
inline Name n_url("url");

// What the service's logger object is called and called with.
inline Name n_logger("logger");
inline Name n_error("error");
inline Name n_info("info");
inline Name n_exc_info("exc_info");

// asyncio and weakref, as the asynchronous classes and their channel use them.
inline Name n_asyncio("asyncio");
inline Name n_Queue("Queue");
inline Name n_get_running_loop("get_running_loop");
inline Name n_new_event_loop("new_event_loop");
inline Name n_is_running("is_running");
inline Name n_is_closed("is_closed");
inline Name n_timeout("timeout");
inline Name n_call_exception_handler("call_exception_handler");
inline Name n_message("message");
inline Name n_exception("exception");
inline Name n_WeakSet("WeakSet");

// The attributes and methods both asynchronous classes have.
inline Name n_log_queue("log_queue");
inline Name n_ensure_queue_processing("_ensure_queue_processing");
inline Name n_process_log_queue("_process_log_queue");

}  // namespace binding
