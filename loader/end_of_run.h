#pragma once
// The end of the loader's run, after the last route ran: the check of every
// route against the routing table, the second runs, the wait for late
// networks, the records of what is missing, the summary and the exit code.

#include "loader/loader.h"
#include "loader/routing_table.h"

// More lines than the summary can name in its sentence.
inline constexpr unsigned kNamedRecordLines = 32;

// One run of the loader, from the clearing command to its summary.
struct LoaderRun {
    const char *toolPath;
    const char *filePath;
    const MIB_IPFORWARDTABLE *before;  // the table as the run began, until the check reads it
    const Addresses *addresses;        // (null if it could not be read), and the addresses
    ToolRun clearing;         // what became of the clearing command
    bool clearingCut;         // ended by the stop, which terminated it
    unsigned routes;          // routes of the file, run or not
    unsigned kept;            // of those, the ones kept for the check
    unsigned recordLines;     // lines that wrote a record
    unsigned lastRecordLine;
    unsigned recordLineNumbers[kNamedRecordLines];  // the first of those lines
};

// Reads the routing table and the addresses as the run begins, and keeps the
// routes through a gateway, which a clearing removes, for the summary.
void NoteTableBefore(LoaderRun &run);

// Counts a line that wrote a record, once however many it wrote.
void NoteRecordLine(LoaderRun &run, unsigned lineNumber);

// Line numbers in file order, as many as fit, then an ellipsis.
struct LineList {
    unsigned count;
    size_t used;
    char text[96];
};
void AddLine(LineList &list, unsigned lineNumber);

// The word for `count` of a thing: `one` for 1, else `many`.
const char *Plural(unsigned long long count, const char *one, const char *many);

// Hands on every route of the run that is recorded as missing, and can be
// compared with the table.
void ForEachRecordedRoute(const LoaderRun &run, void (*take)(const RouteAddresses &route));

// Why the route tool did not add a route, as far as can be told: the
// launch's error code, ERROR_NETWORK_UNREACHABLE (1231) for a gateway on no
// connected network, the tool's exit status, else ERROR_NOT_FOUND (1168).
// `route` is null for a line whose fields are not all addresses.
DWORD MissingRouteCode(ToolRun run, DWORD code, const RouteAddresses *route,
                       const Addresses *addresses);

// Keeps a route of the file for the check at the end of the run, with what
// became of its run (kStopping: it never ran) and its code.
void KeepRoute(LoaderRun &run, const RouteAction &action, ToolRun result, DWORD code);

// After the settle delay, compares every route kept with the routing table.
// Each one missing is run once more as soon as its gateway is on a connected
// network - at once if it is, else when that network comes up within about
// two minutes - and is recorded if it is still missing then. Sets the run's
// exit code (the first missing route's in file order) and writes the summary.
// A stop cuts every wait short: what is missing and not yet recorded is named
// in the summary as what the stop cut off.
void FinishRun(const LoaderRun &run);
