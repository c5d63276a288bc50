// The spooler may load and unload the monitor any number of times in one
// process (Wine's does after every job): each cycle loads the DLL, prints one
// job from a thread that outlives the module, and unloads it. Nothing a load
// takes may stay behind: the heaps' busy bytes, summed by a walk, and the
// next free TLS slot are measured after cycle 10 and after the last.
// (GetProcessHandleCount and the private bytes read 0 under Wine.)
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "portmon/monitor.h"
#include "tests/support/files.h"

namespace {

using namespace tw_test;

constexpr int kFirstMeasuredCycle = 10;
constexpr size_t kJobBytes = 4096;
constexpr std::uint64_t kHeapGrowthLimit = 64 * 1024;

std::uint64_t HeapBusyBytes(HANDLE heap) {
    std::uint64_t busy = 0;
    const bool locked = HeapLock(heap) != FALSE;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    }
    if (locked) HeapUnlock(heap);
    return busy;
}

struct Footprint {
    DWORD freeTlsSlot = 0;
    std::uint64_t heapBytes = 0;  // busy bytes of every heap, the C runtime's included
};

Footprint Measure() {
    Footprint footprint;
    footprint.freeTlsSlot = TlsAlloc();
    TlsFree(footprint.freeTlsSlot);
    HANDLE heaps[256];
    DWORD count = std::min<DWORD>(GetProcessHeaps(256, heaps), 256);
    // The C runtimes' heaps, looked up by name: zig's import library has no _get_heap_handle.
    for (const wchar_t* runtime : {L"msvcrt.dll", L"ucrtbase.dll"}) {
        const HMODULE module = GetModuleHandleW(runtime);
        const auto getHeap = module != nullptr ? reinterpret_cast<intptr_t(__cdecl*)()>(reinterpret_cast<void*>(
                                                     GetProcAddress(module, "_get_heap_handle")))
                                               : nullptr;
        const auto heap = getHeap != nullptr ? reinterpret_cast<HANDLE>(getHeap()) : nullptr;
        if (heap != nullptr && std::find(heaps, heaps + count, heap) == heaps + count && count < 256) {
            heaps[count++] = heap;
        }
    }
    for (DWORD i = 0; i < count; ++i) footprint.heapBytes += HeapBusyBytes(heaps[i]);
    return footprint;
}

DWORD ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    DWORD count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    }
    CloseHandle(snapshot);
    return count;
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

struct SoakPlan {
    const char* name;
    const wchar_t* dllFolder;  // below the tests' folder; empty: the shipped build beside them
    int cycles;
    int launchEvery;          // 0: the editor's running event is held throughout
    bool overlongPortName;    // each cycle also opens a port with a name the build cannot allocate
    void (*leak)();           // a harness step that leaks on purpose in each cycle, or null
};

struct SoakOutcome {
    int committed = 0;
    int refusedNames = 0;  // opens refused with ERROR_NOT_ENOUGH_MEMORY
    int launches = 0;      // launch threads that started and ended
    Footprint first;
    Footprint last;
};

void CloseRunning(HANDLE& running) {
    if (running != nullptr) CloseHandle(running);
    running = nullptr;
}

SoakOutcome RunSoak(const SoakPlan& plan) {
    const std::wstring dll = ModuleFolder() + plan.dllFolder + L"\\TWPortMon.dll";
    const std::wstring overlongName(600000, L'p');  // 1.2 MB: more than the test build allocates at once
    SoakOutcome outcome;
    // The editor counts as running: a committed job starts no launch thread.
    HANDLE running = CreateEventW(nullptr, TRUE, FALSE, kRunningEventName);
    {
        PrintingThread printing;
        const DWORD baseThreads = ThreadsOfThisProcess();
        for (int cycle = 1; cycle <= plan.cycles; ++cycle) {
            const bool launching = plan.launchEvery != 0 && cycle % plan.launchEvery == 0;
            if (launching) CloseRunning(running);
            HMODULE module = LoadLibraryW(dll.c_str());
            EXPECT_NE(module, nullptr) << plan.name << " cycle " << cycle << ": " << GetLastError();
            if (module == nullptr) break;
            auto init = reinterpret_cast<MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE)>(
                reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
            MONITORINIT monitorInit = {};
            monitorInit.cbSize = sizeof(monitorInit);
            HANDLE monitor = nullptr;
            JobRequest job;
            job.table = init != nullptr ? reinterpret_cast<const MonitorTable*>(init(&monitorInit, &monitor)) : nullptr;
            EXPECT_NE(job.table, nullptr);
            if (job.table == nullptr) break;
            if (plan.overlongPortName) {
                HANDLE refused = nullptr;
                const BOOL opened = job.table->pfnOpenPort(monitor, const_cast<LPWSTR>(overlongName.c_str()), &refused);
                const DWORD error = GetLastError();
                if (!opened && error == ERROR_NOT_ENOUGH_MEMORY) ++outcome.refusedNames;
                if (cycle == 1) EXPECT_TRUE(!opened && error == ERROR_NOT_ENOUGH_MEMORY) << opened << " " << error;
                if (opened) job.table->pfnClosePort(refused);
            }
            EXPECT_TRUE(job.table->pfnOpenPort(monitor, const_cast<LPWSTR>(kDefaultPortName), &job.port));
            static DWORD s_jobId = 0;
            job.jobId = ++s_jobId;  // unique across plans: no two jobs of one second share a name
            EXPECT_TRUE(printing.Print(job)) << plan.name << " cycle " << cycle << " hangs";
            outcome.committed += job.ended ? 1 : 0;
            EXPECT_TRUE(job.table->pfnClosePort(job.port));
            job.table->pfnShutdown(monitor);
            // Unloaded while the launch thread still runs: its own reference is the last.
            EXPECT_TRUE(FreeLibrary(module));
            if (launching) {
                bool ended = false;
                for (int wait = 0; wait < 2000 && !ended; ++wait) {
                    ended = ThreadsOfThisProcess() <= baseThreads;
                    if (!ended) Sleep(10);
                }
                outcome.launches += ended ? 1 : 0;
                running = CreateEventW(nullptr, TRUE, FALSE, kRunningEventName);
            }
            if (plan.leak != nullptr) plan.leak();
            if (cycle == kFirstMeasuredCycle) outcome.first = Measure();
        }
        outcome.last = Measure();
    }
    CloseRunning(running);
    return outcome;
}

