#pragma once
// Internal helpers of the security functions.
#include <windows.h>

#include <cstddef>

namespace w32p {

// Copies n bytes from an address that may be unmapped without faulting;
// false when any byte is unreadable.
bool SafeCopy(void* dst, const void* src, size_t n);

// The fallback of SafeCopy where process_vm_readv is not allowed: a pipe's
// write() reports EFAULT for unreadable memory instead of faulting.
bool SafeCopyThroughPipe(void* dst, const void* src, size_t n);

// Length of a valid SID held in our own memory (8 + 4 per sub-authority),
// or 0 when the bytes are no valid SID.
size_t SidLength(const BYTE* sid, size_t available);

// Whether `size` bytes at `acl` form a valid ACL (header, every ACE inside
// AclSize, every known ACE's SID valid).
bool AclBytesValid(const BYTE* acl, size_t size);

// The offsets of the parts of a self-relative descriptor whose 20-byte
// header is given (owner, group, SACL, DACL), 0 for a part that is absent
// or whose present bit is clear. False when a part lies inside the header or
// at an offset that is not a multiple of 4 (its SID or ACL would be read
// through a misaligned pointer).
bool RelativePartOffsets(const BYTE* header, DWORD offs[4]);

} // namespace w32p

// Bounds-checked validation of a self-relative descriptor held in `length`
// bytes. Exported by the library but kept out of <windows.h>: the Windows
// headers do not declare it, so code built for Windows cannot call it.
extern "C" BOOL WINAPI IsValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                         ULONG SecurityDescriptorLength,
                                                         SECURITY_INFORMATION RequiredInformation);
