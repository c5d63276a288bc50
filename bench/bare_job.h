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

// One line of the monitor's log as the contract has it: the message to the
// debugger output, the log's size read for the rotation test, and the line
// appended by open/append/close. `dataFolder` also reads the data folder first,
// which a job's call does once, before its first line.
inline void LogLine(const std::wstring& data, bool dataFolder, const std::string& line) {
    OutputDebugStringW((L"[TWPortMon] " + std::wstring(line.begin(), line.end())).c_str());
    if (dataFolder) GetFileAttributesW(data.c_str());
    const std::wstring log = data + L"\\baseline.log";
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &attributes);
    AppendLine(log, line);
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
    None,       // a large job: the data file alone
    FileWork,   // the descriptor, the marker and two log lines by open/append/close: the benchmark's baseline
    Contract,   // also the rest a job with auto-launch off asks (link checks aside), for the trace's comparisons
};

// The data file created, written, flushed, closed and renamed; then the hand-off.
// The contract's hand-off also reads the spool folder and its data folder at
// the start, reads the AutoLaunch setting, and writes three log lines (start,
// end, auto-launch off) as LogLine does.
inline void BaselineJob(const std::wstring& spool, const std::wstring& data, DWORD jobId,
                        const std::vector<char>& block, int blocks, DWORD blockSize, HandOff handOff,
                        const wchar_t* settingsKeyPath) {
    const bool contract = handOff == HandOff::Contract;
    const std::wstring base = spool + L"\\job_baseline_" + std::to_wstring(jobId);
    if (contract) {
        GetFileAttributesW(data.c_str());
        GetFileAttributesW(spool.c_str());
        LogLine(data, false, std::string(150, 's') + "\r\n");
    } else if (handOff == HandOff::FileWork) {
        AppendLine(data + L"\\baseline.log", std::string(150, 's') + "\r\n");
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
    if (handOff == HandOff::None) return;
    WriteSmallFile(base + L".json", std::string(330, 'j'));
    WriteSmallFile(base + L".ready", "ok");
    if (!contract) {
        AppendLine(data + L"\\baseline.log", std::string(80, 'e') + "\r\n");
        return;
    }
    LogLine(data, true, std::string(80, 'e') + "\r\n");
    if (ReadAutoLaunch(settingsKeyPath) == 0) LogLine(data, false, std::string(90, 'a') + "\r\n");
}

}  // namespace bench
