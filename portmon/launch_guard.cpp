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

}  // namespace

DWORD RunLaunchGuarded(const LaunchRequest& request) {
    __try {
        return RunCatchingCppExceptions(request);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
}

#else

// GCC has no __try/__except. The launch runs inside a small frame of our own
// (below, in assembly) whose exception handler is registered in its unwind
// data, as __except registers one: the system asks it only about exceptions
// that no frame inside the launch handled itself, such as an access probe in
// a system call or a C++ exception thrown and caught in a Windows component.
// It then unwinds the launch's frames like a C++ exception, so that their
// cleanups run and a lock held there is released, and the frame returns 1.
#include <unwind.h>

#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

// GCC's own C++ exceptions: they are left to the C++ catch around the frame.
constexpr DWORD kGccThrow = 0x20474343;
constexpr DWORD kGccUnwind = 0x21474343;
constexpr DWORD kGccForced = 0x22474343;
// Not a C++ exception class: only catch (...) blocks inside the launch can
// take the unwind; the frames' cleanups all run.
constexpr _Unwind_Exception_Class kGuardExceptionClass = 0x545750474E524400ull;  // "TWPGNRD\0"

struct GuardState {
    _Unwind_Exception unwind;  // lives above the frames being unwound
    DWORD code;
};

// The guard whose unwind runs on this thread just now.
thread_local GuardState* t_unwinding = nullptr;
std::terminate_handler g_previousTerminate = nullptr;

// GCC's unwinder ends the process where a frame's tables do not cover the
// address it was left at (a fault in a callee declared not to throw, or in
// code between two calls). Where the guard's unwind meets such a frame, it is
// finished as the fault itself instead, which GCC's frames let pass without
// their cleanups: nothing runs on in that frame, and the spooler lives.
[[noreturn]] void FinishUnwindWithoutCleanups() {
    GuardState* state = t_unwinding;
    if (state == nullptr) {
        if (g_previousTerminate != nullptr) g_previousTerminate();
        std::abort();
    }
    t_unwinding = nullptr;
    EXCEPTION_RECORD fault = {};
    fault.ExceptionCode = state->code;
    CONTEXT context = {};
    RtlUnwindEx(reinterpret_cast<PVOID>(state->unwind.private_[1]), reinterpret_cast<PVOID>(state->unwind.private_[2]),
                &fault, nullptr, &context, nullptr);
    std::abort();
}

void CallLaunch(void* request) {
    const auto* launch = static_cast<const LaunchRequest*>(request);
    launch->launch(launch->userName);
}

}  // namespace

extern "C" {
// Calls routine(argument); 0 when it returned, 1 when an exception ended it.
// The frame keeps `state` where its handler finds it: 32 bytes above its
// stack pointer, the establisher frame.
int tw_call_guarded(void (*routine)(void*), void* argument, GuardState* state);
void tw_guard_resume();
EXCEPTION_DISPOSITION tw_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                       DISPATCHER_CONTEXT* dispatcher);
}

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

extern "C" EXCEPTION_DISPOSITION tw_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                  CONTEXT* context, DISPATCHER_CONTEXT* dispatcher) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    const DWORD code = record->ExceptionCode;
    if (code == kGccThrow || code == kGccUnwind || code == kGccForced) return ExceptionContinueSearch;

    GuardState* state = nullptr;
    std::memcpy(&state, static_cast<char*>(establisherFrame) + 32, sizeof(state));
    state->code = code;
    // Unwound as an exception GCC's frames take part in: a foreign one to
    // their personality, which runs their cleanups on the way. Where a cleanup
    // resumes the unwind, it continues from what is recorded here.
    std::memset(&state->unwind, 0, sizeof(state->unwind));
    state->unwind.exception_class = kGuardExceptionClass;
    state->unwind.private_[1] = reinterpret_cast<_Unwind_Word>(establisherFrame);
    state->unwind.private_[2] = reinterpret_cast<_Unwind_Word>(&tw_guard_resume);
    EXCEPTION_RECORD unwind = {};
    unwind.ExceptionCode = kGccThrow;
    unwind.NumberParameters = 4;
    unwind.ExceptionInformation[0] = reinterpret_cast<ULONG_PTR>(&state->unwind);
    unwind.ExceptionInformation[1] = state->unwind.private_[1];
    unwind.ExceptionInformation[2] = state->unwind.private_[2];
    t_unwinding = state;
    RtlUnwindEx(establisherFrame, reinterpret_cast<PVOID>(&tw_guard_resume), &unwind, nullptr, context,
                dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // RtlUnwindEx does not return
}

DWORD RunLaunchGuarded(const LaunchRequest& request) {
    static const bool installed = [] {
        g_previousTerminate = std::set_terminate(&FinishUnwindWithoutCleanups);
        return true;
    }();
    (void)installed;
    try {
        GuardState state = {};
        const int ended = tw_call_guarded(&CallLaunch, const_cast<LaunchRequest*>(&request), &state);
        // Also when a catch (...) inside the launch took the unwind and the launch went on.
        t_unwinding = nullptr;
        return ended == 0 ? 0 : state.code;
    } catch (...) {
        return kCppExceptionCode;
    }
}

#endif
