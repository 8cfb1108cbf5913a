#pragma once
// Stand-in for the Win32 header in the host build: only the types, constants
// and functions Tolvane uses, with the sizes they have on 64-bit Windows.
// The functions are implemented by the scriptable fake in fake_win32.cpp.

#include <cstddef>
#include <cstdint>

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef uint32_t DWORD;
typedef uint64_t ULONGLONG;
typedef uint32_t ULONG;
typedef ULONG *PULONG;
typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef unsigned int UINT;
typedef void *HANDLE;
typedef void *LPVOID;
typedef void *PSID;
typedef void *HWND;
typedef void *HMODULE;
typedef intptr_t(WINAPI *FARPROC)();
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef DWORD REGSAM;
typedef struct HKEY__ *HKEY;
typedef struct SC_HANDLE__ *SC_HANDLE;
typedef struct SERVICE_STATUS_HANDLE__ *SERVICE_STATUS_HANDLE;
typedef struct SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;

#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define INFINITE 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_SUCCESS 0
#define NO_ERROR 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_OPEN_FAILED 110u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_LEVEL 124u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NO_DATA 232u
#define ERROR_MORE_DATA 234u
#define ERROR_SERVICE_DOES_NOT_EXIST 1060u
#define ERROR_SERVICE_DISABLED 1058u
#define ERROR_NONE_MAPPED 1332u
#define ERROR_SERVICE_NOT_ACTIVE 1062u
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063u
#define ERROR_SERVICE_EXISTS 1073u
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NETWORK_UNREACHABLE 1231u
#define ERROR_REQUEST_ABORTED 1235u
#define ERROR_IO_PENDING 997u

#define CREATE_NEW_CONSOLE 0x00000010u
#define CREATE_NEW_PROCESS_GROUP 0x00000200u
#define CREATE_DEFAULT_ERROR_MODE 0x04000000u
#define DUPLICATE_SAME_ACCESS 0x00000002u

#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define REG_OPTION_NON_VOLATILE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_DWORD 4u

#define EVENTLOG_ERROR_TYPE 0x0001u
#define EVENTLOG_INFORMATION_TYPE 0x0004u
#define MB_OK 0x00000000u

#define SC_MANAGER_CONNECT 0x0001u
#define SC_MANAGER_ALL_ACCESS 0xF003Fu
#define SERVICE_QUERY_CONFIG 0x0001u
#define SERVICE_QUERY_STATUS 0x0004u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define SERVICE_ALL_ACCESS 0xF01FFu
#define SERVICE_WIN32_OWN_PROCESS 0x00000010u
#define SERVICE_AUTO_START 0x00000002u
#define SERVICE_DEMAND_START 0x00000003u
#define SERVICE_DISABLED 0x00000004u
#define SERVICE_ERROR_NORMAL 0x00000001u
#define SERVICE_CONFIG_DESCRIPTION 1u
#define SERVICE_CONFIG_DELAYED_AUTO_START_INFO 3u

#define SERVICE_STOPPED 1u
#define SERVICE_START_PENDING 2u
#define SERVICE_STOP_PENDING 3u
#define SERVICE_RUNNING 4u
#define SERVICE_PAUSE_PENDING 6u
#define SERVICE_PAUSED 7u
#define SERVICE_ACCEPT_POWEREVENT 0x40u
#define SERVICE_CONTROL_POWEREVENT 0x0Du
#define PBT_APMRESUMEAUTOMATIC 0x12u
#define SERVICE_ACCEPT_STOP 0x1u
#define SERVICE_ACCEPT_PAUSE_CONTINUE 0x2u
#define SERVICE_ACCEPT_SHUTDOWN 0x4u
#define SERVICE_CONTROL_STOP 1u
#define SERVICE_CONTROL_PAUSE 2u
#define SERVICE_CONTROL_CONTINUE 3u
#define SERVICE_CONTROL_INTERROGATE 4u
#define SERVICE_CONTROL_SHUTDOWN 5u

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _OVERLAPPED {
    uintptr_t Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
typedef HANDLE *PHANDLE;
typedef void *PVOID;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct _SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;

typedef struct _QUERY_SERVICE_CONFIGA {
    DWORD dwServiceType;
    DWORD dwStartType;
    DWORD dwErrorControl;
    LPSTR lpBinaryPathName;
    LPSTR lpLoadOrderGroup;
    DWORD dwTagId;
    LPSTR lpDependencies;
    LPSTR lpServiceStartName;
    LPSTR lpDisplayName;
} QUERY_SERVICE_CONFIGA, *LPQUERY_SERVICE_CONFIGA;

typedef struct _SERVICE_DESCRIPTIONA {
    LPSTR lpDescription;
} SERVICE_DESCRIPTIONA, *LPSERVICE_DESCRIPTIONA;

typedef struct { BOOL fDelayedAutostart; } SERVICE_DELAYED_AUTO_START_INFO;

// Slim reader/writer lock; the stand-in keeps its state by the lock's address.
typedef struct _RTL_SRWLOCK {
    void *Ptr;
} SRWLOCK, *PSRWLOCK;
#define SRWLOCK_INIT {nullptr}

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID);
typedef DWORD(WINAPI *LPHANDLER_FUNCTION_EX)(DWORD, DWORD, LPVOID, LPVOID);
typedef void(WINAPI *LPSERVICE_MAIN_FUNCTIONA)(DWORD, LPSTR *);

typedef struct _SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
} SERVICE_TABLE_ENTRYA;

// kernel32
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetFileAttributesA(LPCSTR path);
DWORD SearchPathA(LPCSTR path, LPCSTR fileName, LPCSTR extension, DWORD bufferLength,
                  LPSTR buffer, LPSTR *filePart);
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                    LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *objects, BOOL waitAll, DWORD milliseconds);
ULONGLONG GetTickCount64();
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
BOOL CloseHandle(HANDLE object);
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE *target,
                     DWORD desiredAccess, BOOL inheritHandle, DWORD options);
HANDLE GetCurrentProcess();
void Sleep(DWORD milliseconds);
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008u
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
BOOL SetDllDirectoryA(LPCSTR pathName);
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR path);
void AcquireSRWLockExclusive(PSRWLOCK lock);
void ReleaseSRWLockExclusive(PSRWLOCK lock);

// advapi32: registry
LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, HKEY *result);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD dataSize);
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                        REGSAM desired, LPSECURITY_ATTRIBUTES attributes, HKEY *result,
                        LPDWORD disposition);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE *data,
                       DWORD dataSize);
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegCloseKey(HKEY key);

// advapi32: event log
HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
BOOL ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                  WORD numStrings, DWORD dataSize, LPCSTR *strings, LPVOID rawData);
BOOL DeregisterEventSource(HANDLE eventLog);

// advapi32: service control manager
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE CreateServiceA(SC_HANDLE database, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE database, LPCSTR serviceName, DWORD desiredAccess);
BOOL DeleteService(SC_HANDLE service);
BOOL QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD size,
                         LPDWORD needed);
BOOL ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info);
BOOL QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD size,
                          LPDWORD needed);
BOOL CloseServiceHandle(SC_HANDLE handle);
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA *table);
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName,
                                                    LPHANDLER_FUNCTION_EX handler, LPVOID context);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);

// user32
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// kernel32: text. The ANSI code page here is Latin-1.
typedef wchar_t WCHAR;
#define CP_ACP 0u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x8u
#define CSTR_EQUAL 2
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, WCHAR *wide, int chars);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *wide, int chars, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL *usedDefault);
int CompareStringOrdinal(const WCHAR *a, int aSize, const WCHAR *b, int bSize, BOOL ignoreCase);
