#include "loader/loader.h"
#include "loader/routing_table.h"
#include "loader/system_dll.h"

#include <stdio.h>
#include <string.h>

namespace {

using GetIpForwardTableCall = DWORD(WINAPI *)(PMIB_IPFORWARDTABLE, PULONG, BOOL);
using GetIpAddrTableCall = DWORD(WINAPI *)(PMIB_IPADDRTABLE, PULONG, BOOL);
using GetUnicastIpAddressTableCall = DWORD(WINAPI *)(ADDRESS_FAMILY, PMIB_UNICASTIPADDRESS_TABLE *);
using FreeMibTableCall = void(WINAPI *)(PVOID);
using NotifyChangeCall = DWORD(WINAPI *)(PHANDLE, LPOVERLAPPED);
using CancelIPChangeNotifyCall = BOOL(WINAPI *)(LPOVERLAPPED);
using GetIpInterfaceEntryCall = DWORD(WINAPI *)(PMIB_IPINTERFACE_ROW);
using GetAdaptersAddressesCall = ULONG(WINAPI *)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES,
                                                 PULONG);

// Loaded once, never unloaded: the module ends with the process. The first
// two are needed; the others are used where the system has them.
GetIpForwardTableCall g_getIpForwardTable = nullptr;
GetIpAddrTableCall g_getIpAddrTable = nullptr;
GetUnicastIpAddressTableCall g_getUnicastIpAddressTable = nullptr;
FreeMibTableCall g_freeMibTable = nullptr;
NotifyChangeCall g_notifyAddrChange = nullptr;
NotifyChangeCall g_notifyRouteChange = nullptr;
CancelIPChangeNotifyCall g_cancelIpChangeNotify = nullptr;
GetIpInterfaceEntryCall g_getIpInterfaceEntry = nullptr;
GetAdaptersAddressesCall g_getAdaptersAddresses = nullptr;

// The buffers the tables are read into: far too large for a thread's stack.
alignas(MIB_IPFORWARDTABLE) BYTE g_routingTable[sizeof(MIB_IPFORWARDTABLE) +
                                                (kMaxTableRoutes - 1) * sizeof(MIB_IPFORWARDROW)];
alignas(MIB_IPADDRTABLE) BYTE g_addressTable[sizeof(MIB_IPADDRTABLE) +
                                             (kMaxAddresses - 1) * sizeof(MIB_IPADDRROW)];
Addresses g_addresses;
// The interfaces, their names only.
alignas(IP_ADAPTER_ADDRESSES) BYTE g_adapters[65536];

// The IP helper, from the system directory only: it is not among the DLLs
// Windows always takes from there, and a copy planted in the program's folder
// would run as LocalSystem. Returns 0 or the code of the call that failed.
DWORD LoadIpHelper()
{
    if (g_getIpAddrTable != nullptr)
        return 0;
    DWORD error = 0;
    HMODULE module = LoadSystemDll("iphlpapi.dll", &error);
    if (module == nullptr)
        return error;
    const auto forward = Function<GetIpForwardTableCall>(module, "GetIpForwardTable");
    const auto addresses = Function<GetIpAddrTableCall>(module, "GetIpAddrTable");
    if (forward == nullptr || addresses == nullptr)
        return GetLastError();
    g_getUnicastIpAddressTable =
        Function<GetUnicastIpAddressTableCall>(module, "GetUnicastIpAddressTable");
    g_freeMibTable = Function<FreeMibTableCall>(module, "FreeMibTable");
    g_notifyAddrChange = Function<NotifyChangeCall>(module, "NotifyAddrChange");
    g_notifyRouteChange = Function<NotifyChangeCall>(module, "NotifyRouteChange");
    g_cancelIpChangeNotify = Function<CancelIPChangeNotifyCall>(module, "CancelIPChangeNotify");
    g_getIpInterfaceEntry = Function<GetIpInterfaceEntryCall>(module, "GetIpInterfaceEntry");
    g_getAdaptersAddresses = Function<GetAdaptersAddressesCall>(module, "GetAdaptersAddresses");
    g_getIpForwardTable = forward;
    g_getIpAddrTable = addresses;
    return 0;
}

