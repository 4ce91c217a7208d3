// The service manager's stored-descriptor parser and its access check: the
// input is an access mask, then the bytes stored as a service's "Security"
// value.
//
// Invariants: whatever the layer's bounded validator accepts, the parser
// accepts too; the parser never follows pointers read from stored bytes nor
// reads outside them, also when
// given the generous bound the manager uses for a caller's descriptor;
// rebuilding from the parts and parsing again gives the same parts, and the
// rebuilt form is a fixed point; a selection of parts keeps exactly those;
// the access check answers with one of its documented results and grants
// at least what was asked for.
#include "fuzz.h"

#include "security.h" // IsValidRelativeSecurityDescriptor
#include "svc/svcsecurity.h"

#include <memory>

namespace scm = w32p::scm;

namespace {

bool SameParts(const scm::SdParts& a, const scm::SdParts& b) {
    return a.owner == b.owner && a.group == b.group && a.dacl == b.dacl && a.sacl == b.sacl &&
           a.hasDacl == b.hasDacl && a.hasSacl == b.hasSacl;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("WIN32POSIX_ROOT", fuzz::ScratchDir("svcsecurity").c_str(), 1);
    // The manager's own default must satisfy its own parser.
    std::vector<BYTE> def = scm::DefaultServiceDescriptor();
    scm::SdParts parts;
    FUZZ_CHECK(scm::ParseStoredDescriptor(def, parts));
    FUZZ_CHECK(IsValidRelativeSecurityDescriptor(def.data(), static_cast<ULONG>(def.size()), 0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const DWORD desired = in.u32();
    const DWORD select = in.byte() & 0xF;
    const std::vector<uint8_t> raw = in.rest();
    // An allocation of exactly the stored size, so a read past it is caught.
    std::unique_ptr<BYTE[]> stored(new BYTE[raw.size() ? raw.size() : 1]);
    if (!raw.empty())
        std::memcpy(stored.get(), raw.data(), raw.size());

    scm::SdParts parts;
    std::vector<BYTE> value(raw.begin(), raw.end());
    bool parsed = scm::ParseStoredDescriptor(value, parts);
    bool valid = IsValidRelativeSecurityDescriptor(stored.get(), static_cast<ULONG>(raw.size()), 0);
    FUZZ_CHECK(!valid || parsed);
    if (valid) {
        // SetServiceObjectSecurity's bound for a caller's descriptor.
        scm::SdParts wide;
        FUZZ_CHECK(scm::ParseDescriptor(stored.get(), 0x10000 + 20, wide));
        FUZZ_CHECK(SameParts(parts, wide));
    }
    if (!parsed)
        return 0;

    std::vector<BYTE> built = scm::BuildSelfRelative(parts, 0xF);
    scm::SdParts again;
    FUZZ_CHECK(scm::ParseStoredDescriptor(built, again));
    FUZZ_CHECK(SameParts(parts, again));
    FUZZ_CHECK(scm::BuildSelfRelative(again, 0xF) == built);

    scm::SdParts some;
    std::vector<BYTE> selected = scm::BuildSelfRelative(parts, select);
    FUZZ_CHECK(scm::ParseStoredDescriptor(selected, some));
    FUZZ_CHECK(some.owner ==
               ((select & OWNER_SECURITY_INFORMATION) ? parts.owner : std::vector<BYTE>{}));
    FUZZ_CHECK(some.group ==
               ((select & GROUP_SECURITY_INFORMATION) ? parts.group : std::vector<BYTE>{}));
    FUZZ_CHECK(some.hasDacl == ((select & DACL_SECURITY_INFORMATION) && parts.hasDacl));
    FUZZ_CHECK(some.hasSacl == ((select & SACL_SECURITY_INFORMATION) && parts.hasSacl));

    DWORD granted = 0;
    DWORD err = scm::CheckServiceAccess(built, desired, granted);
    FUZZ_CHECK(err == 0 || err == ERROR_ACCESS_DENIED || err == ERROR_PRIVILEGE_NOT_HELD ||
               err == ERROR_INVALID_SECURITY_DESCR);
    if (err == ERROR_INVALID_SECURITY_DESCR)
        FUZZ_CHECK(!IsValidSecurityDescriptor(built.data()));
    if (err == 0 && !(desired & MAXIMUM_ALLOWED)) {
        GENERIC_MAPPING m = scm::ServiceMapping();
        DWORD wanted = desired;
        MapGenericMask(&wanted, &m);
        FUZZ_CHECK((granted & wanted) == wanted);
    }
    return 0;
}
