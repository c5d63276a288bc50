// The editor launch at the end of a job, through the real EndDocPort. The
// throttle is process-wide, so each suite runs in a process of its own
// (see CMakeLists.txt) and its cases run in the order written.
#include <algorithm>

#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

// The stand-in editor, built beside the tests (or one folder up from the
// staged-session variant of this program).
std::wstring StandInEditor() {
    const std::wstring here = ModuleFolder() + L"\\TARNWICK-PRINTER.exe";
    if (PathExists(here)) return here;
    const std::wstring folder = ModuleFolder();
    return folder.substr(0, folder.find_last_of(L'\\')) + L"\\TARNWICK-PRINTER.exe";
}

class LaunchTest : public DataFolderTest {
protected:
    void SetUp() override {
        quietLaunches_ = false;
        DataFolderTest::SetUp();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0,
                                  KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, settings_.put(), nullptr),
                  ERROR_SUCCESS);
        editor_ = StandInEditor();
        launches_ = editor_.substr(0, editor_.find_last_of(L'\\')) + L"\\launches.txt";
        DeleteFileW(launches_.c_str());
    }
    void TearDown() override {
        settings_.reset();
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
        DataFolderTest::TearDown();
    }
    void SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
        ASSERT_EQ(RegSetValueExW(settings_.get(), name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    void SetDword(const wchar_t* name, DWORD value) {
        ASSERT_EQ(RegSetValueExW(settings_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
                  ERROR_SUCCESS);
    }
    // One committed job; returns the log messages that followed its EndDocPort line at once.
    std::vector<std::string> CommitJobAndReadTail(DWORD jobId) {
        HANDLE port = OpenTestPort();
        EXPECT_TRUE(RunJob(port, jobId, L"launch", "job data").ended);
        Table().pfnClosePort(port);
        return TailAfter(jobId);
    }
    // The log messages after the job's EndDocPort line.
    std::vector<std::string> TailAfter(DWORD jobId) {
        std::vector<std::string> tail;
        bool after = false;
        for (const std::string& line : LogLines()) {
            const std::string message = LogMessage(line);
            if (after) tail.push_back(message);
            if (message.rfind("EndDocPort job=" + std::to_string(jobId) + " ", 0) == 0) after = true;
        }
        return tail;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        for (const std::string& line : LogLines()) messages.push_back(LogMessage(line));
        return messages;
    }
    size_t CountStartingWith(const std::string& prefix) {
        const std::vector<std::string> messages = Messages();
        return std::count_if(messages.begin(), messages.end(),
                             [&](const std::string& message) { return message.rfind(prefix, 0) == 0; });
    }
    bool WaitForCount(const std::string& prefix, size_t count) {
        for (int i = 0; i < 400 && CountStartingWith(prefix) < count; ++i) Sleep(50);
        return CountStartingWith(prefix) == count;
    }
    bool Logged(const std::wstring& message) {
        const std::vector<std::string> messages = Messages();
        return std::find(messages.begin(), messages.end(), AsUtf8(message)) != messages.end();
    }

    UniqueKey settings_;
    std::wstring editor_;
    std::wstring launches_;
};

// The spooler's next load: the module is pinned, so LoadLibrary finds the
// same copy, and InitializePrintMonitor2 runs again.
void LoadAgain() {
    HMODULE module = LoadLibraryW((ModuleFolder() + L"\\TWPortMon.dll").c_str());
    ASSERT_EQ(module, Monitor().module);
    auto init = reinterpret_cast<MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(module, "InitializePrintMonitor2")));
    ASSERT_NE(init, nullptr);
    MONITORINIT monitorInit = {};
    monitorInit.cbSize = sizeof(monitorInit);
    HANDLE monitor = nullptr;
    EXPECT_EQ(reinterpret_cast<const MonitorTable*>(init(&monitorInit, &monitor)), &Table());
}

// One process: the gates before any attempt, then the first attempt, then the throttle.
class LaunchGates : public LaunchTest {};

TEST_F(LaunchGates, T1_AutoLaunchOffStopsAtOnce) {
    SetString(L"EditorPath", editor_);
    SetDword(L"AutoLaunch", 0);
    EXPECT_EQ(CommitJobAndReadTail(1), std::vector<std::string>({"自動起動は無効に設定されています"}));
}

