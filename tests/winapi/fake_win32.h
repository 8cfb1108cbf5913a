#pragma once
// Control side of the stand-in Win32 layer: tests script what the platform
// answers and read back, in order, what the product asked of it.
//
// Misuse (a handle closed twice, used after close or of the wrong kind, a
// status report without a handler registration) is collected as problems;
// handles still open at the end of a test are reported by LeakedHandles.

#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// Forget everything: handles, logs, scripts, registry, services.
void Reset();

// Misuse seen so far, one line each.
std::vector<std::string> Problems();

// Descriptions of handles still open, other than those in `allowed`.
std::vector<std::string> LeakedHandles(const std::vector<HANDLE> &allowed = {});

// Names of the platform calls made, in order.
std::vector<std::string> Calls();
int CallCount(const std::string &name);

// The `nth` call of `name` from now on (1 = the next one) fails with `error`,
// and so do the `times - 1` calls after it. Registry calls return the error.
void FailCall(const std::string &name, DWORD error, int nth = 1, int times = 1);

// Every later successful call of `name` leaves `error` as the thread's last
// error, as some platform calls do.
void LeaveErrorOnSuccess(const std::string &name, DWORD error);

// SearchPathA answers for `fileName` with `path` (a search given a folder,
// only if it is that path's); a path longer than the caller's limit makes it
// return the length it would need.
void SetSearchResult(const std::string &fileName, const std::string &path);
// Each search as "FILE NAME in FOLDER GIVEN OR CURRENT DIRECTORY", in order.
std::vector<std::string> Searches();

// The process's current directory (at first kConsoleDirectory), the system
// directory, and the path of the running program.
inline constexpr char kConsoleDirectory[] = "C:\\Users\\admin";
inline constexpr char kSystemDirectory[] = "C:\\WINNT35\\system32";
std::string CurrentDirectory();
void SetModulePath(const std::string &path);
// A file or folder that exists for GetFileAttributesA, beside the host's own
// files and the running program. Administrators own every path, and only
// they and SYSTEM may change it, unless BUILTIN\Users may change this one.
void AddFile(const std::string &path, bool usersMayChange = false);
// Who owns a path ("Administrators", "Users" or "another account"), and
// BUILTIN\Users' entry in its access list: its kind and its rights.
struct Rights {
    DWORD usersMask = 0x1200a9;  // read and run
    BYTE usersEntry = 0;         // ACCESS_ALLOWED_ACE_TYPE
    std::string owner = "Administrators";
};
void SetRights(const std::string &path, const Rights &rights);

// The IPv4 forwarding table GetIpForwardTable reads: destination, mask and
// gateway of each row, dotted. Empty at first; a route tool run that exits
// with 0 adds the route of its command line, unless scripted not to.
struct TableRoute {
    std::string destination, mask, gateway;
    DWORD type = 4;  // MIB_IPROUTE_TYPE_INDIRECT; 3 for a direct route
};
void SetRoutingTable(const std::vector<TableRoute> &routes);

// The machine's IPv4 addresses and masks, dotted, as GetIpAddrTable lists
// them from its `fromRead`-th call on, each row with the flags `type`, and
// GetUnicastIpAddressTable with the duplicate-address state `dadState`. None
// at first. SetAddressesAt lists them from a time of the virtual clock on,
// whatever the read, until a later time's.
void SetAddresses(const std::vector<std::string> &addressesAndMasks, int fromRead = 1,
                  unsigned short type = 1, int dadState = 4 /* preferred */);
void SetAddressesAt(uint64_t fromMs, const std::vector<std::string> &addressesAndMasks);
// As each set by time comes, the table loses the routes through a gateway on
// none of its networks, as Windows drops them, and a run adds none such.
// RoutesLost counts the rows so lost.
int RoutesLost();
// Each address is an interface of its own, numbered by its place in its set;
// the interface of this index is listed by this alias while it has one.
void NameInterface(DWORD index, const std::string &alias);
// The IP helper tells of a change of the addresses, or of the routing
// table, where the product asked it to. By itself it tells only of the
// addresses set by time, as each set comes.
void NotifyChange(bool routes);

// The caller is no administrator: opening the service database or a service
// for more than reading fails with ERROR_ACCESS_DENIED.
void DenyAdministratorRights();

// Registry value under HKEY_LOCAL_MACHINE; keys on the way are created.
void SetRegistryValue(const std::string &keyPath, const std::string &name,
                      const std::string &data, DWORD type = REG_SZ);
bool RegistryKeyExists(const std::string &keyPath);
// Opening this key (a path under HKEY_LOCAL_MACHINE) fails with `error`.
void FailRegistryKey(const std::string &keyPath, DWORD error);
// Data and type of a value, or an empty data string if there is none.
std::string RegistryValue(const std::string &keyPath, const std::string &name,
                          DWORD *type = nullptr);
// Sizes callers passed to RegQueryValueExA, and the access/options of opens.
std::vector<DWORD> RegistryQuerySizes();
std::vector<std::string> RegistryOpens();  // "path|options|access"
int OpenRegistryKeys();

