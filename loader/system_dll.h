#pragma once
// DLLs that Windows does not always take from the system folder, loaded from
// there by their full path, never by the default search: a copy planted in
// the program's folder would otherwise run with the program's rights.

#include "tolvane.h"

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
