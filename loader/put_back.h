#pragma once
// The one stage that puts back the routes of the route file that the routing
// table lacks, never clearing it: /REPAIR runs it from a prompt, and the
// service that keeps its routes runs it when a network comes up.

#include "loader/loader.h"
#include "loader/routing_table.h"

// What became of a route of the file that the table lacked.
enum class PutBackOutcome : unsigned char {
    kAdded,         // run, and in the table now
    kBackMeanwhile, // in the table now, though not run by this stage (its run could not
                    // start, or it was not run at all): something else put it there
    kStillMissing,  // run, and not in the table
    kStillRunning,  // its run had not ended when the stage stopped waiting
    kNotRun,        // its gateway is on no connected network, or no interface has
                    // the alias it names, only a check was asked for, or the
                    // service is stopping
};

struct MissingRoute {
    unsigned lineNumber;
    ToolRun run;
    DWORD code;  // why it is not in the table, as its record would say; 0 once there
    RouteAddresses route;
    PutBackOutcome outcome;
    bool ifAbsent;  // it names an interface that no interface is named as yet
    char commandLine[kCommandLineSize];
};

struct PutBack {
    // What the caller asks for.
    const char *toolPath;
    DWORD creationFlags;    // of each route tool run
    bool connectedOnly;     // run only the routes whose gateway is on a connected network
    bool checkOnly;         // run nothing: compare the file with the table
    RouteActor skipped;     // told of each line it does not run for a mistake; may be null
    void *context;
    // What it found.
    unsigned routes;        // routes of the file whose fields are all IPv4 addresses
    unsigned already;       // of those, the ones the table held
    unsigned missing;       // the others, in g_missingRoutes in file order
    unsigned skippedLines;  // lines not run for a mistake: a record, or fields not all addresses
    DWORD error;            // why the routing table could not be read, when it could not
};

// The routes the table lacked when the stage last ran: only one thread runs it.
extern MissingRoute g_missingRoutes[kMaxCheckedRoutes];

// Reads the route file, opened and accepted as the boot opens and accepts it,
// to its end. Each route whose fields are all IPv4 addresses and that the
// table does not hold is run (never the clearing command), with the boot's
// command line, in file order, and waited for as the boot waits for its
// clearing command; a line that cannot land is never run. Then the table is
// read again. Returns false, having run nothing, when the table cannot be read.
bool PutBackRoutes(FILE *file, PutBack &stage);

// Whether the route is in the table at the stage's end, by its run or not.
bool InTableNow(const MissingRoute &route);

// The code of the first route of the file that is not in the table, in file
// order, or 0; unless `waiting`, not of one whose gateway is on no connected
// network (ERROR_NETWORK_UNREACHABLE), which goes in once its network is up.
DWORD FirstMissingCode(const PutBack &stage, bool waiting);
