// veltrano_python_configuration.cache_access (being built).
#include "glue/module.hpp"

namespace {
void exec(glue::Module) {}
}  // namespace

GLUE_MODULE(cache_access, exec)
