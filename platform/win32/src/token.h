#pragma once
// The process token: who the process runs as and which privileges it holds.
//
// Identity comes from the effective Unix uid. uid 0 is LocalSystem
// (S-1-5-18) with the system's privileges; any other uid is a local user
// S-1-5-21-<machine>-<1000 + uid> with a standard user's privileges. The
// token is built on first use and shared by every token handle of the
// process, so privilege changes are process-wide.
#include <windows.h>

#include <string>
#include <vector>

namespace w32p {

using SidBytes = std::vector<BYTE>;

struct GroupEntry {
    SidBytes sid;
    DWORD attributes;
};

struct Identity {
    bool system = false; // LocalSystem (uid 0)
    SidBytes user;
    SidBytes owner;        // default owner of new objects
    SidBytes primaryGroup; // primary group
    std::vector<GroupEntry> groups;
    std::string profileFolder; // Windows form, e.g. "C:\Users\name"
};

const Identity& ProcessIdentity();

// Builds a SID from an authority's last byte and sub-authorities.
SidBytes MakeSid(BYTE authority, std::initializer_list<DWORD> subAuthorities);

// "S-1-5-18" style text of a valid SID (empty for an invalid one).
std::string SidText(const void* sid);

// Whether the process token holds the privilege (by LUID low part) enabled.
bool ProcessPrivilegeEnabled(DWORD luid);

// LUID low part of a privilege name (case-insensitive), 0 when unknown.
DWORD PrivilegeLuid(const char* name);

// The three machine sub-authorities of local user SIDs.
void MachineSubAuthorities(DWORD out[3]);

} // namespace w32p

namespace w32p {
// Whether a machine name names this machine: null, "", this host's name, or
// "\\" followed by it (case-insensitive; the short name before a dot counts).
bool IsThisMachine(const char* name);
} // namespace w32p
