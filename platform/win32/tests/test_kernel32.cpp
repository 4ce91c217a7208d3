// kernel32: version, environment strings, files, console, modules, memory.
#include "paths.h"
#include "temproot.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A private state root for tests that touch files.
class Kernel32Files : public TempStateRoot {
protected:
    void SetUp() override {
        TempStateRoot::SetUp();
        ASSERT_EQ(system(("mkdir -p " + root_ + "/drives/c/Users/x").c_str()), 0);
    }
    void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

} // namespace

TEST(Version, ReportsWindows7AndChecksTheSize) {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof(v);
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(v.dwMajorVersion, 6u);
    EXPECT_EQ(v.dwMinorVersion, 1u);
    EXPECT_EQ(v.dwBuildNumber, 7601u);
    EXPECT_EQ(v.dwPlatformId, 2u);
    EXPECT_EQ(sizeof(v), 148u);

    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof(ex);
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_EQ(ex.wServicePackMajor, 1);

    OSVERSIONINFOA bad{};
    bad.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bad.dwMajorVersion, 0u);
}

TEST(Environment, ExpandsKnownNamesAndKeepsUnknownOnes) {
    setenv("W32K_HOME", "C:\\Users\\x", 1);
    char out[64];
    DWORD n = ExpandEnvironmentStringsA("%W32K_HOME%\\NTUser.dat", out, sizeof(out));
    EXPECT_STREQ(out, "C:\\Users\\x\\NTUser.dat");
    EXPECT_EQ(n, strlen(out) + 1);
    ExpandEnvironmentStringsA("%w32k_home%", out, sizeof(out)); // any case
    EXPECT_STREQ(out, "C:\\Users\\x");
    ExpandEnvironmentStringsA("%NO_SUCH_W32K%;%%;50%;%W32K_HOME%", out, sizeof(out));
    EXPECT_STREQ(out, "%NO_SUCH_W32K%;%%;50%;C:\\Users\\x");
    ExpandEnvironmentStringsA("a%b%W32K_HOME%", out, sizeof(out)); // '%' of an unknown name reopens
    EXPECT_STREQ(out, "a%bC:\\Users\\x");

    // Size protocol: too small returns the needed size and writes nothing.
    char small[4] = "zzz";
    EXPECT_EQ(ExpandEnvironmentStringsA("%W32K_HOME%", small, sizeof(small)), 11u);
    EXPECT_STREQ(small, "zzz");
    EXPECT_EQ(ExpandEnvironmentStringsA("%W32K_HOME%", nullptr, 0), 11u);
    EXPECT_EQ(ExpandEnvironmentStringsA(nullptr, out, sizeof(out)), 0u);
    unsetenv("W32K_HOME");
}

