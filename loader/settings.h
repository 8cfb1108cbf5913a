#pragma once
// What the service reads from the registry, and where each value lies: the
// Windows directory, and the service's own settings under the policy key and
// its Parameters key. One reader for all of them; a new setting is a value
// name and a procedure here.

#include "tolvane.h"

// Keys under HKEY_LOCAL_MACHINE. A setting of the service is read under the
// policy key first, where Group Policy writes it (and removes it with the
// policy), then under the service's Parameters key.
inline constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr char kPolicyKey[] = "SOFTWARE\\Policies\\Tolvane";
inline constexpr char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tolvane\\Parameters";
inline constexpr char kSystemRootValue[] = "SystemRoot";
// REG_DWORD settings. KeepRoutes other than 0: the service keeps the route
// file's routes after the boot, putting them back when a network comes up.
// ClearTable 0: the boot clears nothing and adds only the routes the table
// lacks.
inline constexpr char kKeepRoutesValue[] = "KeepRoutes";
inline constexpr char kClearTableValue[] = "ClearTable";

// Reads a value of a key under HKEY_LOCAL_MACHINE, opening the key path one
// level at a time for querying, each parent closed once its child is open.
// `data` holds *size bytes; *size becomes the size of the value's data, and
// *type, when asked for, its type. Returns 0 or the registry's error code.
LONG ReadSetting(const char *keyPath, const char *name, DWORD *type, BYTE *data, DWORD *size);

// Writes the Windows directory from the registry, terminated, into `buffer`,
// which holds capacity + 1 bytes. Returns 0 on success, 1 on any failure
// (with the thread's last error set to the cause).
int QuerySystemRoot(char *buffer, DWORD capacity);

// A setting as the service reads it: on when its REG_DWORD is not 0, the
// first of the two keys that holds one deciding; else its default.
struct Setting {
    bool on;
    const char *from;  // "Group Policy", "Parameters" or "default"
};
Setting ReadFlag(const char *name, bool byDefault);

inline bool KeepRoutes() { return ReadFlag(kKeepRoutesValue, false).on; }
inline bool ClearTable() { return ReadFlag(kClearTableValue, true).on; }
