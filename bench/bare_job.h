// The least file work a job needs, done by hand: the baseline the monitor is
// measured against (capture_bench.cpp) and traced beside it (job_trace.cpp).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

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

// The data file created, written, flushed, closed and renamed, and (for small
// jobs, `handOff`) the descriptor, the marker and two log lines.
inline void BaselineJob(const std::wstring& spool, const std::wstring& data, DWORD jobId,
                        const std::vector<char>& block, int blocks, DWORD blockSize, bool handOff) {
    const std::wstring base = spool + L"\\job_baseline_" + std::to_wstring(jobId);
    if (handOff) AppendLine(data + L"\\baseline.log", std::string(150, 's') + "\r\n");
    HANDLE file = CreateFileW((base + L".part").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    for (int i = 0; i < blocks; ++i) {
        DWORD written = 0;
        WriteFile(file, block.data(), blockSize, &written, nullptr);
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    MoveFileExW((base + L".part").c_str(), (base + L".prn").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    if (!handOff) return;
    WriteSmallFile(base + L".json", std::string(330, 'j'));
    WriteSmallFile(base + L".ready", "ok");
    AppendLine(data + L"\\baseline.log", std::string(80, 'e') + "\r\n");
}

}  // namespace bench
