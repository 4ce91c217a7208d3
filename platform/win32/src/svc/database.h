#pragma once
// The service database: HKLM\System\CurrentControlSet\Services\<name>, read
// and written through the registry API with the values Windows keeps there.
#include <windows.h>

#include <string>
#include <vector>

namespace w32p::scm {

struct ServiceConfig {
    DWORD type = SERVICE_WIN32_OWN_PROCESS;
    DWORD start = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    DWORD tag = 0;
    std::string imagePath, displayName, objectName, group, description;
    bool hasDescription = false;
    std::vector<std::string> dependOnService, dependOnGroup;
    bool deleteFlag = false;
    bool delayedAutoStart = false; // "DelayedAutostart"
};

// The recovery settings of ChangeServiceConfig2A, kept in the service's key
// as Windows keeps them: "FailureActions" (REG_BINARY: reset period, two
// string markers, the count, an array marker, then the actions),
// "RebootMessage", "FailureCommand" and the DWORD
// "FailureActionsOnNonCrashFailures".
struct FailureActions {
    DWORD resetPeriod = 0; // seconds; INFINITE: the count is never reset
    std::vector<SC_ACTION> actions;
    std::string rebootMessage, command;
    bool hasRebootMessage = false, hasCommand = false;
    bool onNonCrashFailures = false;
};

// An open registry key, closed on scope exit.
class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY h) : h_(h) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { Reset(); }
    void Reset(HKEY h = nullptr) {
        if (h_)
            RegCloseKey(h_);
        h_ = h;
    }
    HKEY get() const { return h_; }
    HKEY* out() {
        Reset();
        return &h_;
    }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HKEY h_ = nullptr;
};

// Opens (creating when asked) the Services key.
LSTATUS OpenServicesRoot(REGSAM access, RegKey& key, bool create);
// Opens a service's key; ERROR_SERVICE_DOES_NOT_EXIST when it is missing or
// has no "Type" value (a service being created).
DWORD OpenServiceKey(const std::string& name, REGSAM access, RegKey& key);

DWORD ReadConfig(HKEY key, ServiceConfig& cfg);

bool GetDword(HKEY key, const char* value, DWORD& out);
bool GetString(HKEY key, const char* value, std::string& out);
bool GetMultiString(HKEY key, const char* value, std::vector<std::string>& out);
bool GetBinary(HKEY key, const char* value, std::vector<BYTE>& out);
LSTATUS SetDword(HKEY key, const char* value, DWORD v);
LSTATUS SetString(HKEY key, const char* value, const std::string& s, DWORD type = REG_SZ);
LSTATUS SetMultiString(HKEY key, const char* value, const std::vector<std::string>& list);

FailureActions ReadFailureActions(HKEY key);
// Writes the reset period and the actions; no actions removes both.
LSTATUS WriteFailureActions(HKEY key, DWORD resetPeriod, const std::vector<SC_ACTION>& actions);
// A DWORD value read as a flag (absent: false).
bool GetFlag(HKEY key, const char* value);

// The service's security descriptor (the "Security" value of its
// "Security" subkey); the default when none is stored.
std::vector<BYTE> ReadServiceSecurity(HKEY key);
LSTATUS WriteServiceSecurity(HKEY key, const std::vector<BYTE>& sd);

// Names of all services (the stored spelling).
std::vector<std::string> ListServices();
// The stored spelling of a service name (the name itself when not found).
std::string CanonicalName(const std::string& name);

// Deletes a key with all its subkeys.
LSTATUS DeleteKeyTree(HKEY parent, const std::string& name);

} // namespace w32p::scm
