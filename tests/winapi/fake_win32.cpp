// The scriptable fake behind the stand-in <windows.h>. One lock guards all
// of its state; it never calls back into the product while holding it.

#include "fake_win32.h"

#include <aclapi.h>
#include <iphlpapi.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstring>
#include <cwctype>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

enum class Kind { kEvent, kProcess, kThread, kKey, kScManager, kService, kEventSource };

const char *KindName(Kind kind)
{
    switch (kind) {
    case Kind::kEvent: return "event";
    case Kind::kProcess: return "process";
    case Kind::kThread: return "thread";
    case Kind::kKey: return "registry key";
    case Kind::kScManager: return "service database";
    case Kind::kService: return "service";
    case Kind::kEventSource: return "event source";
    }
    return "?";
}

struct EventObject {
    bool manualReset = true;
    bool signalled = false;
    int timesSignalled = 0;
    int blockedWaiters = 0;
};

struct Entry {
    Kind kind;
    bool open = true;
    std::shared_ptr<EventObject> event;
    size_t launch = 0;
    std::string path;  // registry key path, service name or event source
    DWORD access = 0;  // a service's
};

struct Rule {
    std::string name;
    int skip;
    int times;
    DWORD error;
};

struct Value {
    DWORD type;
    std::string data;
};

struct World {
    std::map<uintptr_t, Entry> handles;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::string> problems;
    std::vector<std::string> calls;
    std::vector<Rule> rules;
    std::map<std::string, DWORD> successErrors;
    std::map<std::string, std::string> searchResults;
    std::vector<std::string> searches;
    std::string currentDirectory = fake::kConsoleDirectory;
    std::string modulePath = "C:\\Program Files\\Tolvane\\tolvane.exe";
    std::vector<MIB_IPFORWARDROW> routingTable;
    // From the read of the key on; or, by time, from that virtual time on.
    std::map<int, std::vector<MIB_IPADDRROW>> addresses;
    std::map<uint64_t, std::vector<MIB_IPADDRROW>> addressesAt;
    int addressReads = 0;
    bool administrator = true;
    std::set<std::string> keys;
    std::set<std::string> files;  // in lower case
    std::map<std::string, fake::Rights> rights;  // by path in lower case
    std::map<std::string, DWORD> failedKeys;
    std::map<std::string, std::map<std::string, Value>> values;
    std::vector<DWORD> querySizes;
    std::vector<std::string> registryOpens;
    std::vector<fake::ChildScript> childScripts;
    std::vector<fake::Launch> launches;
    std::vector<fake::ChildScript> launchScripts;
    std::vector<fake::Record> records;
    std::string holdName;  // the call to hold, counted from the start of the test
    int holdNth = 0;
    int holdCalls = 0;
    bool callHeld = false;
    LPOVERLAPPED addressNotification = nullptr;
    LPOVERLAPPED routeNotification = nullptr;
    uint64_t droppedToMs = 0;  // addresses by time up to here took their routes away
    int routesLost = 0;
    std::vector<DWORD> sleeps;
    uint64_t clockMs = 0;
    bool holdSleeps = false;
    size_t holdSleepsFrom = 1;
    uint64_t holdSleepsAtMs = 0;
    int sleeping = 0;
    int lockWaiters = 0;  // threads waiting for a lock another holds
    std::map<DWORD, std::string> interfaceNames;
    bool ended = false;
    std::vector<std::thread> threads;
    // service control manager
    std::map<std::string, fake::ServiceEntry> services;
    std::vector<std::string> scmOpens;
    std::string dispatchedName, handlerName;
    std::vector<std::string> startArguments;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    std::deque<std::pair<DWORD, DWORD>> controls;  // with the event type
    std::vector<SERVICE_STATUS> reports;
    bool stopped = false;
    bool serviceReturned = false;
    std::vector<fake::MessageBox> messageBoxes;
};

std::mutex g_lock;
std::condition_variable g_changed;
World g_world;
thread_local DWORD t_lastError = 0;

const SERVICE_STATUS_HANDLE kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);

World &W() { return g_world; }

std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

// Logs the call and returns the error it is scripted to fail with, or 0.
DWORD Enter(const char *name)
{
    W().calls.emplace_back(name);
    for (Rule &rule : W().rules) {
        if (rule.name != name || rule.times == 0)
            continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        --rule.times;
        return rule.error;
    }
    auto leaves = W().successErrors.find(name);
    if (leaves != W().successErrors.end())
        t_lastError = leaves->second;
    return 0;
}

void Problem(const std::string &text) { W().problems.push_back(text); }

HANDLE NewHandle(Entry entry)
{
    const uintptr_t value = W().nextHandle;
    W().nextHandle += 4;  // never reused, so a stale handle is always caught
    W().handles.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

// The open entry of the handle, or null after recording the misuse.
Entry *Use(const void *handle, const char *call, std::initializer_list<Kind> kinds)
{
    auto it = W().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == W().handles.end()) {
        Problem(std::string(call) + " on a handle never opened");
        return nullptr;
    }
    if (!it->second.open) {
        Problem(std::string(call) + " on a closed " + KindName(it->second.kind) + " handle");
        return nullptr;
    }
    if (std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end()) {
        Problem(std::string(call) + " on a " + KindName(it->second.kind) + " handle");
        return nullptr;
    }
    return &it->second;
}

// Logs the call and finds its open handle. Null, with the thread's last
// error saying why, when the call is scripted to fail or the handle is unusable.
Entry *Begin(const char *call, const void *handle, std::initializer_list<Kind> kinds)
{
    Entry *entry = Use(handle, call, kinds);
    if (DWORD error = Enter(call)) {
        t_lastError = error;
        return nullptr;
    }
    if (entry == nullptr)
        t_lastError = ERROR_INVALID_HANDLE;
    return entry;
}

BOOL Fail(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

// Signals the event of an open handle; returns it, or null.
std::shared_ptr<EventObject> Signal(HANDLE handle)
{
    auto it = W().handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == W().handles.end() || !it->second.open || !it->second.event)
        return nullptr;
    it->second.event->signalled = true;
    ++it->second.event->timesSignalled;
    g_changed.notify_all();
    return it->second.event;
}

bool Exited(const fake::Launch &launch, const fake::ChildScript &script)
{
    return launch.terminated ||
           (script.runsForMs != fake::kNeverExits &&
            W().clockMs >= launch.startedMs + script.runsForMs);
}


using Events = std::vector<std::shared_ptr<EventObject>>;

bool AnySignalled(const Events &events)
{
    return std::any_of(events.begin(), events.end(), [](auto &e) { return e->signalled; });
}

// A sleep, held while the test holds sleeps, unless one of `cut` is
// signalled (then true). Addresses set by time that come meanwhile signal a
// pending address notification then, and end the sleep if it waits on it.
bool Doze(std::unique_lock<std::mutex> &hold, DWORD ms, const Events &cut = {})
{
    W().sleeps.push_back(ms);
    const auto change = W().addressesAt.upper_bound(W().clockMs);
    if (W().addressNotification != nullptr && change != W().addressesAt.end() &&
        change->first <= W().clockMs + ms) {
        const std::shared_ptr<EventObject> told = Signal(W().addressNotification->hEvent);
        W().addressNotification = nullptr;
        if (told && std::find(cut.begin(), cut.end(), told) != cut.end()) {
            W().clockMs = change->first;
            return true;
        }
    }
    W().clockMs += ms;
    const auto released = [&] {
        return !W().holdSleeps || W().ended || W().sleeps.size() < W().holdSleepsFrom ||
               W().clockMs < W().holdSleepsAtMs;
    };
    if (released())
        return false;
    ++W().sleeping;
    g_changed.notify_all();
    g_changed.wait(hold, [&] { return released() || AnySignalled(cut); });
    --W().sleeping;
    return AnySignalled(cut);
}

