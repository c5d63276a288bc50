// The guard around a launch: nothing that goes wrong while starting the
// editor, not even an access violation, may reach the spooler's process.
#include "portmon/monitor.h"

#include <cstring>

namespace {

// What the exception handler learnt, kept where neither the heap (the fault
// may lie in it) nor the launch's stack (an overrun there may have hit it) is
// involved. A slot belongs to the thread that claimed it until that thread
// takes it back; with every slot taken only the code is reported.
struct FaultSlot {
    volatile LONG busy;
    DWORD threadId;
    ULONG_PTR address;
    wchar_t module[MAX_PATH];
};
FaultSlot g_faultSlots[4];

void RecordFault(const EXCEPTION_RECORD& record) {
    for (FaultSlot& slot : g_faultSlots) {
        if (InterlockedCompareExchange(&slot.busy, 1, 0) != 0) continue;
        slot.threadId = GetCurrentThreadId();
        slot.address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
        slot.module[0] = L'\0';
        HMODULE module = nullptr;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               static_cast<LPCWSTR>(record.ExceptionAddress), &module)) {
            if (GetModuleFileNameW(module, slot.module, MAX_PATH) == 0) slot.module[0] = L'\0';
            slot.module[MAX_PATH - 1] = L'\0';
        }
        return;
    }
}

void TakeFaultOfThisThread(LaunchFault& fault) {
    const DWORD self = GetCurrentThreadId();
    for (FaultSlot& slot : g_faultSlots) {
        if (slot.busy == 0 || slot.threadId != self) continue;
        fault.address = slot.address;
        std::memcpy(fault.module, slot.module, sizeof(fault.module));
        InterlockedExchange(&slot.busy, 0);
        return;
    }
}

// What the guarded call hands back: 0 when the routine returned, otherwise
// the exception's code shifted up with the lowest bit set (so that even a
// code of 0 reads as an exception).
constexpr ULONG_PTR EndedBy(DWORD code) {
    return (static_cast<ULONG_PTR>(code) << 1) | 1;
}

}  // namespace

#if defined(_MSC_VER)

namespace {

ULONG_PTR RunCatchingCppExceptions(void (*routine)(void*), void* argument) {
    try {
        routine(argument);
        return 0;
    } catch (...) {
        return EndedBy(kCppExceptionCode);
    }
}

int FilterFault(const EXCEPTION_POINTERS* pointers) {
    RecordFault(*pointers->ExceptionRecord);
    return EXCEPTION_EXECUTE_HANDLER;
}

ULONG_PTR RunInGuardFrame(void (*routine)(void*), void* argument) {
    __try {
        return RunCatchingCppExceptions(routine, argument);
    } __except (FilterFault(GetExceptionInformation())) {
        return EndedBy(GetExceptionCode());
    }
}

}  // namespace

#else

// GCC has no __try/__except, and clang's (zig's, for ARM64) catches nothing
// in a mingw build. The launch runs inside a small frame of our own
// (below, in assembly) whose exception handler is registered in its unwind
// data, as __except registers one: the system asks it only about exceptions
// that no frame inside the launch handled itself, such as an access probe in
// a system call or a C++ exception thrown and caught in a Windows component.
//
// It then unwinds to the frame with the fault's own record. The GCC
// personality of every module, ours or a DLL's with its own runtime, leaves
// a record that is not a GCC throw alone: no cleanup runs, no catch (...)
// takes it, and no personality ends the process where its tables do not
// cover the faulting address. What the launch held is leaked, but for the
// log's lock, which RunGuarded releases.
//
// The guard keeps nothing on the stack above the launch: the outcome comes
// back as RtlUnwindEx's return value (rax, x0) at tw_guard_resume, and the
// handler's own frame lies below the fault.
namespace {

// The C++ exception codes of GCC's runtime and of LLVM's libunwind (zig's
// ARM64 build), which uses the same: a throw, a collided unwind and a forced
// one. libunwind's SEH handler, like GCC's, lets every other code pass
// without a cleanup in both phases.
bool IsGccCode(DWORD code) {
    return code == 0x20474343 || code == 0x21474343 || code == 0x22474343;
}

}  // namespace

