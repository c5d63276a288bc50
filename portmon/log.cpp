// The monitor's one report channel: each message goes to the debugger output
// and, as one timestamped UTF-8 line, to portmon.log in the data folder.
// Logging never changes the outcome of a spooler call and never raises.
#include "portmon/monitor.h"

#include <cstdarg>

#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>

#include "common/unique_handle.h"

namespace {

constexpr size_t kMessageChars = 1024;  // at most 1023 characters of message
constexpr size_t kLineChars = 2048;     // at most 2047 characters of line

// Each line (rotation test, move, open, append, close) is written whole under
// this lock, so two threads of the spooler never rotate at once or interleave
// one line into another. Nothing else is taken while it is held.
SRWLOCK g_logLock = SRWLOCK_INIT;

class LogLineGuard {
public:
    LogLineGuard() { AcquireSRWLockExclusive(&g_logLock); }
    ~LogLineGuard() { ReleaseSRWLockExclusive(&g_logLock); }
    LogLineGuard(const LogLineGuard&) = delete;
    LogLineGuard& operator=(const LogLineGuard&) = delete;
};

void RotateWhenLarge(const std::wstring& logPath) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(logPath.c_str(), GetFileExInfoStandard, &data)) return;
    const std::uint64_t size =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size <= kLogRotateAbove) return;
    const std::wstring oldPath = logPath + L".old";
    DeleteFileW(oldPath.c_str());
    // No replace flag: when the old generation could not be deleted, the line
    // goes on to the large file and the next line tries again.
    MoveFileW(logPath.c_str(), oldPath.c_str());
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &result[0], bytes, nullptr, nullptr) != bytes) {
        return std::string();
    }
    return result;
}

std::wstring FormatLogLine(const SYSTEMTIME& localTime, DWORD processId, const wchar_t* message) {
    wchar_t line[kLineChars] = {};
    // The message is an argument, never a format: a % in a document name stays literal.
    StringCchPrintfW(line, kLineChars, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  [pid %u]  %s\r\n",
                     localTime.wYear, localTime.wMonth, localTime.wDay, localTime.wHour,
                     localTime.wMinute, localTime.wSecond, localTime.wMilliseconds, processId,
                     message);
    line[kLineChars - 1] = L'\0';
    return line;
}

void AppendLogLine(const wchar_t* message) {
    try {
        const std::wstring dataFolder = GetDataFolder();
        if (!EnsureDirectory(dataFolder)) return;
        const std::wstring logPath = dataFolder + L"\\" + kLogFileName;

        LogLineGuard guard;
        RotateWhenLarge(logPath);

        UniqueHandle file(CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;

        SYSTEMTIME now = {};
        GetLocalTime(&now);
        const std::string bytes = ToUtf8(FormatLogLine(now, GetCurrentProcessId(), message));
        if (bytes.empty()) return;
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    } catch (...) {
        // Out of memory: the line is lost, the spooler call goes on.
    }
}

void MonitorLog(const wchar_t* format, ...) {
    const DWORD savedError = GetLastError();
    wchar_t message[kMessageChars] = {};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        StringCchVPrintfW(message, kMessageChars, format, args);
        va_end(args);
    }
    // Cut output, or a failed format, ends at the buffer's last position.
    message[kMessageChars - 1] = L'\0';

    OutputDebugStringW(L"[TWPortMon] ");
    OutputDebugStringW(message);
    OutputDebugStringW(L"\r\n");

    AppendLogLine(message);
    // Callers report their own failure codes after logging.
    SetLastError(savedError);
}
