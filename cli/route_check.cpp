#include "cli/cli.h"
#include "loader/loader.h"
#include "loader/routing_table.h"
#include "report/report.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr char kDefaultRoute[] = "0.0.0.0";

// The lines of the plan, and what the check found, as it reads the file.
struct Plan {
    const MIB_IPFORWARDTABLE *table;  // the routing table now, or null if unreadable
    const Addresses *addresses;  // the machine's addresses now, or null
    bool refused;                     // the boot refuses the file: nothing runs
    bool clears;                      // the boot clears the table (ClearTable)
    unsigned routes;                  // route tool runs that add a route
    unsigned readableRoutes;          // of those, the ones whose fields are all addresses
    unsigned inTable;                 // of those, the ones the table holds now
    unsigned waiting;                 // the others whose gateway is on no connected network
    unsigned recordLines;             // lines that write a record
    unsigned lastRecordLine;
    unsigned mistakes;                // mistakes named
    bool addsDefaultRoute;
};

// A mistake printed under its line.
struct Mistakes {
    Plan &plan;
    const char *where;
};

void PrintMistake(const char *text, void *context)
{
    Mistakes &line = *static_cast<Mistakes *>(context);
    printf("%-9s mistake: %s\n", line.where, text);
    ++line.plan.mistakes;
}

// Rows of the routing table that a route of the file holds: the clearing
// command removes the others through a gateway for good. Of those, the line
// that means to add one back but cannot, for a mistake.
bool g_rowInFile[kMaxTableRoutes];
unsigned g_rowTriedBy[kMaxTableRoutes];

// Whether a line holds this text as a field, among the first three or after.
bool HoldsField(const RouteFields &line, const char *text)
{
    const size_t length = strlen(text);
    for (int i = 0; i < line.count && i < kCopiedFields; ++i) {
        if (line.length[i] == length && memcmp(line.text[i], text, length) == 0)
            return true;
    }
    constexpr char kSeparators[] = " \t\n\v\f\r";
    for (const char *at = line.rest; at != nullptr && *at != '\0';) {
        const size_t field = strcspn(at, kSeparators);
        if (field == length && memcmp(at, text, length) == 0)
            return true;
        at += field;
        at += strspn(at, kSeparators);
    }
    return false;
}

// A line that is no route for a mistake may still name a route of the table,
// its destination and its gateway among its fields (the word MASK kept, a
// pasted command, an option): that row is one it means to add back.
void MarkRowsTried(const Plan &plan, const RouteFields &line, unsigned lineNumber)
{
    for (DWORD i = 0; plan.table != nullptr && i < plan.table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = plan.table->table[i];
        char destination[kFieldSize];
        char gateway[kFieldSize];
        FormatAddress(row.dwForwardDest, destination);
        FormatAddress(row.dwForwardNextHop, gateway);
        if (g_rowTriedBy[i] == 0 && HoldsField(line, destination) && HoldsField(line, gateway))
            g_rowTriedBy[i] = lineNumber;
    }
}

// The record a line writes, in an administrator's words; a mistake of its
// line when the boot refuses the file and writes no such record.
void PrintRecord(Plan &plan, const RouteAction &action, const char *where)
{
    char words[kRecordWordsSize];
    DescribeRecord(action, words);
    if (plan.refused) {
        Mistakes line{plan, where};
        PrintMistake(words, &line);
        return;
    }
    printf("%-9s report %s (%s)\n", where, action.failedStep->name, words);
    // A line can write two records; it is one line to fix.
    if (action.lineNumber != plan.lastRecordLine)
        ++plan.recordLines;
    plan.lastRecordLine = action.lineNumber;
}

// What the routing table says of a route of the file.
enum class Verdict { kNotCompared, kNeverInTable, kInTable, kNotInTable, kWaiting, kNoInterface };

