// veltrano_python_configuration.service_toolkit: the module's attributes,
// bound in order (toolkit.hpp says which unit holds what).
#include "toolkit.hpp"

namespace toolkit {
namespace {

void exec(Module m) {
    m.add("asyncio", import("asyncio"));
    m.add("json", import("json"));
    m.add("logging", import("logging"));
    Ref typing = import("typing");
    for (const char* name : {"Optional", "Union", "Dict", "Any"}) m.add(name, getattr(typing, name));
    m.add("aiohttp", import("aiohttp"));
    m.add("requests", import("requests"));
    add_settings_schema(m);
    add_singleton(m);
    add_messengers(m);
}

}  // namespace
}  // namespace toolkit

BINDING_MODULE(service_toolkit, toolkit::exec)
