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
    const MIB_IPADDRTABLE *addresses;  // the machine's addresses now, or null
    bool refused;                     // the boot refuses the file: nothing runs
    unsigned routes;                  // route tool runs that add a route
    unsigned readableRoutes;          // of those, the ones whose fields are all addresses
    unsigned inTable;                 // of those, the ones the table holds now
    unsigned reportedLines;           // lines that write a record
    unsigned lastReportedLine;
    unsigned mistakes;                // mistakes named
    bool addsDefaultRoute;
};

void PrintMistake(Plan &plan, const char *where, const char *text)
{
    printf("%-9s mistake: %s\n", where, text);
    ++plan.mistakes;
}

// Rows of the routing table that a route of the file holds: the clearing
// command removes the others through a gateway for good.
bool g_rowInFile[kMaxTableRoutes];

// The record a line writes, in an administrator's words; a mistake of its
// line when the boot refuses the file and writes no such record.
void PrintRecord(Plan &plan, const RouteAction &action, const char *where)
{
    char words[96];
    DescribeRecord(action, words);
    if (plan.refused) {
        PrintMistake(plan, where, words);
        return;
    }
    printf("%-9s report %s (%s)\n", where, action.failedStep, words);
    // A line can write two records; it is one line to fix.
    if (action.lineNumber != plan.lastReportedLine)
        ++plan.reportedLines;
    plan.lastReportedLine = action.lineNumber;
}

// Whether a field holds a byte outside printable ASCII, or a comma: copied
// from a web page, a chat or a list.
bool HasOddBytes(const RouteFields &line, int index)
{
    for (size_t k = 0; k < line.length[index]; ++k) {
        const auto c = static_cast<unsigned char>(line.text[index][k]);
        if (c <= ' ' || c >= 0x7F || c == ',')
            return true;
    }
    return false;
}

// What the routing table says of a route of the file.
enum class Verdict { kNotCompared, kCannotTell, kInTable, kNotInTable };

const char *VerdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::kCannotTell: return " (cannot tell)";
    case Verdict::kInTable: return " (in the table)";
    case Verdict::kNotInTable: return " (not in the table)";
    default: return "";
    }
}

// What the check finds on the line of a route, decided before anything of it
// is printed: each finding is one condition.
struct RouteFindings {
    bool readable;  // every field used an IPv4 address
    RouteAddresses route;
    Verdict verdict;
    unsigned notAnAddress;  // a bit for each field used that is not an IPv4 address
    bool bitsOutsideMask;
    bool extraFields;
    bool pastedCommand;  // "route add ...", as typed at a prompt
    bool maskWord;       // "destination MASK mask gateway", the route tool's word kept
    bool unreachableGateway;
    bool hostRouteOfNetwork;  // no mask, and a destination that names a network
};

RouteFindings Examine(const Plan &plan, const RouteFields &line)
{
    RouteFindings found = {};
    const bool masked = line.count >= kRouteFields;
    found.readable = ParseRoute(line, &found.route);
    for (int i = 0; i < (masked ? 3 : 2); ++i) {
        DWORD address;
        found.notAnAddress |= ParseAddress(line.field[i], &address) ? 0 : 1u << i;
    }
    if (plan.table != nullptr)
        found.verdict = !found.readable ? Verdict::kCannotTell
                        : InTable(*plan.table, plan.addresses, found.route, g_rowInFile)
                            ? Verdict::kInTable
                            : Verdict::kNotInTable;
    const RouteAddresses &route = found.route;
    found.bitsOutsideMask = found.readable && (route.destination & route.mask) != route.destination;
    found.extraFields = line.rest != nullptr;
    found.pastedCommand =
        EqualsIgnoringCase(line.field[0], "route") || EqualsIgnoringCase(line.field[0], "route.exe");
    found.maskWord = line.count > kRouteFields && EqualsIgnoringCase(line.field[1], "mask");
    found.unreachableGateway = found.readable && plan.addresses != nullptr &&
                               !OnConnectedNetwork(*plan.addresses, route.gateway);
    const size_t length = strlen(line.field[0]);
    found.hostRouteOfNetwork =
        found.readable && !masked && strcmp(line.field[0] + length - 2, ".0") == 0;
    return found;
}

