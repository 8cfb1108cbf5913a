#pragma once
// Names shared by every part of Tolvane.

#include <windows.h>

// The service name. It is also the display name, the name in the dispatch
// table and the handler registration, the event-log source, and the name
// printed in every outcome message.
inline constexpr char kServiceName[] = "Tolvane";
