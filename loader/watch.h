#pragma once
// After the boot's run, for a service that keeps the route file's routes: it
// watches the machine's addresses and, when a network comes up, puts back
// what the table lacks through the one put-back stage, as /REPAIR does.

#include "loader/end_of_run.h"

// The addresses are read at least this often, whether or not the IP helper
// tells of a change (it never does on some systems).
inline constexpr DWORD kWatchPollMs = 1000;
// After a connected address appears, the network settles this long first.
inline constexpr DWORD kWatchSettleMs = 1000;
// Passes come no more often than this, however often a link flaps.
inline constexpr DWORD kPassIntervalMs = 5000;

// Watches until the service stops. When a connected address appears (or the
// service continues after a pause) it runs a pass over the live route file:
// the routes the table lacks whose gateway is on a connected network are put
// back, never the clearing command. A pass that put back routes writes one
// information record; a route still missing after its pass is recorded once,
// until it has been in the table again. A pause holds the watch. At the stop
// the file is checked against the table once more, and the first route of
// the file not in the table gives the run's exit code.
void WatchAddresses(const LoaderRun &run);
