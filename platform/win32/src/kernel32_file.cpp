// kernel32: environment strings, file attributes and file copies. Windows
// paths go through MapWindowsPath (drive letters map under the state root).
#include "paths.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace {

// Environment names are case-insensitive on Windows: an exact match first,
// then any spelling.
const char* FindEnv(const std::string& name) {
    if (const char* v = getenv(name.c_str()))
        return v;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (!eq || static_cast<size_t>(eq - *e) != name.size())
            continue;
        if (strncasecmp(*e, name.c_str(), name.size()) == 0)
            return eq + 1;
    }
    return nullptr;
}

bool IsDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Windows' code for a failed open or stat of a path.
DWORD ErrorForPath(int err, const std::string& path) {
    switch (err) {
    case ENOENT:
        return IsDir(Parent(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
        return ERROR_DISK_FULL;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Closes a descriptor and removes a temporary file unless released.
struct TempFile {
    int fd = -1;
    std::string path;
    ~TempFile() {
        if (fd >= 0)
            close(fd);
        if (!path.empty())
            unlink(path.c_str());
    }
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

extern "C" DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
    if (!lpSrc || (!lpDst && nSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string out;
    for (const char* p = lpSrc; *p;) {
        const char* close = *p == '%' ? std::strchr(p + 1, '%') : nullptr;
        if (!close) {
            out += *p++;
            continue;
        }
        std::string name(p + 1, close);
        const char* value = name.empty() ? nullptr : FindEnv(name);
        if (value) {
            out += value;
            p = close + 1;
        } else {
            // Unknown: the text stays, and its closing '%' may open the next name.
            out.append(p, close);
            p = close;
        }
    }
    DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (needed <= nSize)
        std::memcpy(lpDst, out.c_str(), needed);
    return needed;
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!*lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string path = w32p::MapWindowsPath(lpFileName);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(ErrorForPath(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attrs = 0;
    if (S_ISDIR(st.st_mode))
        attrs |= FILE_ATTRIBUTE_DIRECTORY;
    else if (S_ISREG(st.st_mode))
        attrs |= FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR))
        attrs |= FILE_ATTRIBUTE_READONLY;
    std::string base = path.substr(path.find_last_of('/') + 1);
    if (base.size() > 1 && base[0] == '.' && base != "..")
        attrs |= FILE_ATTRIBUTE_HIDDEN;
    return attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                                 BOOL bFailIfExists) {
    if (!lpExistingFileName || !lpNewFileName || !*lpExistingFileName || !*lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string from = w32p::MapWindowsPath(lpExistingFileName);
    std::string to = w32p::MapWindowsPath(lpNewFileName);

    Fd in;
    in.fd = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        SetLastError(ErrorForPath(errno, from));
        return FALSE;
    }
    struct stat st;
    if (fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    struct stat dst;
    if (stat(to.c_str(), &dst) == 0) {
        if (S_ISDIR(dst.st_mode)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (bFailIfExists) {
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
    }

    // Copy into a temporary file beside the target and move it into place,
    // so the target is never seen half written.
    TempFile tmp;
    std::string pattern = to + ".copyXXXXXX";
    std::string buffer(pattern);
    tmp.fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (tmp.fd < 0) {
        SetLastError(ErrorForPath(errno, to));
        return FALSE;
    }
    tmp.path = buffer;
    char chunk[65536];
    for (;;) {
        ssize_t n = read(in.fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetLastError(ERROR_READ_FAULT);
            return FALSE;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(tmp.fd, chunk + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
                return FALSE;
            }
            done += w;
        }
    }
    fchmod(tmp.fd, st.st_mode & 07777);
    if (close(tmp.fd) != 0) {
        tmp.fd = -1;
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    tmp.fd = -1;
    if (bFailIfExists) {
        // link() refuses an existing name, closing the race with another writer.
        if (link(tmp.path.c_str(), to.c_str()) != 0) {
            SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrorForPath(errno, to));
            return FALSE;
        }
    } else if (rename(tmp.path.c_str(), to.c_str()) != 0) {
        SetLastError(ErrorForPath(errno, to));
        return FALSE;
    } else {
        tmp.path.clear();
    }
    return TRUE;
}