const char *VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::kNeverInTable: return " (never in the table: a field is not an address)";
    case Verdict::kInTable: return " (in the table)";
    case Verdict::kNotInTable: return " (not in the table)";
    case Verdict::kWaiting: return " (not in the table: waiting for its network)";
    case Verdict::kNoInterface: return " (not in the table: waiting for its interface)";
    default: return "";
    }
}

// What the check finds on the line of a route beyond its mistakes, decided
// before anything of it is printed: each finding is one condition.
struct RouteFindings {
    bool readable;  // every field used an IPv4 address
    RouteAddresses route;
    Verdict verdict;
    bool unreachableGateway;
    bool hostRouteOfNetwork;  // no mask, and a destination that names a network
    bool interfaceCompared;   // the gateway is on no connected network of the interface named
};

RouteFindings Examine(const Plan &plan, const LineRoles &line)
{
    RouteFindings found = {};
    found.readable = ParseRoute(line, &found.route);
    if (plan.table != nullptr)
        found.verdict = !found.readable ? Verdict::kNeverInTable
                        : InTable(*plan.table, plan.addresses, found.route, g_rowInFile)
                            ? Verdict::kInTable
                            : Verdict::kNotInTable;
    found.unreachableGateway = found.readable && plan.addresses != nullptr &&
                               !OnConnectedNetwork(*plan.addresses, found.route);
    // It goes in once its network (or its interface) comes up, at boot or,
    // kept, after it.
    if (found.verdict == Verdict::kNotInTable && (found.unreachableGateway || line.ifAbsent))
        found.verdict = line.ifAbsent ? Verdict::kNoInterface : Verdict::kWaiting;
    const size_t length = strlen(line.destination);
    // A mask taken for the gateway is a mistake of its own.
    found.hostRouteOfNetwork = found.readable && line.mask[0] == '\0' &&
                               CanBeGateway(found.route.gateway) &&
                               strcmp(line.destination + length - 2, ".0") == 0;
    found.interfaceCompared = found.readable && ComparesInterface(plan.addresses, found.route);
    return found;
}

// The interface a line names by its alias, or the names there are.
void PrintInterface(const LineRoles &line, const char *where)
{
    const int length = static_cast<int>(line.ifNameLength);
    if (!line.ifAbsent) {
        printf("%-9s note: IF \"%.*s\" is interface %s now\n", where, length, line.ifName,
               line.ifIndex);
        return;
    }
    char aliases[kAliasesSize];
    InterfaceAliases(0, 5, aliases);
    printf("%-9s note: no interface has the name \"%.*s\" now; there are: %s\n", where, length,
           line.ifName, aliases);
}

// A route the service would add: its command line, whether the table holds
// it, and every finding on its line.
void PrintRoute(Plan &plan, const RouteAction &action, const char *where)
{
    const LineRoles &line = *action.roles;
    const RouteFindings found = Examine(plan, line);
    if (!plan.refused) {
        ++plan.routes;
        plan.readableRoutes += found.readable ? 1 : 0;
        plan.inTable += found.verdict == Verdict::kInTable ? 1 : 0;
        plan.waiting +=
            found.verdict == Verdict::kWaiting || found.verdict == Verdict::kNoInterface ? 1 : 0;
        plan.addsDefaultRoute =
            plan.addsDefaultRoute || (found.readable && IsDefaultRoute(found.route));
        // With the alias no interface has now, the boot runs it once one has.
        printf(line.ifAbsent ? "%-9s run %s IF \"%.*s\"%s\n" : "%-9s run %s%.*s%s\n", where,
               action.commandLine, static_cast<int>(line.ifAbsent ? line.ifNameLength : 0),
               line.ifName != nullptr ? line.ifName : "", VerdictText(found.verdict));
    }
    if (line.ifName != nullptr)
        PrintInterface(line, where);
    Mistakes mistakes{plan, where};
    ForEachMistake(line, PrintMistake, &mistakes);
    if (!found.readable)
        MarkRowsTried(plan, line.fields, action.lineNumber);
    if (found.unreachableGateway)
        printf("%-9s note: the gateway %s is on no connected network of this machine now; the "
               "boot will wait up to 2 minutes for that network\n",
               where, line.gateway);
    if (found.hostRouteOfNetwork)
        printf("%-9s note: without a mask this is a route to the one address %s; give a mask "
               "for a network\n",
               where, line.destination);
    if (found.interfaceCompared)
        printf("%-9s note: compared with the table by destination, mask, gateway and interface "
               "%s, not by metric (Windows shows it with the interface's added)\n",
               where, line.ifIndex);
    else if (line.metric[0] != '\0' || line.ifIndex[0] != '\0')
        printf("%-9s note: compared with the table by destination, mask and gateway, not by "
               "metric (Windows shows it with the interface's added)%s\n",
               where, line.ifIndex[0] != '\0' ? " nor by interface, which the gateway gives" : "");
}

