// One small job through TWPortMon.dll's table, and one done by hand as the
// benchmark's baseline does it, for counting what each asks of the system:
// scripts/trace-job.sh runs this under Wine's relay and server traces. Each
// step is announced by a marker the trace shows.
//
//   job_trace.exe            the traced jobs
//   job_trace.exe compare N OTHER.dll...
//                            N rounds of one job of the baseline, one job
//                            through TWPortMon.dll and one through each other
//                            build of it, interleaved job by job so that the
//                            machine's pace weighs on all alike, each kind
//                            in a spool folder of its own
#include <windows.h>

#include <algorithm>
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

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bench::Folders folders = bench::MakeFolders(L"tw-trace");
    const std::wstring& data = folders.data;
    const std::wstring& spool = folders.spool;

    bench::SwitchAutoLaunchOff(kSettingsKeyPath);

    if (!bench::OpenMonitor(bench::ProgramFolder() + L"\\TWPortMon.dll", g_table, g_port)) {
        std::printf("TWPortMon.dll not found beside the program\n");
        return 1;
    }

    std::vector<char> block(4096, 'x');
    if (argc >= 3 && std::wcscmp(argv[1], L"compare") == 0) {
        const int rounds = _wtoi(argv[2]);
        struct Kind {
            std::wstring name;
            const MonitorTable* table;
            HANDLE port;
            std::vector<double> ms;
        };
        std::vector<Kind> kinds = {{L"baseline (the contract's work)", nullptr, nullptr, {}},
                                   {L"TWPortMon.dll", g_table, g_port, {}}};
        for (int i = 3; i < argc; ++i) {
            Kind other = {argv[i], nullptr, nullptr, {}};
            if (!bench::OpenMonitor(argv[i], other.table, other.port)) {
                std::printf("cannot load %ls\n", argv[i]);
                return 1;
            }
            kinds.push_back(other);
        }
        // Each kind has a ProgramData root of its own (the monitor reads it
        // afresh for every job), and every folder is emptied at the same
        // rounds: a folder's past size weighs on each lookup in it.
        std::vector<bench::Folders> kindFolders;
        for (size_t k = 0; k < kinds.size(); ++k) {
            kindFolders.push_back(bench::MakeFolders((L"tw-trace-" + std::to_wstring(k)).c_str()));
        }
        for (int r = 0; r < rounds; ++r) {
            if (r % 3000 == 0) {
                for (const bench::Folders& f : kindFolders) {
                    bench::EmptyFolder(f.spool);
                    DeleteFileW((f.data + L"\\baseline.log").c_str());
                    DeleteFileW((f.data + L"\\portmon.log").c_str());
                }
            }
            for (size_t k = 0; k < kinds.size(); ++k) {
                Kind& kind = kinds[k];
                const bench::Folders& f = kindFolders[k];
                SetEnvironmentVariableW(L"ProgramData", f.data.substr(0, f.data.find_last_of(L'\\')).c_str());
                const DWORD jobId = 10000 + static_cast<DWORD>(r);
                const double start = Now();
                if (kind.table == nullptr) {
                    bench::BaselineJob(f.spool, f.data, jobId, block, 1, 4096, bench::HandOff::Contract,
                                       kSettingsKeyPath);
                } else {
                    g_table = kind.table;
                    g_port = kind.port;
                    MonitorJob(jobId, block, false);
                }
                kind.ms.push_back((Now() - start) * 1000);
            }
        }
        auto mean = [](const std::vector<double>& values) {
            double sum = 0;
            for (double v : values) sum += v;
            return sum / values.size();
        };
        const double baselineMean = mean(kinds[0].ms);
        for (Kind& kind : kinds) {
            const double kindMean = mean(kind.ms);
            std::sort(kind.ms.begin(), kind.ms.end());
            std::printf("%-40ls mean %.3f ms, median %.3f ms; ratio to the baseline %.3f\n", kind.name.c_str(),
                        kindMean, kind.ms[kind.ms.size() / 2], baselineMean / kindMean);
        }
    } else {
        // Two jobs of each kind first, so that first-use work is not counted.
        for (DWORD job = 1; job <= 3; ++job) {
            Mark("trace:baseline", job == 3);
            bench::BaselineJob(spool, data, job, block, 1, 4096, bench::HandOff::Contract, kSettingsKeyPath);
            Mark("trace:end", job == 3);
            MonitorJob(job, block, job == 3);
        }
    }
    g_table->pfnClosePort(g_port);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
    return 0;
}