// Blocks the call the test holds until it is released, or the process ends.
void HoldIfAsked(std::unique_lock<std::mutex> &hold, const char *name)
{
    if (W().holdName != name || ++W().holdCalls != W().holdNth || W().ended)
        return;
    W().callHeld = true;
    g_changed.notify_all();
    g_changed.wait(hold, [] { return W().holdNth == 0 || W().ended; });
    W().callHeld = false;
}

std::string KeyPathOf(HKEY key, const char *call)
{
    if (key == HKEY_LOCAL_MACHINE)
        return "";
    Entry *entry = Use(key, call, {Kind::kKey});
    return entry ? entry->path : "<bad key>";
}

std::string Join(const std::string &base, const char *sub)
{
    return base.empty() ? std::string(sub) : base + "\\" + sub;
}

// A dotted address in network order, as the platform keeps it.
bool Address(const std::string &dotted, DWORD *address)
{
    return inet_pton(AF_INET, dotted.c_str(), address) == 1;
}

// As Windows does, addresses set by time take away, as each set comes, the
// routes through a gateway on none of their networks.
void DropRoutesOfGoneNetworks()
{
    auto &rows = W().routingTable;
    for (auto it = W().addressesAt.upper_bound(W().droppedToMs);
         it != W().addressesAt.end() && it->first <= W().clockMs; ++it) {
        const auto gone = [&](const MIB_IPFORWARDROW &row) {
            return std::none_of(it->second.begin(), it->second.end(), [&](const MIB_IPADDRROW &a) {
                return (a.dwAddr & a.dwMask) == (row.dwForwardNextHop & a.dwMask);
            });
        };
        W().routesLost += static_cast<int>(std::count_if(rows.begin(), rows.end(), gone));
        rows.erase(std::remove_if(rows.begin(), rows.end(), gone), rows.end());
        W().droppedToMs = it->first;
    }
}

// A route tool run that succeeds adds the route of its command line, or
// clears the table of its routes through a gateway.
void AddRouteOf(const std::string &commandLine)
{
    DropRoutesOfGoneNetworks();
    char verb[8] = "", destination[32], word[32], mask[32] = "255.255.255.255", gateway[32];
    sscanf(commandLine.c_str(), "%*s %7s %31s %31s %31s %31s", verb, destination, word, mask,
           gateway);
    auto &rows = W().routingTable;
    if (strcmp(verb, "-f") == 0)
        rows.erase(std::remove_if(rows.begin(), rows.end(), [](const MIB_IPFORWARDROW &row) {
            return row.dwForwardType == MIB_IPROUTE_TYPE_INDIRECT;
        }), rows.end());
    const bool masked = strcmp(word, "MASK") == 0;
    MIB_IPFORWARDROW row{};
    row.dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
    const size_t ifAt = commandLine.find(" IF ");
    row.dwForwardIfIndex = ifAt == std::string::npos
                               ? 0
                               : static_cast<DWORD>(strtoul(commandLine.c_str() + ifAt + 4, nullptr, 10));
    if (strcmp(verb, "ADD") == 0 && Address(destination, &row.dwForwardDest) &&
        Address(masked ? gateway : word, &row.dwForwardNextHop) &&
        Address(masked ? mask : "255.255.255.255", &row.dwForwardMask))
        W().routingTable.push_back(row);
}

// A run scripted to add its route at its end does so when its end is seen.
void SeeEnd(fake::Launch &launch, fake::ChildScript &script)
{
    if (script.atExit && !launch.terminated && Exited(launch, script) && script.addsRoute &&
        script.exitCode == 0) {
        script.addsRoute = false;
        AddRouteOf(launch.commandLine);
    }
}

// The duplicate-address state of a row is kept where the platform's is unused.
void AddAddresses(std::vector<MIB_IPADDRROW> &rows,
                  const std::vector<std::string> &addressesAndMasks, unsigned short type,
                  int dadState)
{
    for (size_t i = 0; i + 1 < addressesAndMasks.size(); i += 2) {
        MIB_IPADDRROW row{};
        row.wType = type;
        row.unused1 = static_cast<unsigned short>(dadState);
        row.dwIndex = static_cast<DWORD>(rows.size() + 1);  // an interface of its own
        if (!Address(addressesAndMasks[i], &row.dwAddr) ||
            !Address(addressesAndMasks[i + 1], &row.dwMask))
            Problem("an address or mask that is no address");
        rows.push_back(row);
    }
}

// The machine's addresses at this read: by read, unless one by time has come.
std::vector<MIB_IPADDRROW> CurrentAddresses()
{
    std::vector<MIB_IPADDRROW> rows;
    for (const auto &version : W().addresses)
        rows = version.first <= W().addressReads ? version.second : rows;
    for (const auto &version : W().addressesAt)
        rows = version.first <= W().clockMs ? version.second : rows;
    return rows;
}

void CreateKeys(const std::string &path)
{
    size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('\\', at + 1);
        W().keys.insert(Lower(path.substr(0, at)));
    }
}

}  // namespace

// ---------------------------------------------------------------- control side

namespace fake {

void Reset()
{
    EndProcess();
    std::lock_guard<std::mutex> hold(g_lock);
    g_world = World();
    t_lastError = 0;
}

std::vector<std::string> Problems()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().problems;
}

std::vector<std::string> LeakedHandles(const std::vector<HANDLE> &allowed)
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<std::string> leaked;
    for (const auto &[value, entry] : W().handles) {
        if (!entry.open)
            continue;
        if (std::find(allowed.begin(), allowed.end(), reinterpret_cast<HANDLE>(value)) !=
            allowed.end())
            continue;
        leaked.push_back(std::string(KindName(entry.kind)) + " " + entry.path);
    }
    if (W().addressNotification != nullptr || W().routeNotification != nullptr)
        leaked.push_back("a change notification, still pending");
    return leaked;
}

std::vector<std::string> Calls()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().calls;
}

int CallCount(const std::string &name)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return static_cast<int>(std::count(W().calls.begin(), W().calls.end(), name));
}

void FailCall(const std::string &name, DWORD error, int nth, int times)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().rules.push_back({name, nth - 1, times, error});
}

void LeaveErrorOnSuccess(const std::string &name, DWORD error)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().successErrors[name] = error;
}

void SetSearchResult(const std::string &fileName, const std::string &path)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().searchResults[fileName] = path;
}

std::vector<std::string> Searches()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().searches;
}

std::string CurrentDirectory()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().currentDirectory;
}

void SetModulePath(const std::string &path)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().modulePath = path;
}