// Prints the action instead of taking it, and what the check finds on its line.
void PrintAction(const RouteAction &action, void *context)
{
    Plan &plan = *static_cast<Plan *>(context);
    char where[24];
    if (action.lineNumber == 0)
        snprintf(where, sizeof where, "first:");
    else
        snprintf(where, sizeof where, "line %u:", action.lineNumber);

    if (action.roles == nullptr) {
        if (action.failedStep != nullptr)
            PrintRecord(plan, action, where);
        else if (!plan.refused && plan.clears)
            printf("%-9s run %s\n", where, action.commandLine);  // the clearing command
        return;
    }
    if (action.commandLine != nullptr) {
        PrintRoute(plan, action, where);
        return;
    }
    if (action.failedStep != nullptr) {
        PrintRecord(plan, action, where);
        // What comes of the rest of a long line follows, as an action of its own.
        if (action.failedStep == &kStepLineTooLong)
            return;
        MarkRowsTried(plan, action.roles->fields, action.lineNumber);
    }
    Mistakes mistakes{plan, where};
    ForEachMistake(*action.roles, PrintMistake, &mistakes);
}

// The routes through a gateway that the clearing command removes and no
// line of the file adds back (one put there by hand, by route -p, by a VPN
// client or an agent, one that a line means to add but cannot, the default
// route), each as a line of the route file that would keep it.
void PrintRemovedRoutes(const Plan &plan)
{
    if (!plan.clears) {
        printf("Removed at boot: nothing, as ClearTable is 0\n");
        return;
    }
    bool listed = false;
    for (DWORD i = 0; i < plan.table->dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = plan.table->table[i];
        if (row.dwForwardType != MIB_IPROUTE_TYPE_INDIRECT || g_rowInFile[i])
            continue;
        if (!listed)
            printf("Removed at boot, as no line adds them back (to keep one, copy its line into "
                   "the route file):\n");
        listed = true;
        const RouteAddresses route = {row.dwForwardDest, row.dwForwardMask, row.dwForwardNextHop,
                                      row.dwForwardIfIndex};
        char line[kRouteTextSize];
        FormatRoute(route, line);
        // Windows lists the route's own metric with the interface's added.
        char metric[24] = "";
        DWORD added = 0;
        if (InterfaceMetric(row.dwForwardIfIndex, &added) && row.dwForwardMetric1 > added &&
            row.dwForwardMetric1 - added <= 9999)
            snprintf(metric, sizeof metric, " METRIC %lu",
                     static_cast<unsigned long>(row.dwForwardMetric1 - added));
        char alias[kAliasesSize] = "";
        if (row.dwForwardIfIndex != 0)
            InterfaceAliases(row.dwForwardIfIndex, 1, alias);
        char about[kAliasesSize + 128];
        snprintf(about, sizeof about, "in the table%s%s%s, not in the file", alias[0] ? " (interface " : "",
                 alias, alias[0] ? ")" : "");
        if (g_rowTriedBy[i] != 0)
            snprintf(about, sizeof about, "in the table; line %u means to add it, but has a mistake",
                     g_rowTriedBy[i]);
        else if (IsDefaultRoute(route))
            snprintf(about, sizeof about, "the default route, in the table, not in the file: "
                     "often DHCP's, and then not for a file many machines share");
        char ifIndex[16] = "";
        if (row.dwForwardIfIndex != 0)
            snprintf(ifIndex, sizeof ifIndex, " IF %lu",
                     static_cast<unsigned long>(row.dwForwardIfIndex));
        printf("    %s%s%s  # %s\n", line, metric, ifIndex, about);
    }
}

}  // namespace

