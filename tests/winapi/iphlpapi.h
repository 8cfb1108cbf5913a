#pragma once
// Stand-in for the IP helper header in the host build: the IPv4 forwarding
// table and the IPv4 addresses, as the fake in fake_win32.cpp answers them.

#include <windows.h>

typedef struct _MIB_IPFORWARDROW {
    DWORD dwForwardDest;  // addresses in network order
    DWORD dwForwardMask;
    DWORD dwForwardPolicy;
    DWORD dwForwardNextHop;
    DWORD dwForwardIfIndex;
    DWORD dwForwardType;
    DWORD dwForwardProto;
    DWORD dwForwardAge;
    DWORD dwForwardNextHopAS;
    DWORD dwForwardMetric1, dwForwardMetric2, dwForwardMetric3, dwForwardMetric4;
    DWORD dwForwardMetric5;
} MIB_IPFORWARDROW, *PMIB_IPFORWARDROW;
#define MIB_IPROUTE_TYPE_DIRECT 3  // dwForwardType
#define MIB_IPROUTE_TYPE_INDIRECT 4

typedef struct _MIB_IPFORWARDTABLE {
    DWORD dwNumEntries;
    MIB_IPFORWARDROW table[1];
} MIB_IPFORWARDTABLE, *PMIB_IPFORWARDTABLE;

typedef struct _MIB_IPADDRROW {
    DWORD dwAddr, dwIndex, dwMask;  // addresses in network order
    DWORD dwBCastAddr, dwReasmSize;
    unsigned short unused1, wType;
} MIB_IPADDRROW, *PMIB_IPADDRROW;
#define MIB_IPADDR_DISCONNECTED 0x0008  // wType
#define MIB_IPADDR_DELETED 0x0040
#define MIB_IPADDR_TRANSIENT 0x0080

typedef struct _MIB_IPADDRTABLE {
    DWORD dwNumEntries;
    MIB_IPADDRROW table[1];
} MIB_IPADDRTABLE, *PMIB_IPADDRTABLE;

// What the product reads of the unicast address table: the address and its
// duplicate-address state.
typedef unsigned short ADDRESS_FAMILY;
#ifndef AF_INET
#define AF_INET 2
#endif
typedef struct {
    ADDRESS_FAMILY sin_family;
    unsigned short sin_port;
    struct { DWORD s_addr; } sin_addr;
} SOCKADDR_IN;
typedef union { SOCKADDR_IN Ipv4; ADDRESS_FAMILY si_family; } SOCKADDR_INET;
typedef enum {
    IpDadStateInvalid, IpDadStateTentative, IpDadStateDuplicate, IpDadStateDeprecated,
    IpDadStatePreferred
} NL_DAD_STATE;
typedef struct { SOCKADDR_INET Address; NL_DAD_STATE DadState; } MIB_UNICASTIPADDRESS_ROW;
typedef struct {
    ULONG NumEntries;
    MIB_UNICASTIPADDRESS_ROW Table[1];
} MIB_UNICASTIPADDRESS_TABLE, *PMIB_UNICASTIPADDRESS_TABLE;

// What the product reads of an interface: its metric (not given here).
typedef struct { ADDRESS_FAMILY Family; DWORD InterfaceIndex; ULONG Metric; } MIB_IPINTERFACE_ROW,
    *PMIB_IPINTERFACE_ROW;

// What the product reads of an interface's adapter: its index and its alias.
typedef struct _IP_ADAPTER_ADDRESSES {
    DWORD IfIndex;
    struct _IP_ADAPTER_ADDRESSES *Next;
    WCHAR *FriendlyName;
} IP_ADAPTER_ADDRESSES, *PIP_ADAPTER_ADDRESSES;
#define GAA_FLAG_SKIP_UNICAST 0x1u
#define GAA_FLAG_SKIP_ANYCAST 0x2u
#define GAA_FLAG_SKIP_MULTICAST 0x4u
#define GAA_FLAG_SKIP_DNS_SERVER 0x8u

ULONG GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                           PIP_ADAPTER_ADDRESSES addresses, PULONG size);
DWORD GetIpForwardTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL order);
DWORD GetIpAddrTable(PMIB_IPADDRTABLE table, PULONG size, BOOL order);
DWORD GetUnicastIpAddressTable(ADDRESS_FAMILY family, PMIB_UNICASTIPADDRESS_TABLE *table);
void FreeMibTable(PVOID memory);
DWORD NotifyAddrChange(PHANDLE handle, LPOVERLAPPED overlapped);
DWORD NotifyRouteChange(PHANDLE handle, LPOVERLAPPED overlapped);
BOOL CancelIPChangeNotify(LPOVERLAPPED overlapped);
