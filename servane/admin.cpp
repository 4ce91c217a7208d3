#include "admin.h"

#include "identity.h"
#include "runtime.h"

#include <algorithm>
#include <cstring>

namespace servane {

namespace {

const char kDatabase[] = "ServicesActive";
const char kServicesKey[] = "System\\CurrentControlSet\\Services\\";
const char kDescriptionValue[] = "Description";

// The query takes the database lock, so it asks for the lock right on top
// of read access.
constexpr DWORD kQueryManagerAccess = GENERIC_READ | SC_MANAGER_LOCK;
constexpr DWORD kGetSecurityAccess = ACCESS_SYSTEM_SECURITY | READ_CONTROL;
constexpr DWORD kAllSecurityInformation = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                          DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
constexpr DWORD kFirstSecurityQuerySize = 1024;
constexpr DWORD kFirstDescriptionSize = 1024;

const char* OrNull(const std::optional<std::string>& value) {
    return value ? value->c_str() : nullptr;
}

// A heap block released on scope exit.
class HeapBlock {
public:
    explicit HeapBlock(DWORD size)
        : m_p(size ? HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size) : nullptr) {}
    ~HeapBlock() {
        if (m_p)
            HeapFree(GetProcessHeap(), 0, m_p);
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    void* get() const { return m_p; }

private:
    void* m_p;
};

// An open, locked service database: the manager handle and its lock,
// released in reverse order.
class LockedManager {
public:
    // Connects and locks. On a failed connection gdwLastError is left
    // alone; on a failed lock it records the error.
    LockedManager(const std::string& machine, DWORD access) {
        LoadProfileHiveOnce(gpProcessSid);
        m_manager = OpenSCManagerA(machine.c_str(), kDatabase, access);
        if (!m_manager)
            return;
        m_lock = LockServiceDatabase(m_manager);
        if (!m_lock) {
            gdwLastError = GetLastError();
            CloseServiceHandle(m_manager);
            m_manager = nullptr;
        }
    }
    ~LockedManager() {
        if (m_lock)
            UnlockServiceDatabase(m_lock);
        if (m_manager)
            CloseServiceHandle(m_manager);
    }
    LockedManager(const LockedManager&) = delete;
    LockedManager& operator=(const LockedManager&) = delete;

    bool ok() const { return m_lock != nullptr; }

    // Opens a service; records the error when that fails.
    SC_HANDLE Open(const char* name, DWORD access) const {
        SC_HANDLE service = OpenServiceA(m_manager, name, access);
        if (!service)
            gdwLastError = GetLastError();
        return service;
    }

