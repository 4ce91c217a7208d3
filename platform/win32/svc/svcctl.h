#pragma once
// Pieces shared by svcctl's verbs: handles, sc's output lines and the exit
// status rule.
#include <windows.h>

#include <cerrno>
#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace svcctl {

// sc's exit status is the Windows error code. A POSIX exit status keeps
// only its low 8 bits (as a Windows program's does under Wine); a code
// whose low byte is 0 exits 1, so that no failure reads as success.
int ExitStatus(DWORD error);

// The system text of a Windows error code.
const char* ErrorText(DWORD code);

// "[SC] <call> FAILED <code>:" with the error's text, on standard output as
// sc writes it; returns the exit status.
int Failed(const char* call, DWORD code);

// A command-line mistake: the message and the verb's usage, exit status
// ERROR_INVALID_COMMAND_LINE (what sc answers).
int UsageError(const std::string& verb, const std::string& message);

// A service or manager handle, closed on scope exit.
struct Sc {
    SC_HANDLE h = nullptr;
    Sc() = default;
    explicit Sc(SC_HANDLE x) : h(x) {}
    Sc(const Sc&) = delete;
    Sc& operator=(const Sc&) = delete;
    ~Sc() {
        if (h)
            CloseServiceHandle(h);
    }
};

// The machine given as "\\name" before the verb (empty: this one).
extern std::string gMachine;
SC_HANDLE OpenManager(DWORD access);

std::string Lower(std::string s);
bool Lookup(const std::map<std::string, DWORD>& table, const std::string& value, DWORD& out);
// A whole decimal number (or 0x hex) into a DWORD.
bool ParseNumber(const std::string& text, DWORD& out);

// sc-style options: "word= value" (or "word=value"); words in any case and
// lower-cased in the result, a word may repeat; only the known words pass.
using Options = std::vector<std::pair<std::string, std::string>>;
bool ParseOptions(const std::vector<std::string>& args, size_t from,
                  std::initializer_list<const char*> known, Options& out, std::string& error);

// The status block of query, queryex, start and the controls; pid and flags
// are printed for the extended form.
void PrintStatus(const std::string& name, const SERVICE_STATUS& st, const std::string* display,
                 const SERVICE_STATUS_PROCESS* extended);
void PrintField(const char* name, const std::string& value);
const char* StateName(DWORD state);

// The names of the Win32 services in the given state (SERVICE_ACTIVE,
// SERVICE_INACTIVE, SERVICE_STATE_ALL), in the manager's order; false with
// the error when the manager does not list them.
bool ServiceNames(SC_HANDLE mgr, DWORD state, std::vector<std::string>& names, DWORD& error);

// Enables a privilege of the process token; false when it cannot be.
bool EnablePrivilege(const char* name);

// Repeats a partial read or write, op(bytes done so far), until `size`
// bytes have gone (EINTR retried); false on an error or the end of data.
template <class Op> bool TransferAll(size_t size, Op op) {
    for (size_t done = 0; done < size;) {
        ssize_t n = op(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The verbs that live in their own files.
int DoSdShow(const std::vector<std::string>& args);
int DoSdSet(const std::vector<std::string>& args);
int DoBoot(const std::vector<std::string>& args);
int DoLogs(const std::vector<std::string>& args);
int DoDebug(const std::vector<std::string>& args);
// The service side of debug: svcctl --debug-attach SOCKET -- PROGRAM ARGS.
int RunDebugAttach(const std::vector<std::string>& args);

} // namespace svcctl