void SetRoutingTable(const std::vector<TableRoute> &routes)
{
    auto address = [](const std::string &dotted) {
        in_addr parsed{};
        if (inet_pton(AF_INET, dotted.c_str(), &parsed) != 1)
            Problem("a routing table row with \"" + dotted + "\", which is no address");
        return static_cast<DWORD>(parsed.s_addr);  // network order, as the platform keeps it
    };
    std::lock_guard<std::mutex> hold(g_lock);
    W().routingTable.clear();
    for (const TableRoute &route : routes) {
        MIB_IPFORWARDROW row{};
        row.dwForwardDest = address(route.destination);
        row.dwForwardMask = address(route.mask);
        row.dwForwardNextHop = address(route.gateway);
        row.dwForwardType = route.type;
        W().routingTable.push_back(row);
    }
}

void SetAddresses(const std::vector<std::string> &addressesAndMasks, int fromRead,
                  unsigned short type, int dadState)
{
    std::lock_guard<std::mutex> hold(g_lock);
    AddAddresses(W().addresses[fromRead], addressesAndMasks, type, dadState);
}

void SetAddressesAt(uint64_t fromMs, const std::vector<std::string> &addressesAndMasks)
{
    std::lock_guard<std::mutex> hold(g_lock);
    AddAddresses(W().addressesAt[fromMs], addressesAndMasks, 1, IpDadStatePreferred);
}

void DenyAdministratorRights()
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().administrator = false;
}

void SetRegistryValue(const std::string &keyPath, const std::string &name,
                      const std::string &data, DWORD type)
{
    std::lock_guard<std::mutex> hold(g_lock);
    CreateKeys(keyPath);
    W().values[Lower(keyPath)][Lower(name)] = {type, data};
}

bool RegistryKeyExists(const std::string &keyPath)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().keys.count(Lower(keyPath)) != 0;
}

void FailRegistryKey(const std::string &keyPath, DWORD error)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().failedKeys[Lower(keyPath)] = error;
}

std::string RegistryValue(const std::string &keyPath, const std::string &name, DWORD *type)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto key = W().values.find(Lower(keyPath));
    if (key == W().values.end())
        return "";
    auto value = key->second.find(Lower(name));
    if (value == key->second.end())
        return "";
    if (type)
        *type = value->second.type;
    return value->second.data;
}

std::vector<DWORD> RegistryQuerySizes()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().querySizes;
}

std::vector<std::string> RegistryOpens()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().registryOpens;
}

int OpenRegistryKeys()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return static_cast<int>(std::count_if(W().handles.begin(), W().handles.end(), [](auto &h) {
        return h.second.open && h.second.kind == Kind::kKey;
    }));
}

void ScriptChildren(const std::vector<ChildScript> &children)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().childScripts = children;
}

std::vector<Launch> Launches()
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<Launch> launches = W().launches;
    for (size_t i = 0; i < launches.size(); ++i)
        launches[i].exited = Exited(launches[i], W().launchScripts[i]);
    return launches;
}

void HoldCall(const std::string &name, int nth)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().holdName = name;
    W().holdNth = nth;
}

void HoldLaunch(int nth) { HoldCall("CreateProcessA", nth); }

bool WaitUntilLaunchHeld(int timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    return g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [] { return W().callHeld; });
}

void ReleaseLaunch()
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().holdNth = 0;
    g_changed.notify_all();
}

std::vector<std::string> CommandLines()
{
    std::vector<std::string> lines;
    for (const Launch &launch : Launches())
        lines.push_back(launch.commandLine);
    return lines;
}

std::vector<Record> Records(WORD type)
{
    std::lock_guard<std::mutex> hold(g_lock);
    std::vector<Record> records;
    std::copy_if(W().records.begin(), W().records.end(), std::back_inserter(records),
                 [type](const Record &record) { return record.type == type; });
    return records;
}

std::vector<std::string> RecordedSteps()
{
    std::vector<std::string> steps;
    for (const Record &record : Records())
        steps.push_back(record.strings.size() >= 2 ? record.strings[1] : "<malformed>");
    return steps;
}

int TimesSignalled(HANDLE event)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = W().handles.find(reinterpret_cast<uintptr_t>(event));
    return it != W().handles.end() && it->second.event ? it->second.event->timesSignalled : -1;
}

bool IsSignalled(HANDLE event)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = W().handles.find(reinterpret_cast<uintptr_t>(event));
    return it != W().handles.end() && it->second.event && it->second.event->signalled;
}

bool IsClosed(HANDLE handle)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = W().handles.find(reinterpret_cast<uintptr_t>(handle));
    return it != W().handles.end() && !it->second.open;
}

std::vector<DWORD> Sleeps()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().sleeps;
}

uint64_t VirtualTimeMs()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().clockMs;
}

void HoldSleeps(size_t fromNth)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().holdSleeps = true;
    W().holdSleepsFrom = fromNth;
}

void HoldSleepsAt(uint64_t ms)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().holdSleeps = true;
    W().holdSleepsFrom = 1;
    W().holdSleepsAtMs = ms;
    g_changed.notify_all();
}

void ReleaseSleeps()
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().holdSleeps = false;
    g_changed.notify_all();
}

bool WaitUntilSleeping(int timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    return g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [] { return W().sleeping > 0 && W().clockMs >= W().holdSleepsAtMs; });
}

bool WaitUntilLockWaited(int timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    return g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [] { return W().lockWaiters > 0; });
}

bool WaitUntilBlockedOn(HANDLE event, int timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    auto it = W().handles.find(reinterpret_cast<uintptr_t>(event));
    if (it == W().handles.end() || !it->second.event)
        return false;
    std::shared_ptr<EventObject> object = it->second.event;
    return g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [&] { return object->blockedWaiters > 0; });
}

void EndProcess()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        W().ended = true;
        g_changed.notify_all();
    }
    // Threads may start others while ending; join until none is left.
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_lock);
            threads.swap(W().threads);
        }
        if (threads.empty())
            return;
        for (std::thread &thread : threads)
            thread.join();
        threads.clear();
    }
}

void SendControl(DWORD control, DWORD eventType)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().controls.emplace_back(control, eventType);
    g_changed.notify_all();
}

void StartWith(const std::vector<std::string> &arguments)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().startArguments = arguments;
}

void AdvanceClock(uint64_t ms)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().clockMs += ms;
}

void NotifyChange(bool routes)
{
    std::lock_guard<std::mutex> hold(g_lock);
    LPOVERLAPPED &pending = routes ? W().routeNotification : W().addressNotification;
    if (pending != nullptr)
        Signal(pending->hEvent);
    pending = nullptr;  // told once; the product asks again
}

void NameInterface(DWORD index, const std::string &alias)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().interfaceNames[index] = alias;
}

int RoutesLost()
{
    std::lock_guard<std::mutex> hold(g_lock);
    DropRoutesOfGoneNetworks();
    return W().routesLost;
}

std::vector<SERVICE_STATUS> StatusReports()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().reports;
}

bool WaitForReports(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    return g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [&] { return W().reports.size() >= count; });
}

bool WaitForState(DWORD state, int timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    return g_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return std::any_of(W().reports.begin(), W().reports.end(),
                           [&](const SERVICE_STATUS &s) { return s.dwCurrentState == state; });
    });
}

std::string DispatchedServiceName()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().dispatchedName;
}

std::string HandlerServiceName()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().handlerName;
}

