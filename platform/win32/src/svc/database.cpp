// Reading and writing the service database in the registry.
#include "database.h"

#include "scm.h"
#include "svcsecurity.h"

#include <algorithm>
#include <cstring>

namespace w32p::scm {

LSTATUS OpenServicesRoot(REGSAM access, RegKey& key, bool create) {
    if (create)
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, nullptr, 0, access, nullptr,
                               key.out(), nullptr);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, access, key.out());
}

DWORD OpenServiceKey(const std::string& name, REGSAM access, RegKey& key) {
    RegKey root;
    if (OpenServicesRoot(KEY_READ, root, false) != ERROR_SUCCESS)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    LSTATUS st = RegOpenKeyExA(root.get(), name.c_str(), 0, access, key.out());
    if (st == ERROR_FILE_NOT_FOUND)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    if (st != ERROR_SUCCESS)
        return static_cast<DWORD>(st);
    DWORD type;
    if (!GetDword(key.get(), "Type", type)) {
        key.Reset();
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    return 0;
}

bool GetDword(HKEY key, const char* value, DWORD& out) {
    DWORD type = 0, v = 0, size = sizeof v;
    if (RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof v)
        return false;
    out = v;
    return true;
}

namespace {

bool GetRaw(HKEY key, const char* value, DWORD& type, std::vector<BYTE>& data) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        if (RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        data.assign(size, 0);
        LSTATUS st = RegQueryValueExA(key, value, nullptr, &type, data.data(), &size);
        if (st == ERROR_MORE_DATA)
            continue;
        if (st != ERROR_SUCCESS)
            return false;
        data.resize(size);
        return true;
    }
    return false;
}

} // namespace