TEST_F(Kernel32Files, AttributesThroughThePathMapping) {
    Write(root_ + "/drives/c/Users/x/NTUser.dat", "hive");
    EXPECT_EQ(GetFileAttributesA("C:\\Users\\x"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA("c:/Users/x/NTUser.dat"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesA((root_ + "/drives/c/Users").c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY)); // POSIX paths pass through
    chmod((root_ + "/drives/c/Users/x/NTUser.dat").c_str(), 0444);
    EXPECT_EQ(GetFileAttributesA("C:\\Users\\x\\NTUser.dat"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(GetFileAttributesA("C:\\Users\\x\\missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\Nowhere\\missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // The Parts test FILE_ATTRIBUTE_DIRECTORY on the result: a missing file has it set.
    EXPECT_NE(GetFileAttributesA("C:\\missing") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Kernel32Files, DotDotStopsAtTheDriveRoot) {
    using w32p::MapWindowsPath;
    EXPECT_EQ(MapWindowsPath("C:\\..\\..\\etc\\x"), root_ + "/drives/c/etc/x");
    EXPECT_EQ(MapWindowsPath("c:/../../registry.db"), root_ + "/drives/c/registry.db");
    EXPECT_EQ(MapWindowsPath("C:\\Users\\.\\x\\..\\y\\"), root_ + "/drives/c/Users/y");
    EXPECT_EQ(MapWindowsPath("D:\\a\\..\\..\\b"), root_ + "/drives/d/b");
    EXPECT_EQ(MapWindowsPath("C:\\.."), root_ + "/drives/c");
    EXPECT_EQ(MapWindowsPath("C:\\...\\..x"), root_ + "/drives/c/.../..x"); // plain names
    EXPECT_EQ(MapWindowsPath("../x"), "../x"); // POSIX and relative paths pass through

    // The state root's own store cannot be reached through a drive path.
    Write(root_ + "/registry.db", "store");
    EXPECT_EQ(GetFileAttributesA("c:/../../registry.db"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(CopyFileA("C:\\..\\registry.db", "C:\\Users\\x\\copy.db", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Kernel32Files, CopyFileHonoursFailIfExists) {
    std::string src = root_ + "/drives/c/Users/x/a.dat";
    Write(src, std::string(200000, 'q'));
    ASSERT_TRUE(CopyFileA("C:\\Users\\x\\a.dat", "C:\\Users\\x\\b.dat", TRUE));
    EXPECT_EQ(Read(root_ + "/drives/c/Users/x/b.dat"), std::string(200000, 'q'));

    Write(src, "new");
    EXPECT_FALSE(CopyFileA("C:\\Users\\x\\a.dat", "C:\\Users\\x\\b.dat", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(Read(root_ + "/drives/c/Users/x/b.dat").size(), 200000u); // untouched
    ASSERT_TRUE(CopyFileA("C:\\Users\\x\\a.dat", "C:\\Users\\x\\b.dat", FALSE));
    EXPECT_EQ(Read(root_ + "/drives/c/Users/x/b.dat"), "new");

    EXPECT_FALSE(CopyFileA("C:\\Users\\x\\none.dat", "C:\\Users\\x\\c.dat", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileA("C:\\Users\\x\\a.dat", "C:\\Users\\x", TRUE)); // a folder
    EXPECT_FALSE(CopyFileA("C:\\Users\\x\\a.dat", "C:\\No\\Dir\\c.dat", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // No temporary files left behind by any of these.
    EXPECT_EQ(system(("test $(ls " + root_ + "/drives/c/Users/x | wc -l) -eq 2").c_str()), 0);
}

TEST(Console, OneConsolePerProcess) {
    FreeConsole(); // whatever the start state
    EXPECT_FALSE(FreeConsole());
    EXPECT_TRUE(AllocConsole());
    EXPECT_FALSE(AllocConsole());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(FreeConsole());
    EXPECT_TRUE(AllocConsole());
}

TEST(Modules, AdvApi32ResolvesSetServiceBits) {
    HMODULE a = LoadLibraryA("AdvApi32.dll");
    ASSERT_NE(a, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(a), 0x80000000u);
    EXPECT_EQ(LoadLibraryA("ADVAPI32"), a);
    EXPECT_EQ(LoadLibraryA("C:\\Windows\\System32\\advapi32.DLL"), a);
    FARPROC p = GetProcAddress(a, "SetServiceBits");
    EXPECT_EQ(reinterpret_cast<void*>(p), reinterpret_cast<void*>(&SetServiceBits));
    EXPECT_EQ(GetProcAddress(a, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(a, "setservicebits"), nullptr); // export names keep their case
    EXPECT_EQ(LoadLibraryA("nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(nullptr, "SetServiceBits"), nullptr);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_FALSE(CloseHandle(a)); // not a kernel object
}

TEST(Memory, ReadProcessMemoryNeverFaults) {
    long page = sysconf(_SC_PAGESIZE);
    char* map = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    memset(map, 'a', 2 * page);
    ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
    char buf[64];
    SIZE_T got = 99;
    EXPECT_TRUE(ReadProcessMemory(GetCurrentProcess(), map + page - 64, buf, 64, &got));
    EXPECT_EQ(got, 64u);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_FALSE(ReadProcessMemory(GetCurrentProcess(), map + page - 32, buf, 64, &got));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PARTIAL_COPY));
    EXPECT_FALSE(ReadProcessMemory(GetCurrentProcess(), nullptr, buf, 4, nullptr));
    EXPECT_FALSE(ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(~uintptr_t{0}),
                                   buf, 4, nullptr));
    EXPECT_TRUE(ReadProcessMemory(GetCurrentProcess(), nullptr, buf, 0, nullptr));
    munmap(map, 2 * page);

    void* p = LocalAlloc(LPTR, 32);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<char*>(p)[31], 0);
    EXPECT_EQ(LocalFree(p), nullptr);
    void* h = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 16);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, h));
    EXPECT_EQ(HeapAlloc(nullptr, 0, 16), nullptr);
}
