#pragma once
// The table of named constants offered to scripts, and its lookup.
#include <windows.h>

namespace servane {

enum ConstantKind : DWORD {
    kConstantNotFound = 0,
    kConstantText = 2,
    kConstantNumber = 3,
};

// One entry: for a text constant the four bytes of the value hold the text,
// NUL-terminated.
struct ConstantEntry {
    const char* name;
    union {
        DWORD number;
        char text[4];
    } value;
    DWORD kind;
};

// The table, ended by an entry whose name is null.
extern const ConstantEntry kConstantTable[];

struct ConstantResult {
    DWORD kind = kConstantNotFound;
    DWORD number = 0;           // kind 3
    const char* text = nullptr; // kind 2: points into the table
};

// Finds a name: the first character must match exactly, the whole name then
// without regard to ASCII case. The first matching entry wins.
ConstantResult LookupConstant(const char* name);

} // namespace servane