void AddService(const std::string &name, const std::string &binaryPath, DWORD startType,
                bool delayed, DWORD state)
{
    std::lock_guard<std::mutex> hold(g_lock);
    ServiceEntry &service = W().services[Lower(name)];
    service.name = name;
    service.binaryPath = binaryPath;
    service.startType = startType;
    service.delayed = delayed;
    service.state = state;
}

void AddFile(const std::string &path, bool usersMayChange)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().files.insert(Lower(path));
    if (usersMayChange)
        W().rights[Lower(path)].usersMask = 0x1301bf;
}

void SetRights(const std::string &path, const Rights &rights)
{
    std::lock_guard<std::mutex> hold(g_lock);
    W().rights[Lower(path)] = rights;
}

bool ServiceExists(const std::string &name)
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().services.count(Lower(name)) != 0;
}

ServiceEntry Service(const std::string &name)
{
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = W().services.find(Lower(name));
    return it == W().services.end() ? ServiceEntry{} : it->second;
}

std::vector<std::string> ScmOpens()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().scmOpens;
}

std::vector<MessageBox> MessageBoxes()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return W().messageBoxes;
}

}  // namespace fake

// ---------------------------------------------------------------- kernel32

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD code) { t_lastError = code; }

DWORD GetFileAttributesA(LPCSTR path)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("GetFileAttributesA");
    if (W().files.count(Lower(path)) != 0 || Lower(path) == Lower(W().modulePath))
        return FILE_ATTRIBUTE_NORMAL;
    return Fail(ERROR_FILE_NOT_FOUND), INVALID_FILE_ATTRIBUTES;
}

DWORD SearchPathA(LPCSTR path, LPCSTR fileName, LPCSTR extension, DWORD bufferLength,
                  LPSTR buffer, LPSTR *filePart)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("SearchPathA"))
        return Fail(error);
    if (filePart != nullptr || extension == nullptr || strcmp(extension, ".EXE") != 0)
        Problem("SearchPathA not asked for a file with the extension .EXE");
    W().searches.push_back(std::string(fileName) + " in " + (path ? path : W().currentDirectory));
    // Given a folder, only a file in that folder is found.
    auto it = W().searchResults.find(fileName);
    if (it == W().searchResults.end() ||
        (path != nullptr && Lower(it->second.substr(0, it->second.rfind('\\'))) != Lower(path)))
        return Fail(ERROR_FILE_NOT_FOUND);
    const std::string &found = it->second;
    if (found.size() + 1 > bufferLength)
        return static_cast<DWORD>(found.size() + 1);  // the size it would need
    memcpy(buffer, found.c_str(), found.size() + 1);
    return static_cast<DWORD>(found.size());
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                    LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation)
{
    std::unique_lock<std::mutex> hold(g_lock);
    HoldIfAsked(hold, "CreateProcessA");
    if (DWORD error = Enter("CreateProcessA"))
        return Fail(error);
    fake::Launch launch;
    launch.application = applicationName ? applicationName : "<null>";
    launch.commandLine = commandLine ? commandLine : "<null>";
    launch.inheritHandles = inheritHandles != FALSE;
    launch.creationFlags = creationFlags;
    launch.environmentGiven = environment != nullptr;
    launch.directoryGiven = currentDirectory != nullptr;
    launch.attributesGiven = processAttributes != nullptr || threadAttributes != nullptr;
    launch.startedMs = W().clockMs;
    launch.startupSize = startupInfo->cb;
    STARTUPINFOA blank = {};
    blank.cb = startupInfo->cb;
    launch.startupDefault = memcmp(&blank, startupInfo, sizeof blank) == 0;

    const size_t index = W().launches.size();
    launch.process = NewHandle({Kind::kProcess, true, nullptr, index, launch.commandLine});
    launch.thread = NewHandle({Kind::kThread, true, nullptr, index, launch.commandLine});
    processInformation->hProcess = launch.process;
    processInformation->hThread = launch.thread;
    processInformation->dwProcessId = static_cast<DWORD>(1000 + 4 * index);
    processInformation->dwThreadId = static_cast<DWORD>(2000 + 4 * index);
    W().launches.push_back(launch);
    W().launchScripts.push_back(index < W().childScripts.size() ? W().childScripts[index]
                                                                 : fake::ChildScript{});
    const fake::ChildScript &script = W().launchScripts.back();
    if (script.addsRoute && script.exitCode == 0 && !script.atExit)
        AddRouteOf(launch.commandLine);
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("GetExitCodeProcess", process, {Kind::kProcess});
    if (entry == nullptr)
        return FALSE;
    fake::Launch &launch = W().launches[entry->launch];
    fake::ChildScript &script = W().launchScripts[entry->launch];
    SeeEnd(launch, script);
    if (launch.terminated)
        *exitCode = launch.terminateCode;
    else if (!Exited(launch, script))
        *exitCode = STILL_ACTIVE;
    else
        *exitCode = script.exitCode;
    ++launch.statusReads;
    return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("TerminateProcess", process, {Kind::kProcess});
    if (entry == nullptr)
        return FALSE;
    fake::Launch &launch = W().launches[entry->launch];
    if (Exited(launch, W().launchScripts[entry->launch]))
        return Fail(ERROR_ACCESS_DENIED);
    launch.terminated = true;
    launch.terminateCode = exitCode;
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("CreateEventA")) {
        Fail(error);
        return nullptr;
    }
    if (attributes != nullptr || name != nullptr)
        Problem("CreateEventA with security attributes or a name");
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset != FALSE;
    event->signalled = initialState != FALSE;
    return NewHandle({Kind::kEvent, true, event, 0, "event"});
}

BOOL SetEvent(HANDLE event)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (Begin("SetEvent", event, {Kind::kEvent}) == nullptr)
        return FALSE;
    Signal(event);
    return TRUE;
}

BOOL ResetEvent(HANDLE event)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("ResetEvent", event, {Kind::kEvent});
    if (entry == nullptr)
        return FALSE;
    entry->event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    std::unique_lock<std::mutex> hold(g_lock);
    Entry *entry =
        Begin("WaitForSingleObject", object, {Kind::kEvent, Kind::kProcess, Kind::kThread});
    if (entry == nullptr)
        return WAIT_FAILED;
    if (entry->kind == Kind::kThread) {
        // A thread held in a call cannot end meanwhile: a timed wait on it
        // takes its time-out, on the virtual clock.
        if (W().callHeld && milliseconds != INFINITE) {
            W().clockMs += milliseconds;
            return WAIT_TIMEOUT;
        }
        // Threads are real: until this one ends, or the process does (30 s
        // only so that a hang ends).
        std::shared_ptr<EventObject> end = entry->event;
        const bool ended = g_changed.wait_for(hold, std::chrono::seconds(30),
                                              [&] { return !end || end->signalled || W().ended; });
        return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (entry->kind == Kind::kProcess) {
        fake::Launch &launch = W().launches[entry->launch];
        launch.waits.push_back(milliseconds);
        const fake::ChildScript &script = W().launchScripts[entry->launch];
        if (Exited(launch, script) || W().ended)
            return WAIT_OBJECT_0;
        const uint64_t endsAt = launch.startedMs + script.runsForMs;
        if (script.runsForMs != fake::kNeverExits && endsAt <= W().clockMs + milliseconds) {
            W().clockMs = endsAt;
            return WAIT_OBJECT_0;
        }
        if (milliseconds == INFINITE) {
            Problem("endless wait on a route tool that never ends");
            return WAIT_FAILED;
        }
        W().clockMs += milliseconds;
        return WAIT_TIMEOUT;
    }
    std::shared_ptr<EventObject> event = entry->event;
    if (!event->signalled && milliseconds == 0)
        return WAIT_TIMEOUT;
    if (!event->signalled && milliseconds != INFINITE)
        return Doze(hold, milliseconds, {event}) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    ++event->blockedWaiters;
    g_changed.notify_all();
    g_changed.wait(hold, [&] { return event->signalled || W().ended; });
    --event->blockedWaiters;
    if (event->signalled && !event->manualReset)
        event->signalled = false;
    return WAIT_OBJECT_0;
}

