// veltrano_python_configuration.service_toolkit: the module's attributes,
// bound in order (toolkit.hpp says which unit holds what).
#include "toolkit.hpp"

#include "binding/lifecycle.hpp"

namespace toolkit {
namespace {

constexpr const char* singleton_doc = "\n    This is a thread-safe implementation of Singleton.\n    ";

void exec(Module m) {
    m.add("asyncio", import("asyncio"));
    m.add("json", import("json"));
    m.add("logging", import("logging"));
    Ref typing = import("typing");
    for (const char* name : {"Optional", "Union", "Dict", "Any"}) m.add(name, getattr(typing, name));
    m.add("aiohttp", import("aiohttp"));
    m.add("requests", import("requests"));
    m.add("add_extra_properties_to_schema", m.function(add_extra_properties_spec));

    m.add("SingletonMeta", make_class(m, "SingletonMeta", {Handle(reinterpret_cast<PyObject*>(&PyType_Type))},
                                      singleton_doc,
                                      {{"__annotations__", dict_of({{new_str("_instances"), new_str("Dict[type, Any]")}})},
                                       {"_instances", new_dict()},
                                       {"__call__", m.function(singleton_call_spec)}}));

    m.add("GoogleChatSyncMessenger",
          make_class(m, "GoogleChatSyncMessenger", {}, nullptr,
                     {{"__init__", m.function(sync_init_spec)}, {"send_message", m.function(sync_send_message_spec)}},
                     m.attr("SingletonMeta")));
    m.add("GoogleChatAsyncMessenger",
          make_class(m, "GoogleChatAsyncMessenger", {}, nullptr,
                     {{"__init__", m.function(async_init_spec)},
                      {"_ensure_queue_processing", m.function(ensure_queue_processing_spec)},
                      {"_enqueue_message", m.function(enqueue_message_spec)},
                      {"_process_log_queue", m.function(process_log_queue_spec)},
                      {"send_message", m.function(async_send_message_spec)},
                      {"_send_message_async", m.function(send_message_async_spec)}},
                     m.attr("SingletonMeta")));
    m.add("setup_google_chat_messenger", m.function(setup_spec));
    install_channel(m);
    at_fork_child(reset_singleton_locks);
}

}  // namespace
}  // namespace toolkit

BINDING_MODULE(service_toolkit, toolkit::exec)
