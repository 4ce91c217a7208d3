#pragma once
// Where the suite runs and one run of its service program: the pieces that
// the suite and the Wine benchmark share. No test framework here.
#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

namespace suite {

enum class Side { kLayer, kWine, kWindows };

// Where the suite runs (platform_*.cpp).
Side CurrentSide();
const char* SideName();
// Why the suite cannot administer services here, or "" when it can.
std::string SkipReason();
// The service program, as a path the service manager can start.
std::string ServiceProgram();
// A folder for the service programs' reports, made on first use.
std::string ScratchDirectory();

// Milliseconds since `start`.
long long MillisecondsSince(std::chrono::steady_clock::time_point start);

// Polls until `condition` holds, at most `ms` milliseconds.
template <class F> bool WaitFor(F condition, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(10);
    }
    return true;
}

// A name unique within this run, for services and report files.
std::string UniqueName(const char* prefix);

// A service handle closed on scope exit.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~ServiceHandle() { Reset(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    void Reset(SC_HANDLE handle = nullptr) {
        if (m_handle)
            CloseServiceHandle(m_handle);
        m_handle = handle;
    }
    void Close() { Reset(); }
    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

// Opens a service of the local manager directly (not through the core).
SC_HANDLE OpenLocalService(const std::string& name, DWORD access);

// One run of the service program, installed through the core's
// CreateService (demand start) and removed through its DeleteService.
// `options` go to the program's command line (see service_main.cpp).
class ServiceRun {
public:
    explicit ServiceRun(const std::string& options);
    ~ServiceRun();
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    const std::string& name() const { return m_name; }
    bool installed() const { return m_installed; }

    // StartServiceA; false with the error in *error.
    bool Start(DWORD* error = nullptr);
    SERVICE_STATUS Status() const;
    bool WaitForState(DWORD state, int ms = 30000) const;
    // ControlService; the status it returns goes to *status.
    bool Control(DWORD control, SERVICE_STATUS* status, DWORD* error = nullptr) const;

    // The report's lines so far, and waiting for one.
    std::vector<std::string> Report() const;
    bool WaitForLine(const std::string& line, int ms = 30000) const;
    // The state and the report, for failure messages.
    std::string Describe() const;
    // The first line that starts with `prefix`, or "".
    std::string LineStartingWith(const std::string& prefix) const;

private:
    std::string m_name;
    std::string m_reportPath;
    bool m_installed = false;
    ServiceHandle m_service;
};

// Holds the service database lock through a connection of its own.
class HeldLock {
public:
    HeldLock();
    ~HeldLock();
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    bool held() const { return m_lock != nullptr; }

private:
    SC_HANDLE m_manager = nullptr;
    SC_LOCK m_lock = nullptr;
};

} // namespace suite
