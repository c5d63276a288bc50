// The decisions of the editor launch, kept apart from the system calls so
// that each can be checked with plain data, including what Wine cannot stage.
#include "portmon/monitor.h"

bool IsAutoLaunchOff(LONG queryStatus, DWORD type, DWORD value) {
    return queryStatus == ERROR_SUCCESS && type == REG_DWORD && value == 0;
}

bool ThrottleAllows(ULONGLONG lastAttempt, ULONGLONG now) {
    // A reading older than the stored attempt lost the race to a later one:
    // it neither launches nor moves the stored time back.
    return lastAttempt == 0 || (now >= lastAttempt && now - lastAttempt >= kLaunchHoldOffMs);
}

bool ClaimLaunchAttempt(std::atomic<ULONGLONG>& lastAttempt, ULONGLONG now) {
    ULONGLONG seen = lastAttempt.load();
    while (ThrottleAllows(seen, now)) {
        if (lastAttempt.compare_exchange_weak(seen, now)) return true;
    }
    return false;
}

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
    }
    return true;
}

std::optional<DWORD> ChooseSession(const std::optional<std::vector<SessionEntry>>& sessions,
                                   const std::wstring& jobUser,
                                   const std::function<bool(DWORD, std::wstring&)>& queryUser,
                                   DWORD consoleSession) {
    // Without a list the console session is not tried either.
    if (!sessions) return std::nullopt;
    std::optional<DWORD> firstActive;
    for (const SessionEntry& session : *sessions) {
        if (!session.active) continue;
        if (!firstActive) firstActive = session.id;
        if (jobUser.empty()) continue;
        std::wstring sessionUser;
        if (queryUser(session.id, sessionUser) && EqualsIgnoringAsciiCase(sessionUser, jobUser)) {
            return session.id;
        }
    }
    if (firstActive) return firstActive;
    if (consoleSession == 0xFFFFFFFF) return std::nullopt;
    return consoleSession;
}

std::wstring ChooseEditorPath(const std::wstring& editorPathSetting, const std::wstring& installDirSetting,
                              const std::wstring& programFiles,
                              const std::function<bool(const std::wstring&)>& exists) {
    if (!editorPathSetting.empty() && exists(editorPathSetting)) return editorPathSetting;
    if (!installDirSetting.empty()) {
        const std::wstring besideSetup = installDirSetting + L"\\" + kEditorFileName;
        if (exists(besideSetup)) return besideSetup;
    }
    const std::wstring installed = programFiles + L"\\TARNWICK-PRINTER\\" + kEditorFileName;
    if (exists(installed)) return installed;
    return std::wstring();
}

std::wstring EditorCommandLine(const std::wstring& editorPath) {
    return L"\"" + editorPath + L"\" /tray";
}

std::wstring EditorWorkingDirectory(const std::wstring& editorPath) {
    const size_t separator = editorPath.find_last_of(L'\\');
    if (separator == std::wstring::npos || separator == 0) return std::wstring();
    return editorPath.substr(0, separator);
}

std::wstring LaunchTaskCommandLine(const std::wstring& systemDirectory) {
    return L"\"" + systemDirectory + L"\\schtasks.exe\" /run /tn \"" + kLaunchTaskName + L"\"";
}
