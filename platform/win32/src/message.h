#pragma once
// Per-thread message queues (user32): posted messages, the quit flag and
// thread timers.
#include "thread.h"

namespace w32p {

// The calling thread's queue, created on its first user32 call.
std::shared_ptr<MessageQueue> CurrentQueue();

// The value GetDesktopWindow returns.
HWND DesktopWindow();

} // namespace w32p