    SC_HANDLE handle() const { return m_manager; }

private:
    SC_HANDLE m_manager = nullptr;
    SC_LOCK m_lock = nullptr;
};

// HKEY_LOCAL_MACHINE of the machine ("" is the local one); the connected
// key of a remote machine is closed with the object.
class MachineRoot {
public:
    explicit MachineRoot(const std::string& machine) {
        LoadProfileHiveOnce(gpProcessSid);
        if (machine.empty()) {
            m_root = HKEY_LOCAL_MACHINE;
        } else if (RegConnectRegistryA(machine.c_str(), HKEY_LOCAL_MACHINE, &m_root) ==
                   ERROR_SUCCESS) {
            m_connected = true;
        } else {
            m_root = nullptr;
        }
    }
    ~MachineRoot() {
        if (m_connected)
            RegCloseKey(m_root);
    }
    MachineRoot(const MachineRoot&) = delete;
    MachineRoot& operator=(const MachineRoot&) = delete;
    HKEY get() const { return m_root; }

private:
    HKEY m_root = nullptr;
    bool m_connected = false;
};

// The "Description" value of a service when it exists and is REG_SZ, read
// whole however long it is; text up to its first NUL.
std::optional<std::string> ReadDescription(const std::string& machine, const std::string& name) {
    MachineRoot root(machine);
    if (!root.get())
        return std::nullopt;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root.get(), ServiceKeyPath(name).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::optional<std::string> text;
    std::vector<BYTE> data(kFirstDescriptionSize);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    LSTATUS status = RegQueryValueExA(key, kDescriptionValue, nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA && size > data.size()) {
        data.resize(size);
        status = RegQueryValueExA(key, kDescriptionValue, nullptr, &type, data.data(), &size);
    }
    if (status == ERROR_SUCCESS && type == REG_SZ) {
        size = std::min<DWORD>(size, static_cast<DWORD>(data.size()));
        const char* chars = reinterpret_cast<const char*>(data.data());
        text = std::string(chars, strnlen(chars, size));
    }
    RegCloseKey(key);
    return text;
}

// Reads size bytes at address into out, through a memory check that fails
// instead of faulting on memory that is not mapped readable.
bool ReadMemory(uintptr_t address, void* out, size_t size) {
    if (address == 0 || address + size < address)
        return false;
    SIZE_T read = 0;
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(address), out, size,
                             &read) &&
           read == size;
}

// A SID at address: its 8-byte header, then its sub-authorities.
bool ReadSidAt(uintptr_t address, std::vector<BYTE>& out) {
    BYTE header[8];
    if (!ReadMemory(address, header, sizeof header))
        return false;
    out.resize(8 + 4 * size_t(header[1]));
    return ReadMemory(address, out.data(), out.size());
}

// An ACL at address: its 8-byte header, then AclSize bytes in all.
bool ReadAclAt(uintptr_t address, std::vector<BYTE>& out) {
    ACL header;
    if (!ReadMemory(address, &header, sizeof header))
        return false;
    out.resize(std::max<size_t>(sizeof header, header.AclSize));
    return ReadMemory(address, out.data(), out.size());
}

} // namespace

std::string BuildDependencyList(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) {
        // Copied as a C string: a NUL inside a name ends it, so one name
        // never becomes two.
        list.append(name.c_str());
        list += '\0';
    }
    list += '\0';
    return list;
}

std::string DependencyListFromText(const std::string& text) {
    std::string list = text;
    list.append(2, '\0');
    return list;
}

std::vector<std::string> SplitDependencyList(const char* list) {
    std::vector<std::string> names;
    if (!list)
        return names;
    for (const char* p = list; *p; p += std::strlen(p) + 1)
        names.emplace_back(p);
    return names;
}

std::string QuotePathForCreate(const std::string& path) {
    if (path.find(' ') != std::string::npos && path[0] != '"')
        return '"' + path + '"';
    return path;
}

std::string QuotePathForConfigure(const std::string& path) {
    if (path.find(' ') != std::string::npos && path[0] != '\\' && path[0] != '"')
        return '"' + path + '"';
    return path;
}

std::string BuildCommandLine(const std::string& quotedPath, const std::string& parameters) {
    if (parameters.empty())
        return quotedPath;
    return quotedPath + ' ' + parameters;
}

bool IsLocalSystemAccount(const std::string& user) {
    static const char kLocalSystem[] = "localsystem";
    if (user.empty())
        return true;
    if (user.size() != sizeof kLocalSystem - 1)
        return false;
    for (size_t i = 0; i < user.size(); ++i) {
        char c = user[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kLocalSystem[i])
            return false;
    }
    return true;
}

std::string ServiceKeyPath(const std::string& name) {
    return kServicesKey + name;
}

