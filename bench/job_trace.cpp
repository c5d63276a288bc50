// One small job through TWPortMon.dll's table, and one done by hand as the
// benchmark's baseline does it, for counting what each asks of the system:
// scripts/trace-job.sh runs this under Wine's relay and server traces. Each
// step is announced by a marker the trace shows.
//
//   job_trace.exe            the traced jobs
//   job_trace.exe time N     N small jobs of each kind, timed (no trace)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/bare_job.h"
#include "portmon/monitor.h"

namespace {

const MonitorTable* g_table = nullptr;
HANDLE g_port = nullptr;

void Mark(const char* what, bool traced) {
    if (traced) OutputDebugStringA(what);
}

void MonitorJob(DWORD jobId, std::vector<char>& block, bool traced) {
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"trace"), nullptr, const_cast<LPWSTR>(L"RAW")};
    Mark("trace:StartDocPort", traced);
    g_table->pfnStartDocPort(g_port, nullptr, jobId, 1, reinterpret_cast<LPBYTE>(&doc));
    Mark("trace:WritePort", traced);
    DWORD written = 0;
    g_table->pfnWritePort(g_port, reinterpret_cast<LPBYTE>(block.data()), static_cast<DWORD>(block.size()), &written);
    Mark("trace:EndDocPort", traced);
    g_table->pfnEndDocPort(g_port);
    Mark("trace:end", traced);
}

void EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + L"\\" + data.cFileName).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t modulePath[MAX_PATH];
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    std::wstring folder(modulePath);
    folder = folder.substr(0, folder.find_last_of(L'\\'));

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"tw-trace";
    const std::wstring data = root + L"\\TarnwickPrinter";
    const std::wstring spool = data + L"\\Spool";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(data.c_str(), nullptr);
    CreateDirectoryW(spool.c_str(), nullptr);
    SetEnvironmentVariableW(L"ProgramData", root.c_str());

    // Auto-launch off, as in the benchmark's small jobs.
    HKEY settings = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                    &settings, nullptr);
    const DWORD off = 0;
    RegSetValueExW(settings, L"AutoLaunch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof(off));
    RegCloseKey(settings);

    HMODULE module = LoadLibraryW((folder + L"\\TWPortMon.dll").c_str());
    auto init = reinterpret_cast<MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
    if (init == nullptr) {
        std::printf("TWPortMon.dll not found beside the program\n");
        return 1;
    }
    HANDLE monitor = nullptr;
    g_table = reinterpret_cast<const MonitorTable*>(init(nullptr, &monitor));
    g_table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"TARNWICK:"), &g_port);

    std::vector<char> block(4096, 'x');
    if (argc >= 3 && std::wcscmp(argv[1], L"time") == 0) {
        const int jobs = _wtoi(argv[2]);
        for (int round = 0; round < 3; ++round) {
            // As in the benchmark: each round starts with an empty spool folder and no logs.
            EmptyFolder(spool);
            DeleteFileW((data + L"\\baseline.log").c_str());
            double start = Now();
            for (int j = 0; j < jobs; ++j) bench::BaselineJob(spool, data, 1000 + j, block, 1, 4096, true);
            const double baseline = Now() - start;
            EmptyFolder(spool);
            DeleteFileW((data + L"\\portmon.log").c_str());
            start = Now();
            for (int j = 0; j < jobs; ++j) MonitorJob(1000 + j, block, false);
            const double monitored = Now() - start;
            std::printf("monitor %.0f jobs/s, baseline %.0f jobs/s, ratio %.2f\n", jobs / monitored, jobs / baseline,
                        baseline / monitored);
        }
    } else {
        // Two jobs of each kind first, so that first-use work is not counted.
        for (DWORD job = 1; job <= 3; ++job) {
            Mark("trace:baseline", job == 3);
            bench::BaselineJob(spool, data, job, block, 1, 4096, true);
            Mark("trace:end", job == 3);
            MonitorJob(job, block, job == 3);
        }
    }
    g_table->pfnClosePort(g_port);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
    return 0;
}
