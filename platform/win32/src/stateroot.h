#pragma once
// Where the layer keeps its persistent state (registry store, service
// database, service status, logs): the directory named by WIN32POSIX_ROOT,
// else a per-user default ($XDG_STATE_HOME/win32posix or
// ~/.local/state/win32posix). Created (mode 0700) on first use.
#include <string>

namespace w32p {

// The state root without a trailing slash; empty when it cannot be created
// (the caller then fails with a Windows error).
const std::string& StateRoot();

// Re-reads WIN32POSIX_ROOT (tests switch roots inside one process).
void ResetStateRootForTests();

} // namespace w32p
