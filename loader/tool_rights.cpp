#include "loader/tool_rights.h"
#include "loader/system_dll.h"

#include <aclapi.h>
#include <stdio.h>
#include <string.h>

namespace {

// A security identifier as the platform lays it out: revision, count of
// sub-authorities, the authority in six bytes, then the sub-authorities.
struct KnownSid {
    BYTE revision, count, authority[6];
    DWORD sub[6];
};
constexpr KnownSid kTrusted[] = {
    {1, 1, {0, 0, 0, 0, 0, 5}, {18}},       // SYSTEM
    {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}},  // Administrators
    {1, 6, {0, 0, 0, 0, 0, 5},              // TrustedInstaller
     {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}},
};
constexpr KnownSid kCreatorOwner = {1, 1, {0, 0, 0, 0, 0, 3}, {0}};  // for what is made inside
constexpr KnownSid kOwnerRights = {1, 1, {0, 0, 0, 0, 0, 3}, {4}};   // the owner's, whoever it is

// Rights that let someone change what runs. A folder's FILE_ADD_FILE and
// FILE_ADD_SUBDIRECTORY are FILE_WRITE_DATA and FILE_APPEND_DATA.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool Is(const void *sid, const KnownSid &known)
{
    const auto *bytes = static_cast<const BYTE *>(sid);
    if (bytes[0] != known.revision || bytes[1] != known.count ||
        memcmp(bytes + 2, known.authority, sizeof known.authority) != 0)
        return false;
    for (size_t i = 0; i < known.count; ++i) {
        DWORD sub;
        memcpy(&sub, bytes + 8 + 4 * i, sizeof sub);
        if (sub != known.sub[i])
            return false;
    }
    return true;
}

bool Trusted(const void *sid)
{
    constexpr size_t kCount = sizeof kTrusted / sizeof kTrusted[0];
    size_t i = 0;
    while (i < kCount && !Is(sid, kTrusted[i]))
        ++i;
    return i < kCount;
}

// Adds DOMAIN\name to the list, or the identifier as S-1-5-... where it has
// no name; once, and as far as it fits.
void AddName(PSID sid, char (&names)[kAccountSize])
{
    char name[kAccountSize];
    char account[64];
    char domain[64];
    DWORD accountSize = sizeof account;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, account, &accountSize, domain, &domainSize, &use)) {
        snprintf(name, sizeof name, "%s%s%s", domain, domain[0] != '\0' ? "\\" : "", account);
    } else {
        const auto *bytes = static_cast<const BYTE *>(sid);
        int used = snprintf(name, sizeof name, "S-%u-%u", bytes[0], bytes[7]);
        for (size_t i = 0; i < bytes[1] && used > 0 && static_cast<size_t>(used) < sizeof name; ++i) {
            DWORD sub;
            memcpy(&sub, bytes + 8 + 4 * i, sizeof sub);
            used += snprintf(name + used, sizeof name - static_cast<size_t>(used), "-%lu",
                             static_cast<unsigned long>(sub));
        }
    }
    const size_t used = strlen(names);
    if (strstr(names, name) == nullptr && used + strlen(name) + 3 < sizeof names)
        snprintf(names + used, sizeof names - used, "%s%s", used > 0 ? ", " : "", name);
}

// Who else may change the file or folder at `path`, in `who`: empty when no
// one. Returns 0, or why the descriptor cannot be read.
DWORD WhoElseMayChange(const char *path, char (&who)[kAccountSize])
{
    who[0] = '\0';
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                             &owner, nullptr, &dacl, nullptr, &descriptor);
    if (read != ERROR_SUCCESS)
        return read;
    // An owner may always change the permissions; without a list of them,
    // everyone may do anything.
    const bool ownerTrusted = owner != nullptr && Trusted(owner);
    if (!ownerTrusted && owner != nullptr)
        AddName(owner, who);
    if (dacl == nullptr)
        snprintf(who, sizeof who, "Everyone");
    for (WORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            continue;
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        PSID sid = const_cast<DWORD *>(&ace->SidStart);
        const bool allows = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                            (ace->Header.AceFlags & INHERIT_ONLY_ACE) == 0 &&
                            (ace->Mask & kChangeRights) != 0;
        if (allows && !Trusted(sid) && !Is(sid, kCreatorOwner) &&
            !(Is(sid, kOwnerRights) && ownerTrusted))
            AddName(sid, who);
    }
    LocalFree(descriptor);
    return 0;
}

}  // namespace

bool OnlyAdministratorsMayChange(const char *path, ToolCheck &check)
{
    snprintf(check.what, sizeof check.what, "%s", path);
    check.error = WhoElseMayChange(path, check.who);
    if (check.error != 0)
        snprintf(check.who, sizeof check.who, "anyone (its permissions cannot be read [%d])",
                 static_cast<int>(check.error));
    else if (check.who[0] != '\0')
        check.error = ERROR_ACCESS_DENIED;
    return check.error == 0;
}

bool RouteToolIsSafe(const char *toolPath, ToolCheck &check)
{
    check = {};
    char folder[kPathSize];
    FolderOf(toolPath, folder);
    char system[kPathSize];
    if (SystemFolder(system) && EqualsIgnoringCase(folder, system))
        return true;
    return OnlyAdministratorsMayChange(toolPath, check) &&
           OnlyAdministratorsMayChange(folder, check);
}
