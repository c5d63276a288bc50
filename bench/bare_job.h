// The least work a job needs, done by hand: the baseline the monitor is
// measured against (capture_bench.cpp) and traced beside it (job_trace.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "portmon/monitor.h"

namespace bench {

// The folder of this program: TWPortMon.dll is built beside it.
inline std::wstring ProgramFolder() {
    wchar_t modulePath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    const std::wstring path(modulePath);
    return path.substr(0, path.find_last_of(L'\\'));
}

// A ProgramData root of the program's own in the temporary folder, with the
// data and spool folders below it; the monitor finds it through ProgramData.
struct Folders {
    std::wstring data;
    std::wstring spool;
};
inline Folders MakeFolders(const wchar_t* rootName) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + rootName;
    const Folders folders = {root + L"\\TarnwickPrinter", root + L"\\TarnwickPrinter\\Spool"};
    for (const std::wstring& folder : {root, folders.data, folders.spool}) CreateDirectoryW(folder.c_str(), nullptr);
    SetEnvironmentVariableW(L"ProgramData", root.c_str());
    return folders;
}

// Loads a build of the monitor as the spooler does and opens its port; false
// when it cannot.
inline bool OpenMonitor(const std::wstring& path, const MonitorTable*& table, HANDLE& port) {
    HMODULE module = LoadLibraryW(path.c_str());
    auto init = reinterpret_cast<MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
    if (init == nullptr) return false;
    HANDLE monitor = nullptr;
    table = reinterpret_cast<const MonitorTable*>(init(nullptr, &monitor));
    return table != nullptr && table->pfnOpenPort(monitor, const_cast<LPWSTR>(L"TARNWICK:"), &port);
}

// AutoLaunch off, as an administrator would switch it off.
inline void SwitchAutoLaunchOff(const wchar_t* keyPath) {
    HKEY settings = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &settings,
                    nullptr);
    const DWORD off = 0;
    RegSetValueExW(settings, L"AutoLaunch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), sizeof(off));
    RegCloseKey(settings);
}

// Deletes the files of a folder, between repetitions.
inline void EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + L"\\" + data.cFileName).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
}


inline void AppendLine(const std::wstring& path, const std::string& line) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

inline void WriteSmallFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// One line of the log as any implementation writes it: the message to the
// debugger output, the log's size read for the rotation test, and the line,
// stamped as the monitor stamps it, appended by open/append/close.
// `dataFolder` also reads the data folder first, as a job's end does.
inline void LogLine(const std::wstring& data, bool dataFolder, const std::wstring& message) {
    OutputDebugStringW((L"[TWPortMon] " + message + L"\r\n").c_str());
    if (dataFolder) GetFileAttributesW(data.c_str());
    const std::wstring log = data + L"\\baseline.log";
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &attributes);
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    AppendLine(log, ToUtf8(FormatLogLine(now, GetCurrentProcessId(), message.c_str())));
}

// The AutoLaunch setting, read afresh for every job.
inline DWORD ReadAutoLaunch(const wchar_t* keyPath) {
    DWORD value = 1, type = REG_NONE, size = sizeof(value);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | KEY_WOW64_64KEY, &key) == ERROR_SUCCESS) {
        RegQueryValueExW(key, L"AutoLaunch", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    return value;
}

// What a baseline job does besides the data file.
enum class HandOff {
    None,      // a large job: the data file alone
    Contract,  // everything a job with auto-launch off asks of any implementation (below)
};

// The data file created, written, flushed, closed and renamed; for a small
// job, the whole contract with none of the monitor's own checks: the job's
// name in the contract's form (the same stamp, so the same length, as the
// monitor's), the data and spool folders' attributes read, the start line,
// the descriptor of the monitor's own text for such a job and the ready
// marker, the end line, the AutoLaunch setting read and its line. Each line
// is as LogLine writes it.
inline void BaselineJob(const std::wstring& spool, const std::wstring& data, DWORD jobId,
                        const std::vector<char>& block, int blocks, DWORD blockSize, HandOff handOff,
                        const wchar_t* settingsKeyPath) {
    const bool contract = handOff == HandOff::Contract;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const std::wstring base = spool + L"\\job_" + FormatJobStamp(now, jobId);
    if (contract) {
        GetFileAttributesW(data.c_str());
        GetFileAttributesW(spool.c_str());
        LogLine(data, false, L"StartDocPort job=" + std::to_wstring(jobId) + L" doc=bench user= file=" + base +
                                 L".part ok=1");
    }
    HANDLE file = CreateFileW((base + L".part").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    for (int i = 0; i < blocks; ++i) {
        DWORD written = 0;
        WriteFile(file, block.data(), blockSize, &written, nullptr);
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    MoveFileExW((base + L".part").c_str(), (base + L".prn").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    if (!contract) return;
    PortRecord job = {};
    job.portName = L"TARNWICK:";
    job.documentName = L"bench";
    job.jobId = jobId;
    job.bytesWritten = static_cast<std::uint64_t>(blocks) * blockSize;
    SYSTEMTIME createdUtc = {};
    GetSystemTime(&createdUtc);
    WriteSmallFile(base + L".json", ToUtf8(JobDescriptorText(job, base + L".prn", createdUtc)));
    WriteSmallFile(base + L".ready", "ok");
    LogLine(data, true,
            L"EndDocPort job=" + std::to_wstring(jobId) + L" bytes=" + std::to_wstring(job.bytesWritten) + L" ok=1");
    if (ReadAutoLaunch(settingsKeyPath) == 0) LogLine(data, false, L"自動起動は無効に設定されています");
}

}  // namespace bench
