#pragma once
// The system folder, and DLLs that Windows does not always take from there,
// loaded from it by their full path, never by the default search: a copy
// planted in the program's folder would otherwise run with the program's
// rights.

#include "loader/loader.h"

// The system folder; false, with the last error set, when it cannot be read
// or does not fit.
bool SystemFolder(char (&folder)[kPathSize]);

// `path` up to its last backslash; empty when it has none.
void FolderOf(const char *path, char (&folder)[kPathSize]);

// Loads `fileName` from the system folder, the DLLs it imports looked for
// from its own folder, not the program's. Null on failure, with *error the
// cause. Loaded for good: the module ends with the process.
HMODULE LoadSystemDll(const char *fileName, DWORD *error);

// A function of a module, as the type it has; null if it has none.
template <typename Call>
Call Function(HMODULE module, const char *name)
{
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
