// Starting the editor after a committed job. The monitor runs in session 0
// under the spooler's account, so it finds the user's session, takes that
// user's token and starts the editor on the user's desktop; when any of that
// fails, the scheduled task is asked to do it. Everything slow happens on a
// detached thread: the spooler never waits for a launch.
#include "portmon/monitor.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <new>

#include "common/unique_handle.h"

namespace {

constexpr DWORD kSettingChars = 520;

// The one throttle value of the process; 0 means no attempt yet.
std::atomic<ULONGLONG> g_lastLaunchAttempt{0};
// Set when a launch ended in an exception: until the next load every launch
// goes through the scheduled task, never again down the path that faulted
// (and leaked a token and an environment block there).
std::atomic<bool> g_launchFaulted{false};

struct WtsMemoryTraits {
    using Value = void*;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { WTSFreeMemory(v); }
};
using UniqueWtsMemory = Unique<WtsMemoryTraits>;

struct EnvironmentBlockTraits {
    using Value = void*;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { DestroyEnvironmentBlock(v); }
};
using UniqueEnvironmentBlock = Unique<EnvironmentBlockTraits>;

bool AutoLaunchSwitchedOff() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 1, type = REG_NONE, size = sizeof(value);
    const LONG status =
        RegQueryValueExW(key.get(), L"AutoLaunch", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    return IsAutoLaunchOff(status, type, value);
}

bool EditorIsRunning() {
    UniqueHandle running(OpenEventW(SYNCHRONIZE, FALSE, kRunningEventName));
    return running.valid();
}

bool QuerySessionUser(DWORD sessionId, std::wstring& userName) {
    UniqueWtsMemory buffer;
    LPWSTR name = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSUserName, &name, &bytes)) {
        return false;
    }
    buffer.reset(name);
    if (name == nullptr) return false;
    userName = name;
    return true;
}

std::optional<DWORD> FindTargetSession(const std::wstring& userName) {
    std::optional<std::vector<SessionEntry>> sessions;
    {
        UniqueWtsMemory list;
        PWTS_SESSION_INFOW info = nullptr;
        DWORD count = 0;
        if (WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
            list.reset(info);
            if (info != nullptr) {
                sessions.emplace();
                for (DWORD i = 0; i < count; ++i) {
                    sessions->push_back({info[i].SessionId, info[i].State == WTSActive});
                }
            }
        }
    }
    return ChooseSession(sessions, userName, &QuerySessionUser, WTSGetActiveConsoleSessionId());
}

std::wstring ProgramFilesFolder() {
    const std::wstring value = ReadEnvironmentValue(L"ProgramFiles");
    return value.empty() ? L"C:\\Program Files" : value;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool ReadSettingString(const wchar_t* valueName, std::wstring& value) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    wchar_t buffer[kSettingChars] = {};
    DWORD type = REG_NONE, size = sizeof(buffer);
    const LONG status =
        RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    key.reset();
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    // Up to the first NUL, never beyond the buffer; expandable text is taken as stored.
    size_t length = 0;
    while (length < kSettingChars && buffer[length] != L'\0') ++length;
    value.assign(buffer, length);
    return !value.empty();
}

std::wstring ResolveEditorPath() {
    std::wstring editorPath, installDir;
    ReadSettingString(L"EditorPath", editorPath);
    ReadSettingString(L"InstallDir", installDir);
    return ChooseEditorPath(editorPath, installDir, ProgramFilesFolder(), &PathExists);
}

void RunLaunchTask() {
    wchar_t system[260] = {};
    const UINT length = GetSystemDirectoryW(system, 260);
    if (length == 0 || length >= 260) return;
    const std::wstring program = std::wstring(system, length) + L"\\schtasks.exe";
    std::wstring commandLine = LaunchTaskCommandLine(std::wstring(system, length));

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        MonitorLog(L"schtasks を起動できません (err=%u)", GetLastError());
        return;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    WaitForSingleObject(process.get(), 10000);
    // Still running after the wait reads as STILL_ACTIVE (259); a failed read leaves 1.
    DWORD exitCode = 1;
    GetExitCodeProcess(process.get(), &exitCode);
    thread.reset();
    process.reset();
    MonitorLog(L"schtasks /run \"%s\" → %u", kLaunchTaskName, exitCode);
}