DWORD CheckRouteFile(const char *draftPath)
{
    // The route file in place, named by its path, is checked as in place.
    char live[kPathSize];
    if (draftPath != nullptr && FindRouteFile(live) && EqualsIgnoringCase(draftPath, live))
        draftPath = nullptr;
    Registration registration;
    ReadRegistration(registration);
    PrintRegistration(registration);
    RouteFileOpened opened;
    FILE *file = OpenAsTheBoot(draftPath, registration, opened);
    if (file == nullptr)
        return opened.error;
    if (opened.start == FileStart::kUtf8Mark)
        printf("Note: the file starts with a UTF-8 byte-order mark, which is skipped\n");

    DWORD tableError = 0;
    const MIB_IPFORWARDTABLE *table = ReadRoutingTable(&tableError);
    if (table == nullptr)
        printf("Warning: can't read the routing table [%d]; routes are not compared\n",
               static_cast<int>(tableError));

    // Read as the boot reads it: a file without a route is refused, and the
    // boot then runs nothing and writes no record but that.
    Plan plan = {};
    plan.clears = registration.clearTable.on || registration.error != 0;
    plan.refused = PrintRefusal(file);
    plan.mistakes += plan.refused ? 1 : 0;
    // A route tool, or a route file in place, that the boot refuses: it runs
    // nothing of the file either.
    const bool unsafe = !opened.toolSafe || (draftPath == nullptr && !opened.fileSafe);
    plan.refused = plan.refused || unsafe;
    plan.table = table;
    DWORD addressError = 0;
    plan.addresses = ReadAddresses(&addressError);
    memset(g_rowInFile, 0, sizeof g_rowInFile);
    memset(g_rowTriedBy, 0, sizeof g_rowTriedBy);
    ForEachRouteAction(file, PrintAction, &plan);
    fclose(file);

    if (!plan.refused && table != nullptr)
        PrintRemovedRoutes(plan);
    if (!plan.refused && !plan.addsDefaultRoute && plan.clears)
        printf("Warning: no line adds a default route (destination %s), and %s -f removes the "
               "one there is\n",
               kDefaultRoute, kRouteToolName);
    char waiting[48] = "";
    if (plan.waiting > 0)
        snprintf(waiting, sizeof waiting, ", waiting for their network: %u", plan.waiting);
    if (table != nullptr && !plan.refused)
        printf("Routes to add: %u, in the table now: %u%s, lines with records: %u, mistakes: %u\n",
               plan.routes, plan.inTable, waiting, plan.recordLines, plan.mistakes);
    else
        printf("Routes to add: %u, lines with records: %u, mistakes: %u\n", plan.routes,
               plan.recordLines, plan.mistakes);
    // A tool or file the boot refuses keeps every route out, and /REPAIR
    // cannot mend that; after a boot, a route missing from the table is what
    // a health check looks for, whatever else the file holds, then a service
    // that cannot do its work; a draft is not in place yet.
    if (unsafe)
        return ERROR_ACCESS_DENIED;
    if (draftPath == nullptr && table != nullptr &&
        plan.inTable + plan.waiting < plan.readableRoutes)
        return ERROR_NOT_FOUND;
    if (const DWORD health = draftPath == nullptr ? ServiceHealth(registration) : 0)
        return health;
    if (plan.refused || plan.recordLines > 0 || plan.mistakes > 0)
        return ERROR_INVALID_DATA;
    return 0;
}