// Events only, for any one of them.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *objects, BOOL waitAll, DWORD milliseconds)
{
    std::unique_lock<std::mutex> hold(g_lock);
    Enter("WaitForMultipleObjects");
    Events events;
    for (DWORD i = 0; i < count; ++i) {
        Entry *entry = Use(objects[i], "WaitForMultipleObjects", {Kind::kEvent});
        if (entry == nullptr)
            return WAIT_FAILED;
        events.push_back(entry->event);
    }
    if (waitAll)
        Problem("WaitForMultipleObjects for all");
    // Threads are real: an endless wait ends with a signal, or with the process.
    if (milliseconds == INFINITE)
        g_changed.wait(hold, [&] { return AnySignalled(events) || W().ended; });
    else if (!AnySignalled(events))
        Doze(hold, milliseconds, events);
    for (DWORD i = 0; i < count; ++i) {
        if (events[i]->signalled)
            return WAIT_OBJECT_0 + i;
    }
    return milliseconds == INFINITE ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// A minute before the 32-bit tick count wraps, so that every test that runs
// longer crosses its wrap.
ULONGLONG GetTickCount64()
{
    std::lock_guard<std::mutex> hold(g_lock);
    return 0x100000000ull - 60000 + W().clockMs;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("CreateThread")) {
        Fail(error);
        return nullptr;
    }
    if (attributes != nullptr || stackSize != 0 || creationFlags != 0)
        Problem("CreateThread not with default attributes, stack and flags");
    if (threadId != nullptr)
        *threadId = 4242;
    auto end = std::make_shared<EventObject>();
    W().threads.emplace_back([startAddress, parameter, end] {
        startAddress(parameter);
        std::lock_guard<std::mutex> ended(g_lock);
        end->signalled = true;
        g_changed.notify_all();
    });
    return NewHandle({Kind::kThread, true, end, 0, "thread"});
}

BOOL CloseHandle(HANDLE object)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("CloseHandle", object, {Kind::kEvent, Kind::kProcess, Kind::kThread});
    if (entry == nullptr)
        return FALSE;
    entry->open = false;
    return TRUE;
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE *target,
                     DWORD, BOOL, DWORD)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("DuplicateHandle", source, {Kind::kEvent});
    if (entry == nullptr)
        return FALSE;
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess())
        Problem("DuplicateHandle across processes");
    *target = NewHandle(*entry);
    return TRUE;
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

void Sleep(DWORD milliseconds)
{
    std::unique_lock<std::mutex> hold(g_lock);
    Enter("Sleep");
    Doze(hold, milliseconds);
}

namespace {

// Copies `text` into a caller's buffer of `size` bytes: its length, or the
// size it needs (terminator included) if it does not fit.
DWORD CopyOut(const std::string &text, LPSTR buffer, DWORD size)
{
    if (text.size() + 1 > size)
        return static_cast<DWORD>(text.size() + 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

}  // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("GetModuleFileNameA");
    if (module != nullptr)
        Problem("GetModuleFileNameA of another module than the program");
    const std::string &path = W().modulePath;
    // Cut to fit, terminated, as the platform does.
    const size_t length = std::min<size_t>(path.size(), size - 1);
    memcpy(fileName, path.data(), length);
    fileName[length] = '\0';
    return static_cast<DWORD>(length == path.size() ? length : size);
}

// The IP helper's module, which hands out the stand-in's own functions.
HMODULE const kIpHelper = reinterpret_cast<HMODULE>(0x1b41);
HMODULE const kUser32 = reinterpret_cast<HMODULE>(0x0532);

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("LoadLibraryExA");
    const bool user32 = std::string(fileName) == std::string(fake::kSystemDirectory) + "\\user32.dll";
    if (!user32 && std::string(fileName) != std::string(fake::kSystemDirectory) + "\\iphlpapi.dll")
        Problem(std::string("LoadLibraryExA of ") + fileName + ", not a DLL of the system's");
    if (file != nullptr || flags != LOAD_WITH_ALTERED_SEARCH_PATH)
        Problem("LoadLibraryExA that looks for the DLL's imports in the program's folder");
    return user32 ? kUser32 : kIpHelper;
}

BOOL SetDllDirectoryA(LPCSTR pathName)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("SetDllDirectoryA");
    if (pathName == nullptr || *pathName != '\0')
        Problem("SetDllDirectoryA that leaves the current directory in the DLL search");
    return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("GetProcAddress");
    if (module == kUser32 && std::string(name) == "MessageBoxA")
        return reinterpret_cast<FARPROC>(&MessageBoxA);
    if (module != kIpHelper)
        Problem("GetProcAddress in another module than the IP helper");
    const std::map<std::string, FARPROC> functions = {
        {"GetIpAddrTable", reinterpret_cast<FARPROC>(&GetIpAddrTable)},
        {"GetIpForwardTable", reinterpret_cast<FARPROC>(&GetIpForwardTable)},
        {"GetUnicastIpAddressTable", reinterpret_cast<FARPROC>(&GetUnicastIpAddressTable)},
        {"FreeMibTable", reinterpret_cast<FARPROC>(&FreeMibTable)},
        {"NotifyAddrChange", reinterpret_cast<FARPROC>(&NotifyAddrChange)},
        {"NotifyRouteChange", reinterpret_cast<FARPROC>(&NotifyRouteChange)},
        {"CancelIPChangeNotify", reinterpret_cast<FARPROC>(&CancelIPChangeNotify)},
        {"GetAdaptersAddresses", reinterpret_cast<FARPROC>(&GetAdaptersAddresses)}};
    return functions.count(name) != 0 ? functions.at(name) : nullptr;
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("GetSystemDirectoryA"))
        return Fail(error);
    return CopyOut(fake::kSystemDirectory, buffer, size);
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("GetCurrentDirectoryA"))
        return Fail(error);
    return CopyOut(W().currentDirectory, buffer, size);
}

BOOL SetCurrentDirectoryA(LPCSTR path)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("SetCurrentDirectoryA"))
        return Fail(error);
    W().currentDirectory = path;
    return TRUE;
}

// Slim reader/writer locks, taken exclusively: a real mutex behind each, so
// that threads exclude each other and ThreadSanitizer sees the ordering. The
// platform's lock is not recursive: a thread taking one it holds waits
// forever there, and here records the misuse and goes on.
namespace {

struct SrwState {
    std::mutex mutex;
    std::thread::id owner;
    int reentries = 0;
};

std::mutex g_srwStatesLock;  // guards the map and the owners; never held while blocking
std::map<const SRWLOCK *, SrwState> g_srwStates;

void SrwProblem(const char *text)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Problem(text);
}

}  // namespace

