#include "handles.h"

#include <gtest/gtest.h>

namespace {
struct Dummy : w32p::KernelObject {
    w32p::ObjectKind Kind() const override { return w32p::ObjectKind::Other; }
};
} // namespace

TEST(Handles, SmallValuesReusedAndKindChecked) {
    HANDLE a = w32p::InsertHandle(std::make_shared<Dummy>());
    HANDLE b = w32p::InsertHandle(std::make_shared<Dummy>());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(w32p::HandleValue(a) % 4, 0u);
    EXPECT_LT(w32p::HandleValue(b), 0x80000000u);
    EXPECT_NE(a, b);
    EXPECT_EQ(w32p::LookupHandle(a, w32p::ObjectKind::Thread), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_NE(w32p::RemoveHandle(a, w32p::ObjectKind::Other), nullptr);
    EXPECT_EQ(w32p::RemoveHandle(a, w32p::ObjectKind::Other), nullptr);
    HANDLE c = w32p::InsertHandle(std::make_shared<Dummy>());
    EXPECT_EQ(c, a); // the lowest freed value comes back first
    w32p::RemoveAnyHandle(b);
    w32p::RemoveAnyHandle(c);
}
