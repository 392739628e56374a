// The worker's confinement on Windows. The run already holds it in a job (no other process, no
// desktop, clipboard, atoms or system settings) without a console; here, once the library is set
// up, it gives its token away: every privilege, then its integrity level down to untrusted, which
// lets it write nothing of the user's and open no process of the user's to change it. Each step
// is read back from the token, since a call that succeeds is not yet a step that took.
#include "confine.h"

#include <windows.h>

#include <vector>

// One class of the token's information; empty, with GetLastError() set, when it cannot be read.
std::vector<char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<char> bytes(size);
    if (size == 0 || !GetTokenInformation(token, kind, bytes.data(), size, &size))
        return {};
    return bytes;
}

namespace {

// The level the worker lowers itself to: untrusted, below even a browser's low-level tabs.
constexpr DWORD workerLevel = SECURITY_MANDATORY_UNTRUSTED_RID;

ConfineStatus failed(ConfineStep step, DWORD error) {
    return ConfineStatus{false, step, static_cast<int>(error)};
}

// Removes every privilege the token holds, enabled or not: a removed privilege cannot be enabled
// again, unlike a disabled one.
ConfineStatus removePrivileges(HANDLE token) {
    std::vector<char> held = tokenInformation(token, TokenPrivileges);
    if (held.empty())
        return failed(ConfineStep::PrivilegesRead, GetLastError());
    auto *privileges = reinterpret_cast<TOKEN_PRIVILEGES *>(held.data());
    if (privileges->PrivilegeCount > 0) {
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
            privileges->Privileges[i].Attributes = SE_PRIVILEGE_REMOVED;
        // It succeeds even when it changed nothing; only its last error tells.
        if (!AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr) ||
            GetLastError() != ERROR_SUCCESS)
            return failed(ConfineStep::PrivilegesRemove, GetLastError());
    }
    held = tokenInformation(token, TokenPrivileges);
    if (held.empty())
        return failed(ConfineStep::PrivilegesRead, GetLastError());
    const DWORD left = reinterpret_cast<const TOKEN_PRIVILEGES *>(held.data())->PrivilegeCount;
    return left == 0 ? ConfineStatus{true, {}, 0} : failed(ConfineStep::PrivilegesLeft, left);
}

// Wine keeps no integrity levels: it takes a new one and goes on reporting the old.
bool onWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Sets the token's integrity level to workerLevel and reads it back; under wine, which keeps
// none, the level read back is the old one unless strict.
ConfineStatus lowerIntegrity(HANDLE token, bool strict) {
    SID level{SID_REVISION, 1, SECURITY_MANDATORY_LABEL_AUTHORITY, {workerLevel}};
    TOKEN_MANDATORY_LABEL label{{&level, SE_GROUP_INTEGRITY}};
    if (!SetTokenInformation(token, TokenIntegrityLevel, &label,
                             static_cast<DWORD>(sizeof label + GetLengthSid(&level))))
        return failed(ConfineStep::IntegritySet, GetLastError());
    const std::vector<char> held = tokenInformation(token, TokenIntegrityLevel);
    if (held.empty())
        return failed(ConfineStep::IntegrityRead, GetLastError());
    const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL *>(held.data())->Label.Sid;
    if (!IsValidSid(sid) || *GetSidSubAuthorityCount(sid) == 0)
        return failed(ConfineStep::IntegrityRead, ERROR_INVALID_SID);
    const DWORD now = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u);
    if (now != workerLevel && (strict || !onWine()))
        return failed(ConfineStep::IntegrityLeft, now);
    return ConfineStatus{true, {}, 0};
}

// Ends any impersonation the worker was started with (the lockdown build's, for setting the
// library up), so that from here on it acts with its own, lowered token alone.
ConfineStatus revert() {
    if (!RevertToSelf())
        return failed(ConfineStep::Revert, GetLastError());
    HANDLE borrowed = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &borrowed)) {
        CloseHandle(borrowed);
        return failed(ConfineStep::Revert, ERROR_ACCESS_DENIED);
    }
    const DWORD error = GetLastError();
    return error == ERROR_NO_TOKEN ? ConfineStatus{true, {}, 0}
                                   : failed(ConfineStep::Revert, error);
}

} // namespace

ConfineStatus confineSelf(const ConfineOptions &options) {
    if (options.refuse)
        return failed(ConfineStep::TokenOpen, ERROR_ACCESS_DENIED);
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(),
                          TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_DEFAULT, &token))
        return failed(ConfineStep::TokenOpen, GetLastError());
    // Privileges first: the token may still be adjusted at its own level.
    ConfineStatus status = removePrivileges(token);
    if (status.ok)
        status = lowerIntegrity(token, options.strictIntegrity);
    CloseHandle(token);
    return status.ok ? revert() : status;
}