void AcquireSRWLockExclusive(PSRWLOCK lock)
{
    SrwState *state = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_srwStatesLock);
        state = &g_srwStates[lock];
        if (state->owner == std::this_thread::get_id()) {
            ++state->reentries;
            state = nullptr;
        }
    }
    if (state == nullptr) {
        SrwProblem("AcquireSRWLockExclusive on a lock the thread holds already (a deadlock)");
        return;
    }
    if (!state->mutex.try_lock()) {
        const auto waiting = [](int change) {
            std::lock_guard<std::mutex> hold(g_lock);
            W().lockWaiters += change;
            g_changed.notify_all();
        };
        waiting(1);
        state->mutex.lock();
        waiting(-1);
    }
    std::lock_guard<std::mutex> hold(g_srwStatesLock);
    state->owner = std::this_thread::get_id();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    SrwState *state = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_srwStatesLock);
        auto it = g_srwStates.find(lock);
        if (it != g_srwStates.end() && it->second.owner == std::this_thread::get_id()) {
            if (it->second.reentries > 0) {
                --it->second.reentries;
                return;
            }
            state = &it->second;
            state->owner = std::thread::id();
        }
    }
    if (state == nullptr) {
        SrwProblem("ReleaseSRWLockExclusive on a lock the thread does not hold");
        return;
    }
    state->mutex.unlock();
}

// ---------------------------------------------------------------- registry

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, HKEY *result)
{
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string path = Join(KeyPathOf(key, "RegOpenKeyExA"), subKey);
    if (DWORD error = Enter("RegOpenKeyExA"))
        return static_cast<LSTATUS>(error);
    W().registryOpens.push_back(path + "|" + std::to_string(options) + "|" +
                                std::to_string(desired));
    if (W().failedKeys.count(Lower(path)) != 0)
        return static_cast<LSTATUS>(W().failedKeys[Lower(path)]);
    if (W().keys.count(Lower(path)) == 0)
        return ERROR_FILE_NOT_FOUND;
    *result = static_cast<HKEY>(NewHandle({Kind::kKey, true, nullptr, 0, path}));
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD dataSize)
{
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string path = KeyPathOf(key, "RegQueryValueExA");
    if (DWORD error = Enter("RegQueryValueExA"))
        return static_cast<LSTATUS>(error);
    if (reserved != nullptr)
        Problem("RegQueryValueExA with a reserved argument");
    W().querySizes.push_back(*dataSize);
    auto values = W().values.find(Lower(path));
    if (values == W().values.end() || values->second.count(Lower(valueName)) == 0)
        return ERROR_FILE_NOT_FOUND;
    const Value &value = values->second[Lower(valueName)];
    if (type != nullptr)
        *type = value.type;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (data != nullptr && *dataSize < size) {
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr)
        memcpy(data, value.data.data(), size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM,
                        LPSECURITY_ATTRIBUTES, HKEY *result, LPDWORD disposition)
{
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string path = Join(KeyPathOf(key, "RegCreateKeyExA"), subKey);
    if (DWORD error = Enter("RegCreateKeyExA"))
        return static_cast<LSTATUS>(error);
    CreateKeys(path);
    if (disposition != nullptr)
        *disposition = 1;
    *result = static_cast<HKEY>(NewHandle({Kind::kKey, true, nullptr, 0, path}));
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE *data,
                       DWORD dataSize)
{
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string path = KeyPathOf(key, "RegSetValueExA");
    if (DWORD error = Enter("RegSetValueExA"))
        return static_cast<LSTATUS>(error);
    W().values[Lower(path)][Lower(valueName)] = {
        type, std::string(reinterpret_cast<const char *>(data), dataSize)};
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey)
{
    std::lock_guard<std::mutex> hold(g_lock);
    const std::string path = Lower(Join(KeyPathOf(key, "RegDeleteKeyA"), subKey));
    if (DWORD error = Enter("RegDeleteKeyA"))
        return static_cast<LSTATUS>(error);
    if (W().keys.erase(path) == 0)
        return ERROR_FILE_NOT_FOUND;
    W().values.erase(path);
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("RegCloseKey", key, {Kind::kKey});
    if (entry == nullptr)
        return static_cast<LSTATUS>(GetLastError());
    entry->open = false;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- event log

HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("RegisterEventSourceA")) {
        Fail(error);
        return nullptr;
    }
    const std::string source = std::string(sourceName) + (serverName ? "@server" : "");
    return NewHandle({Kind::kEventSource, true, nullptr, 0, source});
}

BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCSTR *strings, LPVOID rawData)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("ReportEventA", eventLog, {Kind::kEventSource});
    if (entry == nullptr)
        return FALSE;
    fake::Record record;
    record.source = entry->path;
    record.type = type;
    record.category = category;
    record.eventId = eventId;
    record.sidGiven = userSid != nullptr;
    record.dataSize = dataSize + (rawData != nullptr ? 1 : 0);
    for (WORD i = 0; i < numStrings; ++i)
        record.strings.emplace_back(strings[i]);
    W().records.push_back(record);
    return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("DeregisterEventSource", eventLog, {Kind::kEventSource});
    if (entry == nullptr)
        return FALSE;
    entry->open = false;
    return TRUE;
}

// ---------------------------------------------------------------- services

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("OpenSCManagerA")) {
        Fail(error);
        return nullptr;
    }
    if (!W().administrator && (desiredAccess & ~SC_MANAGER_CONNECT) != 0) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    W().scmOpens.push_back(std::string(machineName ? machineName : "<null>") + "|" +
                           (databaseName ? databaseName : "<null>") + "|" +
                           std::to_string(desiredAccess));
    return static_cast<SC_HANDLE>(NewHandle({Kind::kScManager, true, nullptr, 0, "database"}));
}

