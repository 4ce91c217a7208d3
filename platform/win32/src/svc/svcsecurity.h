#pragma once
// Security descriptors and access checks of the service control manager.
#include <windows.h>

#include <vector>

namespace w32p::scm {

// The parts of a descriptor, each a copied SID or ACL (empty when absent).
struct SdParts {
    std::vector<BYTE> owner, group, dacl, sacl;
    bool hasDacl = false, hasSacl = false; // present (an empty list means a null ACL)
    WORD control = 0;
};

// A new service's descriptor: owner and group LocalSystem; LocalSystem may
// query, start, stop, pause and control; Administrators have full access;
// interactive users and services may query and interrogate;
// failed access by anyone is audited.
std::vector<BYTE> DefaultServiceDescriptor();

// Takes a self-relative or absolute descriptor apart, checking every SID and
// ACL against the bounds. maxLen bounds a self-relative descriptor.
bool ParseDescriptor(const void* sd, size_t maxLen, SdParts& out);

// Takes apart a descriptor kept in the database (a "Security" value): only
// the self-relative form counts, as stored bytes hold no valid pointers.
bool ParseStoredDescriptor(const std::vector<BYTE>& stored, SdParts& out);

// A self-relative descriptor with the parts that info selects.
std::vector<BYTE> BuildSelfRelative(const SdParts& parts, DWORD info);

GENERIC_MAPPING ServiceMapping();
GENERIC_MAPPING ManagerMapping();

// The caller's access to the manager: root gets what it asks, others read
// access only. 0 or ERROR_ACCESS_DENIED.
DWORD CheckManagerAccess(DWORD desired, DWORD& granted);

// The caller's access to a service with descriptor sd (the process token
// against its DACL; ACCESS_SYSTEM_SECURITY needs SeSecurityPrivilege
// enabled). 0, ERROR_ACCESS_DENIED or ERROR_PRIVILEGE_NOT_HELD.
DWORD CheckServiceAccess(const std::vector<BYTE>& sd, DWORD desired, DWORD& granted);

} // namespace w32p::scm
