// A module whose record carries no name and no directives, built against
// an older minor version of the interface.
#include "zephra/core.h"

extern "C" {
__attribute__((visibility("default")))
zp_module mod_anon_module = {ZP_API_MAJOR,    3,       -1,      nullptr, nullptr, nullptr,
                             ZP_MODULE_MAGIC, nullptr, nullptr, nullptr, nullptr};
}