SC_HANDLE CreateServiceA(SC_HANDLE database, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Use(database, "CreateServiceA", {Kind::kScManager});
    if (DWORD error = Enter("CreateServiceA")) {
        Fail(error);
        return nullptr;
    }
    if (W().services.count(Lower(serviceName)) != 0) {
        Fail(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    fake::ServiceEntry service;
    service.name = serviceName;
    service.displayName = displayName ? displayName : "<null>";
    service.binaryPath = binaryPathName;
    service.desiredAccess = desiredAccess;
    service.serviceType = serviceType;
    service.startType = startType;
    service.errorControl = errorControl;
    service.groupGiven = loadOrderGroup != nullptr;
    service.tagGiven = tagId != nullptr;
    service.dependenciesGiven = dependencies != nullptr;
    service.accountGiven = serviceStartName != nullptr;
    service.passwordGiven = password != nullptr;
    W().services[Lower(serviceName)] = service;
    return static_cast<SC_HANDLE>(NewHandle({Kind::kService, true, nullptr, 0, serviceName}));
}

SC_HANDLE OpenServiceA(SC_HANDLE database, LPCSTR serviceName, DWORD desiredAccess)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Use(database, "OpenServiceA", {Kind::kScManager});
    if (DWORD error = Enter("OpenServiceA")) {
        Fail(error);
        return nullptr;
    }
    if (!W().administrator && (desiredAccess & ~(SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)) != 0) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (W().services.count(Lower(serviceName)) == 0) {
        Fail(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return static_cast<SC_HANDLE>(
        NewHandle({Kind::kService, true, nullptr, 0, serviceName, desiredAccess}));
}

BOOL DeleteService(SC_HANDLE service)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("DeleteService", service, {Kind::kService});
    if (entry == nullptr)
        return FALSE;
    if (entry->access != SERVICE_ALL_ACCESS)
        Problem("DeleteService on a handle opened without SERVICE_ALL_ACCESS");
    if (W().services.erase(Lower(entry->path)) == 0)
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    return TRUE;
}

BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD size,
                         LPDWORD needed)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("QueryServiceConfigA", service, {Kind::kService});
    if (entry == nullptr)
        return FALSE;
    if ((entry->access & SERVICE_QUERY_CONFIG) == 0)
        return Fail(ERROR_ACCESS_DENIED);
    auto it = W().services.find(Lower(entry->path));
    if (it == W().services.end())
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    const fake::ServiceEntry &found = it->second;
    // The strings follow the record, in the caller's buffer.
    *needed = static_cast<DWORD>(sizeof *config + found.binaryPath.size() + 1);
    if (size < *needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    *config = {};
    config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    config->dwStartType = found.startType;
    config->lpBinaryPathName = reinterpret_cast<LPSTR>(config + 1);
    memcpy(config->lpBinaryPathName, found.binaryPath.c_str(), found.binaryPath.size() + 1);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("QueryServiceStatus", service, {Kind::kService});
    auto it = W().services.find(Lower(entry ? entry->path : ""));
    if (it == W().services.end() || (entry->access & SERVICE_QUERY_STATUS) == 0)
        return Fail(ERROR_ACCESS_DENIED);
    *status = {};
    status->dwCurrentState = it->second.state;
    return TRUE;
}

BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD size,
                          LPDWORD needed)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("QueryServiceConfig2A", service, {Kind::kService});
    *needed = sizeof(SERVICE_DELAYED_AUTO_START_INFO);
    // The one level the product asks for, as a caller with the right may.
    if (entry == nullptr || (entry->access & SERVICE_QUERY_CONFIG) == 0 || size < *needed ||
        infoLevel != SERVICE_CONFIG_DELAYED_AUTO_START_INFO)
        return Fail(ERROR_INVALID_LEVEL);
    reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO *>(buffer)->fDelayedAutostart =
        W().services[Lower(entry->path)].delayed;
    return TRUE;
}

BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("ChangeServiceConfig2A", service, {Kind::kService});
    if (entry == nullptr)
        return FALSE;
    if (infoLevel != SERVICE_CONFIG_DESCRIPTION) {
        Problem("ChangeServiceConfig2A with another level than the description");
        return Fail(ERROR_INVALID_LEVEL);
    }
    auto it = W().services.find(Lower(entry->path));
    if (it == W().services.end())
        return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    const char *text = static_cast<SERVICE_DESCRIPTIONA *>(info)->lpDescription;
    it->second.description = text ? text : "";
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Entry *entry = Begin("CloseServiceHandle", handle, {Kind::kScManager, Kind::kService});
    if (entry == nullptr)
        return FALSE;
    entry->open = false;
    return TRUE;
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table)
{
    std::unique_lock<std::mutex> hold(g_lock);
    if (DWORD error = Enter("StartServiceCtrlDispatcherA"))
        return Fail(error);
    if (table[1].lpServiceName != nullptr || table[1].lpServiceProc != nullptr)
        Problem("dispatch table without its terminating entry after the first");
    W().dispatchedName = table[0].lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = table[0].lpServiceProc;
    LPSTR name = table[0].lpServiceName;
    std::vector<std::string> arguments = W().startArguments;
    std::thread serviceThread([serviceMain, name, &arguments] {
        std::vector<LPSTR> argv{name};
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        serviceMain(static_cast<DWORD>(argv.size()), argv.data());
        std::lock_guard<std::mutex> done(g_lock);
        W().serviceReturned = true;
        g_changed.notify_all();
    });

    // The dispatcher: run the handler for each control until the service
    // has stopped (or its entry has given up and returned).
    for (;;) {
        g_changed.wait(hold, [] {
            return !W().controls.empty() || W().stopped || W().serviceReturned;
        });
        if (W().stopped || W().serviceReturned)
            break;
        const auto [control, eventType] = W().controls.front();
        W().controls.pop_front();
        LPHANDLER_FUNCTION_EX handler = W().handler;
        if (handler == nullptr) {
            Problem("control sent before a handler was registered");
            continue;
        }
        hold.unlock();
        handler(control, eventType, nullptr, nullptr);
        hold.lock();
    }
    hold.unlock();
    serviceThread.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("RegisterServiceCtrlHandlerExA")) {
        Fail(error);
        return nullptr;
    }
    W().handlerName = serviceName;
    W().handler = handler;
    return kStatusHandle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (statusHandle != kStatusHandle)
        Problem("SetServiceStatus without the handle of the handler registration");
    if (DWORD error = Enter("SetServiceStatus"))
        return Fail(error);
    if (W().stopped)
        Problem("a status reported after stopped");
    W().reports.push_back(*status);
    if (status->dwCurrentState == SERVICE_STOPPED)
        W().stopped = true;
    g_changed.notify_all();
    return TRUE;
}

// ---------------------------------------------------------------- security

// Owned by Administrators, which may do anything with it, as SYSTEM may;
// BUILTIN\Users may read and run it: or as the path's Rights say.
struct FakeAce {
    ACE_HEADER header;
    DWORD mask;
    BYTE sid[16];
};
struct FakeDescriptor {
    BYTE owner[16];
    ACL acl;
    FakeAce aces[3];
};
constexpr ACE_HEADER kAllowed = {ACCESS_ALLOWED_ACE_TYPE, 0, sizeof(FakeAce)};
constexpr FakeDescriptor kDescriptor = {
    {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2},  // Administrators
    {2, 0, sizeof(ACL) + 3 * sizeof(FakeAce), 3, 0},
    {{kAllowed, 0x1f01ff, {1, 1, 0, 0, 0, 0, 0, 5, 18}},  // SYSTEM
     {kAllowed, 0x1f01ff, {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2}},
     {kAllowed, 0x1200a9, {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2}}}};  // BUILTIN\Users
constexpr const BYTE *kUsersSid = kDescriptor.aces[2].sid;
constexpr BYTE kAnotherAccount[16] = {1, 2, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 0xE9, 3};  // S-1-5-21-1001

DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, DWORD information, PSID *owner,
                            PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("GetNamedSecurityInfoA"))
        return error;
    if (type != SE_FILE_OBJECT || group != nullptr || sacl != nullptr ||
        information != ((owner ? OWNER_SECURITY_INFORMATION : 0) | DACL_SECURITY_INFORMATION))
        Problem("GetNamedSecurityInfoA asked for more than a file's owner and access list");
    auto *made = new FakeDescriptor(kDescriptor);
    const fake::Rights &rights = W().rights[Lower(name)];
    made->aces[2].header.AceType = rights.usersEntry;
    made->aces[2].mask = rights.usersMask;
    if (rights.owner != "Administrators")
        memcpy(made->owner, rights.owner == "Users" ? kUsersSid : kAnotherAccount, 16);
    *descriptor = made;
    if (owner != nullptr)
        *owner = made->owner;
    *dacl = &made->acl;
    return ERROR_SUCCESS;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID *ace)
{
    auto *at = reinterpret_cast<BYTE *>(acl + 1);
    for (DWORD i = 0; i < index; ++i)
        at += reinterpret_cast<ACE_HEADER *>(at)->AceSize;
    *ace = at;
    return index < acl->AceCount;
}

