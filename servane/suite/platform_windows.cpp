// The suite as a Windows program: under Wine, or on Windows itself.
#include "service_run.h"

#include <string>

namespace suite {

Side CurrentSide() {
    // Wine's ntdll exports its version; Windows' does not.
    static const Side side = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")
                                 ? Side::kWine
                                 : Side::kWindows;
    return side;
}

const char* SideName() {
    return CurrentSide() == Side::kWine ? "Wine" : "Windows";
}

std::string SkipReason() {
    return "";
}

std::string ServiceProgram() {
    char path[MAX_PATH] = "";
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string program(path, length);
    size_t slash = program.find_last_of("\\/");
    program.erase(slash == std::string::npos ? 0 : slash + 1);
    return program + "servane_suite_service.exe";
}

std::string ScratchDirectory() {
    char temp[MAX_PATH] = "";
    DWORD length = GetTempPathA(MAX_PATH, temp);
    std::string dir =
        std::string(temp, length) + "servane-suite-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

} // namespace suite