void LaunchEditor(const std::wstring& userName) {
    const std::wstring editor = ResolveEditorPath();
    if (editor.empty()) {
        MonitorLog(L"編集アプリの場所が分かりません (HKLM\\%s の EditorPath を確認)", kSettingsKeyPath);
        RunLaunchTask();
        return;
    }
    MonitorLog(L"編集アプリを起動します: %s", editor.c_str());

    const std::optional<DWORD> session = FindTargetSession(userName);
    if (!session) {
        MonitorLog(L"対象セッションが見つかりません (ログオン中のユーザーなし)");
        RunLaunchTask();
        return;
    }
    DWORD sessionId = *session;

    UniqueHandle token;
    {
        UniqueHandle userToken;
        if (!WTSQueryUserToken(sessionId, userToken.put()) || !userToken) {
            MonitorLog(L"WTSQueryUserToken 失敗 (session=%u, err=%u)", sessionId, GetLastError());
            RunLaunchTask();
            return;
        }
        const BOOL duplicated = DuplicateTokenEx(userToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                                                 TokenPrimary, token.put());
        const DWORD error = GetLastError();
        userToken.reset();
        if (!duplicated || !token) {
            MonitorLog(L"DuplicateTokenEx 失敗 (err=%u)", error);
            RunLaunchTask();
            return;
        }
    }

    if (!SetTokenInformation(token.get(), TokenSessionId, &sessionId, sizeof(sessionId))) {
        MonitorLog(L"SetTokenInformation(TokenSessionId) 失敗 (err=%u) — このまま続けます", GetLastError());
    }
    UniqueEnvironmentBlock environment;
    if (!CreateEnvironmentBlock(environment.put(), token.get(), FALSE)) {
        MonitorLog(L"CreateEnvironmentBlock 失敗 (err=%u) — 環境変数なしで続けます", GetLastError());
        environment.reset();
    }

    std::wstring commandLine = EditorCommandLine(editor);
    const std::wstring workingDirectory = EditorWorkingDirectory(editor);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<LPWSTR>(L"winsta0\\default");
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessAsUserW(
        token.get(), nullptr, &commandLine[0], nullptr, nullptr, FALSE,
        CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS, environment.get(),
        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info);
    if (started) {
        // The editor is never waited for.
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        MonitorLog(L"編集アプリを起動しました (session=%u): %s", sessionId, editor.c_str());
    } else {
        MonitorLog(L"CreateProcessAsUser 失敗 (err=%u)", GetLastError());
    }
    environment.reset();
    token.reset();
    if (!started) RunLaunchTask();
}

namespace {

void LaunchThroughTask(const std::wstring&) {
    RunLaunchTask();
}

void LogLaunchFault(void* parameter) {
    const auto* fault = static_cast<const LaunchFault*>(parameter);
    MonitorLog(L"自動起動の処理で例外が発生しました (code=0x%08X, address=0x%016llX, module=%s)", fault->code,
               static_cast<unsigned long long>(fault->address), fault->module[0] != L'\0' ? fault->module : L"不明");
}

}  // namespace

void ResetLaunchState() {
    g_lastLaunchAttempt = 0;
    g_launchFaulted = false;
}

DWORD WINAPI LaunchEditorThread(LPVOID parameter) {
    auto* request = static_cast<LaunchRequest*>(parameter);
    const LaunchFault fault = RunLaunchGuarded(*request);
    if (fault.code != 0) {
        g_launchFaulted = true;
        // The line goes through the heap, the folder walk and the log's lock,
        // which the fault may have left broken: it runs guarded as well, and
        // a second fault there only costs the line.
        RunGuarded(&LogLaunchFault, const_cast<LaunchFault*>(&fault));
    }
    const HMODULE module = request->module;
    // After a fault the request stays, like all else the launch held: the
    // heap may be what broke.
    if (fault.code == 0) delete request;
    // The spooler may unload the monitor while a launch still runs; the
    // thread's own reference keeps the code in place until it is done.
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}

void TriggerEditorLaunch(const std::wstring& userName, JobCallScope* call) {
    if (AutoLaunchSwitchedOff()) {
        MonitorLogIn(call, L"自動起動は無効に設定されています");
        return;
    }
    if (EditorIsRunning()) return;
    if (!ClaimLaunchAttempt(g_lastLaunchAttempt, GetTickCount64())) {
        MonitorLogIn(call, L"直前に起動を試みたばかりなので見送ります");
        return;
    }

    LaunchRequest* request = nullptr;
    try {
        request = new LaunchRequest{userName, g_launchFaulted ? &LaunchThroughTask : &LaunchEditor, nullptr};
    } catch (...) {
        return;  // no memory for the request: no launch this time
    }
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&LaunchEditorThread),
                       &request->module);
    HANDLE thread = CreateThread(nullptr, 0, &LaunchEditorThread, request, 0, nullptr);
    if (thread == nullptr) {
        MonitorLogIn(call, L"起動スレッドを作れません (err=%u)", GetLastError());
        if (request->module != nullptr) FreeLibrary(request->module);
        delete request;
        return;
    }
    CloseHandle(thread);
}
