#pragma once
// Who may change what the service runs and reads as LocalSystem: the route
// tool and the program (code: only the machine's administrators may change
// them or replace them), and the route file (data: none of the groups that
// every user is in may change it).

#include "loader/loader.h"

inline constexpr size_t kAccountSize = 160;  // an account's name, DOMAIN\name

// What a check found: true when no one it looks for may change the path.
// Else `what` is the file or folder, `who` who may change it (or why that
// cannot be told), and `error` ERROR_ACCESS_DENIED.
struct RightsCheck {
    char what[kPathSize];
    char who[kAccountSize];
    DWORD error;
};

// The route tool as the service checks it before it runs anything: a tool in
// the system folder is taken as Windows keeps it; any other, as a program.
bool RouteToolIsSafe(const char *toolPath, RightsCheck &check);

// A program the service runs: true unless someone other than SYSTEM,
// Administrators and TrustedInstaller owns the file or its folder, or holds a
// right to change them (write or append to them, delete them, change their
// permissions or owner, and for the folder add or delete what it holds), or
// to replace the folder from one of the folders above it (delete what it
// holds, delete it, change its permissions or owner).
bool ProgramIsSafe(const char *path, RightsCheck &check);

// The route file as the service checks it before it steers anything: true
// unless Everyone, Authenticated Users, Users, Interactive, Guests or
// Anonymous owns the file or its folder, or holds a right to change them.
bool RouteFileIsSafe(const char *filePath, RightsCheck &check);
