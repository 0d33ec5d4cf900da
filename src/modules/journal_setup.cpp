// veltrano_python_configuration.journal_setup (being built).
#include "glue/module.hpp"

namespace {
void exec(glue::Module) {}
}  // namespace

GLUE_MODULE(journal_setup, exec)
