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
// The groups every user, or anyone at all, is in.
constexpr KnownSid kEveryonesGroups[] = {
    {1, 1, {0, 0, 0, 0, 0, 1}, {0}},        // Everyone
    {1, 1, {0, 0, 0, 0, 0, 5}, {11}},       // Authenticated Users
    {1, 2, {0, 0, 0, 0, 0, 5}, {32, 545}},  // Users
    {1, 1, {0, 0, 0, 0, 0, 5}, {4}},        // Interactive
    {1, 2, {0, 0, 0, 0, 0, 5}, {32, 546}},  // Guests
    {1, 1, {0, 0, 0, 0, 0, 5}, {7}},        // Anonymous
};

// Rights that let someone change a file or folder. A folder's FILE_ADD_FILE
// and FILE_ADD_SUBDIRECTORY are FILE_WRITE_DATA and FILE_APPEND_DATA.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Rights on a folder above that let someone put another folder in the place
// of one below it; adding to it does not.
constexpr DWORD kReplaceRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// Whose rights a check counts, and which: anyone's but the administrators'
// to change the path; their rights, on a folder above, to replace what lies
// below it; or the rights of the groups everyone is in to change the path.
enum class Rule : unsigned char { kAdministratorsOnly, kFolderAbove, kNoEveryonesGroup };

// Entry kinds that allow nothing: deny, audit and alarm entries, plain,
// callback and object ones.
constexpr DWORD kAllowingNothing =
    1u << ACCESS_DENIED_ACE_TYPE | 1u << ACCESS_DENIED_OBJECT_ACE_TYPE |
    1u << ACCESS_DENIED_CALLBACK_ACE_TYPE | 1u << ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE |
    1u << SYSTEM_AUDIT_ACE_TYPE | 1u << SYSTEM_ALARM_ACE_TYPE | 1u << SYSTEM_AUDIT_OBJECT_ACE_TYPE |
    1u << SYSTEM_ALARM_OBJECT_ACE_TYPE | 1u << SYSTEM_AUDIT_CALLBACK_ACE_TYPE |
    1u << SYSTEM_ALARM_CALLBACK_ACE_TYPE | 1u << SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE |
    1u << SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE;

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

template <size_t N>
bool IsOneOf(const void *sid, const KnownSid (&known)[N])
{
    size_t i = 0;
    while (i < N && !Is(sid, known[i]))
        ++i;
    return i < N;
}

// Where an entry keeps its identifier: past the mask of a plain or callback
// allow entry, past an object allow entry's flags and the GUIDs they name
// (its condition, or its object type, can only narrow what it allows). 0
// for an entry that allows nothing; -1 for a kind not known, or an
// identifier that does not fit the entry: taken as allowing anything.
int SidOffset(const BYTE *entry)
{
    ACE_HEADER header;
    memcpy(&header, entry, sizeof header);
    int offset = -1;
    if (header.AceType == ACCESS_ALLOWED_ACE_TYPE ||
        header.AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
        offset = 8;
    } else if (header.AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
               header.AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE) {
        DWORD flags = 0;
        if (header.AceSize >= 12)
            memcpy(&flags, entry + 8, sizeof flags);
        offset = 12 + ((flags & ACE_OBJECT_TYPE_PRESENT) != 0 ? 16 : 0) +
                 ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? 16 : 0);
    } else if (header.AceType < 32 && (kAllowingNothing >> header.AceType & 1) != 0) {
        return 0;
    }
    const bool fits = offset > 0 && offset + 8 <= header.AceSize &&
                      offset + 8 + 4 * entry[offset + 1] <= header.AceSize;
    return fits ? offset : -1;
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

