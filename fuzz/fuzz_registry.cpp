// Registry paths on a real store: the input is a subkey path, a value name,
// a value type and the value's data, used below HKLM\SOFTWARE\Fuzz.
//
// Invariants: a path is refused exactly when it starts with a backslash or
// has a name longer than 255 characters, and a refused create leaves no key
// behind; a created key opens again under the same names in another case,
// with doubled and trailing backslashes; its value reads back with the same
// type and bytes, under its name in any case, and enumerates under the name
// as written; keys with subkeys refuse deletion, and once deleted the path
// no longer opens and a handle still open to the key reports it deleted.
#include "fuzz.h"

#include <windows.h>

namespace {

HKEY gBase = nullptr;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string Join(const std::vector<std::string>& parts, size_t count, const char* sep) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += (i ? sep : "") + parts[i];
    return out;
}

bool BaseIsEmpty() {
    char name[300];
    DWORD len = sizeof name;
    return RegEnumKeyExA(gBase, 0, name, &len, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_NO_MORE_ITEMS;
}

struct Key {
    HKEY h = nullptr;
    ~Key() {
        if (h)
            RegCloseKey(h);
    }
};

void CheckValue(HKEY key, const std::string& name, DWORD type, const std::vector<uint8_t>& data) {
    for (const std::string& asked : {name, Upper(name)}) {
        DWORD gotType = 0, size = 0;
        FUZZ_CHECK(RegQueryValueExA(key, asked.c_str(), nullptr, &gotType, nullptr, &size) ==
                   ERROR_SUCCESS);
        FUZZ_CHECK(gotType == type && size == data.size());
        std::vector<uint8_t> got(size + 1);
        FUZZ_CHECK(RegQueryValueExA(key, asked.c_str(), nullptr, nullptr, got.data(), &size) ==
                   ERROR_SUCCESS);
        FUZZ_CHECK(size == data.size() && std::equal(data.begin(), data.end(), got.begin()));
    }
    std::vector<char> listed(name.size() + 2);
    DWORD len = static_cast<DWORD>(listed.size());
    FUZZ_CHECK(RegEnumValueA(key, 0, listed.data(), &len, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS);
    FUZZ_CHECK(std::string(listed.data(), len) == name);
    len = static_cast<DWORD>(listed.size());
    FUZZ_CHECK(RegEnumValueA(key, 1, listed.data(), &len, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_NO_MORE_ITEMS);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("WIN32POSIX_ROOT", fuzz::ScratchDir("registry").c_str(), 1);
    FUZZ_CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fuzz", 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &gBase, nullptr) == ERROR_SUCCESS);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const std::string path = in.text();
    const std::string valueName = in.text();
    const DWORD type = in.byte() % 12;
    const std::vector<uint8_t> value = in.rest();

    std::vector<std::string> parts;
    bool tooLong = false;
    for (size_t at = 0; at <= path.size();) {
        size_t end = std::min(path.find('\\', at), path.size());
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        tooLong |= end - at > 255;
        at = end + 1;
    }
    const LONG expected = !path.empty() && path[0] == '\\' ? ERROR_BAD_PATHNAME
                          : tooLong                        ? ERROR_INVALID_PARAMETER
                                                           : ERROR_SUCCESS;
    Key created;
    DWORD disposition = 0;
    LONG rc = RegCreateKeyExA(gBase, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &created.h, &disposition);
    FUZZ_CHECK(rc == expected);
    if (rc != ERROR_SUCCESS || parts.empty()) {
        FUZZ_CHECK(BaseIsEmpty());
        return 0;
    }
    FUZZ_CHECK(disposition == REG_CREATED_NEW_KEY);

    FUZZ_CHECK(RegSetValueExA(created.h, valueName.c_str(), 0, type, value.data(),
                              static_cast<DWORD>(value.size())) == ERROR_SUCCESS);
    for (const std::string& variant : {Upper(path), Join(parts, parts.size(), "\\\\") + "\\"}) {
        Key other;
        FUZZ_CHECK(RegOpenKeyExA(gBase, variant.c_str(), 0, KEY_READ, &other.h) == ERROR_SUCCESS);
        CheckValue(other.h, valueName, type, value);
    }
    char first[300];
    DWORD len = sizeof first;
    FUZZ_CHECK(RegEnumKeyExA(gBase, 0, first, &len, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS);
    FUZZ_CHECK(std::string(first, len) == parts[0]);

    if (parts.size() > 1)
        FUZZ_CHECK(RegDeleteKeyA(gBase, parts[0].c_str()) == ERROR_ACCESS_DENIED);
    for (size_t n = parts.size(); n > 0; --n)
        FUZZ_CHECK(RegDeleteKeyA(gBase, Join(parts, n, "\\").c_str()) == ERROR_SUCCESS);
    Key gone;
    FUZZ_CHECK(RegOpenKeyExA(gBase, path.c_str(), 0, KEY_READ, &gone.h) == ERROR_FILE_NOT_FOUND);
    FUZZ_CHECK(RegSetValueExA(created.h, "late", 0, REG_DWORD, data, 0) == ERROR_KEY_DELETED);
    FUZZ_CHECK(BaseIsEmpty());
    return 0;
}
