#include "handles.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace w32p {
namespace {

// Values are multiples of 4 starting at 4, as Windows hands them out; freed
// values are reused lowest first so that values stay small.
constexpr uintptr_t kStep = 4;
constexpr uintptr_t kLimit = 0x7ffffffc;

struct Table {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> entries;
    std::vector<uintptr_t> freed; // kept as a min-heap
    uintptr_t next = kStep;
};

Table& TheTable() {
    static Table* table = new Table; // never destroyed: handles outlive static destructors
    return *table;
}

std::shared_ptr<KernelObject> Remove(HANDLE handle, const ObjectKind* kind) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    auto it = t.entries.find(HandleValue(handle));
    if (it == t.entries.end() || (kind && it->second->Kind() != *kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto object = std::move(it->second);
    t.freed.push_back(it->first);
    std::push_heap(t.freed.begin(), t.freed.end(), std::greater<>());
    t.entries.erase(it);
    return object;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    uintptr_t value;
    if (!t.freed.empty()) {
        std::pop_heap(t.freed.begin(), t.freed.end(), std::greater<>());
        value = t.freed.back();
        t.freed.pop_back();
    } else if (t.next <= kLimit) {
        value = t.next;
        t.next += kStep;
    } else {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t.entries.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle, ObjectKind kind) {
    Table& t = TheTable();
    std::lock_guard lock(t.mutex);
    auto it = t.entries.find(HandleValue(handle));
    if (it == t.entries.end() || it->second->Kind() != kind)
        return nullptr;
    return it->second;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, ObjectKind kind) {
    auto object = FindHandle(handle, kind);
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle, ObjectKind kind) {
    return Remove(handle, &kind);
}

std::shared_ptr<KernelObject> RemoveAnyHandle(HANDLE handle) {
    return Remove(handle, nullptr);
}

} // namespace w32p
