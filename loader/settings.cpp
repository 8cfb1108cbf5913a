#include "loader/settings.h"

#include <string.h>

LONG ReadSetting(const char *keyPath, const char *name, DWORD *type, BYTE *data, DWORD *size)
{
    HKEY key = HKEY_LOCAL_MACHINE;
    char level[128];
    for (const char *at = keyPath; *at != '\0';) {
        const size_t length = strcspn(at, "\\");
        if (length >= sizeof level)
            return ERROR_FILENAME_EXCED_RANGE;
        memcpy(level, at, length);
        level[length] = '\0';
        at += length + (at[length] == '\\' ? 1 : 0);
        HKEY child = nullptr;
        const LONG opened = RegOpenKeyExA(key, level, 0, KEY_QUERY_VALUE, &child);
        if (key != HKEY_LOCAL_MACHINE)
            RegCloseKey(key);
        if (opened != ERROR_SUCCESS)
            return opened;
        key = child;
    }
    const LONG read = RegQueryValueExA(key, name, nullptr, type, data, size);
    if (key != HKEY_LOCAL_MACHINE)
        RegCloseKey(key);
    return read;
}

int QuerySystemRoot(char *buffer, DWORD capacity)
{
    DWORD size = capacity;
    const LONG read = ReadSetting(kCurrentVersionKey, kSystemRootValue, nullptr,
                                  reinterpret_cast<BYTE *>(buffer), &size);
    if (read != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(read));
        return 1;
    }
    // Registry data need not be terminated.
    buffer[size < capacity ? size : capacity] = '\0';
    return 0;
}

Setting ReadFlag(const char *name, bool byDefault)
{
    static constexpr struct {
        const char *key, *from;
    } kKeys[] = {{kPolicyKey, "Group Policy"}, {kParametersKey, "Parameters"}};
    for (const auto &key : kKeys) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (ReadSetting(key.key, name, &type, reinterpret_cast<BYTE *>(&value), &size) ==
                ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof value)
            return {value != 0, key.from};
    }
    return {byDefault, "default"};
}
