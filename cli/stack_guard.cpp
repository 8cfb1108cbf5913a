// The stack protector's guard and its failure, for the Windows build: the
// compiler's own library would seed the guard through the CryptoAPI at every
// start, loading a cryptographic provider (and with it user32) into the
// service for nothing. Built without the stack protector itself: the guard
// changes while SeedStackGuard runs, and a function checked on its return
// would see its canary changed and end the process.

#include <windows.h>
#include <ntsecapi.h>

#include <stdint.h>

// The names are the compiler's, which the protected functions use.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" {

// Read by every protected function on entry and checked on its return.
uintptr_t __stack_chk_guard = 0;

// A smashed stack, or a buffer check of the C headers that failed: the
// process ends at once, as Windows ends one whose security cookie failed.
[[noreturn]] void __stack_chk_fail()
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}

[[noreturn]] void __chk_fail()
{
    __stack_chk_fail();
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)

namespace {

// From the system's random number generator, which loads no provider; should
// it fail, from what differs between two starts. Never 0.
bool SeedStackGuard()
{
    uintptr_t guard = 0;
    if (!RtlGenRandom(&guard, sizeof guard)) {
        LARGE_INTEGER counter = {};
        QueryPerformanceCounter(&counter);
        guard = static_cast<uintptr_t>(counter.QuadPart) ^ GetTickCount64() ^
                (static_cast<uintptr_t>(GetCurrentProcessId()) << 32) ^ GetCurrentThreadId();
    }
    __stack_chk_guard = guard != 0 ? guard : 0x2F8A6C4D9E1B3705u;
    return true;
}

// Before main, and before any function of the program that is protected: the
// program's other files have no code that runs before main.
const bool g_guardSeeded = SeedStackGuard();

}  // namespace
