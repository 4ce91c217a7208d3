// A tiny module loaded from a shared object: two directives.
#include "zephra/core.h"

namespace {

const char* set_echo(void*, void*, const char*) {
    return nullptr;
}
const char* set_greeting(void*, void*, const char*) {
    return nullptr;
}

const zp_command_rec echo_cmds[] = {
    {"ProtocolEcho", set_echo, nullptr, ZP_RSRC_CONF, ZP_FLAG, "Run an echo server on this host"},
    {"EchoGreeting", set_greeting, nullptr, ZP_RSRC_CONF, ZP_TAKE1, "Text sent on connect"},
    {nullptr, nullptr, nullptr, 0, 0, nullptr}};

} // namespace

extern "C" {
__attribute__((visibility("default"))) zp_module mod_echo_module =
    ZP_MODULE_INIT("mod_echo.c", echo_cmds);
}
