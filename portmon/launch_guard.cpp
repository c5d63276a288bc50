// The guard around a launch: nothing that goes wrong while starting the
// editor, not even an access violation, may reach the spooler's process.
#include "portmon/monitor.h"

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

#if defined(_MSC_VER)

DWORD RunLaunchGuarded(const LaunchRequest& request) {
    __try {
        return RunCatchingCppExceptions(request);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
}

#else

// GCC has no __try/__except. A vectored handler, registered only while a
// launch runs, sends execution back to the guard's entry when the launch
// thread raises an error-severity exception. It leaves everything else alone:
// other threads of the spooler, and the informational exceptions that
// OutputDebugString and C++ throw raise on this thread as part of normal work.
namespace {

struct GuardFrame {
    CONTEXT resume;
    volatile LONG caught;
    volatile DWORD code;
};

thread_local GuardFrame* t_guard = nullptr;

bool IsErrorSeverity(DWORD code) {
    return (code & 0xC0000000u) == 0xC0000000u;
}

LONG CALLBACK LaunchGuardHandler(EXCEPTION_POINTERS* pointers) {
    GuardFrame* frame = t_guard;
    if (frame == nullptr || frame->caught) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (!IsErrorSeverity(code)) return EXCEPTION_CONTINUE_SEARCH;
    frame->code = code;
    frame->caught = 1;
    *pointers->ContextRecord = frame->resume;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

DWORD RunLaunchGuarded(const LaunchRequest& request) {
    GuardFrame frame = {};
    PVOID handler = AddVectoredExceptionHandler(1, &LaunchGuardHandler);
    // Execution comes back here a second time, with caught set, after an exception.
    RtlCaptureContext(&frame.resume);
    if (frame.caught) {
        t_guard = nullptr;
        if (handler != nullptr) RemoveVectoredExceptionHandler(handler);
        return frame.code;
    }
    t_guard = &frame;
    const DWORD code = RunCatchingCppExceptions(request);
    t_guard = nullptr;
    if (handler != nullptr) RemoveVectoredExceptionHandler(handler);
    return code;
}

#endif
