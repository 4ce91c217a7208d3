#pragma once
// The process's handle table. Every Windows handle this layer gives out
// (threads, tokens, registry keys, window stations, desktops, service
// handles) is a small integer value naming an entry here, never a pointer,
// so that it survives a round trip through a 32-bit integer.
#include <windows.h>

#include <memory>

namespace w32p {

enum class ObjectKind {
    Thread,
    Process,
    Token,
    RegistryKey,
    WindowStation,
    Desktop,
    Module,
    ScManager,
    Service,
    ServiceStatus,
    Other,
};

struct KernelObject {
    virtual ~KernelObject() = default;
    virtual ObjectKind Kind() const = 0;
};

// Adds an object and returns its new handle value (never 0, never
// INVALID_HANDLE_VALUE, always below 2^31). Returns 0 only when the table is
// full, with ERROR_NOT_ENOUGH_MEMORY set.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, when it exists and has the wanted kind;
// otherwise null with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, ObjectKind kind);

// The same look-up without touching the last error, for callers that try
// several kinds in turn.
std::shared_ptr<KernelObject> FindHandle(HANDLE handle, ObjectKind kind);

template <class T> std::shared_ptr<T> FindHandleAs(HANDLE handle, ObjectKind kind) {
    return std::static_pointer_cast<T>(FindHandle(handle, kind));
}

template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE handle, ObjectKind kind) {
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}

// Removes the entry and returns its object (null with ERROR_INVALID_HANDLE
// when the handle is not in the table or has another kind). The object lives
// on while other references hold it.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle, ObjectKind kind);

// Removes the entry whatever its kind (CloseHandle).
std::shared_ptr<KernelObject> RemoveAnyHandle(HANDLE handle);

// The handle as a plain number, for messages and tests.
inline uintptr_t HandleValue(HANDLE h) {
    return reinterpret_cast<uintptr_t>(h);
}

} // namespace w32p