bool GetString(HKEY key, const char* value, std::string& out) {
    DWORD type;
    std::vector<BYTE> data;
    if (!GetRaw(key, value, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::string s(data.begin(), data.end());
    size_t nul = s.find('\0');
    if (nul != std::string::npos)
        s.resize(nul);
    out = s;
    return true;
}

bool GetMultiString(HKEY key, const char* value, std::vector<std::string>& out) {
    DWORD type;
    std::vector<BYTE> data;
    if (!GetRaw(key, value, type, data) || type != REG_MULTI_SZ)
        return false;
    out.clear();
    std::string cur;
    for (BYTE b : data) {
        if (b == 0) {
            if (cur.empty())
                break;
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(b);
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return true;
}

bool GetBinary(HKEY key, const char* value, std::vector<BYTE>& out) {
    DWORD type;
    return GetRaw(key, value, type, out) && type == REG_BINARY;
}

LSTATUS SetDword(HKEY key, const char* value, DWORD v) {
    return RegSetValueExA(key, value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

LSTATUS SetString(HKEY key, const char* value, const std::string& s, DWORD type) {
    return RegSetValueExA(key, value, 0, type, reinterpret_cast<const BYTE*>(s.c_str()),
                          static_cast<DWORD>(s.size() + 1));
}

LSTATUS SetMultiString(HKEY key, const char* value, const std::vector<std::string>& list) {
    std::string data;
    for (const std::string& s : list) {
        data += s;
        data += '\0';
    }
    data += '\0';
    return RegSetValueExA(key, value, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
}

DWORD ReadConfig(HKEY key, ServiceConfig& cfg) {
    cfg = ServiceConfig{};
    if (!GetDword(key, "Type", cfg.type))
        return ERROR_SERVICE_DOES_NOT_EXIST;
    GetDword(key, "Start", cfg.start);
    GetDword(key, "ErrorControl", cfg.errorControl);
    GetDword(key, "Tag", cfg.tag);
    GetString(key, "ImagePath", cfg.imagePath);
    GetString(key, "DisplayName", cfg.displayName);
    GetString(key, "ObjectName", cfg.objectName);
    GetString(key, "Group", cfg.group);
    cfg.hasDescription = GetString(key, "Description", cfg.description);
    GetMultiString(key, "DependOnService", cfg.dependOnService);
    GetMultiString(key, "DependOnGroup", cfg.dependOnGroup);
    DWORD flag = 0;
    cfg.deleteFlag = GetDword(key, "DeleteFlag", flag) && flag != 0;
    cfg.delayedAutoStart = GetFlag(key, "DelayedAutostart");
    return 0;
}

namespace {

// The stored form of "FailureActions": five DWORDs, then the actions.
constexpr size_t kFailureHeader = 5 * sizeof(DWORD);

} // namespace

FailureActions ReadFailureActions(HKEY key) {
    FailureActions fa;
    std::vector<BYTE> blob;
    if (GetBinary(key, "FailureActions", blob) && blob.size() >= kFailureHeader) {
        DWORD head[5];
        memcpy(head, blob.data(), sizeof head);
        size_t room = (blob.size() - kFailureHeader) / sizeof(SC_ACTION);
        size_t count = std::min<size_t>(head[3], room);
        fa.resetPeriod = head[0];
        for (size_t i = 0; i < count; ++i) {
            DWORD pair[2];
            memcpy(pair, blob.data() + kFailureHeader + i * sizeof pair, sizeof pair);
            // Types this manager does not know act as "no action".
            SC_ACTION a{pair[0] <= SC_ACTION_RUN_COMMAND ? static_cast<SC_ACTION_TYPE>(pair[0])
                                                         : SC_ACTION_NONE,
                        pair[1]};
            fa.actions.push_back(a);
        }
    }
    fa.hasRebootMessage = GetString(key, "RebootMessage", fa.rebootMessage);
    fa.hasCommand = GetString(key, "FailureCommand", fa.command);
    fa.onNonCrashFailures = GetFlag(key, "FailureActionsOnNonCrashFailures");
    return fa;
}

LSTATUS WriteFailureActions(HKEY key, DWORD resetPeriod, const std::vector<SC_ACTION>& actions) {
    if (actions.empty()) {
        LSTATUS st = RegDeleteValueA(key, "FailureActions");
        return st == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : st;
    }
    std::vector<BYTE> blob(kFailureHeader + actions.size() * sizeof(DWORD) * 2);
    DWORD head[5] = {resetPeriod, 0, 0, static_cast<DWORD>(actions.size()), 1};
    memcpy(blob.data(), head, sizeof head);
    for (size_t i = 0; i < actions.size(); ++i) {
        DWORD pair[2] = {static_cast<DWORD>(actions[i].Type), actions[i].Delay};
        memcpy(blob.data() + kFailureHeader + i * sizeof pair, pair, sizeof pair);
    }
    return RegSetValueExA(key, "FailureActions", 0, REG_BINARY, blob.data(),
                          static_cast<DWORD>(blob.size()));
}

bool GetFlag(HKEY key, const char* value) {
    DWORD v = 0;
    return GetDword(key, value, v) && v != 0;
}

std::vector<BYTE> ReadServiceSecurity(HKEY key) {
    RegKey sec;
    std::vector<BYTE> sd;
    SdParts parts;
    if (RegOpenKeyExA(key, "Security", 0, KEY_QUERY_VALUE, sec.out()) == ERROR_SUCCESS &&
        GetBinary(sec.get(), "Security", sd) && ParseStoredDescriptor(sd, parts))
        return sd;
    return DefaultServiceDescriptor();
}

LSTATUS WriteServiceSecurity(HKEY key, const std::vector<BYTE>& sd) {
    RegKey sec;
    LSTATUS st = RegCreateKeyExA(key, "Security", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sec.out(),
                                 nullptr);
    if (st != ERROR_SUCCESS)
        return st;
    return RegSetValueExA(sec.get(), "Security", 0, REG_BINARY, sd.data(),
                          static_cast<DWORD>(sd.size()));
}

std::vector<std::string> ListServices() {
    std::vector<std::string> names;
    RegKey root;
    if (OpenServicesRoot(KEY_READ, root, false) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        char buf[kMaxNameLength + 2];
        DWORD len = sizeof buf;
        LSTATUS st = RegEnumKeyExA(root.get(), i, buf, &len, nullptr, nullptr, nullptr, nullptr);
        if (st == ERROR_NO_MORE_ITEMS)
            break;
        if (st != ERROR_SUCCESS)
            continue;
        names.emplace_back(buf, len);
    }
    return names;
}

std::string CanonicalName(const std::string& name) {
    for (const std::string& n : ListServices())
        if (EqualNoCase(n, name))
            return n;
    return name;
}

LSTATUS DeleteKeyTree(HKEY parent, const std::string& name) {
    {
        RegKey key;
        LSTATUS st = RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, key.out());
        if (st != ERROR_SUCCESS)
            return st;
        for (;;) {
            char buf[300];
            DWORD len = sizeof buf;
            if (RegEnumKeyExA(key.get(), 0, buf, &len, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            if (DeleteKeyTree(key.get(), std::string(buf, len)) != ERROR_SUCCESS)
                break;
        }
    }
    return RegDeleteKeyA(parent, name.c_str());
}

} // namespace w32p::scm
