#pragma once
// The layer's last-error rule: a function that succeeds leaves the thread's
// last error as it was, unless Windows documents that it sets it. Internal
// calls whose failure the caller handles itself run under a KeepLastError.
#include <windows.h>

namespace w32p {

// Puts the thread's last error back when the scope ends.
class KeepLastError {
public:
    KeepLastError() : saved_(GetLastError()) {}
    KeepLastError(const KeepLastError&) = delete;
    KeepLastError& operator=(const KeepLastError&) = delete;
    ~KeepLastError() { SetLastError(saved_); }

private:
    DWORD saved_;
};

} // namespace w32p
