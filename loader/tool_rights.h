#pragma once
// Whether anyone but the machine's administrators can change the route tool:
// the service runs it as LocalSystem, and would run whatever took its place.

#include "loader/loader.h"

inline constexpr size_t kAccountSize = 160;  // an account's name, DOMAIN\name

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

// The same for one file or folder: true unless someone other than SYSTEM,
// Administrators and TrustedInstaller (or an owner that is none of them)
// holds a right to change it: write or append to it, delete it, change its
// permissions or its owner, and for a folder add or delete what it holds.
bool OnlyAdministratorsMayChange(const char *path, ToolCheck &check);
