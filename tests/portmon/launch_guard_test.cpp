// Whatever goes wrong inside a launch stays on the launch thread: structured
// exceptions are caught and logged with their code, and normal exception
// handling and logging inside the launch keep working.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "portmon/monitor.h"
#include "tests/support/files.h"

namespace {

using tw_test::ScopedEnvironment;

void RaiseAccessViolation(const std::wstring&) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

void DivideByZeroSeh(const std::wstring&) {
    RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, nullptr);
}

void ThrowOut(const std::wstring&) {
    throw std::runtime_error("escapes the launch");
}

void CatchInsideAndLog(const std::wstring& user) {
    try {
        throw std::runtime_error("handled inside");
    } catch (const std::runtime_error&) {
        MonitorLog(L"inside the guard for %s", user.c_str());
    }
    OutputDebugStringW(L"debug output inside the guard\n");
}

// A routine that probes memory the way system calls do: the probe's own
// handler takes the fault, and the routine goes on.
bool g_probeFinished = false;
void ProbeInside(const std::wstring&) {
    g_probeFinished = IsBadReadPtr(reinterpret_cast<const void*>(16), 4) != FALSE;
}

void Fault() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}
void (*volatile g_fault)() = &Fault;  // a call, not inlined

// A fault in a line of the log, while this thread holds the log's lock.
void FaultHoldingTheLogLock(const std::wstring&) {
    LogLock lock;
    g_fault();
}

// A catch (...) on the way must not take the fault and carry on.
bool g_swallowed = false;
void FaultUnderACatchAll(const std::wstring&) {
    try {
        g_fault();
    } catch (...) {
        g_swallowed = true;
    }
}

// A fault in a callee the compiler takes for one that cannot throw, while a
// frame with a cleanup is live: that frame's unwind tables do not cover the
// call, and GCC's unwinder would end the process there.
void FaultInANothrowCallee(const std::wstring&) {
    const std::wstring live(L"a frame with a cleanup");
    const wchar_t* volatile nowhere = nullptr;
    if (wcslen(nowhere) == live.size()) MonitorLog(L"unreachable");
}

class LaunchGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tw_test::MakeTempFolder(L"guard");
        programData_ = std::make_unique<ScopedEnvironment>(L"ProgramData", root_);
    }
    void TearDown() override {
        programData_.reset();
        tw_test::RemoveTree(root_);
    }
    std::string Log() const { return tw_test::ReadFileBytes(root_ + L"\\TarnwickPrinter\\portmon.log"); }

    // Runs a request on its own thread exactly as a job end does, and returns the thread's exit code.
    DWORD RunOnLaunchThread(void (*launch)(const std::wstring&)) {
        auto* request = new LaunchRequest{L"taro", launch, nullptr};
        HANDLE thread = CreateThread(nullptr, 0, &LaunchEditorThread, request, 0, nullptr);
        EXPECT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 20000), WAIT_OBJECT_0);
        DWORD code = 0xFFFFFFFF;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        return code;
    }

    std::wstring root_;
    std::unique_ptr<ScopedEnvironment> programData_;
};

TEST_F(LaunchGuardTest, AccessViolationIsLoggedAndTheNextLaunchWorks) {
    EXPECT_EQ(RunOnLaunchThread(&RaiseAccessViolation), 0u);
    EXPECT_NE(Log().find("自動起動の処理で例外が発生しました (code=0xC0000005, "), std::string::npos) << Log();

    EXPECT_EQ(RunOnLaunchThread(&CatchInsideAndLog), 0u);
    EXPECT_NE(Log().find("inside the guard for taro"), std::string::npos);

    EXPECT_EQ(RunOnLaunchThread(&DivideByZeroSeh), 0u);
    EXPECT_NE(Log().find("(code=0xC0000094, "), std::string::npos);

    // A second fault after the first was handled is caught all the same.
    EXPECT_EQ(RunOnLaunchThread(&RaiseAccessViolation), 0u);
    size_t count = 0;
    for (size_t at = Log().find("code=0xC0000005"); at != std::string::npos; at = Log().find("code=0xC0000005", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2u);
}

void JumpNowhere(const std::wstring&) {
    reinterpret_cast<void (*)()>(static_cast<ULONG_PTR>(0x10))();
}

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// The line names the code, the address and the module the address lies in.
TEST_F(LaunchGuardTest, FaultLineNamesTheAddressAndItsModule) {
    const struct {
        void (*launch)(const std::wstring&);
        bool inThisProgram;  // else in no module at all
    } cases[] = {{&RaiseAccessViolation, true}, {&JumpNowhere, false}};
    for (const auto& c : cases) {
        const LaunchFault fault = RunLaunchGuarded(LaunchRequest{L"", c.launch, nullptr});
        EXPECT_EQ(fault.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
        EXPECT_EQ(std::wstring(fault.module), c.inThisProgram ? ThisProgram() : L"");
        if (!c.inThisProgram) EXPECT_EQ(fault.address, 0x10u);
    }
    EXPECT_EQ(RunOnLaunchThread(&JumpNowhere), 0u);
    EXPECT_NE(Log().find("自動起動の処理で例外が発生しました (code=0xC0000005, address=0x0000000000000010, module=不明)"),
              std::string::npos)
        << Log();
    EXPECT_EQ(RunOnLaunchThread(&RaiseAccessViolation), 0u);
    EXPECT_NE(Log().find(", module=" + tw_test::AsUtf8(ThisProgram()) + ")"), std::string::npos) << Log();
}

#if !defined(_MSC_VER)
extern "C" ULONG_PTR tw_call_guarded(void (*routine)(void*), void* argument);

// The stack pointer the guard's frame was entered with (x64: after its
// prologue), found by unwinding from the caller.
char* GuardFrame() {
    CONTEXT context = {};
    RtlCaptureContext(&context);
    for (int depth = 0; depth < 16; ++depth) {
#if defined(__x86_64__)
        const DWORD64 pc = context.Rip;
#else
        const DWORD64 pc = context.Pc;
#endif
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &base, nullptr);
        if (function == nullptr) return nullptr;
        const bool guard = base + function->BeginAddress == reinterpret_cast<DWORD64>(&tw_call_guarded);
        PVOID handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, pc, function, &context, &handlerData, &establisher, nullptr);
        if (guard) return reinterpret_cast<char*>(establisher);
    }
    return nullptr;
}

