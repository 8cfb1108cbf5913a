#pragma once
// Whether anyone but the machine's administrators can change the route tool:
// the service runs it as LocalSystem, and would run whatever took its place.

#include "loader/loader.h"

inline constexpr size_t kAccountSize = 160;  // an account's name, DOMAIN\name

// Looks for someone other than SYSTEM, Administrators and TrustedInstaller
// (and an owner that is one of them) who holds a right to change the file or
// folder at `path`: write or append to it, delete it, change its permissions
// or its owner, and for a folder add or delete what it holds. `who` is that
// account's name, or empty when there is none. Returns 0, or why the
// descriptor cannot be read (and then no one can be trusted).
DWORD WhoElseMayChange(const char *path, char (&who)[kAccountSize]);

// The route tool and its folder, as the service checks them before it runs
// anything: true when only administrators can change them. A tool in the
// system folder is taken as Windows keeps it. Else `what` is the file or the
// folder, `who` who else may change it (or why that cannot be told), and
// `error` ERROR_ACCESS_DENIED, or why a descriptor could not be read.
struct ToolCheck {
    char what[kPathSize];
    char who[kAccountSize];
    DWORD error;
};
bool RouteToolIsSafe(const char *toolPath, ToolCheck &check);