// Whether the duplicate-address state of the address lets it be used: a
// tentative address is still being checked, a duplicate one never works. A
// system without the table (or that cannot read it) says nothing: usable.
bool Usable(const MIB_UNICASTIPADDRESS_TABLE *states, DWORD address)
{
    if (states == nullptr)
        return true;
    for (ULONG i = 0; i < states->NumEntries; ++i) {
        const MIB_UNICASTIPADDRESS_ROW &row = states->Table[i];
        if (row.Address.si_family == AF_INET && row.Address.Ipv4.sin_addr.s_addr == address)
            return row.DadState == IpDadStatePreferred || row.DadState == IpDadStateDeprecated;
    }
    return false;
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

// The machine's IPv4 interfaces and their aliases; null when they cannot be read.
const IP_ADAPTER_ADDRESSES *ReadInterfaces()
{
    auto *first = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(g_adapters);
    ULONG size = sizeof g_adapters;
    constexpr ULONG kNamesOnly = GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST |
                                 GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    return LoadIpHelper() == 0 && g_getAdaptersAddresses != nullptr &&
                   g_getAdaptersAddresses(AF_INET, kNamesOnly, nullptr, first, &size) == NO_ERROR
               ? first
               : nullptr;
}

bool IsMachineAddress(const Addresses &addresses, DWORD address)
{
    for (DWORD i = 0; i < addresses.count; ++i) {
        if (addresses.rows[i].address == address)
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

bool ParseRoute(const LineRoles &line, RouteAddresses *route)
{
    route->mask = kHostMask;
    route->ifIndex = 0;
    for (const char *digit = line.ifIndex; *digit != '\0'; ++digit)
        route->ifIndex = route->ifIndex * 10 + static_cast<DWORD>(*digit - '0');
    return ParseAddress(line.destination, &route->destination) &&
           (line.mask[0] == '\0' || ParseAddress(line.mask, &route->mask)) &&
           ParseAddress(line.gateway, &route->gateway);
}

bool IsDefaultRoute(const RouteAddresses &route)
{
    return route.destination == 0 && route.mask == 0;
}

bool CanBeGateway(DWORD address)
{
    return (address & 0xFF) < 224;  // the first number, in network order
}

void FormatAddress(DWORD address, char (&text)[kFieldSize])
{
    const auto *bytes = reinterpret_cast<const BYTE *>(&address);
    snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

void FormatRoute(const RouteAddresses &route, char (&text)[kRouteTextSize])
{
    char destination[kFieldSize];
    char mask[kFieldSize];
    char gateway[kFieldSize];
    FormatAddress(route.destination, destination);
    FormatAddress(route.mask, mask);
    FormatAddress(route.gateway, gateway);
    snprintf(text, sizeof text, "%s %s %s", destination, mask, gateway);
}

const MIB_IPFORWARDTABLE *ReadRoutingTable(DWORD *error)
{
    return ReadTable<MIB_IPFORWARDTABLE>(g_getIpForwardTable, g_routingTable, error);
}

const Addresses *ReadAddresses(DWORD *error)
{
    const MIB_IPADDRTABLE *table =
        ReadTable<MIB_IPADDRTABLE>(g_getIpAddrTable, g_addressTable, error);
    if (table == nullptr)
        return nullptr;
    MIB_UNICASTIPADDRESS_TABLE *states = nullptr;
    if (g_getUnicastIpAddressTable != nullptr && g_freeMibTable != nullptr &&
        g_getUnicastIpAddressTable(AF_INET, &states) != NO_ERROR)
        states = nullptr;
    // The transient flag says nothing Windows documents: it decides nothing.
    constexpr unsigned short kNotConnected = MIB_IPADDR_DISCONNECTED | MIB_IPADDR_DELETED;
    g_addresses.count = table->dwNumEntries;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW &row = table->table[i];
        g_addresses.rows[i] = {row.dwAddr, row.dwMask, row.dwIndex,
                               row.dwAddr != 0 && row.dwMask != 0 &&
                                   (row.wType & kNotConnected) == 0 && Usable(states, row.dwAddr)};
    }
    if (states != nullptr)
        g_freeMibTable(states);
    return &g_addresses;
}

bool InTable(const MIB_IPFORWARDTABLE &table, const Addresses *addresses,
             const RouteAddresses &route, bool *rowsHeld)
{
    // Windows lists a route through one of its own addresses as a direct
    // route, with 0.0.0.0 or the interface's address as its next hop.
    const bool onLink = addresses == nullptr || IsMachineAddress(*addresses, route.gateway);
    const bool ownInterface = ComparesInterface(addresses, route);
    bool held = false;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_IPFORWARDROW &row = table.table[i];
        if (row.dwForwardDest != route.destination || row.dwForwardMask != route.mask ||
            (row.dwForwardNextHop != route.gateway &&
             !(onLink && row.dwForwardType == MIB_IPROUTE_TYPE_DIRECT)) ||
            (ownInterface && row.dwForwardIfIndex != route.ifIndex))
            continue;
        if (rowsHeld == nullptr)
            return true;
        rowsHeld[i] = held = true;
    }
    return held;
}

bool ComparesInterface(const Addresses *addresses, const RouteAddresses &route)
{
    if (route.ifIndex == 0)
        return false;
    for (DWORD i = 0; addresses != nullptr && i < addresses->count; ++i) {
        const MachineAddress &row = addresses->rows[i];
        if (row.connected && row.ifIndex == route.ifIndex &&
            (row.address & row.mask) == (route.gateway & row.mask))
            return false;
    }
    return true;
}

bool OnConnectedNetwork(const Addresses &addresses, const RouteAddresses &route)
{
    for (DWORD i = 0; i < addresses.count; ++i) {
        const MachineAddress &row = addresses.rows[i];
        if (row.connected && (route.ifIndex != 0
                                  ? row.ifIndex == route.ifIndex
                                  : (row.address & row.mask) == (route.gateway & row.mask)))
            return true;
    }
    return false;
}

bool InterfaceMetric(DWORD ifIndex, DWORD *metric)
{
    if (LoadIpHelper() != 0 || g_getIpInterfaceEntry == nullptr)
        return false;
    MIB_IPINTERFACE_ROW row = {};
    row.Family = AF_INET;
    row.InterfaceIndex = ifIndex;
    if (g_getIpInterfaceEntry(&row) != NO_ERROR)
        return false;
    *metric = row.Metric;
    return true;
}

DWORD InterfaceIndexOf(const char *name, size_t length)
{
    WCHAR wide[kLineSize];
    const int size = static_cast<int>(length < kLineSize ? length : kLineSize - 1);
    int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, size, wide, kLineSize);
    if (chars == 0)
        chars = MultiByteToWideChar(CP_ACP, 0, name, size, wide, kLineSize);
    for (const IP_ADAPTER_ADDRESSES *at = ReadInterfaces(); chars > 0 && at != nullptr;
         at = at->Next) {
        if (at->FriendlyName != nullptr &&
            CompareStringOrdinal(wide, chars, at->FriendlyName, -1, TRUE) == CSTR_EQUAL)
            return at->IfIndex;
    }
    return 0;
}

void InterfaceAliases(DWORD index, unsigned most, char (&text)[kAliasesSize])
{
    size_t used = 0;
    text[0] = '\0';
    for (const IP_ADAPTER_ADDRESSES *at = ReadInterfaces(); at != nullptr && most > 0;
         at = at->Next) {
        if ((index != 0 && at->IfIndex != index) || at->FriendlyName == nullptr)
            continue;
        char alias[kAliasesSize / 2];
        if (WideCharToMultiByte(CP_ACP, 0, at->FriendlyName, -1, alias, sizeof alias, nullptr,
                                nullptr) == 0)
            continue;
        const int added = snprintf(text + used, sizeof text - used, "%s%s", used > 0 ? ", " : "",
                                   alias);
        if (added < 0 || used + static_cast<size_t>(added) >= sizeof text) {
            text[used] = '\0';  // as many as fit
            return;
        }
        used += static_cast<size_t>(added);
        --most;
    }
}

bool NotifyChange(IpChange what, OVERLAPPED &overlapped)
{
    if (LoadIpHelper() != 0 || g_cancelIpChangeNotify == nullptr)
        return false;
    const NotifyChangeCall notify =
        what == IpChange::kAddresses ? g_notifyAddrChange : g_notifyRouteChange;
    HANDLE handle = nullptr;  // the system's, not to be closed
    return notify != nullptr && notify(&handle, &overlapped) == ERROR_IO_PENDING;
}

void CancelChange(OVERLAPPED &overlapped)
{
    g_cancelIpChangeNotify(&overlapped);
}
