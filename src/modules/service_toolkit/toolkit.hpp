// veltrano_python_configuration.service_toolkit: what its units share.
//
// The module is a process-wide singleton metaclass (singleton.cpp), the
// extension of a JSON schema with the undeclared keys of an
// application-settings file (settings_schema.cpp), and two Google Chat
// messengers that post a coloured card to a room's incoming webhook, one on
// the caller's thread with requests, one from an asyncio consumer task with
// aiohttp (messengers.cpp). Each unit binds its own attributes through its
// `add_` function; module.cpp calls them in the module's order.
#pragma once

#include "binding/module.hpp"
#include "binding/names.hpp"

namespace toolkit {
using namespace binding;

// The module global that settings_schema.cpp and messengers.cpp look up at each call.
inline Name n_json("json");

// add_extra_properties_to_schema.
void add_settings_schema(Module m);
// SingletonMeta (the messengers' metaclass), and the fork work of its locks.
void add_singleton(Module m);
// GoogleChatSyncMessenger, GoogleChatAsyncMessenger (and their channel) and
// setup_google_chat_messenger; after add_singleton.
void add_messengers(Module m);

}  // namespace toolkit
