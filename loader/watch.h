#pragma once
// After the boot's run, for a service that keeps the route file's routes: it
// watches the machine's networks and, when one changes, puts back what the
// table lacks through the one put-back stage, as /REPAIR does.

#include "loader/end_of_run.h"

// The addresses are read this often while the IP helper has never told of a
// change (it never does on some systems), and for a while after any change...
inline constexpr DWORD kWatchPollMs = 1000;
// ...and else this often: the helper tells of every change.
inline constexpr DWORD kWatchQuietPollMs = 10000;
// After a change, the network settles this long before a pass.
inline constexpr DWORD kWatchSettleMs = 500;
// A pass that ran a route is followed by the next no sooner than this after
// the network event it answered, however often a link flaps. A route it ran
// that the route tool refused, its gateway connected, is run once more this
// much later.
inline constexpr DWORD kPassIntervalMs = 5000;
// A route that goes within this time of a network event (an address that
// appears, goes or changes its connected state, a change the IP helper tells
// of, a resume, a continue) went with it and is put back. One that goes with
// no such event near it was deleted by someone: it stays deleted until the
// next one. Reads stay quick this long after any change.
inline constexpr DWORD kNetworkEventWindowMs = 30000;
// Records of what was put back: one at once after an hour without one, then
// at most one an hour that says how often; a route's missing-route record at
// most once an hour.
inline constexpr DWORD kRecordIntervalMs = 3600000;

// Watches until the service stops. After every network event, once the
// network has settled, it runs a pass over the live route file: the routes
// the table lacks whose gateway is on a connected network are put back, never
// the clearing command. A pass that ran nothing (every gateway of the missing
// routes on no connected network) does not count for the interval. A pause
// holds the watch; a pass under way ends first. At the stop the file is
// checked against the table once more: the first route of the file not in the
// table gives the run's exit code, and one record says what the watch did and
// what the table lacks. With `passFirst` (a start without a boot run) a pass
// comes at once; and without KeepRoutes, after it the watch ends.
void WatchNetworks(const LoaderRun &run, bool passFirst);