// A wild write that lands in the guard's frame, on every byte that is
// neither a saved return address nor a saved frame record, then a fault.
bool g_scribbled = false;
void ScribbleOverTheGuardAndFault(const std::wstring&) {
    char* frame = GuardFrame();
    if (frame != nullptr) {
#if defined(__x86_64__)
        std::memset(frame, 0x41, 40);  // the home space and the frame's own 8 bytes
#else
        std::memset(frame - 16, 0x41, 16);  // above the saved x29 and x30
#endif
        g_scribbled = true;
    }
    g_fault();
}

TEST_F(LaunchGuardTest, OverrunIntoTheGuardsFrameIsStillCaught) {
    const LaunchFault fault = RunLaunchGuarded(LaunchRequest{L"", &ScribbleOverTheGuardAndFault, nullptr});
    EXPECT_TRUE(g_scribbled);
    EXPECT_EQ(fault.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
}
#endif

TEST_F(LaunchGuardTest, FaultsHandledInsideNeverReachTheGuard) {
    EXPECT_EQ(RunLaunchGuarded(LaunchRequest{L"", &ProbeInside, nullptr}).code, 0u);
    EXPECT_TRUE(g_probeFinished);
}

TEST_F(LaunchGuardTest, FaultLeavesNoLogLockHeldAndNoCatchTakesIt) {
    EXPECT_EQ(RunOnLaunchThread(&FaultHoldingTheLogLock), 0u);
    EXPECT_EQ(RunOnLaunchThread(&FaultUnderACatchAll), 0u);
    EXPECT_FALSE(g_swallowed);
    // Every port's next line goes through: a line from another thread is written, not blocked for good.
    HANDLE other = CreateThread(nullptr, 0, [](LPVOID) -> DWORD {
        MonitorLog(L"after the fault");
        return 0;
    }, nullptr, 0, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(WaitForSingleObject(other, 20000), WAIT_OBJECT_0);
    CloseHandle(other);
    const std::string log = Log();
    EXPECT_NE(log.find("after the fault"), std::string::npos);
    size_t faults = 0;
    for (size_t at = log.find("(code=0xC0000005, "); at != std::string::npos; at = log.find("(code=0xC0000005, ", at + 1)) {
        ++faults;
    }
    EXPECT_EQ(faults, 2u) << log;
}

TEST_F(LaunchGuardTest, FaultWhereCleanupsCannotRunIsStillCaught) {
    EXPECT_EQ(RunOnLaunchThread(&FaultInANothrowCallee), 0u);
    EXPECT_NE(Log().find("(code=0xC0000005, "), std::string::npos) << Log();
    MonitorLog(L"after the fault");
    EXPECT_NE(Log().find("after the fault"), std::string::npos);
}

TEST_F(LaunchGuardTest, NormalWorkInsideTheGuardIsUntouched) {
    const LaunchRequest request{L"hanako", &CatchInsideAndLog, nullptr};
    EXPECT_EQ(RunLaunchGuarded(request).code, 0u);
    EXPECT_NE(Log().find("inside the guard for hanako"), std::string::npos);
    EXPECT_EQ(Log().find("例外"), std::string::npos);
}

TEST_F(LaunchGuardTest, CppExceptionThatEscapesIsCaught) {
    EXPECT_EQ(RunLaunchGuarded(LaunchRequest{L"", &ThrowOut, nullptr}).code, kCppExceptionCode);
    EXPECT_EQ(RunOnLaunchThread(&ThrowOut), 0u);
    EXPECT_NE(Log().find("(code=0xE06D7363, "), std::string::npos);
}

TEST_F(LaunchGuardTest, FaultsOnOtherThreadsAreNotTheGuardsBusiness) {
    // While a launch runs, a fault on another thread must reach that thread's own handlers.
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static HANDLE s_started, s_release;
    s_started = started;
    s_release = release;
    auto* request = new LaunchRequest{L"", [](const std::wstring&) {
        SetEvent(s_started);
        WaitForSingleObject(s_release, 20000);
    }, nullptr};
    HANDLE thread = CreateThread(nullptr, 0, &LaunchEditorThread, request, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(started, 20000), WAIT_OBJECT_0);
    bool handledHere = false;
    try {
        throw std::runtime_error("another thread");
    } catch (const std::runtime_error&) {
        handledHere = true;
    }
    EXPECT_TRUE(handledHere);
    SetEvent(release);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    CloseHandle(started);
    CloseHandle(release);
    EXPECT_EQ(Log().find("例外"), std::string::npos);
}

}  // namespace