// A route the service would add: its command line, whether the table holds
// it, and every finding on its line.
void PrintRoute(Plan &plan, const RouteAction &action, const char *where)
{
    const RouteFields &line = *action.fields;
    const RouteFindings found = Examine(plan, line);
    if (!plan.refused) {
        ++plan.routes;
        plan.readableRoutes += found.readable ? 1 : 0;
        plan.inTable += found.verdict == Verdict::kInTable ? 1 : 0;
        plan.addsDefaultRoute =
            plan.addsDefaultRoute || (found.readable && IsDefaultRoute(found.route));
        printf("%-9s run %s%s\n", where, action.commandLine, VerdictText(found.verdict));
    }

    const int gateway = line.count >= kRouteFields ? 2 : 1;
    char text[kLineSize + 96];
    // A habit named says what to write instead; the fields it moved would
    // only mislead.
    if (found.pastedCommand) {
        PrintMistake(plan, where,
                     "this is a route command as typed at a prompt, not a line of the route "
                     "file: keep only its destination, mask and gateway, without \"route\", "
                     "\"add\" and \"mask\"");
        return;
    }
    if (found.maskWord) {
        snprintf(text, sizeof text,
                 "drop the word \"%s\": a line is the destination, the mask and the gateway, "
                 "as in %s %s %.*s",
                 line.field[1], line.field[0], line.field[2],
                 static_cast<int>(strcspn(line.rest, " \t\n\v\f\r")), line.rest);
        PrintMistake(plan, where, text);
        return;
    }
    for (int i = 0; i <= gateway; ++i) {
        // A field with bytes no address has gets a mistake of its own.
        if ((found.notAnAddress & (1u << i)) == 0 || HasOddBytes(line, i))
            continue;
        snprintf(text, sizeof text,
                 "the %s \"%s\" is not an IPv4 address (four numbers from 0 to 255, with dots); "
                 "the route tool will refuse or misread the line",
                 FieldName(i, line.count), line.field[i]);
        PrintMistake(plan, where, text);
    }
    if (found.bitsOutsideMask) {
        snprintf(text, sizeof text,
                 "the destination %s has bits outside the mask %s; the route tool will refuse "
                 "the line",
                 line.field[0], line.field[1]);
        PrintMistake(plan, where, text);
    }
    if (found.extraFields) {
        int length = static_cast<int>(strlen(line.rest));
        while (length > 0 && static_cast<unsigned char>(line.rest[length - 1]) <= ' ')
            --length;
        snprintf(text, sizeof text,
                 "\"%.*s\" after the gateway is ignored: a line holds a destination, a mask "
                 "and a gateway only",
                 length, line.rest);
        PrintMistake(plan, where, text);
    }
    if (found.unreachableGateway)
        printf("%-9s note: the gateway %s is on no connected network of this machine now; the "
               "boot will wait up to 2 minutes for that network\n",
               where, line.field[gateway]);
    if (found.hostRouteOfNetwork)
        printf("%-9s note: without a mask this is a route to the one address %s; give a mask "
               "for a network\n",
               where, line.field[0]);
}

