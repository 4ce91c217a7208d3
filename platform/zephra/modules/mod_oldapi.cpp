// A module built for another major version of the interface: the server
// refuses to load it.
#include "zephra/core.h"

extern "C" {
__attribute__((visibility("default")))
zp_module mod_oldapi_module = {19990101,        0,       -1,      "mod_oldapi.c", nullptr, nullptr,
                               ZP_MODULE_MAGIC, nullptr, nullptr, nullptr,        nullptr};
}
