#include "loader/loader.h"
#include "loader/routing_table.h"

#include <stdio.h>
#include <string.h>

namespace {

using GetIpForwardTableCall = DWORD(WINAPI *)(PMIB_IPFORWARDTABLE, PULONG, BOOL);
using GetIpAddrTableCall = DWORD(WINAPI *)(PMIB_IPADDRTABLE, PULONG, BOOL);

constexpr char kIpHelperName[] = "\\iphlpapi.dll";

// Loaded once, never unloaded: the module ends with the process.
GetIpForwardTableCall g_getIpForwardTable = nullptr;
GetIpAddrTableCall g_getIpAddrTable = nullptr;

// The buffers the tables are read into: far too large for a thread's stack.
alignas(MIB_IPFORWARDTABLE) BYTE g_routingTable[sizeof(MIB_IPFORWARDTABLE) +
                                                (kMaxTableRoutes - 1) * sizeof(MIB_IPFORWARDROW)];
alignas(MIB_IPADDRTABLE) BYTE g_addresses[sizeof(MIB_IPADDRTABLE) +
                                          (kMaxAddresses - 1) * sizeof(MIB_IPADDRROW)];

// A function of a module, as the type it has.
template <typename Call>
Call Function(HMODULE module, const char *name)
{
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The IP helper, from the system directory only. It is not among the DLLs
// Windows always takes from there: imported, or loaded by its bare name, it
// would be looked for in the program's folder first, and a copy planted
// there would run as LocalSystem. The DLLs it imports in turn are looked for
// from its own folder, not the program's. Returns 0 or the code of the call
// that failed.
DWORD LoadIpHelper()
{
    if (g_getIpAddrTable != nullptr)
        return 0;
    char path[kPathSize];
    const UINT length = GetSystemDirectoryA(path, kPathSize);
    if (length == 0)
        return GetLastError();
    if (length + sizeof kIpHelperName > sizeof path)
        return ERROR_FILENAME_EXCED_RANGE;
    snprintf(path + length, sizeof path - length, "%s", kIpHelperName);
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr)
        return GetLastError();
    const auto forward = Function<GetIpForwardTableCall>(module, "GetIpForwardTable");
    const auto addresses = Function<GetIpAddrTableCall>(module, "GetIpAddrTable");
    if (forward == nullptr || addresses == nullptr)
        return GetLastError();
    g_getIpForwardTable = forward;
    g_getIpAddrTable = addresses;
    return 0;
}

// Reads a table of the IP helper with `call`, once the helper is loaded, into
// its buffer. A table without rows is read as it is, not as a failure.
template <typename Table, typename Call, size_t Size>
const Table *ReadTable(const Call &call, BYTE (&buffer)[Size], DWORD *error)
{
    *error = LoadIpHelper();
    if (*error != 0)
        return nullptr;
    auto *table = reinterpret_cast<Table *>(buffer);
    ULONG size = Size;
    *error = call(table, &size, FALSE);
    if (*error == ERROR_NO_DATA) {
        table->dwNumEntries = 0;
        *error = 0;
    }
    return *error == 0 ? table : nullptr;
}

bool IsMachineAddress(const MIB_IPADDRTABLE &addresses, DWORD address)
{
    for (DWORD i = 0; i < addresses.dwNumEntries; ++i) {
        if (addresses.table[i].dwAddr == address)
            return true;
    }
    return false;
}

}  // namespace

bool ParseAddress(const char *text, DWORD *address)
{
    BYTE bytes[4];
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.')
            return false;
        unsigned value = 0;
        int digits = 0;
        for (; *text >= '0' && *text <= '9' && digits < 4; ++text, ++digits)
            value = value * 10 + static_cast<unsigned>(*text - '0');
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[-digits] == '0'))
            return false;
        bytes[part] = static_cast<BYTE>(value);
    }
    if (*text != '\0')
        return false;
    memcpy(address, bytes, sizeof bytes);
    return true;
}

bool ParseRoute(const RouteFields &fields, RouteAddresses *route)
{
    const bool masked = fields.count >= kRouteFields;
    route->mask = kHostMask;
    return ParseAddress(fields.field[0], &route->destination) &&
           (!masked || ParseAddress(fields.field[1], &route->mask)) &&
           ParseAddress(fields.field[masked ? 2 : 1], &route->gateway);
}

bool IsDefaultRoute(const RouteAddresses &route)
{
    return route.destination == 0 && route.mask == 0;
}

const MIB_IPFORWARDTABLE *ReadRoutingTable(DWORD *error)
{
    return ReadTable<MIB_IPFORWARDTABLE>(g_getIpForwardTable, g_routingTable, error);
}

const MIB_IPADDRTABLE *ReadAddresses(DWORD *error)
{
    return ReadTable<MIB_IPADDRTABLE>(g_getIpAddrTable, g_addresses, error);
}

bool InTable(const MIB_IPFORWARDTABLE &table, const MIB_IPADDRTABLE *addresses,
             const RouteAddresses &route, bool *rowsHeld)
{
    // Windows lists a route through one of its own addresses as a direct
    // route, with 0.0.0.0 or the interface's address as its next hop.
    const bool onLink = addresses != nullptr && IsMachineAddress(*addresses, route.gateway);
    bool held = false;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = table.table[i];
        if (row.dwForwardDest != route.destination || row.dwForwardMask != route.mask ||
            (row.dwForwardNextHop != route.gateway &&
             !(onLink && row.dwForwardType == MIB_IPROUTE_TYPE_DIRECT)))
            continue;
        if (rowsHeld == nullptr)
            return true;
        rowsHeld[i] = held = true;
    }
    return held;
}

bool OnConnectedNetwork(const MIB_IPADDRTABLE &addresses, DWORD gateway)
{
    // Addresses of an adapter whose cable is out, or going, or not yet usable.
    constexpr unsigned short kNotUsable =
        MIB_IPADDR_DISCONNECTED | MIB_IPADDR_DELETED | MIB_IPADDR_TRANSIENT;
    for (DWORD i = 0; i < addresses.dwNumEntries; ++i) {
        const MIB_IPADDRROW &row = addresses.table[i];
        // An adapter without an address is listed as 0.0.0.0, mask 0.0.0.0.
        if (row.dwAddr != 0 && row.dwMask != 0 && (row.wType & kNotUsable) == 0 &&
            (row.dwAddr & row.dwMask) == (gateway & row.dwMask))
            return true;
    }
    return false;
}