// Route tool children, in launch order. A child runs for `runsForMs` of
// virtual time from its launch (kNeverExits: for ever), then exits with
// `exitCode`. Timed waits on it advance the virtual clock, up to its end.
constexpr DWORD kNeverExits = INFINITE;
struct ChildScript {
    DWORD runsForMs = 0;
    DWORD exitCode = 0;
    bool addsRoute = true;  // with the exit code 0
    bool atExit = false;    // only once its end is seen, not at its launch
};
void ScriptChildren(const std::vector<ChildScript> &children);

struct Launch {
    std::string application;
    std::string commandLine;
    bool inheritHandles = false;
    DWORD creationFlags = 0;
    bool environmentGiven = false;
    bool directoryGiven = false;
    bool attributesGiven = false;
    uint64_t startedMs = 0;  // on the virtual clock
    DWORD startupSize = 0;
    bool startupDefault = false;  // every other start-up field zero
    HANDLE process = nullptr;
    HANDLE thread = nullptr;
    int statusReads = 0;
    std::vector<DWORD> waits;  // time-outs of waits on the process
    bool exited = false;
    bool terminated = false;
    DWORD terminateCode = 0;
};
std::vector<Launch> Launches();
// The `nth` call of `name` from the start of the test (CreateProcessA or
// GetIpForwardTable) blocks until ReleaseLaunch; a timed wait on a thread
// meanwhile times out. HoldLaunch holds the `nth` launch.
void HoldCall(const std::string &name, int nth);
void HoldLaunch(int nth);
bool WaitUntilLaunchHeld(int timeoutMs = 5000);
void ReleaseLaunch();
std::vector<std::string> CommandLines();

// Event-log records of a type: errors unless asked for another.
struct Record {
    std::string source;
    bool serverGiven = false;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    bool sidGiven = false;
    DWORD dataSize = 0;
    std::vector<std::string> strings;
};
std::vector<Record> Records(WORD type = EVENTLOG_ERROR_TYPE);
// Second strings (step names) of all records, in order.
std::vector<std::string> RecordedSteps();

// Events: how often an event handle's object was signalled, and whether that
// handle has been closed.
int TimesSignalled(HANDLE event);
bool IsClosed(HANDLE handle);
bool IsSignalled(HANDLE event);

// Time. Sleeps return at once and only add to the virtual clock; timed waits
// on events that are not signalled do the same. HoldSleeps makes both, from
// the `fromNth` on, block until ReleaseSleeps (or EndProcess, or the signal).
std::vector<DWORD> Sleeps();
uint64_t VirtualTimeMs();
// GetTickCount64 starts a minute before the 32-bit tick count wraps. The
// clock moves on at once, as over a quiet spell or a sleep of the machine.
void AdvanceClock(uint64_t ms);
void HoldSleeps(size_t fromNth = 1);
// Holds those that end at or after this time; one held before it goes on.
void HoldSleepsAt(uint64_t ms);
void ReleaseSleeps();
bool WaitUntilSleeping(int timeoutMs = 5000);
// True once some thread is blocked on an event that is not signalled, or on
// a lock that another thread holds.
bool WaitUntilBlockedOn(HANDLE event, int timeoutMs = 5000);
bool WaitUntilLockWaited(int timeoutMs = 5000);

// Threads made with CreateThread. EndProcess wakes every Sleep and every
// wait for good (as if the process ended under them) and joins the threads.
void EndProcess();

// Service control manager: the dispatcher runs ServiceMain on a thread of
// its own and calls the handler on its own thread for each control sent,
// and returns once the service reported stopped or ServiceMain returned.
void SendControl(DWORD control, DWORD eventType = 0);
// The arguments of the service's start, after its name (none at first).
void StartWith(const std::vector<std::string> &arguments);
std::vector<SERVICE_STATUS> StatusReports();
bool WaitForReports(size_t count, int timeoutMs = 5000);
bool WaitForState(DWORD state, int timeoutMs = 5000);
std::string DispatchedServiceName();
std::string HandlerServiceName();

struct ServiceEntry {
    std::string name, displayName, binaryPath;
    DWORD desiredAccess = 0, serviceType = 0, startType = 0, errorControl = 0;
    bool groupGiven = false, tagGiven = false, dependenciesGiven = false;
    bool accountGiven = false, passwordGiven = false;
    std::string description;  // as ChangeServiceConfig2A set it
    bool delayed = false;     // an automatic start delayed by Windows
    DWORD state = SERVICE_STOPPED;
};
void AddService(const std::string &name, const std::string &binaryPath = "",
                DWORD startType = SERVICE_AUTO_START, bool delayed = false,
                DWORD state = SERVICE_STOPPED);
bool ServiceExists(const std::string &name);
ServiceEntry Service(const std::string &name);
std::vector<std::string> ScmOpens();  // "machine|database|access"

struct MessageBox {
    std::string text, caption;
    bool ownerGiven = false;
    UINT type = 0;
};
std::vector<MessageBox> MessageBoxes();

}  // namespace fake
