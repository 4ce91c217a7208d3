#pragma once
// Service administration: the service-information record and the call
// sequences that create, change, query, delete and secure services through
// the service control manager. No Perl here: the glue reads the script's
// hash into a ServiceInfo and turns results back into Perl values.
//
// Every function records the Windows error of a failing lock, open, create,
// change, query, delete or set call in gdwLastError, leaves it alone when
// the connection to the manager fails, and releases every handle and the
// database lock on every path.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace servane {

// A service-information hash as plain values. An absent key is nullopt,
// distinct from a present key whose value reads as "" or 0.
struct ServiceInfo {
    std::optional<std::string> machine;
    std::optional<std::string> name;
    std::optional<std::string> display;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> path;
    std::optional<std::string> parameters;
    std::optional<std::string> description;
    // "dependencies" holding an array reference: its elements in index
    // order (holes left out).
    std::optional<std::vector<std::string>> dependencyArray;
    // "dependencies" holding anything else: its string form.
    std::optional<std::string> dependencyText;
    std::optional<DWORD> serviceType;
    std::optional<DWORD> startType;
    std::optional<DWORD> errorControl;
    std::optional<DWORD> tagId;
};

// What QueryServiceConfig reads back. Strings the manager returns as null
// pointers stay nullopt; description only when the registry value exists
// and is REG_SZ.
struct ServiceConfig {
    DWORD serviceType = 0;
    DWORD startType = 0;
    DWORD errorControl = 0;
    std::optional<std::string> path;
    std::optional<std::string> loadOrder;
    std::optional<std::string> display;
    std::optional<std::string> user;
    std::vector<std::string> dependencies;
    std::optional<std::string> description;
};

// A dependency list: each name up to its first NUL, followed by a NUL, and
// one more NUL at the end. An empty name therefore ends the list where it
// stands.
std::string BuildDependencyList(const std::vector<std::string>& names);

// The list form of a string given as "dependencies": its bytes (which may
// already hold several NUL-separated names) and two NULs.
std::string DependencyListFromText(const std::string& text);

// The names of a dependency list, up to its first empty name.
std::vector<std::string> SplitDependencyList(const char* list);

// Paths with a blank are quoted. CreateService leaves a path that already
// begins with a double quote; ConfigureService also leaves one that begins
// with a backslash (a UNC path).
std::string QuotePathForCreate(const std::string& path);
std::string QuotePathForConfigure(const std::string& path);

// Path, then one blank and the parameters when there are any.
std::string BuildCommandLine(const std::string& quotedPath, const std::string& parameters);

// True for "" and for "localsystem" in any case: CreateService then passes
// no account and no password.
bool IsLocalSystemAccount(const std::string& user);

// Registry key of a service, under HKEY_LOCAL_MACHINE.
std::string ServiceKeyPath(const std::string& name);

// Writes the service's "Description" value (REG_SZ). True when written.
BOOL SetServiceDescription(const char* machine, const char* name, const char* description);

// The call sequences. Each returns 1 on success, 0 on failure.
DWORD CreateService(const ServiceInfo& info);
DWORD ConfigureService(const ServiceInfo& info);
DWORD QueryServiceConfig(const std::string& machine, const std::string& name, ServiceConfig& out);
DWORD DeleteService(const std::string& machine, const std::string& name);

// The service's security descriptor (owner, group, DACL and SACL) in
// self-relative form; nullopt on failure.
std::optional<std::vector<BYTE>> GetSecurity(const std::string& machine, const std::string& name);

// Applies a descriptor's DACL and SACL to the service.
DWORD SetSecurity(const std::string& machine, const std::string& name,
                  PSECURITY_DESCRIPTOR descriptor);

// A self-relative copy of the descriptor (either form) at a script-supplied
// address, read only through memory checks: nullopt when the header or any
// part it points to is not readable memory. The copy is not validated.
std::optional<std::vector<BYTE>> CopyDescriptorAt(uintptr_t address);

// A copy of bytes given as a self-relative descriptor (GetSecurity's form),
// in aligned memory: nullopt unless every part the header names lies, DWORD
// aligned, inside the bytes and the descriptor is valid.
std::optional<std::vector<BYTE>> CopyRelativeDescriptor(const void* bytes, size_t length);

// Upper bound on GetSecurity's query retries.
constexpr int kSecurityQueryAttempts = 8;

} // namespace servane