// BUILTIN\Users by name; every other account has none.
BOOL LookupAccountSidA(LPCSTR, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain,
                       LPDWORD domainSize, SID_NAME_USE *)
{
    if (memcmp(sid, kUsersSid, sizeof(FakeAce::sid)) != 0)
        return Fail(ERROR_NONE_MAPPED);
    *nameSize = CopyOut("Users", name, *nameSize);
    *domainSize = CopyOut("BUILTIN", domain, *domainSize);
    return TRUE;
}

HANDLE LocalFree(HANDLE memory)
{
    delete static_cast<FakeDescriptor *>(memory);
    return nullptr;
}

// ---------------------------------------------------------------- iphlpapi

// The interfaces of the machine's addresses now that have an alias.
ULONG GetAdaptersAddresses(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES addresses, PULONG size)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("GetAdaptersAddresses"))
        return error;
    IP_ADAPTER_ADDRESSES *last = nullptr;
    auto *names = reinterpret_cast<WCHAR *>(addresses + 16);
    for (const MIB_IPADDRROW &row : CurrentAddresses()) {
        const auto named = W().interfaceNames.find(row.dwIndex);
        if (named == W().interfaceNames.end() || last == addresses + 15)
            continue;
        IP_ADAPTER_ADDRESSES *at = last == nullptr ? addresses : last + 1;
        *at = {row.dwIndex, nullptr, names};
        for (unsigned char c : named->second)
            *names++ = c;
        *names++ = 0;
        if (last != nullptr)
            last->Next = at;
        last = at;
    }
    if (*size < 16 * sizeof *addresses + 4096)
        Problem("GetAdaptersAddresses given a small buffer");
    return last != nullptr ? NO_ERROR : ERROR_NO_DATA;
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int size, WCHAR *wide, int chars)
{
    for (int i = 0; i < size; ++i) {
        if (i == chars || (codePage == CP_UTF8 && static_cast<unsigned char>(text[i]) >= 0x80))
            return 0;  // a byte beyond ASCII is taken for no UTF-8
        wide[i] = static_cast<unsigned char>(text[i]);
    }
    return size;
}

int WideCharToMultiByte(UINT, DWORD, const WCHAR *wide, int, LPSTR text, int size, LPCSTR, BOOL *)
{
    int i = 0;
    for (; i < size && (i == 0 || wide[i - 1] != 0); ++i)
        text[i] = static_cast<char>(wide[i] <= 0xFF ? wide[i] : '?');
    return wide[i - 1] == 0 ? i : 0;
}

int CompareStringOrdinal(const WCHAR *a, int aSize, const WCHAR *b, int bSize, BOOL)
{
    std::wstring left(a, aSize), right(b, bSize < 0 ? wcslen(b) : size_t(bSize));
    for (std::wstring *text : {&left, &right})
        std::transform(text->begin(), text->end(), text->begin(), towupper);
    return left == right ? CSTR_EQUAL : 1;
}

DWORD GetIpForwardTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL order)
{
    std::unique_lock<std::mutex> hold(g_lock);
    HoldIfAsked(hold, "GetIpForwardTable");
    if (DWORD error = Enter("GetIpForwardTable"))
        return error;
    DropRoutesOfGoneNetworks();
    if (order)
        Problem("GetIpForwardTable asked to sort");
    const std::vector<MIB_IPFORWARDROW> &rows = W().routingTable;
    if (rows.empty())
        return ERROR_NO_DATA;
    const size_t needed = offsetof(MIB_IPFORWARDTABLE, table) + rows.size() * sizeof rows[0];
    if (table == nullptr || *size < needed) {
        *size = static_cast<ULONG>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    memcpy(table->table, rows.data(), rows.size() * sizeof rows[0]);
    return NO_ERROR;
}

DWORD GetIpAddrTable(PMIB_IPADDRTABLE table, PULONG size, BOOL order)
{
    std::lock_guard<std::mutex> hold(g_lock);
    ++W().addressReads;
    if (DWORD error = Enter("GetIpAddrTable"))
        return error;
    if (order)
        Problem("GetIpAddrTable asked to sort");
    const std::vector<MIB_IPADDRROW> rows = CurrentAddresses();
    if (*size < offsetof(MIB_IPADDRTABLE, table) + rows.size() * sizeof(MIB_IPADDRROW))
        return ERROR_INSUFFICIENT_BUFFER;
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    std::copy(rows.begin(), rows.end(), table->table);
    return NO_ERROR;
}

// The states of the last read's addresses, in memory FreeMibTable frees.
DWORD GetUnicastIpAddressTable(ADDRESS_FAMILY family, PMIB_UNICASTIPADDRESS_TABLE *table)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (DWORD error = Enter("GetUnicastIpAddressTable"); error != 0 || family != AF_INET)
        return error != 0 ? error : ERROR_INVALID_PARAMETER;
    const std::vector<MIB_IPADDRROW> rows = CurrentAddresses();
    // One row more than listed holds the count before them.
    *table = reinterpret_cast<PMIB_UNICASTIPADDRESS_TABLE>(
        new MIB_UNICASTIPADDRESS_ROW[rows.size() + 1]());
    (*table)->NumEntries = static_cast<ULONG>(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        (*table)->Table[i].Address.Ipv4.sin_family = AF_INET;
        (*table)->Table[i].Address.Ipv4.sin_addr.s_addr = rows[i].dwAddr;
        (*table)->Table[i].DadState = static_cast<NL_DAD_STATE>(rows[i].unused1);
    }
    return NO_ERROR;
}

void FreeMibTable(PVOID memory)
{
    delete[] static_cast<MIB_UNICASTIPADDRESS_ROW *>(memory);
}

// Pending, as under Wine; told only by the test, or by addresses set by time.
DWORD Notify(const char *name, LPOVERLAPPED &pending, PHANDLE handle, LPOVERLAPPED overlapped)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter(name);
    pending = overlapped;
    *handle = nullptr;
    return ERROR_IO_PENDING;
}

DWORD NotifyAddrChange(PHANDLE handle, LPOVERLAPPED overlapped)
{
    return Notify("NotifyAddrChange", W().addressNotification, handle, overlapped);
}

DWORD NotifyRouteChange(PHANDLE handle, LPOVERLAPPED overlapped)
{
    return Notify("NotifyRouteChange", W().routeNotification, handle, overlapped);
}

BOOL CancelIPChangeNotify(LPOVERLAPPED overlapped)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("CancelIPChangeNotify");
    for (LPOVERLAPPED *pending : {&W().addressNotification, &W().routeNotification}) {
        if (*pending == overlapped && overlapped != nullptr) {
            *pending = nullptr;
            return TRUE;
        }
    }
    return Fail(ERROR_NOT_FOUND);
}

// ---------------------------------------------------------------- user32

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    std::lock_guard<std::mutex> hold(g_lock);
    Enter("MessageBoxA");
    W().messageBoxes.push_back({text, caption, owner != nullptr, type});
    return 1;
}
