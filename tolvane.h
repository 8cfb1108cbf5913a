#pragma once
// Names shared by every part of Tolvane.

#include <windows.h>

// The service name. It is also the display name, the name in the dispatch
// table and the handler registration, the event-log source, and the name
// printed in every outcome message.
inline constexpr char kServiceName[] = "Tolvane";

// Whether two texts are equal but for the case of their ASCII letters.
inline bool EqualsIgnoringCase(const char *text, const char *expected)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (; *text != '\0' && *expected != '\0'; ++text, ++expected) {
        if (lower(*text) != lower(*expected))
            return false;
    }
    return *text == *expected;
}