// Who may change the file or folder at `path` by the rule, in `who`: empty
// when no one. Returns 0, or why the descriptor cannot be read.
DWORD WhoMayChange(const char *path, Rule rule, char (&who)[kAccountSize])
{
    who[0] = '\0';
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // A folder above is read for its entries only: its owner may replace the
    // folder below no more than the entries say.
    const bool above = rule == Rule::kFolderAbove;
    const DWORD read = GetNamedSecurityInfoA(
        path, SE_FILE_OBJECT, (above ? 0 : OWNER_SECURITY_INFORMATION) | DACL_SECURITY_INFORMATION,
        above ? nullptr : &owner, nullptr, &dacl, nullptr, &descriptor);
    if (read != ERROR_SUCCESS)
        return read;
    const auto counts = [rule](const void *sid, bool ownerTrusted) {
        if (rule == Rule::kNoEveryonesGroup)
            return IsOneOf(sid, kEveryonesGroups);
        return !IsOneOf(sid, kTrusted) && !Is(sid, kCreatorOwner) &&
               !(Is(sid, kOwnerRights) && ownerTrusted);
    };
    // An owner may always change the permissions; without a list of them,
    // everyone may do anything.
    const bool ownerTrusted = owner != nullptr && !counts(owner, false);
    if (owner != nullptr && !ownerTrusted)
        AddName(owner, who);
    if (dacl == nullptr)
        snprintf(who, sizeof who, "Everyone");
    const DWORD rights = above ? kReplaceRights : kChangeRights;
    for (WORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            continue;
        const auto *bytes = static_cast<const BYTE *>(entry);
        const int sidAt = SidOffset(bytes);
        if (sidAt < 0) {
            snprintf(who, sizeof who,
                     "anyone (its permissions hold an entry of type %u, which is not understood)",
                     bytes[0]);
            break;
        }
        DWORD mask = 0;
        memcpy(&mask, bytes + 4, sizeof mask);
        if (sidAt > 0 && (bytes[1] & INHERIT_ONLY_ACE) == 0 && (mask & rights) != 0 &&
            counts(bytes + sidAt, ownerTrusted))
            AddName(const_cast<BYTE *>(bytes + sidAt), who);
    }
    LocalFree(descriptor);
    return 0;
}

bool Check(const char *path, Rule rule, RightsCheck &check)
{
    snprintf(check.what, sizeof check.what, "%s", path);
    const DWORD read = WhoMayChange(path, rule, check.who);
    if (read != 0)
        snprintf(check.who, sizeof check.who, "anyone (its permissions cannot be read [%d])",
                 static_cast<int>(read));
    check.error = check.who[0] != '\0' ? ERROR_ACCESS_DENIED : 0;
    return check.error == 0;
}

}  // namespace

bool ProgramIsSafe(const char *path, RightsCheck &check)
{
    check = {};
    char folder[kPathSize];
    FolderOf(path, folder);
    if (!Check(path, Rule::kAdministratorsOnly, check) ||
        !Check(folder, Rule::kAdministratorsOnly, check))
        return false;
    // The folders above it, from the root of its drive down.
    char above[kPathSize];
    for (const char *slash = strchr(folder, '\\'); slash != nullptr;
         slash = strchr(slash + 1, '\\')) {
        const int length = static_cast<int>(slash - folder);
        snprintf(above, sizeof above, "%.*s", length + (length > 0 && slash[-1] == ':' ? 1 : 0),
                 folder);
        if (!Check(above, Rule::kFolderAbove, check))
            return false;
    }
    return true;
}

bool RouteToolIsSafe(const char *toolPath, RightsCheck &check)
{
    check = {};
    char folder[kPathSize];
    FolderOf(toolPath, folder);
    char system[kPathSize];
    if (SystemFolder(system) && EqualsIgnoringCase(folder, system))
        return true;
    return ProgramIsSafe(toolPath, check);
}

bool RouteFileIsSafe(const char *filePath, RightsCheck &check)
{
    check = {};
    char folder[kPathSize];
    FolderOf(filePath, folder);
    return Check(filePath, Rule::kNoEveryonesGroup, check) &&
           Check(folder, Rule::kNoEveryonesGroup, check);
}