BOOL SetServiceDescription(const char* machine, const char* name, const char* description) {
    MachineRoot root(machine ? machine : "");
    if (!root.get())
        return FALSE;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root.get(), ServiceKeyPath(name ? name : "").c_str(), 0, KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS)
        return FALSE;
    const char* text = description ? description : "";
    BOOL written =
        RegSetValueExA(key, kDescriptionValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

DWORD CreateService(const ServiceInfo& info) {
    const std::string machine = info.machine.value_or("");
    const std::string name = info.name.value_or("");
    const std::string display = info.display.value_or("");
    const std::string user = info.user.value_or("");
    const std::string password = info.password.value_or("");
    const std::string description = info.description.value_or("");

    // Only an array gives dependencies; an empty list is still passed.
    const std::string dependencies =
        BuildDependencyList(info.dependencyArray.value_or(std::vector<std::string>()));
    const std::string commandLine =
        BuildCommandLine(QuotePathForCreate(info.path.value_or("")), info.parameters.value_or(""));

    const bool localSystem = IsLocalSystemAccount(user);
    const char* account = localSystem ? nullptr : user.c_str();
    const char* accountPassword = localSystem ? nullptr : password.c_str();

    const DWORD serviceType = info.serviceType.value_or(SERVICE_WIN32_OWN_PROCESS);
    const DWORD startType = info.startType.value_or(SERVICE_AUTO_START);
    const DWORD errorControl = info.errorControl.value_or(SERVICE_ERROR_IGNORE);

    LockedManager manager(machine, SC_MANAGER_ALL_ACCESS);
    if (!manager.ok())
        return 0;
    SC_HANDLE service =
        CreateServiceA(manager.handle(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                       serviceType, startType, errorControl, commandLine.c_str(), nullptr, nullptr,
                       dependencies.c_str(), account, accountPassword);
    if (!service) {
        gdwLastError = GetLastError();
        return 0;
    }
    SetServiceDescription(machine.c_str(), name.c_str(), description.c_str());
    CloseServiceHandle(service);
    return 1;
}

DWORD ConfigureService(const ServiceInfo& info) {
    const std::string machine = info.machine.value_or("");

    std::optional<std::string> commandLine;
    if (info.path) {
        commandLine = QuotePathForConfigure(*info.path);
        if (info.parameters)
            commandLine = BuildCommandLine(*commandLine, *info.parameters);
    }

    std::optional<std::string> dependencies;
    if (info.dependencyArray)
        dependencies = BuildDependencyList(*info.dependencyArray);
    else if (info.dependencyText)
        dependencies = DependencyListFromText(*info.dependencyText);

    DWORD tag = info.tagId.value_or(0);
    DWORD* tagPointer = info.tagId ? &tag : nullptr;

    LockedManager manager(machine, SC_MANAGER_ALL_ACCESS);
    if (!manager.ok())
        return 0;
    SC_HANDLE service = manager.Open(OrNull(info.name), SERVICE_CHANGE_CONFIG);
    if (!service)
        return 0;
    BOOL changed = ChangeServiceConfigA(
        service, info.serviceType.value_or(SERVICE_NO_CHANGE),
        info.startType.value_or(SERVICE_NO_CHANGE), info.errorControl.value_or(SERVICE_NO_CHANGE),
        OrNull(commandLine), nullptr, tagPointer, OrNull(dependencies), OrNull(info.user),
        OrNull(info.password), OrNull(info.display));
    if (!changed)
        gdwLastError = GetLastError();
    else if (info.description)
        SetServiceDescription(machine.c_str(), OrNull(info.name), info.description->c_str());
    CloseServiceHandle(service);
    return changed ? 1 : 0;
}

DWORD QueryServiceConfig(const std::string& machine, const std::string& name, ServiceConfig& out) {
    LockedManager manager(machine, kQueryManagerAccess);
    if (!manager.ok())
        return 0;
    SC_HANDLE service = manager.Open(name.c_str(), SERVICE_QUERY_CONFIG);
    if (!service)
        return 0;

    DWORD result = 0;
    DWORD needed = 0;
    if (QueryServiceConfigA(service, nullptr, 0, &needed) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        gdwLastError = GetLastError();
    } else {
        HeapBlock block(needed);
        auto* config = static_cast<QUERY_SERVICE_CONFIGA*>(block.get());
        if (config) {
            if (!QueryServiceConfigA(service, config, needed, &needed)) {
                gdwLastError = GetLastError();
            } else {
                out.serviceType = config->dwServiceType;
                out.startType = config->dwStartType;
                out.errorControl = config->dwErrorControl;
                auto copy = [](const char* s) {
                    return s ? std::optional<std::string>(s) : std::nullopt;
                };
                out.path = copy(config->lpBinaryPathName);
                out.loadOrder = copy(config->lpLoadOrderGroup);
                out.display = copy(config->lpDisplayName);
                out.user = copy(config->lpServiceStartName);
                out.dependencies = SplitDependencyList(config->lpDependencies);
                out.description = ReadDescription(machine, name);
                result = 1;
            }
        }
    }
    CloseServiceHandle(service);
    return result;
}

DWORD DeleteService(const std::string& machine, const std::string& name) {
    LockedManager manager(machine, SC_MANAGER_ALL_ACCESS);
    if (!manager.ok())
        return 0;
    SC_HANDLE service = manager.Open(name.c_str(), DELETE);
    if (!service)
        return 0;
    BOOL deleted = ::DeleteService(service);
    if (!deleted)
        gdwLastError = GetLastError();
    CloseServiceHandle(service);
    return deleted ? 1 : 0;
}

std::optional<std::vector<BYTE>> GetSecurity(const std::string& machine, const std::string& name) {
    EnablePrivilege(nullptr, SE_SECURITY_NAME, TRUE);
    LockedManager manager(machine, SC_MANAGER_ALL_ACCESS);
    if (!manager.ok())
        return std::nullopt;
    SC_HANDLE service = manager.Open(name.c_str(), kGetSecurityAccess);
    if (!service)
        return std::nullopt;

    DWORD size = kFirstSecurityQuerySize;
    EnablePrivilege(nullptr, SE_SECURITY_NAME, TRUE);
    std::optional<std::vector<BYTE>> result;
    for (int attempt = 0; attempt < kSecurityQueryAttempts; ++attempt) {
        HeapBlock block(size);
        if (!block.get())
            break;
        DWORD reported = size;
        if (QueryServiceObjectSecurity(service, kAllSecurityInformation, block.get(), size,
                                       &reported)) {
            const BYTE* bytes = static_cast<const BYTE*>(block.get());
            result.emplace(bytes, bytes + std::min(reported, size));
            break;
        }
        DWORD error = GetLastError();
        bool retry = (error == ERROR_INSUFFICIENT_BUFFER || error == ERROR_INVALID_ADDRESS) &&
                     reported != 0 && attempt + 1 < kSecurityQueryAttempts;
        if (!retry) {
            gdwLastError = error;
            break;
        }
        size = reported;
    }
    CloseServiceHandle(service);
    return result;
}

DWORD SetSecurity(const std::string& machine, const std::string& name,
                  PSECURITY_DESCRIPTOR descriptor) {
    if (!descriptor)
        return 0;
    DWORD access = READ_CONTROL | WRITE_DAC;
    DWORD information = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (GetSecurityDescriptorSacl(descriptor, &present, &acl, &defaulted)) {
        EnablePrivilege(nullptr, SE_SECURITY_NAME, TRUE);
        access |= ACCESS_SYSTEM_SECURITY;
        information |= SACL_SECURITY_INFORMATION;
    }
    if (GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted))
        information |= DACL_SECURITY_INFORMATION;

    // Once switched on for this request, the privilege is switched off again
    // on every path: right after the change, before the service handle, the
    // lock and the manager are released.
    const bool withSacl = (information & SACL_SECURITY_INFORMATION) != 0;
    DWORD result = 0;
    LockedManager manager(machine, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager.ok() ? manager.Open(name.c_str(), access) : nullptr;
    if (service) {
        if (SetServiceObjectSecurity(service, information, descriptor))
            result = 1;
        else
            gdwLastError = GetLastError();
    }
    if (withSacl)
        EnablePrivilege(nullptr, SE_SECURITY_NAME, FALSE);
    if (service)
        CloseServiceHandle(service);
    return result;
}

std::optional<std::vector<BYTE>> CopyDescriptorAt(uintptr_t address) {
    BYTE start[4];
    if (!ReadMemory(address, start, sizeof start))
        return std::nullopt;
    SECURITY_DESCRIPTOR_CONTROL control;
    std::memcpy(&control, start + 2, sizeof control);

    // Where the four parts are: offsets in the self-relative form, pointers
    // in the absolute form. Zero means the part is absent.
    uintptr_t owner = 0, group = 0, sacl = 0, dacl = 0;
    if (control & SE_SELF_RELATIVE) {
        SECURITY_DESCRIPTOR_RELATIVE header;
        if (!ReadMemory(address, &header, sizeof header))
            return std::nullopt;
        auto at = [address](DWORD offset) -> uintptr_t { return offset ? address + offset : 0; };
        owner = at(header.Owner);
        group = at(header.Group);
        sacl = at(header.Sacl);
        dacl = at(header.Dacl);
    } else {
        SECURITY_DESCRIPTOR header;
        if (!ReadMemory(address, &header, sizeof header))
            return std::nullopt;
        owner = reinterpret_cast<uintptr_t>(header.Owner);
        group = reinterpret_cast<uintptr_t>(header.Group);
        sacl = reinterpret_cast<uintptr_t>(header.Sacl);
        dacl = reinterpret_cast<uintptr_t>(header.Dacl);
    }
    if (!(control & SE_SACL_PRESENT))
        sacl = 0;
    if (!(control & SE_DACL_PRESENT))
        dacl = 0;

    std::vector<BYTE> parts[4];
    if ((owner && !ReadSidAt(owner, parts[0])) || (group && !ReadSidAt(group, parts[1])) ||
        (sacl && !ReadAclAt(sacl, parts[2])) || (dacl && !ReadAclAt(dacl, parts[3])))
        return std::nullopt;

    // A compact self-relative copy: the header, then each part at a
    // DWORD-aligned offset.
    SECURITY_DESCRIPTOR_RELATIVE header = {};
    header.Revision = start[0];
    header.Sbz1 = start[1];
    header.Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(control | SE_SELF_RELATIVE);
    std::vector<BYTE> copy(sizeof header);
    DWORD* offsets[4] = {&header.Owner, &header.Group, &header.Sacl, &header.Dacl};
    for (int i = 0; i < 4; ++i) {
        if (parts[i].empty())
            continue;
        *offsets[i] = static_cast<DWORD>(copy.size());
        copy.insert(copy.end(), parts[i].begin(), parts[i].end());
        copy.resize((copy.size() + 3) & ~size_t(3));
    }
    std::memcpy(copy.data(), &header, sizeof header);
    return copy;
}

std::optional<std::vector<BYTE>> CopyRelativeDescriptor(const void* bytes, size_t length) {
    if (!bytes || length < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || length > MAXDWORD)
        return std::nullopt;
    // The caller's bytes may sit at any address; the checks below and the
    // manager read the copy, whose parts are aligned when their offsets are.
    const BYTE* begin = static_cast<const BYTE*>(bytes);
    std::vector<BYTE> copy(begin, begin + length);
    SECURITY_DESCRIPTOR_RELATIVE header;
    std::memcpy(&header, copy.data(), sizeof header);
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION || !(header.Control & SE_SELF_RELATIVE))
        return std::nullopt;

    // Where a part may start: past the header, DWORD aligned, with room for
    // at least `minimum` bytes.
    auto placed = [length](DWORD offset, size_t minimum) {
        return offset >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) && offset % sizeof(DWORD) == 0 &&
               offset < length && length - offset >= minimum;
    };
    auto sidFits = [&](DWORD offset) {
        if (!offset)
            return true;
        if (!placed(offset, GetSidLengthRequired(0)))
            return false;
        PSID sid = copy.data() + offset;
        BYTE subAuthorities = copy[offset + 1];
        return length - offset >= GetSidLengthRequired(subAuthorities) && IsValidSid(sid);
    };
    auto aclFits = [&](DWORD offset, SECURITY_DESCRIPTOR_CONTROL presentFlag) {
        if (!(header.Control & presentFlag) || !offset)
            return true; // absent, or a present NULL ACL
        if (!placed(offset, sizeof(ACL)))
            return false;
        auto* acl = reinterpret_cast<PACL>(copy.data() + offset);
        return acl->AclSize >= sizeof(ACL) && acl->AclSize <= length - offset && IsValidAcl(acl);
    };
    if (!sidFits(header.Owner) || !sidFits(header.Group) ||
        !aclFits(header.Sacl, SE_SACL_PRESENT) || !aclFits(header.Dacl, SE_DACL_PRESENT) ||
        !IsValidSecurityDescriptor(copy.data()))
        return std::nullopt;
    return copy;
}

} // namespace servane
