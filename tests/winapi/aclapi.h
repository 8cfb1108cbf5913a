#pragma once
// Stand-in for the security calls the product makes: a file's owner and
// access list, and an account's name.

#include <windows.h>

typedef void *PSID;
typedef void *PSECURITY_DESCRIPTOR;
typedef struct _ACL { BYTE AclRevision, Sbz1; WORD AclSize, AceCount, Sbz2; } ACL, *PACL;
typedef struct _ACE_HEADER { BYTE AceType, AceFlags; WORD AceSize; } ACE_HEADER;
typedef struct _ACCESS_ALLOWED_ACE { ACE_HEADER Header; DWORD Mask, SidStart; } ACCESS_ALLOWED_ACE;
typedef int SID_NAME_USE;
enum SE_OBJECT_TYPE { SE_FILE_OBJECT = 1 };

#define OWNER_SECURITY_INFORMATION 0x1u
#define DACL_SECURITY_INFORMATION 0x4u
// Entry kinds, numbered as the platform numbers them.
enum {
    ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE, SYSTEM_AUDIT_ACE_TYPE, SYSTEM_ALARM_ACE_TYPE,
    ACCESS_ALLOWED_COMPOUND_ACE_TYPE, ACCESS_ALLOWED_OBJECT_ACE_TYPE, ACCESS_DENIED_OBJECT_ACE_TYPE,
    SYSTEM_AUDIT_OBJECT_ACE_TYPE, SYSTEM_ALARM_OBJECT_ACE_TYPE, ACCESS_ALLOWED_CALLBACK_ACE_TYPE,
    ACCESS_DENIED_CALLBACK_ACE_TYPE, ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE,
    ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE, SYSTEM_AUDIT_CALLBACK_ACE_TYPE,
    SYSTEM_ALARM_CALLBACK_ACE_TYPE, SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE,
    SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE,
};
#define ACE_OBJECT_TYPE_PRESENT 0x1
#define ACE_INHERITED_OBJECT_TYPE_PRESENT 0x2
#define INHERIT_ONLY_ACE 0x8
#define FILE_WRITE_DATA 0x2u
#define FILE_APPEND_DATA 0x4u
#define FILE_DELETE_CHILD 0x40u
#define DELETE 0x10000u
#define WRITE_DAC 0x40000u
#define WRITE_OWNER 0x80000u
#define GENERIC_ALL 0x10000000u
#define GENERIC_WRITE 0x40000000u

DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, DWORD information, PSID *owner,
                            PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);
BOOL GetAce(PACL acl, DWORD index, LPVOID *ace);
BOOL LookupAccountSidA(LPCSTR system, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
                       LPDWORD domainSize, SID_NAME_USE *use);
HANDLE LocalFree(HANDLE memory);
