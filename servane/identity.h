#pragma once
// Token, SID and privilege operations of the service library: the process
// user's SID (read at load), its text form, privileges and the user's
// registry hive.
#include <windows.h>

// Size of a buffer that holds any SID as text with its terminator: revision
// and authority up to 255, fifteen sub-authorities of up to ten digits.
constexpr DWORD kSidTextSize = 175;

// Writes the SID as "S-<revision>-<authority>-<sub>-..." into text, which
// holds at least kSidTextSize bytes. Writes nothing when the SID is not
// valid.
void SidToString(char* text, PSID sid);

// Switches a privilege of the token (the process token when token is null)
// on or off. True when AdjustTokenPrivileges succeeded, also for a privilege
// the token does not hold. *changed (when given) tells whether the call
// changed the privilege's state, so that a caller can put it back.
BOOL EnablePrivilege(HANDLE token, LPCSTR name, BOOL enable, bool* changed = nullptr);

// Copies the SID of the token's user into buffer (size bytes).
BOOL GetTokenUserSid(HANDLE token, PSID buffer, DWORD size);

// Copies the SID of the user the process runs as into buffer (size bytes).
// Buffers of 11 bytes or less are refused before the token is opened.
BOOL GetProcessUserSid(HANDLE process, PSID buffer, DWORD size);

// Makes sure the registry hive of the user with this SID is loaded under
// HKEY_USERS (named by the SID's text); loads it from the user's profile
// when it is not. True when it is loaded at the end.
BOOL LoadProfileHive(PSID sid);

// LoadProfileHive the first time only, with the SID it is first given (the
// process user's, gpProcessSid): the library calls it when it first needs
// the registry (an administration call, the service run) rather than at
// load, so that loading the library creates nothing. True when the hive is
// loaded.
BOOL LoadProfileHiveOnce(PSID sid);
