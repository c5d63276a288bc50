// Child programs (rundll32.exe, schtasks.exe), the program's own
// folder and its token's elevation.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr DWORD kModulePathUnits = 260;
constexpr DWORD kLongestPathUnits = 32768;
constexpr UINT kSystemDirectoryUnits = 260;

}  // namespace

std::wstring SystemDirectory() {
    wchar_t buffer[kSystemDirectoryUnits] = {};
    const UINT length = GetSystemDirectoryW(buffer, kSystemDirectoryUnits);
    return length > 0 && length < kSystemDirectoryUnits ? std::wstring(buffer, length) : std::wstring();
}

std::wstring SystemProgramPath(const wchar_t* fileName) {
    const std::wstring folder = SystemDirectory();
    return folder.empty() ? std::wstring() : folder + L"\\" + fileName;
}

bool StartAndWait(const std::wstring& program, const std::wstring& commandLine, DWORD timeoutMs, DWORD& exitCode) {
    exitCode = kRunFailed;
    // The program is always named by its full path: with no application name,
    // Windows would look for the command line's first word in this program's
    // folder and in the current folder before the system directory, and
    // whatever a user put there under that name would run elevated.
    if (program.empty()) return false;
    // Nor does it start in this process's current folder, which may be a
    // user's: a program that looks for its own files there would find theirs.
    const std::wstring folder = SystemDirectory();
    if (folder.empty()) return false;
    // CreateProcessW may write into the command line: give it a copy of its own.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, folder.c_str(), &startup, &info)) {
        return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);

    // After a time-out the child keeps running; its code then reads STILL_ACTIVE.
    WaitForSingleObject(process.get(), timeoutMs);
    GetExitCodeProcess(process.get(), &exitCode);
    return true;
}

DWORD RunAndWait(const std::wstring& program, const std::wstring& commandLine, DWORD timeoutMs) {
    DWORD exitCode = kRunFailed;
    StartAndWait(program, commandLine, timeoutMs, exitCode);
    return exitCode;
}

std::wstring ModuleDirectory() {
    // A path that fills the buffer was cut: ask again with more room rather
    // than answer with a folder cut in the middle.
    std::vector<wchar_t> path(kModulePathUnits);
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size() || path.size() >= kLongestPathUnits) break;
        path.resize(path.size() * 2);
    }
    const std::wstring text(path.data(), length < path.size() ? length : 0);
    const size_t separator = text.find_last_of(L'\\');
    if (separator == std::wstring::npos) return L".";
    return text.substr(0, separator);
}

bool IsProcessElevated() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) {
        return false;
    }
    return elevation.TokenIsElevated != 0;
}
