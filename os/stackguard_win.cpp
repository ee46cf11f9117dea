// The stack protector's guard and failure handlers on Windows, in place of GCC's libssp. Its
// guard is seeded before main through CryptAcquireContext, which loads rsaenh.dll, whose own
// imports (bcrypt.dll, crypt32.dll) Windows then looks for beside the program: DLLs planted
// there would be loaded before main could limit the search to the system folder. This guard
// is seeded as Windows' own /GS cookie is, from the clock, the process, the thread and the
// random address of the stack (and the processor's generator where it has one): no DLL is
// loaded for it.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cpuid.h>
#include <cstdint>

extern "C" {

// Read by every protected function; replaced before any of ours runs.
std::uintptr_t __stack_chk_guard = 0x2B992DDFA232;

[[noreturn]] void __stack_chk_fail()
{
    // What Windows' own /GS check does: end the process at once, reported as an overrun.
    __asm__ volatile("int $0x29" ::"c"(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE));
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_unreachable();
}

[[noreturn]] void __stack_chk_fail_local()
{
    __stack_chk_fail();
}

// A checked string function's bound was exceeded (_FORTIFY_SOURCE).
[[noreturn]] void __chk_fail()
{
    __asm__ volatile("int $0x29" ::"c"(FAST_FAIL_RANGE_CHECK_FAILURE));
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_unreachable();
}

} // extern "C"

namespace {

__attribute__((target("rdrnd"))) bool hardwareRandom(unsigned long long &value)
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_RDRND)) {
        return false;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (__builtin_ia32_rdrand64_step(&value)) {
            return true;
        }
    }
    return false;
}

// The first constructor to run, before any function that checks the guard is on the stack.
__attribute__((constructor(101), no_stack_protector)) void seedStackGuard()
{
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    FILETIME time{};
    GetSystemTimeAsFileTime(&time);
    std::uintptr_t guard = std::uintptr_t(counter.QuadPart);
    guard ^= std::uintptr_t(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    guard ^= std::uintptr_t(GetCurrentProcessId()) << 32 ^ GetCurrentThreadId();
    guard ^= reinterpret_cast<std::uintptr_t>(&counter);
    if (unsigned long long random = 0; hardwareRandom(random)) {
        guard ^= random;
    }
    __stack_chk_guard = guard;
}

} // namespace
