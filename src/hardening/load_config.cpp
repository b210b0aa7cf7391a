// The load configuration record every Windows program of this build carries, and the stack
// guard the compiler's checks read. Debian's mingw-w64 runtime has neither record nor cookie:
// without the record the loader randomises no cookie and Control Flow Guard has no tables, and
// without a cookie of its own libssp seeds a guard of its own in a constructor.
//
//  - __security_cookie and __stack_chk_guard are one object (two names, one address): the
//    loader finds it through the record, sees the default constant below and replaces it with a
//    random value before any code of the program runs; the stack checks of gcc and clang read
//    __stack_chk_guard, so they read that random value. A cookie other than the default is
//    refused by Windows for images of subsystem 6.3 and later: the default stays on disk.
//  - __stack_chk_fail and __chk_fail (a failed stack check, a fortified routine's overflow)
//    end the process at once with __fastfail, as the code Microsoft's compiler emits does:
//    status STATUS_STACK_BUFFER_OVERRUN (0xC0000409), no handler of the program runs. Defined
//    here, they keep libssp's own guard and its seeding out of the link.
//  - __guard_check_icall_fptr and __guard_dispatch_icall_fptr: what the code compiled with
//    Control Flow Guard calls before (and for) each indirect call. They point at a no-op check and
//    a plain jump; when Windows enforces the guard its loader points them at its own checks.
//    They live in a read-only section that only the loader writes.
//  - _load_config_used: IMAGE_LOAD_CONFIG_DIRECTORY64 in its Windows 10 layout (320 bytes), laid
//    out in assembly because its guard fields are the linker's symbols (lld defines __guard_fids_*
//    and __guard_flags when it writes the guard's tables). GNU ld (2.40) neither writes the tables
//    nor points the image at a record: gcc's build links none of this and keeps libssp's guard.
#include <cstdint>

// The fast-fail codes (winnt.h): a corrupted stack cookie, a range check that failed.
#define KQ5_FAST_FAIL_STACK_COOKIE_CHECK_FAILURE 2
#define KQ5_FAST_FAIL_RANGE_CHECK_FAILURE 8

// clang-format off
__asm__(
    // The cookie: the default value Windows replaces at load (the upper 16 bits stay zero).
    ".data\n"
    ".balign 8\n"
    ".globl __security_cookie\n"
    ".globl __stack_chk_guard\n"
    "__security_cookie:\n"
    "__stack_chk_guard:\n"
    "    .quad 0x00002B992DDFA232\n"

    // Control Flow Guard's defaults until the loader replaces them. The dispatch jumps to its
    // target in rax; it is a label, not a function, so that it is no valid call target itself.
    ".text\n"
    ".balign 16\n"
    "kq5_guard_check_nop:\n"
    "    ret\n"
    "kq5_guard_dispatch_nop:\n"
    "    jmp *%rax\n"
    ".section .00cfg,\"dr\"\n"
    ".balign 8\n"
    ".globl __guard_check_icall_fptr\n"
    ".globl __guard_dispatch_icall_fptr\n"
    "__guard_check_icall_fptr:\n"
    "    .quad kq5_guard_check_nop\n"
    "__guard_dispatch_icall_fptr:\n"
    "    .quad kq5_guard_dispatch_nop\n"

    // IMAGE_LOAD_CONFIG_DIRECTORY64, field by field (offsets in the comments).
    ".section .rdata,\"dr\"\n"
    ".balign 8\n"
    ".globl _load_config_used\n"
    "_load_config_used:\n"
    "    .long kq5_load_config_end - _load_config_used\n" // 0x00 Size
    "    .long 0, 0, 0, 0, 0\n"  // 0x04 TimeDateStamp, Major/MinorVersion, GlobalFlagsClear/Set,
                                 //      CriticalSectionDefaultTimeout
    "    .quad 0, 0, 0, 0, 0, 0\n" // 0x18 DeCommit*Threshold, LockPrefixTable,
                                   //      MaximumAllocationSize, VirtualMemoryThreshold,
                                   //      ProcessAffinityMask
    "    .long 0, 0\n"             // 0x48 ProcessHeapFlags, CSDVersion, DependentLoadFlags
    "    .quad 0\n"                // 0x50 EditList
    "    .quad __security_cookie\n" // 0x58 SecurityCookie
    "    .quad 0, 0\n"              // 0x60 SEHandlerTable, SEHandlerCount (x86 only)
    "    .quad __guard_check_icall_fptr\n"    // 0x70 GuardCFCheckFunctionPointer
    "    .quad __guard_dispatch_icall_fptr\n" // 0x78 GuardCFDispatchFunctionPointer
    "    .quad __guard_fids_table\n" // 0x80 GuardCFFunctionTable
    "    .quad __guard_fids_count\n" // 0x88 GuardCFFunctionCount
    "    .long __guard_flags\n"      // 0x90 GuardFlags
    "    .long 0, 0, 0\n"                           // 0x94 CodeIntegrity
    "    .quad __guard_iat_table\n"  // 0xA0 GuardAddressTakenIatEntryTable
    "    .quad __guard_iat_count\n"  // 0xA8 GuardAddressTakenIatEntryCount
    "    .quad __guard_longjmp_table\n" // 0xB0 GuardLongJumpTargetTable
    "    .quad __guard_longjmp_count\n" // 0xB8 GuardLongJumpTargetCount
    "    .quad 0, 0, 0, 0\n" // 0xC0 DynamicValueRelocTable, CHPEMetadataPointer,
                             //      GuardRFFailureRoutine(FunctionPointer)
    "    .long 0, 0\n"       // 0xE0 DynamicValueRelocTableOffset/Section, Reserved2
    "    .quad 0\n"          // 0xE8 GuardRFVerifyStackPointerFunctionPointer
    "    .long 0, 0\n"       // 0xF0 HotPatchTableOffset, Reserved3
    "    .quad 0, 0\n"       // 0xF8 EnclaveConfigurationPointer, VolatileMetadataPointer
    "    .quad __guard_eh_cont_table\n" // 0x108 GuardEHContinuationTable
    "    .quad __guard_eh_cont_count\n" // 0x110 GuardEHContinuationCount
    "    .quad 0, 0, 0, 0, 0\n" // 0x118 GuardXFG*FunctionPointer (3),
                                //       CastGuardOsDeterminedFailureMode, GuardMemcpyFunctionPointer
    "kq5_load_config_end:\n"
    ".text\n");
// clang-format on

namespace {

[[noreturn]] void FastFail(unsigned code) {
    // __fastfail: int 0x29 with the code in ecx. Windows ends the process without unwinding or
    // running a handler of its own, reporting STATUS_STACK_BUFFER_OVERRUN.
    __asm__ volatile("int $0x29" : : "c"(code) : "memory");
    __builtin_unreachable();
}

}  // namespace

extern "C" {
[[noreturn]] void __stack_chk_fail();
[[noreturn]] void __chk_fail();
}

extern "C" void __stack_chk_fail() {
    FastFail(KQ5_FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

extern "C" void __chk_fail() {
    FastFail(KQ5_FAST_FAIL_RANGE_CHECK_FAILURE);
}