std::wstring Growth(const SoakOutcome& outcome) {
    return std::to_wstring(outcome.first.heapBytes) + L" -> " + std::to_wstring(outcome.last.heapBytes) +
           L" bytes, TLS slot " + std::to_wstring(outcome.first.freeTlsSlot) + L" -> " +
           std::to_wstring(outcome.last.freeTlsSlot);
}

bool HeapIsFlat(const SoakOutcome& outcome) {
    return outcome.last.heapBytes < outcome.first.heapBytes + kHeapGrowthLimit;
}

class ReloadSoak : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = MakeTempFolder(L"reload");
        programData_ = std::make_unique<ScopedEnvironment>(L"ProgramData", root_);
        // No editor anywhere: a launch goes to the (stand-in) scheduled task.
        programFiles_ = std::make_unique<ScopedEnvironment>(L"ProgramFiles", root_);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
        // Wine's winspool.drv leaves a named mutex behind at each load of its own.
        winspool_ = LoadLibraryW(L"winspool.drv");
    }
    void TearDown() override {
        if (winspool_ != nullptr) FreeLibrary(winspool_);
        programFiles_.reset();
        programData_.reset();
        RemoveTree(root_);
    }
    std::wstring Spool() const { return root_ + L"\\TarnwickPrinter\\Spool"; }
    int ReadyMarkers() const {
        const std::vector<std::wstring> names = ListFolder(Spool());
        return static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::wstring& name) {
            return name.size() > 6 && name.substr(name.size() - 6) == L".ready";
        }));
    }

    std::wstring root_;
    std::unique_ptr<ScopedEnvironment> programData_;
    std::unique_ptr<ScopedEnvironment> programFiles_;
    HMODULE winspool_ = nullptr;
};

// The three ways a load is used, 1,500 cycles in all; the counts keep the
// whole near a minute on x64 Wine (each launch starts a process).
TEST_F(ReloadSoak, EveryKindOfCycleLeavesNothingBehind) {
    ScopedSystemStandIn schtasks(L"schtasks.exe");
    ASSERT_TRUE(schtasks.ready());
    const SoakPlan plans[] = {
        {"editor running, no launch", L"", 700, 0, false, nullptr},
        {"launch threads outliving their load", L"", 100, 4, false, nullptr},
        {"a C++ exception thrown and caught in each load", L"\\refusing", 700, 0, true, nullptr},
    };
    int jobs = 0;
    for (const SoakPlan& plan : plans) {
        const ULONGLONG started = GetTickCount64();
        const SoakOutcome outcome = RunSoak(plan);
        jobs += plan.cycles;
        EXPECT_EQ(outcome.committed, plan.cycles) << plan.name;
        EXPECT_EQ(outcome.launches, plan.launchEvery == 0 ? 0 : plan.cycles / plan.launchEvery) << plan.name;
        EXPECT_EQ(outcome.refusedNames, plan.overlongPortName ? plan.cycles : 0) << plan.name;
        EXPECT_TRUE(HeapIsFlat(outcome)) << plan.name << ": " << AsUtf8(Growth(outcome));
        EXPECT_EQ(outcome.last.freeTlsSlot, outcome.first.freeTlsSlot) << plan.name;
        std::printf("%s: %s, %llu ms\n", plan.name, AsUtf8(Growth(outcome)).c_str(), GetTickCount64() - started);
    }
    EXPECT_EQ(ReadyMarkers(), jobs);
    const std::string tasks = schtasks.Recorded();
    EXPECT_EQ(std::count(tasks.begin(), tasks.end(), '\n'), 100 / 4);
}

// Each measure moves: a harness step that leaks on purpose is seen.
void LeakRuntimeHeap() {
    volatile char* kept = static_cast<char*>(std::malloc(4096));
    kept[0] = 1;
}
void LeakTlsSlot() {
    TlsAlloc();
}

TEST_F(ReloadSoak, EachMeasureSeesALeak) {
    const SoakPlan heapLeak = {"runtime heap leak", L"", 40, 0, false, &LeakRuntimeHeap};
    const SoakOutcome heap = RunSoak(heapLeak);
    EXPECT_FALSE(HeapIsFlat(heap)) << AsUtf8(Growth(heap));

    const SoakPlan tlsLeak = {"TLS leak", L"", 40, 0, false, &LeakTlsSlot};
    const SoakOutcome tls = RunSoak(tlsLeak);
    EXPECT_NE(tls.last.freeTlsSlot, tls.first.freeTlsSlot);
}

}  // namespace
