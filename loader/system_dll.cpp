#include "loader/system_dll.h"
#include "loader/loader.h"

#include <stdio.h>
#include <string.h>

bool SystemFolder(char (&folder)[kPathSize])
{
    const UINT length = GetSystemDirectoryA(folder, kPathSize);
    if (length > 0 && length < kPathSize)
        return true;
    if (length != 0)
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    folder[0] = '\0';
    return false;
}

void FolderOf(const char *path, char (&folder)[kPathSize])
{
    snprintf(folder, kPathSize, "%s", path);
    char *slash = strrchr(folder, '\\');
    *(slash != nullptr ? slash : folder) = '\0';
}

HMODULE LoadSystemDll(const char *fileName, DWORD *error)
{
    char path[kPathSize];
    if (!SystemFolder(path)) {
        *error = GetLastError();
        return nullptr;
    }
    const size_t length = strlen(path);
    const int added = snprintf(path + length, kPathSize - length, "\\%s", fileName);
    if (added < 0 || length + static_cast<size_t>(added) >= kPathSize) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    *error = module == nullptr ? GetLastError() : 0;
    return module;
}