TEST_F(LaunchGates, T2_RunningEditorMeansNoLaunchAndNoLine) {
    SetString(L"EditorPath", editor_);
    SetDword(L"AutoLaunch", 1);
    // The running event is held by another process, as the editor would.
    const std::wstring hold = L"\"" + editor_ + L"\" /hold 4000";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = hold;
    ASSERT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    UniqueHandle process(info.hProcess), thread(info.hThread);
    for (int i = 0; i < 100; ++i) {
        UniqueHandle running(OpenEventW(SYNCHRONIZE, FALSE, kRunningEventName));
        if (running) break;
        Sleep(50);
    }
    EXPECT_TRUE(CommitJobAndReadTail(2).empty());
    Sleep(500);
    EXPECT_TRUE(CommitJobAndReadTail(3).empty());
    EXPECT_FALSE(PathExists(launches_));
    WaitForSingleObject(process.get(), 10000);
}

TEST_F(LaunchGates, T3_FirstAttemptWithoutSessionsFallsBackToTheTask) {
    SetString(L"EditorPath", editor_);
    ScopedSystemStandIn schtasks(L"schtasks.exe");
    ASSERT_TRUE(schtasks.ready());
    CommitJobAndReadTail(4);
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "schtasks /run"));
    const std::vector<std::string> messages = Messages();
    const std::vector<std::string> launch(messages.end() - 3, messages.end());
    // Wine lists no sessions at all: the no-session path, then the task.
    EXPECT_EQ(launch, std::vector<std::string>({AsUtf8(L"編集アプリを起動します: " + editor_),
                                                "対象セッションが見つかりません (ログオン中のユーザーなし)",
                                                "schtasks /run \"TARNWICK-PRINTER Launch\" → 0"}));
    EXPECT_EQ(schtasks.Recorded(),
              AsUtf8(L"\"" + SystemFolder() + L"\\schtasks.exe\" /run /tn \"TARNWICK-PRINTER Launch\"\r\n"));
}

TEST_F(LaunchGates, T4_NextJobWithinFifteenSecondsIsHeldOff) {
    SetString(L"EditorPath", editor_);
    EXPECT_EQ(CommitJobAndReadTail(5), std::vector<std::string>({"直前に起動を試みたばかりなので見送ります"}));
}

class MissingEditor : public LaunchTest {};

TEST_F(MissingEditor, NoEditorAnywhereRunsTheTask) {
    SetString(L"EditorPath", root_ + L"\\gone\\TARNWICK-PRINTER.exe");
    SetString(L"InstallDir", root_ + L"\\gone");
    ScopedEnvironment programFiles(L"ProgramFiles", root_);
    ScopedSystemStandIn schtasks(L"schtasks.exe");
    CommitJobAndReadTail(6);
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "schtasks /run"));
    const std::vector<std::string> messages = Messages();
    EXPECT_EQ(std::vector<std::string>(messages.end() - 2, messages.end()),
              std::vector<std::string>(
                  {"編集アプリの場所が分かりません (HKLM\\SOFTWARE\\TARNWICK-PRINTER の EditorPath を確認)",
                   "schtasks /run \"TARNWICK-PRINTER Launch\" → 0"}));
}

class SlowTask : public LaunchTest {};

TEST_F(SlowTask, TaskStillRunningAfterTenSecondsIsLeftRunning) {
    ScopedEnvironment programFiles(L"ProgramFiles", root_);
    ScopedSystemStandIn schtasks(L"schtasks.exe", 12000);
    CommitJobAndReadTail(7);
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "schtasks /run", 30000));
    EXPECT_EQ(Messages().back(), "schtasks /run \"TARNWICK-PRINTER Launch\" → 259");
    Sleep(3000);  // let the stand-in finish before it is taken away
}

class UnloadDuringLaunch : public LaunchTest {};

TEST_F(UnloadDuringLaunch, LaunchThreadKeepsTheMonitorLoaded) {
    SetString(L"EditorPath", editor_);
    ScopedSystemStandIn schtasks(L"schtasks.exe", 2000);
    HANDLE port = OpenTestPort();
    ASSERT_TRUE(RunJob(port, 10, L"unload", "data").ended);
    ASSERT_TRUE(Table().pfnClosePort(port));
    // The spooler lets go of the monitor while the launch waits for the task.
    ASSERT_TRUE(FreeLibrary(Monitor().module));
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "schtasks /run", 20000));
    EXPECT_EQ(Messages().back(), "schtasks /run \"TARNWICK-PRINTER Launch\" → 0");
    Sleep(200);
    // The launch thread dropped its reference when it ended; the module is
    // pinned and stays.
    EXPECT_EQ(GetModuleHandleW(L"TWPortMon.dll"), Monitor().module);
    // The next load starts afresh: its first job launches at once, never held off.
    LoadAgain();
    EXPECT_TRUE(CommitJobAndReadTail(15).empty());
    EXPECT_TRUE(WaitForCount("schtasks /run", 2));
}

