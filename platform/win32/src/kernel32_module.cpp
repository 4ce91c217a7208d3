// kernel32 modules: LoadLibraryA / GetProcAddress / FreeLibrary over the
// system libraries this layer itself provides. There is no loader for other
// files: any other name fails with ERROR_MOD_NOT_FOUND.
#include "handles.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <string>

using namespace w32p;

namespace {

struct ProcEntry {
    const char* name;
    FARPROC proc;
};

// Through void (*)(void), the generic function pointer type.
template <class F> FARPROC Proc(F* f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

struct ModuleInfo {
    const char* name; // lower case, without ".dll"
    const ProcEntry* procs;
    size_t count;
};

constexpr size_t kModuleCount = 3;

// Built on first use: callers may run before this library's static
// initialisers (a dependent library's load-time code, like a DllMain).
const ModuleInfo* Modules() {
    static const ProcEntry advapi32[] = {
        {"SetServiceBits", Proc(&SetServiceBits)},
    };
    static const ProcEntry kernel32[] = {
        {"CloseHandle", Proc(&CloseHandle)},
        {"CreateThread", Proc(&CreateThread)},
        {"ExpandEnvironmentStringsA", Proc(&ExpandEnvironmentStringsA)},
        {"GetCurrentProcess", Proc(&GetCurrentProcess)},
        {"GetCurrentThreadId", Proc(&GetCurrentThreadId)},
        {"GetLastError", Proc(&GetLastError)},
        {"GetVersionExA", Proc(&GetVersionExA)},
        {"SetLastError", Proc(&SetLastError)},
        {"Sleep", Proc(&Sleep)},
    };
    static const ProcEntry user32[] = {
        {"DispatchMessageA", Proc(&DispatchMessageA)},
        {"GetMessageA", Proc(&GetMessageA)},
        {"KillTimer", Proc(&KillTimer)},
        {"PostThreadMessageA", Proc(&PostThreadMessageA)},
        {"SetTimer", Proc(&SetTimer)},
    };
    static const ModuleInfo modules[kModuleCount] = {
        {"advapi32", advapi32, std::size(advapi32)},
        {"kernel32", kernel32, std::size(kernel32)},
        {"user32", user32, std::size(user32)},
    };
    return modules;
}

struct ModuleObject : KernelObject {
    explicit ModuleObject(const ModuleInfo* i) : info(i) {}
    ObjectKind Kind() const override { return ObjectKind::Module; }
    const ModuleInfo* info;
};

// One handle per module for the life of the process, as a system DLL that
// stays mapped; load counts are kept for FreeLibrary's answer only.
struct Loaded {
    std::mutex mutex;
    HMODULE handle[kModuleCount] = {};
    int refs[kModuleCount] = {};
};
Loaded& TheLoaded() {
    static Loaded* loaded = new Loaded;
    return *loaded;
}

// "C:\Windows\System32\AdvApi32.DLL" -> "advapi32".
int FindModule(const char* fileName) {
    std::string name(fileName);
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
        name.resize(name.size() - 4);
    else if (!name.empty() && name.back() == '.') // "name." means no extension
        name.pop_back();
    for (size_t i = 0; i < kModuleCount; ++i)
        if (name == Modules()[i].name)
            return static_cast<int>(i);
    return -1;
}

HMODULE Open(const char* fileName, bool addRef) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int index = FindModule(fileName);
    if (index < 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Loaded& l = TheLoaded();
    std::lock_guard lock(l.mutex);
    if (!l.handle[index]) { // system libraries count as loaded from the start
        HANDLE h = InsertHandle(std::make_shared<ModuleObject>(&Modules()[index]));
        if (!h)
            return nullptr;
        l.handle[index] = static_cast<HMODULE>(h);
    }
    if (addRef)
        ++l.refs[index];
    return l.handle[index];
}

} // namespace

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    return Open(lpLibFileName, true);
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    return Open(lpModuleName, false);
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    auto module = LookupHandleAs<ModuleObject>(static_cast<HANDLE>(hModule), ObjectKind::Module);
    if (!module)
        return nullptr;
    // Names only: values below 0x10000 are ordinals, which this layer has none of.
    if (!lpProcName || reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    for (size_t i = 0; i < module->info->count; ++i)
        if (std::strcmp(module->info->procs[i].name, lpProcName) ==
            0) // case matters, as on Windows
            return module->info->procs[i].proc;
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    auto module = LookupHandleAs<ModuleObject>(static_cast<HANDLE>(hLibModule), ObjectKind::Module);
    if (!module)
        return FALSE;
    Loaded& l = TheLoaded();
    std::lock_guard lock(l.mutex);
    size_t index = static_cast<size_t>(module->info - Modules());
    if (l.refs[index] > 0)
        --l.refs[index];
    return TRUE;
}
