// Every line the setup tool prints. A console gets UTF-16 through
// WriteConsoleW, so Japanese shows whatever its code page; a pipe or a file
// gets UTF-8 without a byte order mark, written as bytes with WriteFile (the
// C runtime's text mode would turn CR LF into CR CR LF). Nothing ever goes to
// standard error. With "/log:" each line also goes to that file.
#include "setup/setup.h"

#include <cwchar>

#define STRSAFE_NO_DEPRECATE

#include "common/unique_handle.h"

namespace {

HANDLE g_printLog = nullptr;  // RunSetup's; null when there is none

void WriteBytes(HANDLE output, const char* bytes, DWORD size) {
    // WriteFile has no buffer of its own, so every piece leaves at once.
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(output, bytes, size, &written, nullptr) || written == 0) return;
        bytes += written;
        size -= written;
    }
}

// Empty when the text is empty or cannot be converted.
std::string Utf8(const wchar_t* text) {
    // The size includes the terminating NUL; below 2 there is nothing to write.
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size < 2) return std::string();
    std::string bytes(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, &bytes[0], size, nullptr, nullptr) != size) return std::string();
    bytes.resize(static_cast<size_t>(size - 1));
    return bytes;
}

}  // namespace

void WriteConsoleText(const wchar_t* text) {
    if (text == nullptr) return;
    // Looked at again for every piece: the choice is never cached.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;

    DWORD mode = 0;
    if (GetConsoleMode(output, &mode)) {
        DWORD written = 0;
        WriteConsoleW(output, text, static_cast<DWORD>(wcslen(text)), &written, nullptr);
        return;
    }

    const std::string bytes = Utf8(text);
    WriteBytes(output, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void PrintText(const wchar_t* line) {
    WriteConsoleText(line);
    WriteConsoleText(L"\r\n");
    if (g_printLog != nullptr) {
        // One write per line: the file is opened for appending only, so each lands whole at its end.
        const std::string bytes = Utf8(line) + "\r\n";
        WriteBytes(g_printLog, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
}

ScopedPrintLog::ScopedPrintLog(HANDLE log) : previous_(g_printLog) {
    g_printLog = log != INVALID_HANDLE_VALUE ? log : nullptr;
}

ScopedPrintLog::~ScopedPrintLog() {
    g_printLog = previous_;
}

void ReportLastError(const wchar_t* label) {
    const DWORD code = GetLastError();
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal owner(text);
    // The system's text keeps its own line break, so a report is followed by an empty line.
    PrintLine(L"  [!] %s : (0x%08X) %s", label != nullptr ? label : L"", code,
              text != nullptr ? text : L"");
}

void ReportRegistryError(LONG status, const wchar_t* label) {
    // Registry calls return their status instead of setting the last error:
    // the report shows the call's own code and text.
    SetLastError(static_cast<DWORD>(status));
    ReportLastError(label);
}