extern "C" {
// Calls routine(argument); 0 when it returned, otherwise what the handler
// handed to RtlUnwindEx.
ULONG_PTR tw_call_guarded(void (*routine)(void*), void* argument);
void tw_guard_resume();
EXCEPTION_DISPOSITION tw_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                       DISPATCHER_CONTEXT* dispatcher);
}

#if defined(__x86_64__)
asm(R"(
    .text
    .p2align 4
    .globl tw_call_guarded
    .def tw_call_guarded; .scl 2; .type 32; .endef
    .seh_proc tw_call_guarded
tw_call_guarded:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler tw_guard_handler, @except
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    .globl tw_guard_resume
tw_guard_resume:
    addq $40, %rsp
    ret
    .seh_endproc
)");
#elif defined(__aarch64__)
// ARM64: the unwind to tw_guard_resume restores the frame's own stack
// pointer and frame record, so its epilogue returns to the caller. The upper
// 16 of the frame's 32 bytes hold nothing.
asm(R"(
    .text
    .p2align 2
    .globl tw_call_guarded
    .def tw_call_guarded; .scl 2; .type 32; .endef
    .seh_proc tw_call_guarded
tw_call_guarded:
    stp x29, x30, [sp, #-32]!
    .seh_save_fplr_x 32
    mov x29, sp
    .seh_set_fp
    .seh_endprologue
    .seh_handler tw_guard_handler, @except
    mov x16, x0
    mov x0, x1
    blr x16
    mov x0, #0
    .globl tw_guard_resume
tw_guard_resume:
    .seh_startepilogue
    ldp x29, x30, [sp], #32
    .seh_save_fplr_x 32
    .seh_endepilogue
    ret
    .seh_endproc
)");
#else
#error "The launch guard's frame is written for x64 and ARM64."
#endif

extern "C" EXCEPTION_DISPOSITION tw_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                  CONTEXT* context, DISPATCHER_CONTEXT* dispatcher) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    RecordFault(*record);
    // A C++ exception nobody caught, from whichever module: unwound as one of
    // no runtime's, so that no personality acts on it on the way.
    EXCEPTION_RECORD cppRecord;
    std::memset(&cppRecord, 0, sizeof(cppRecord));
    cppRecord.ExceptionCode = kCppExceptionCode;
    cppRecord.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    EXCEPTION_RECORD* unwindWith = IsGccCode(record->ExceptionCode) ? &cppRecord : record;
    RtlUnwindEx(establisherFrame, reinterpret_cast<PVOID>(&tw_guard_resume), unwindWith,
                reinterpret_cast<PVOID>(EndedBy(unwindWith->ExceptionCode)), context, dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // RtlUnwindEx does not return
}

namespace {

ULONG_PTR RunInGuardFrame(void (*routine)(void*), void* argument) {
    return tw_call_guarded(routine, argument);
}

}  // namespace

#endif

namespace {

void CallLaunch(void* request) {
    const auto* launch = static_cast<const LaunchRequest*>(request);
    launch->launch(launch->userName);
}

}  // namespace

LaunchFault RunGuarded(void (*routine)(void*), void* argument) {
    LaunchFault fault;
    const ULONG_PTR outcome = RunInGuardFrame(routine, argument);
    if (outcome == 0) return fault;
    fault.code = static_cast<DWORD>(outcome >> 1);
    TakeFaultOfThisThread(fault);
    // Nothing else the routine holds stands in anyone's way; a log line cut
    // short must not leave every later line of every port waiting.
    ReleaseLogLockHeldByThisThread();
    return fault;
}

LaunchFault RunLaunchGuarded(const LaunchRequest& request) {
    return RunGuarded(&CallLaunch, const_cast<LaunchRequest*>(&request));
}
