#include "constants.h"

#include <strings.h>

namespace servane {

namespace {
constexpr ConstantEntry Number(const char* name, DWORD value) {
    return ConstantEntry{name, {.number = value}, kConstantNumber};
}
constexpr ConstantEntry Text(const char* name, char c) {
    return ConstantEntry{name, {.text = {c, 0, 0, 0}}, kConstantText};
}
} // namespace

const ConstantEntry kConstantTable[] = {
    // service states
    Number("SERVICE_NOT_READY", 0),
    Number("SERVICE_STOPPED", 1),
    Number("SERVICE_START_PENDING", 2),
    Number("SERVICE_STOP_PENDING", 3),
    Number("SERVICE_RUNNING", 4),
    Number("SERVICE_CONTINUE_PENDING", 5),
    Number("SERVICE_PAUSE_PENDING", 6),
    Number("SERVICE_PAUSED", 7),
    // control and event codes
    Number("SERVICE_CONTROL_NONE", 0xFFFFFFFF),
    Number("SERVICE_CONTROL_STOP", 1),
    Number("SERVICE_CONTROL_PAUSE", 2),
    Number("SERVICE_CONTROL_CONTINUE", 3),
    Number("SERVICE_CONTROL_INTERROGATE", 4),
    Number("SERVICE_CONTROL_SHUTDOWN", 5),
    Number("SERVICE_CONTROL_PARAMCHANGE", 6),
    Number("SERVICE_CONTROL_NETBINDADD", 7),
    Number("SERVICE_CONTROL_NETBINDREMOVE", 8),
    Number("SERVICE_CONTROL_NETBINDENABLE", 9),
    Number("SERVICE_CONTROL_NETBINDDISABLE", 0x0A),
    Number("SERVICE_CONTROL_DEVICEEVENT", 0x0B),
    Number("SERVICE_CONTROL_HARDWAREPROFILECHANGE", 0x0C),
    Number("SERVICE_CONTROL_POWEREVENT", 0x0D),
    Number("SERVICE_CONTROL_SESSIONCHANGE", 0x0E),
    Number("SERVICE_CONTROL_START", 0x1010),
    Number("SERVICE_CONTROL_TIMER", 0x1020),
    Number("SERVICE_CONTROL_USER_DEFINED", 0x1030),
    Number("SERVICE_CONTROL_RUNNING", 0x1040),
    // user-definable service bits
    Number("USER_SERVICE_BITS_1", 0x4000),
    Number("USER_SERVICE_BITS_2", 0x8000),
    Number("USER_SERVICE_BITS_3", 0x400000),
    Number("USER_SERVICE_BITS_4", 0x800000),
    Number("USER_SERVICE_BITS_5", 0x1000000),
    Number("USER_SERVICE_BITS_6", 0x2000000),
    Number("USER_SERVICE_BITS_7", 0x4000000),
    Number("USER_SERVICE_BITS_8", 0x8000000),
    Number("USER_SERVICE_BITS_9", 0x10000000),
    Number("USER_SERVICE_BITS_10", 0x20000000),
    // service types
    Number("SERVICE_KERNEL_DRIVER", 0x001),
    Number("SERVICE_FILE_SYSTEM_DRIVER", 0x002),
    Number("SERVICE_WIN32_OWN_PROCESS", 0x010),
    Number("SERVICE_WIN32_SHARE_PROCESS", 0x020),
    Number("SERVICE_INTERACTIVE_PROCESS", 0x100),
    // accepted controls
    Number("SERVICE_ACCEPT_STOP", 0x01),
    Number("SERVICE_ACCEPT_PAUSE_CONTINUE", 0x02),
    Number("SERVICE_ACCEPT_SHUTDOWN", 0x04),
    Number("SERVICE_ACCEPT_PARAMCHANGE", 0x08),
    Number("SERVICE_ACCEPT_NETBINDCHANGE", 0x10),
    Number("SERVICE_ACCEPT_HARDWAREPROFILECHANGE", 0x20),
    Number("SERVICE_ACCEPT_POWEREVENT", 0x40),
    Number("SERVICE_ACCEPT_SESSIONCHANGE", 0x80),
    // start types and error control
    Number("SERVICE_BOOT_START", 0),
    Number("SERVICE_SYSTEM_START", 1),
    Number("SERVICE_AUTO_START", 2),
    Number("SERVICE_DEMAND_START", 3),
    Number("SERVICE_DISABLED", 4),
    Number("SERVICE_ERROR_NORMAL", 1),
    Number("SERVICE_ERROR_SEVERE", 2),
    Number("SERVICE_ERROR_CRITICAL", 3),
    // other
    Text("SC_GROUP_IDENTIFIER", '+'),
    Number("NO_ERROR", 0),
    {nullptr, {.number = 0}, kConstantNotFound},
};

ConstantResult LookupConstant(const char* name) {
    ConstantResult result;
    for (const ConstantEntry* e = kConstantTable; e->name; ++e) {
        if (name[0] != e->name[0] || strcasecmp(name, e->name) != 0)
            continue;
        result.kind = e->kind;
        if (e->kind == kConstantText)
            result.text = e->value.text;
        else
            result.number = e->value.number;
        return result;
    }
    return result;
}

} // namespace servane
