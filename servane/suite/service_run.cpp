#include "service_run.h"

#include "admin.h"

#include <atomic>
#include <cstdio>
#include <fstream>

namespace suite {

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

std::string UniqueName(const char* prefix) {
    static std::atomic<int> counter{0};
    return std::string(prefix) + std::to_string(GetTickCount() % 100000) + "x" +
           std::to_string(++counter);
}

SC_HANDLE OpenLocalService(const std::string& name, DWORD access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return nullptr;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), access);
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    SetLastError(error);
    return service;
}

// --- ServiceRun ------------------------------------------------------------------

ServiceRun::ServiceRun(const std::string& options) : m_name(UniqueName("SuiteRun")) {
    m_reportPath = ScratchDirectory() + m_name + ".log";
    servane::ServiceInfo info;
    info.name = m_name;
    info.display = "Suite run " + m_name;
    info.path = ServiceProgram();
    info.parameters = m_reportPath + " name=" + m_name + (options.empty() ? "" : " " + options);
    info.startType = SERVICE_DEMAND_START;
    m_installed = servane::CreateService(info) == 1;
    if (m_installed)
        m_service.Reset(OpenLocalService(
            m_name, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                        SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL));
}

ServiceRun::~ServiceRun() {
    if (m_service) {
        SERVICE_STATUS status = Status();
        if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != 0) {
            Control(SERVICE_CONTROL_STOP, &status);
            WaitForState(SERVICE_STOPPED);
        }
        m_service.Close();
    }
    if (m_installed)
        servane::DeleteService("", m_name);
    std::remove(m_reportPath.c_str());
}

bool ServiceRun::Start(DWORD* error) {
    BOOL started = StartServiceA(m_service.get(), 0, nullptr);
    if (error)
        *error = started ? 0 : GetLastError();
    return started;
}

SERVICE_STATUS ServiceRun::Status() const {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(m_service.get(), &status))
        status = {};
    return status;
}

bool ServiceRun::WaitForState(DWORD state, int ms) const {
    return WaitFor([&] { return Status().dwCurrentState == state; }, ms);
}

bool ServiceRun::Control(DWORD control, SERVICE_STATUS* status, DWORD* error) const {
    SERVICE_STATUS ignored = {};
    BOOL sent = ControlService(m_service.get(), control, status ? status : &ignored);
    if (error)
        *error = sent ? 0 : GetLastError();
    return sent;
}

std::vector<std::string> ServiceRun::Report() const {
    std::vector<std::string> lines;
    std::ifstream in(m_reportPath);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool ServiceRun::WaitForLine(const std::string& wanted, int ms) const {
    return WaitFor(
        [&] {
            for (const std::string& line : Report())
                if (line == wanted)
                    return true;
            return false;
        },
        ms);
}

std::string ServiceRun::Describe() const {
    std::string text = "state " + std::to_string(Status().dwCurrentState) + ", report:";
    for (const std::string& line : Report())
        text += "\n  " + line;
    return text;
}

std::string ServiceRun::LineStartingWith(const std::string& prefix) const {
    for (const std::string& line : Report())
        if (line.compare(0, prefix.size(), prefix) == 0)
            return line;
    return "";
}

// --- HeldLock ----------------------------------------------------------------------

HeldLock::HeldLock() {
    m_manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    m_lock = m_manager ? LockServiceDatabase(m_manager) : nullptr;
}

HeldLock::~HeldLock() {
    if (m_lock)
        UnlockServiceDatabase(m_lock);
    if (m_manager)
        CloseServiceHandle(m_manager);
}

} // namespace suite
