// The stack guard of the Windows build seen from inside a program built exactly as the shipped
// ones (tests/hardening.sh runs it under Wine):
//   cookie        the security cookie as the loader left it, and the stack guard the compiler's
//                 checks read ("cookie 0x... guard 0x..."): one object, random at each start.
//   overrun N     writes N bytes into a 16-byte local array: past 16 the stack check fails and
//                 the process ends with a fast fail.
//   child N       runs "overrun N" as a child process and prints its exit code
//                 ("exit 0x........"): the whole 32-bit code, which a shell's $? truncates.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" uintptr_t __security_cookie;
extern "C" uintptr_t __stack_chk_guard;

namespace {

// Not inlined and written through a volatile array, so that neither the loop nor the check is
// optimised away, and through no library routine, so that the stack check (not fortify) fires.
__attribute__((noinline)) void Overrun(size_t count) {
    volatile char buffer[16];
    for (size_t i = 0; i < count; ++i) {
        buffer[i] = 'x';
    }
}

int Child(const char* count) {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        std::puts("error GetModuleFileNameW");
        return 2;
    }
    std::wstring line = L"\"" + std::wstring(self) + L"\" overrun ";
    for (const char* c = count; *c != '\0'; ++c) {
        line += static_cast<wchar_t>(*c);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::printf("error CreateProcessW %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("exit 0x%08lX\n", code);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "cookie") == 0) {
        std::printf("cookie 0x%016llX guard 0x%016llX\n",
                    static_cast<unsigned long long>(__security_cookie),
                    static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "overrun") == 0) {
        Overrun(std::strtoul(argv[2], nullptr, 10));
        std::puts("returned");
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "child") == 0) {
        return Child(argv[2]);
    }
    std::fputs("usage: kq5_stack_probe cookie | overrun BYTES | child BYTES\n", stderr);
    return 2;
}
