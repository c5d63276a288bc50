// The spooler may load and unload the monitor any number of times in one
// process (Wine's does after every job): each cycle loads the DLL, prints one
// job from a thread that outlives the module, and unloads it. Nothing a load
// takes may stay behind: no TLS slot, no handle, no memory.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>

#include "portmon/monitor.h"
#include "tests/support/files.h"

namespace {

using namespace tw_test;

constexpr int kCycles = 1500;
constexpr int kFirstMeasuredCycle = 10;
constexpr size_t kJobBytes = 4096;

struct Footprint {
    DWORD freeTlsSlot = 0;
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

Footprint Measure() {
    Footprint footprint;
    footprint.freeTlsSlot = TlsAlloc();
    TlsFree(footprint.freeTlsSlot);
    GetProcessHandleCount(GetCurrentProcess(), &footprint.handles);
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof(memory))) {
        footprint.privateBytes = memory.PrivateUsage;
    }
    return footprint;
}

// One job through a loaded table, run on the printing thread.
struct JobRequest {
    const MonitorTable* table = nullptr;
    HANDLE port = nullptr;
    DWORD jobId = 0;
    bool ended = false;
};

// The spooler's printing thread: it lives through every load of the module.
class PrintingThread {
public:
    PrintingThread()
        : ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), done_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, &PrintingThread::Run, this, 0, nullptr)) {}
    ~PrintingThread() {
        request_ = nullptr;
        SetEvent(ready_);
        WaitForSingleObject(thread_, 20000);
        CloseHandle(thread_);
        CloseHandle(ready_);
        CloseHandle(done_);
    }
    PrintingThread(const PrintingThread&) = delete;
    PrintingThread& operator=(const PrintingThread&) = delete;

    bool Print(JobRequest& request) {
        request_ = &request;
        SetEvent(ready_);
        return WaitForSingleObject(done_, 60000) == WAIT_OBJECT_0;
    }

private:
    static DWORD WINAPI Run(LPVOID self) {
        auto* printing = static_cast<PrintingThread*>(self);
        for (;;) {
            WaitForSingleObject(printing->ready_, INFINITE);
            JobRequest* request = printing->request_;
            if (request == nullptr) return 0;
            const std::string data(kJobBytes, 'j');
            DOC_INFO_1W doc = {const_cast<LPWSTR>(L"reload"), nullptr, const_cast<LPWSTR>(L"RAW")};
            DWORD written = 0;
            request->ended =
                request->table->pfnStartDocPort(request->port, nullptr, request->jobId, 1,
                                                reinterpret_cast<LPBYTE>(&doc)) &&
                request->table->pfnWritePort(request->port, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                                             kJobBytes, &written) &&
                request->table->pfnEndDocPort(request->port);
            SetEvent(printing->done_);
        }
    }

    HANDLE ready_;
    HANDLE done_;
    JobRequest* request_ = nullptr;
    HANDLE thread_;
};

TEST(ReloadSoak, ManyLoadsLeaveNothingBehind) {
    const std::wstring root = MakeTempFolder(L"reload");
    ScopedEnvironment programData(L"ProgramData", root);
    // The editor counts as running: a committed job starts no launch thread.
    HANDLE running = CreateEventW(nullptr, TRUE, FALSE, kRunningEventName);
    const std::wstring dll = ModuleFolder() + L"\\TWPortMon.dll";
    Footprint first;
    Footprint last;
    int committed = 0;
    {
        PrintingThread printing;
        for (int cycle = 1; cycle <= kCycles; ++cycle) {
            HMODULE module = LoadLibraryW(dll.c_str());
            ASSERT_NE(module, nullptr) << "cycle " << cycle << ": " << GetLastError();
            auto init = reinterpret_cast<MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE)>(
                reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
            ASSERT_NE(init, nullptr);
            MONITORINIT monitorInit = {};
            monitorInit.cbSize = sizeof(monitorInit);
            HANDLE monitor = nullptr;
            JobRequest job;
            job.table = reinterpret_cast<const MonitorTable*>(init(&monitorInit, &monitor));
            ASSERT_NE(job.table, nullptr);
            ASSERT_TRUE(job.table->pfnOpenPort(monitor, const_cast<LPWSTR>(kDefaultPortName), &job.port));
            job.jobId = static_cast<DWORD>(cycle);
            ASSERT_TRUE(printing.Print(job)) << "cycle " << cycle << " hangs";
            committed += job.ended ? 1 : 0;
            ASSERT_TRUE(job.table->pfnClosePort(job.port));
            job.table->pfnShutdown(monitor);
            ASSERT_TRUE(FreeLibrary(module));
            if (cycle == kFirstMeasuredCycle) first = Measure();
        }
        last = Measure();
    }
    CloseHandle(running);

    EXPECT_EQ(committed, kCycles);
    const std::vector<std::wstring> names = ListFolder(root + L"\\TarnwickPrinter\\Spool");
    EXPECT_EQ(std::count_if(names.begin(), names.end(),
                            [](const std::wstring& name) { return name.size() > 6 && name.substr(name.size() - 6) == L".ready"; }),
              kCycles);
    EXPECT_EQ(last.freeTlsSlot, first.freeTlsSlot);
    EXPECT_LE(last.handles, first.handles + 8);
    // A byte per cycle would be 1.5 KB; a leak of a handle, an event or a thread record per load is far more.
    EXPECT_LE(last.privateBytes, first.privateBytes + 1024 * 1024)
        << first.privateBytes << " -> " << last.privateBytes;
    RemoveTree(root);
}

}  // namespace
