// Capture benchmark: TWPortMon.dll driven through its table as the spooler
// drives it, against a baseline that does by hand, in the same run, what the
// job contract asks of any implementation (bench/bare_job.h): the data file,
// and for small jobs everything else a job with auto-launch off does, with
// none of the monitor's own checks. Prints medians, the milliseconds of a
// small job on each side and the monitor's ratio to the baseline (higher is
// better for the monitor); the last line is "large_ratio=R small_ratio=R".
// The monitor measured is TWPortMon.dll beside the benchmark, or the DLL
// named by the first argument (an earlier build, for the same baseline).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bare_job.h"
#include "portmon/monitor.h"

namespace {

constexpr DWORD kBlock = 64 * 1024;
constexpr int kLargeBlocks = 4096;  // 256 MiB
constexpr DWORD kSmallJob = 4 * 1024;
constexpr int kSmallJobs = 3000;
constexpr int kRepetitions = 5;

const MonitorTable* g_table = nullptr;
std::wstring g_spool;
std::wstring g_data;

double Seconds(const std::function<void()>& work) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::wstring MakeFolder(const std::wstring& path) {
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void MonitorJob(HANDLE port, DWORD jobId, const std::vector<char>& block, int blocks, DWORD blockSize) {
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"bench"), nullptr, const_cast<LPWSTR>(L"RAW")};
    g_table->pfnStartDocPort(port, nullptr, jobId, 1, reinterpret_cast<LPBYTE>(&doc));
    for (int i = 0; i < blocks; ++i) {
        DWORD written = 0;
        g_table->pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(block.data())), blockSize, &written);
    }
    g_table->pfnEndDocPort(port);
}

SIZE_T PeakPrivateBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakPagefileUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bench::Folders folders = bench::MakeFolders(L"tw-bench");
    g_data = folders.data;
    g_spool = folders.spool;

    const std::wstring monitorPath = argc >= 2 ? argv[1] : bench::ProgramFolder() + L"\\TWPortMon.dll";
    HANDLE port = nullptr;
    if (!bench::OpenMonitor(monitorPath, g_table, port)) {
        std::printf("cannot load the monitor %ls\n", monitorPath.c_str());
        return 1;
    }
    std::printf("monitor: %ls\n", monitorPath.c_str());

    bench::SwitchAutoLaunchOff(kSettingsKeyPath);

    std::vector<char> block(kBlock, 'x');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);

    // Large jobs: throughput of 256 MiB in 64 KiB blocks.
    MonitorJob(port, 1, block, 16, kBlock);  // warm-up, and the memory reading for a 1 MiB job
    const SIZE_T peakSmall = PeakPrivateBytes();
    std::vector<double> monitorLarge, baselineLarge;
    for (int r = 0; r < kRepetitions; ++r) {
        bench::EmptyFolder(g_spool);
        baselineLarge.push_back(Seconds([&] { bench::BaselineJob(g_spool, g_data, 100 + r, block, kLargeBlocks, kBlock, bench::HandOff::None, kSettingsKeyPath); }));
        bench::EmptyFolder(g_spool);
        monitorLarge.push_back(Seconds([&] { MonitorJob(port, 100 + r, block, kLargeBlocks, kBlock); }));
    }
    const SIZE_T peakLarge = PeakPrivateBytes();
    bench::EmptyFolder(g_spool);
    const double mib = kLargeBlocks * static_cast<double>(kBlock) / (1024 * 1024);
    const double monitorMiBs = mib / Median(monitorLarge);
    const double baselineMiBs = mib / Median(baselineLarge);
    const double largeRatio = monitorMiBs / baselineMiBs;
    std::printf("large jobs (256 MiB in 64 KiB blocks, median of %d): monitor %.1f MiB/s, baseline %.1f MiB/s, ratio %.3f\n",
                kRepetitions, monitorMiBs, baselineMiBs, largeRatio);

    // Small jobs: jobs per second, 4 KiB each. A baseline job and a monitor
    // job take turns, each in a spool folder of its own that fills up as it
    // would alone, so that a change in the machine's pace (another program, the
    // disk) weighs on both alike.
    const std::wstring baselineSpool = MakeFolder(g_data + L"\\BaselineSpool");
    std::vector<double> monitorSmall, baselineSmall;
    for (int r = 0; r < kRepetitions; ++r) {
        bench::EmptyFolder(baselineSpool);
        bench::EmptyFolder(g_spool);
        DeleteFileW((g_data + L"\\baseline.log").c_str());
        DeleteFileW((g_data + L"\\portmon.log").c_str());
        double baseline = 0, monitored = 0;
        for (int j = 0; j < kSmallJobs; ++j) {
            baseline += Seconds([&] {
                bench::BaselineJob(baselineSpool, g_data, 1000 + j, block, 1, kSmallJob, bench::HandOff::Contract,
                                   kSettingsKeyPath);
            });
            monitored += Seconds([&] { MonitorJob(port, 1000 + j, block, 1, kSmallJob); });
        }
        baselineSmall.push_back(baseline);
        monitorSmall.push_back(monitored);
    }
    bench::EmptyFolder(baselineSpool);
    RemoveDirectoryW(baselineSpool.c_str());
    bench::EmptyFolder(g_spool);
    const double monitorJobs = kSmallJobs / Median(monitorSmall);
    const double baselineJobs = kSmallJobs / Median(baselineSmall);
    const double smallRatio = monitorJobs / baselineJobs;
    std::printf("small jobs (%d x 4 KiB, auto-launch off, median of %d): monitor %.0f jobs/s (%.2f ms a job), "
                "baseline %.0f jobs/s (%.2f ms a job), ratio %.3f\n",
                kSmallJobs, kRepetitions, monitorJobs, 1000.0 / monitorJobs, baselineJobs, 1000.0 / baselineJobs,
                smallRatio);
    std::printf("peak private bytes: %.1f MiB after a 1 MiB job, %.1f MiB after the 256 MiB jobs\n",
                peakSmall / 1048576.0, peakLarge / 1048576.0);

    g_table->pfnClosePort(port);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
    std::printf("large_ratio=%.3f small_ratio=%.3f\n", largeRatio, smallRatio);
    return 0;
}
