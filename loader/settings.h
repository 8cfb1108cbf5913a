#pragma once
// What the service reads from the registry, and where each value lies: the
// Windows directory, and the service's own settings under its Parameters key.
// One reader for all of them; a new setting is a key name and a procedure here.

#include "tolvane.h"

// Keys under HKEY_LOCAL_MACHINE.
inline constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\Tolvane\\Parameters";
inline constexpr char kSystemRootValue[] = "SystemRoot";
// A REG_DWORD: other than 0, the service keeps the route file's routes after
// the boot, putting them back when a network comes up.
inline constexpr char kKeepRoutesValue[] = "KeepRoutes";

// Reads a value of a key under HKEY_LOCAL_MACHINE, opening the key path one
// level at a time for querying, each parent closed once its child is open.
// `data` holds *size bytes; *size becomes the size of the value's data, and
// *type, when asked for, its type. Returns 0 or the registry's error code.
LONG ReadSetting(const char *keyPath, const char *name, DWORD *type, BYTE *data, DWORD *size);

// Writes the Windows directory from the registry, terminated, into `buffer`,
// which holds capacity + 1 bytes. Returns 0 on success, 1 on any failure
// (with the thread's last error set to the cause).
int QuerySystemRoot(char *buffer, DWORD capacity);

// Whether the service keeps the routes after the boot: KeepRoutes is a
// REG_DWORD other than 0. Absent, unreadable or of another type: no.
bool KeepRoutes();
