// The guard around a launch: nothing that goes wrong while starting the
// editor, not even an access violation, may reach the spooler's process.
#include "portmon/monitor.h"

#if defined(_MSC_VER)

namespace {

DWORD RunCatchingCppExceptions(const LaunchRequest& request) {
    try {
        request.launch(request.userName);
        return 0;
    } catch (...) {
        return kCppExceptionCode;
    }
}

DWORD RunInGuardFrame(const LaunchRequest& request) {
    __try {
        return RunCatchingCppExceptions(request);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
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
// log's lock, which RunLaunchGuarded releases.
#include <cstddef>
#include <cstring>

namespace {

// The C++ exception codes of GCC's runtime and of LLVM's libunwind (zig's
// ARM64 build), which uses the same: a throw, a collided unwind and a forced
// one. libunwind's SEH handler, like GCC's, lets every other code pass
// without a cleanup in both phases.
bool IsGccCode(DWORD code) {
    return code == 0x20474343 || code == 0x21474343 || code == 0x22474343;
}

struct GuardState {
    EXCEPTION_RECORD cppRecord;  // stands in for a C++ exception's record while unwinding
    DWORD code;
};

void CallLaunch(void* request) {
    const auto* launch = static_cast<const LaunchRequest*>(request);
    launch->launch(launch->userName);
}

}  // namespace

extern "C" {
// Calls routine(argument); 0 when it returned, 1 when an exception ended it.
// The frame keeps `state` in its own stack slot, at kStateOffset from the
// establisher frame that the system hands its handler.
int tw_call_guarded(void (*routine)(void*), void* argument, GuardState* state);
void tw_guard_resume();
EXCEPTION_DISPOSITION tw_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                       DISPATCHER_CONTEXT* dispatcher);
}

#if defined(__x86_64__)
// x64: the establisher frame is the stack pointer after the prologue.
constexpr std::ptrdiff_t kStateOffset = 32;
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
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    jmp 1f
    .globl tw_guard_resume
tw_guard_resume:
    movl $1, %eax
1:
    addq $40, %rsp
    ret
    .seh_endproc
)");
#elif defined(__aarch64__)
// ARM64: the establisher frame is the stack pointer at the frame's entry, the
// one its caller had; the prologue's 32 bytes lie below it, `state` in the
// upper half of them. The unwind to tw_guard_resume restores the frame's own
// stack pointer and frame record, so its epilogue returns to the caller.
constexpr std::ptrdiff_t kStateOffset = -16;
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
    str x2, [sp, #16]
    mov x16, x0
    mov x0, x1
    blr x16
    mov w0, #0
    b 1f
    .globl tw_guard_resume
tw_guard_resume:
    mov w0, #1
1:
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
    GuardState* state = nullptr;
    std::memcpy(&state, static_cast<char*>(establisherFrame) + kStateOffset, sizeof(state));

    EXCEPTION_RECORD* unwindWith = record;
    if (IsGccCode(record->ExceptionCode)) {
        // A C++ exception nobody caught, from whichever module: unwound as
        // one of no runtime's, so that no personality acts on it on the way.
        std::memset(&state->cppRecord, 0, sizeof(state->cppRecord));
        state->cppRecord.ExceptionCode = kCppExceptionCode;
        state->cppRecord.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        unwindWith = &state->cppRecord;
    }
    state->code = unwindWith->ExceptionCode;
    RtlUnwindEx(establisherFrame, reinterpret_cast<PVOID>(&tw_guard_resume), unwindWith, nullptr, context,
                dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // RtlUnwindEx does not return
}

namespace {

DWORD RunInGuardFrame(const LaunchRequest& request) {
    GuardState state = {};
    const int ended = tw_call_guarded(&CallLaunch, const_cast<LaunchRequest*>(&request), &state);
    return ended == 0 ? 0 : state.code;
}

}  // namespace

#endif

DWORD RunLaunchGuarded(const LaunchRequest& request) {
    const DWORD code = RunInGuardFrame(request);
    // Nothing else the launch holds stands in anyone's way; a log line cut
    // short must not leave every later line of every port waiting.
    if (code != 0) ReleaseLogLockHeldByThisThread();
    return code;
}