// What a field's bytes say of where it was copied from: a byte outside
// printable ASCII, or a comma, shown with such bytes escaped (\xA0).
void PrintOddBytes(Plan &plan, const RouteFields &line, const char *where)
{
    for (int i = 0; i < line.count && i < kRouteFields; ++i) {
        if (!HasOddBytes(line, i))
            continue;
        char shown[kLineSize * 4];
        size_t used = 0;
        bool nonBreaking = false;
        bool comma = false;
        for (size_t k = 0; k < line.length[i]; ++k) {
            const auto c = static_cast<unsigned char>(line.text[i][k]);
            const bool plain = c > ' ' && c < 0x7F;
            nonBreaking = nonBreaking || c == 0xA0;
            comma = comma || c == ',';
            used += static_cast<size_t>(
                snprintf(shown + used, sizeof shown - used, plain ? "%c" : "\\x%02X", c));
        }
        char text[sizeof shown + 192];
        snprintf(text, sizeof text, "the %s \"%s\" holds %s: separate fields with plain blanks or tabs",
                 FieldName(i, line.count), shown,
                 nonBreaking ? "\\xA0, a non-breaking space as copied from a web page or a chat"
                 : comma     ? "a comma, which separates nothing"
                             : "bytes that no address has (shown as \\xNN)");
        PrintMistake(plan, where, text);
    }
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

    if (action.failedStep != nullptr) {
        PrintRecord(plan, action, where);
    } else if (action.fields == nullptr) {
        if (!plan.refused)
            printf("%-9s run %s\n", where, action.commandLine);  // the clearing command
        return;
    } else if (action.commandLine != nullptr) {
        PrintRoute(plan, action, where);
    } else if (action.fields->count == 1) {
        char text[kFieldSize + 64];
        snprintf(text, sizeof text, "only one field, \"%s\"; the line is skipped",
                 action.fields->field[0]);
        PrintMistake(plan, where, text);
    }
    if (action.fields == nullptr)
        return;
    PrintOddBytes(plan, *action.fields, where);
    if (action.fields->loneCr)
        PrintMistake(plan, where,
                     action.fields->comment
                         ? "the file's line ends are old Mac ones (a CR alone), so the boot reads "
                           "it as one line and the routes after its \"#\" are inside that "
                           "comment; save it with Windows line ends (CR LF)"
                         : "the file's line ends are old Mac ones (a CR alone), so the boot reads "
                           "it as one line; save it with Windows line ends (CR LF)");
}

void FormatAddress(DWORD address, char (&text)[kFieldSize])
{
    const auto *bytes = reinterpret_cast<const BYTE *>(&address);
    snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// The routes through a gateway that the clearing command removes and no
// line of the file adds back: one put there by hand, by route -p, by a VPN
// client or an agent. The default route has a warning of its own.
void PrintRemovedRoutes(const MIB_IPFORWARDTABLE &table)
{
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = table.table[i];
        if (row.dwForwardType != MIB_IPROUTE_TYPE_INDIRECT || g_rowInFile[i] ||
            IsDefaultRoute({row.dwForwardDest, row.dwForwardMask, row.dwForwardNextHop}))
            continue;
        char destination[kFieldSize];
        char mask[kFieldSize];
        char gateway[kFieldSize];
        FormatAddress(row.dwForwardDest, destination);
        FormatAddress(row.dwForwardMask, mask);
        FormatAddress(row.dwForwardNextHop, gateway);
        printf("Removed at boot: %s MASK %s %s (not in the file)\n", destination, mask, gateway);
    }
}

}  // namespace

DWORD CheckRouteFile(const char *draftPath)
{
    PrintRegistration();
    RouteFileOpened opened;
    FILE *file = OpenAsTheBoot(draftPath, opened);
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
    plan.refused = PrintRefusal(file);
    plan.mistakes += plan.refused ? 1 : 0;
    plan.table = table;
    DWORD addressError = 0;
    plan.addresses = ReadAddresses(&addressError);
    memset(g_rowInFile, 0, sizeof g_rowInFile);
    ForEachRouteAction(file, PrintAction, &plan);
    fclose(file);

    if (!plan.refused && table != nullptr)
        PrintRemovedRoutes(*table);
    if (!plan.refused && !plan.addsDefaultRoute)
        printf("Warning: no line adds a default route (destination %s), and %s -f removes the "
               "one there is\n",
               kDefaultRoute, kRouteToolName);
    if (table != nullptr && !plan.refused)
        printf("Routes to add: %u, in the table now: %u, lines to report: %u, mistakes: %u\n",
               plan.routes, plan.inTable, plan.reportedLines, plan.mistakes);
    else
        printf("Routes to add: %u, lines to report: %u, mistakes: %u\n", plan.routes,
               plan.reportedLines, plan.mistakes);
    if (plan.refused)
        return ERROR_INVALID_DATA;
    // After a boot, a route missing from the table is what a health check
    // looks for, whatever else the file holds; a draft is not in place yet.
    if (draftPath == nullptr && table != nullptr && plan.inTable < plan.readableRoutes)
        return ERROR_NOT_FOUND;
    if (plan.reportedLines > 0 || plan.mistakes > 0)
        return ERROR_INVALID_DATA;
    return 0;
}
