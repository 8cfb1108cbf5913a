#pragma once
// The routing table and the machine's addresses, as the IP helper lists them,
// and the one comparison of a route of the route file with them.

#include "loader/route_file.h"
#include "tolvane.h"

// The IP helper's address tables are declared with the sockets' types.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

// What a read of the tables holds, in process-wide buffers.
inline constexpr size_t kMaxTableRoutes = 10000;  // rows of the routing table
inline constexpr size_t kMaxAddresses = 1024;     // the machine's IPv4 addresses
// The mask the route tool gives a line without one: a route to one address.
inline constexpr DWORD kHostMask = 0xFFFFFFFF;

// A route as the route tool reads a line: its addresses in network order,
// the mask kHostMask when the line gives none, and the index of the
// interface it names, or 0. Its metric is not kept: Windows lists a route's
// metric with the interface's added, so it is not compared.
struct RouteAddresses {
    DWORD destination, mask, gateway, ifIndex;
};

// Four decimal numbers from 0 to 255 with dots between them, the only form
// that the route tool reads one way only: a leading zero, for one, may be
// read as octal. The address is stored in network order.
bool ParseAddress(const char *text, DWORD *address);

// The route of a line; false unless each of its addresses is an IPv4 address.
bool ParseRoute(const LineRoles &line, RouteAddresses *route);
bool IsDefaultRoute(const RouteAddresses &route);
// False for an address from 224.0.0.0 on (multicast, reserved, the broadcast
// address, and every mask but 0.0.0.0), which no gateway has.
bool CanBeGateway(DWORD address);

// An address as four dotted numbers, and a route as a line of the route file
// gives it: destination, mask and gateway, between blanks.
void FormatAddress(DWORD address, char (&text)[kFieldSize]);
inline constexpr size_t kRouteTextSize = 3 * kFieldSize;
void FormatRoute(const RouteAddresses &route, char (&text)[kRouteTextSize]);

// One of the machine's IPv4 addresses, as Windows reports it.
struct MachineAddress {
    DWORD address, mask;  // in network order
    DWORD ifIndex;        // the index of its interface
    // Its network can be reached now: the address table does not flag it
    // disconnected or deleted, and, where Windows reports it, its
    // duplicate-address state is preferred or deprecated (not tentative,
    // duplicate or invalid). An adapter without an address is listed as
    // 0.0.0.0, mask 0.0.0.0, and is not connected.
    bool connected;
};

struct Addresses {
    DWORD count;
    MachineAddress rows[kMaxAddresses];
};

// The IPv4 forwarding table and the machine's IPv4 addresses, read through
// the IP helper of the system directory into buffers of the process, which
// the next read of the same table overwrites: one thread reads them (the
// loader, or the command line). Null on failure, with *error the cause
// (ERROR_INSUFFICIENT_BUFFER for a table larger than its buffer); a failed
// read of the addresses leaves those of the last read as they were.
const MIB_IPFORWARDTABLE *ReadRoutingTable(DWORD *error);
const Addresses *ReadAddresses(DWORD *error);

// The one comparison of a route with the routing table: a row with its
// destination and mask whose next hop is its gateway, or, for a gateway that
// is one of the machine's own addresses (a network put on a link), a direct
// row, whatever next hop Windows lists for it. Without the addresses (null:
// they could not be read), a direct row with its destination and mask is
// taken for it. A route that names an interface on none of whose connected
// networks its gateway is needs a row of that interface; otherwise the
// gateway says the interface. With `rowsHeld`, sets the flag of every row
// that holds the route.
bool InTable(const MIB_IPFORWARDTABLE &table, const Addresses *addresses,
             const RouteAddresses &route, bool *rowsHeld = nullptr);

// Whether the route is compared with the table by its interface too: it names
// one, and its gateway is on none of that interface's connected networks (an
// interface without the addresses, or with none: always).
bool ComparesInterface(const Addresses *addresses, const RouteAddresses &route);

// Whether the route's gateway can be reached: one of the machine's connected
// addresses is on its network, or, for a route that names an interface, that
// interface has a connected address.
bool OnConnectedNetwork(const Addresses &addresses, const RouteAddresses &route);

// The metric Windows adds to that of each route of the interface; false
// where it cannot be read.
bool InterfaceMetric(DWORD ifIndex, DWORD *metric);

// The index of the interface whose alias is the name (`length` bytes, read
// as UTF-8 where they are UTF-8, else in the ANSI code page), compared
// without regard to case; 0 when no interface has that name now.
DWORD InterfaceIndexOf(const char *name, size_t length);

// The aliases of the machine's interfaces, the first `most` of them, ", "
// between them, in the ANSI code page; of only the interface `index`, if it
// is not 0. "" for none.
inline constexpr size_t kAliasesSize = 192;
void InterfaceAliases(DWORD index, unsigned most, char (&text)[kAliasesSize]);

// What the IP helper can tell of when it changes.
enum class IpChange { kAddresses, kRoutes };

// Asks the IP helper to signal overlapped.hEvent at the next change of the
// machine's addresses or of its routing table; false where it cannot (the
// notification is then not pending). CancelChange ends one still pending.
bool NotifyChange(IpChange what, OVERLAPPED &overlapped);
void CancelChange(OVERLAPPED &overlapped);
