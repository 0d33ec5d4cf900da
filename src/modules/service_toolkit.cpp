// veltrano_python_configuration.service_toolkit (being built).
#include "glue/module.hpp"

namespace {
void exec(glue::Module) {}
}  // namespace

GLUE_MODULE(service_toolkit, exec)
