#include "loader/system_dll.h"
#include "loader/loader.h"

#include <stdio.h>

HMODULE LoadSystemDll(const char *fileName, DWORD *error)
{
    char path[kPathSize];
    const UINT length = GetSystemDirectoryA(path, kPathSize);
    const int added = length == 0 || length >= kPathSize
                          ? -1
                          : snprintf(path + length, kPathSize - length, "\\%s", fileName);
    if (added < 0 || length + static_cast<size_t>(added) >= kPathSize) {
        *error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    *error = module == nullptr ? GetLastError() : 0;
    return module;
}