// Run with the staged wtsapi32 (WINEDLLOVERRIDES=wtsapi32=n), one process per suite.
class StagedLaunchTest : public LaunchTest {
protected:
    void SetUp() override {
        Monitor();  // its imports decide which wtsapi32 is loaded
        wchar_t path[MAX_PATH] = {};
        HMODULE sessions = GetModuleHandleW(L"wtsapi32.dll");
        if (sessions == nullptr || !GetModuleFileNameW(sessions, path, MAX_PATH) ||
            std::wstring(path).rfind(ModuleFolder() + L"\\", 0) != 0) {
            GTEST_SKIP() << "needs the staged wtsapi32.dll beside the program";
        }
        LaunchTest::SetUp();
    }
};

class StagedSession : public StagedLaunchTest {};

TEST_F(StagedSession, EditorStartsInTheUsersSessionWithTray) {
    SetString(L"InstallDir", editor_.substr(0, editor_.find_last_of(L'\\')));
    SetString(L"EditorPath", L"%ProgramFiles%\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe", REG_EXPAND_SZ);
    CommitJobAndReadTail(8);
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "編集アプリを起動しました"));
    EXPECT_TRUE(Logged(L"編集アプリを起動しました (session=1): " + editor_));
    for (const std::string& message : Messages()) {
        EXPECT_EQ(message.find("失敗"), std::string::npos) << message;
    }
    std::string record;
    for (int i = 0; i < 200 && record.find("working directory") == std::string::npos; ++i) {
        Sleep(50);
        record = ReadFileBytes(launches_);
    }
    const std::wstring folder = editor_.substr(0, editor_.find_last_of(L'\\'));
    EXPECT_EQ(record.substr(0, record.find("  spool folder")),
              AsUtf8(L"launch\r\n  command line: \"" + editor_ + L"\" /tray\r\n  working directory: " + folder + L"\r\n"));
}

class ConsoleWithoutUser : public StagedLaunchTest {};

TEST_F(ConsoleWithoutUser, NoActiveSessionTriesTheConsoleSession) {
    SetString(L"EditorPath", editor_);
    ScopedEnvironment sessions(L"TW_STAGED_SESSIONS", std::wstring(L"2:bob:disconnected"));
    CommitJobAndReadTail(9);
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "schtasks /run"));
    const std::vector<std::string> messages = Messages();
    // Wine's console session is 1, where nobody is logged on.
    EXPECT_EQ(messages[messages.size() - 2], "WTSQueryUserToken 失敗 (session=1, err=1008)");
    EXPECT_FALSE(PathExists(launches_));
}

class StagedCrash : public StagedLaunchTest {};

TEST_F(StagedCrash, FaultInAnotherRuntimesDllEndsOnlyTheLaunch) {
    SetString(L"EditorPath", editor_);
    ScopedEnvironment sessions(L"TW_STAGED_SESSIONS", std::wstring(L"crash"));
    CommitJobAndReadTail(11);
    ASSERT_TRUE(WaitForLogMessage(LogPath(), "自動起動の処理で例外が発生しました"));
    // The fault lies in the staged wtsapi32.dll, which the line names.
    wchar_t staged[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"wtsapi32.dll"), staged, MAX_PATH);
    const std::string line = Messages().back();
    const std::string start = "自動起動の処理で例外が発生しました (code=0xC0000005, address=0x";
    EXPECT_EQ(line.substr(0, start.size()), start);
    EXPECT_EQ(line.substr(line.find(", module=")), ", module=" + AsUtf8(staged) + ")");
    // The process lives on, and the next job is committed and throttled as usual.
    EXPECT_EQ(CommitJobAndReadTail(12), std::vector<std::string>({"直前に起動を試みたばかりなので見送ります"}));
    // For the rest of this load a launch goes through the scheduled task only.
    ScopedSystemStandIn schtasks(L"schtasks.exe");
    Sleep(kLaunchHoldOffMs);
    CommitJobAndReadTail(13);
    ASSERT_TRUE(WaitForCount("schtasks /run", 1));
    EXPECT_EQ(TailAfter(13), std::vector<std::string>({"schtasks /run \"TARNWICK-PRINTER Launch\" → 0"}));
    // The next load takes the usual way again, and meets the fault again.
    LoadAgain();
    CommitJobAndReadTail(14);
    EXPECT_TRUE(WaitForCount("自動起動の処理で例外が発生しました", 2));
    EXPECT_EQ(TailAfter(14).front(), AsUtf8(L"編集アプリを起動します: " + editor_));
}

}  // namespace
