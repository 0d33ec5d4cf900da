// veltrano_python_configuration.service_toolkit: what its units share.
//
// The module is a process-wide singleton metaclass and the extension of a
// JSON schema with the undeclared keys of an application-settings file
// (singleton_schema.cpp), and two Google Chat messengers that post a
// coloured card to a room's incoming webhook, one on the caller's thread
// with requests, one from an asyncio consumer task with aiohttp
// (messengers.cpp); module.cpp binds it all in order.
#pragma once

#include "binding/module.hpp"
#include "binding/names.hpp"

namespace toolkit {
using namespace binding;

// Module globals, looked up at each call.
inline Name n_asyncio("asyncio");
inline Name n_json("json");
inline Name n_aiohttp("aiohttp");
inline Name n_requests("requests");
inline Name n_open("open");
inline Name n_GoogleChatSyncMessenger("GoogleChatSyncMessenger");
inline Name n_GoogleChatAsyncMessenger("GoogleChatAsyncMessenger");

// The functions and methods each unit defines, bound by module.cpp.
extern const FunctionSpec singleton_call_spec;
extern const FunctionSpec add_extra_properties_spec;
extern const FunctionSpec sync_init_spec;
extern const FunctionSpec sync_send_message_spec;
extern const FunctionSpec async_init_spec;
extern const FunctionSpec ensure_queue_processing_spec;
extern const FunctionSpec enqueue_message_spec;
extern const FunctionSpec process_log_queue_spec;
extern const FunctionSpec async_send_message_spec;
extern const FunctionSpec send_message_async_spec;
extern const FunctionSpec setup_spec;

// The asynchronous messengers' channel (messengers.cpp), set up with the module.
void install_channel(Module m);
// In a forked child: the construction locks of the singleton classes, which
// another thread may have held at the fork, start afresh (singleton_schema.cpp).
void reset_singleton_locks();

}  // namespace toolkit
