#pragma once
// The routing table and the machine's addresses, as the IP helper lists them,
// and the one comparison of a route of the route file with them.

#include "loader/route_file.h"
#include "tolvane.h"

#include <iphlpapi.h>

// What a read of the tables holds, in process-wide buffers.
inline constexpr size_t kMaxTableRoutes = 10000;  // rows of the routing table
inline constexpr size_t kMaxAddresses = 1024;     // the machine's IPv4 addresses
// The mask the route tool gives a line without one: a route to one address.
inline constexpr DWORD kHostMask = 0xFFFFFFFF;

// A route as the route tool reads a line: its addresses in network order,
// and the mask kHostMask when the line gives none.
struct RouteAddresses {
    DWORD destination, mask, gateway;
};

// Four decimal numbers from 0 to 255 with dots between them, the only form
// that the route tool reads one way only: a leading zero, for one, may be
// read as octal. The address is stored in network order.
bool ParseAddress(const char *text, DWORD *address);

// The route of a line of two fields or more; false unless each field it
// uses is an IPv4 address.
bool ParseRoute(const RouteFields &fields, RouteAddresses *route);
bool IsDefaultRoute(const RouteAddresses &route);

// The IPv4 forwarding table and the machine's IPv4 addresses, read through
// the IP helper of the system directory into buffers of the process, which
// the next read of the same table overwrites: one thread reads them (the
// loader, or the command line). Null on failure, with *error the cause
// (ERROR_INSUFFICIENT_BUFFER for a table larger than its buffer).
const MIB_IPFORWARDTABLE *ReadRoutingTable(DWORD *error);
const MIB_IPADDRTABLE *ReadAddresses(DWORD *error);

// The one comparison of a route with the routing table: a row with its
// destination and mask whose next hop is its gateway, or, for a gateway that
// is one of the machine's own addresses (a network put on a link), a direct
// row, whatever next hop Windows lists for it. `addresses` may be null. With
// `rowsHeld`, sets the flag of every row that holds the route.
bool InTable(const MIB_IPFORWARDTABLE &table, const MIB_IPADDRTABLE *addresses,
             const RouteAddresses &route, bool *rowsHeld = nullptr);

// Whether one of the machine's addresses on a connected adapter is on the
// gateway's network.
bool OnConnectedNetwork(const MIB_IPADDRTABLE &addresses, DWORD gateway);
