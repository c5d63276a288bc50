// The launch decisions with plain data, including what Wine cannot stage:
// sessions, the clock, registry types and the places the editor may be.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "portmon/monitor.h"

namespace {

TEST(AutoLaunchSetting, OnlyDwordZeroSwitchesItOff) {
    EXPECT_TRUE(IsAutoLaunchOff(ERROR_SUCCESS, REG_DWORD, 0));
    EXPECT_FALSE(IsAutoLaunchOff(ERROR_SUCCESS, REG_DWORD, 1));
    EXPECT_FALSE(IsAutoLaunchOff(ERROR_SUCCESS, REG_DWORD, 2));
    EXPECT_FALSE(IsAutoLaunchOff(ERROR_SUCCESS, REG_SZ, 0));  // the text "0" is not a number
    EXPECT_FALSE(IsAutoLaunchOff(ERROR_SUCCESS, REG_BINARY, 0));
    EXPECT_FALSE(IsAutoLaunchOff(ERROR_FILE_NOT_FOUND, REG_DWORD, 0));
    EXPECT_FALSE(IsAutoLaunchOff(ERROR_MORE_DATA, REG_DWORD, 0));
}

TEST(LaunchThrottle, FifteenSecondsBetweenAttempts) {
    EXPECT_TRUE(ThrottleAllows(0, 5));  // the first attempt since load
    EXPECT_FALSE(ThrottleAllows(100000, 100000 + 14999));
    EXPECT_TRUE(ThrottleAllows(100000, 100000 + 15000));

    std::atomic<ULONGLONG> last{0};
    EXPECT_TRUE(ClaimLaunchAttempt(last, 100000));
    EXPECT_EQ(last.load(), 100000u);
    EXPECT_FALSE(ClaimLaunchAttempt(last, 114999));
    EXPECT_EQ(last.load(), 100000u);  // a held-off attempt does not move the clock
    EXPECT_TRUE(ClaimLaunchAttempt(last, 115000));
    EXPECT_EQ(last.load(), 115000u);
}

TEST(LaunchThrottle, CrossingClockReadingsLaunchOnce) {
    // One job end reads the tick, another reads a later one and claims first.
    for (const ULONGLONG before : {0ull, 100000ull}) {
        std::atomic<ULONGLONG> last{before};
        EXPECT_TRUE(ClaimLaunchAttempt(last, 200005));
        EXPECT_FALSE(ClaimLaunchAttempt(last, 200000));
        EXPECT_EQ(last.load(), 200005u);  // never moves backwards
    }
}

TEST(LaunchThrottle, OneWinnerWhenJobsEndAtTheSameInstant) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<ULONGLONG> last{0};
        std::atomic<int> winners{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&] {
                while (!go) std::this_thread::yield();
                if (ClaimLaunchAttempt(last, 777000)) ++winners;
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(winners.load(), 1);
    }
}

TEST(SessionChoice, UserNamesAndStates) {
    std::vector<DWORD> queried;
    const std::map<DWORD, std::wstring> users = {{1, L"bob"}, {2, L"Alice"}, {3, L"zed"}};
    auto query = [&](DWORD id, std::wstring& name) {
        queried.push_back(id);
        auto it = users.find(id);
        if (it == users.end()) return false;
        name = it->second;
        return true;
    };
    const std::vector<SessionEntry> bothActive = {{0, false}, {1, true}, {2, true}};

    EXPECT_EQ(ChooseSession(bothActive, L"alice", query, 1), 2u);  // letter case does not matter
    EXPECT_EQ(ChooseSession(bothActive, L"ALICE", query, 1), 2u);
    EXPECT_EQ(ChooseSession(bothActive, L"carol", query, 1), 1u);  // no match: the first active one
    queried.clear();
    EXPECT_EQ(ChooseSession(bothActive, L"", query, 1), 1u);
    EXPECT_TRUE(queried.empty()) << "no user names are asked for an empty job user";

    const std::vector<SessionEntry> firstDisconnected = {{1, false}, {2, true}};
    queried.clear();
    EXPECT_EQ(ChooseSession(firstDisconnected, L"bob", query, 1), 2u);
    EXPECT_EQ(queried, std::vector<DWORD>({2}));  // inactive sessions are not asked either

    // A failed name query is no match for that session.
    const std::vector<SessionEntry> unknownFirst = {{7, true}, {2, true}};
    EXPECT_EQ(ChooseSession(unknownFirst, L"alice", query, 1), 2u);
    // Only ASCII letters fold: an accented name must match exactly.
    EXPECT_FALSE(EqualsIgnoringAsciiCase(L"\x00C9mile", L"\x00E9mile"));
    EXPECT_TRUE(EqualsIgnoringAsciiCase(L"\x00E9MILE", L"\x00E9mile"));
}

TEST(SessionChoice, NoActiveSession) {
    auto none = [](DWORD, std::wstring&) { return false; };
    const std::vector<SessionEntry> inactive = {{1, false}, {2, false}};
    EXPECT_EQ(ChooseSession(inactive, L"bob", none, 3), 3u);  // the console session
    EXPECT_EQ(ChooseSession(inactive, L"bob", none, 0xFFFFFFFF), std::nullopt);
    EXPECT_EQ(ChooseSession(std::vector<SessionEntry>{}, L"", none, 1), 1u);
    // Without any list the console is not tried.
    EXPECT_EQ(ChooseSession(std::nullopt, L"bob", none, 1), std::nullopt);
}

TEST(EditorPath, FirstPlaceThatExists) {
    std::set<std::wstring> files;
    auto exists = [&](const std::wstring& path) { return files.count(path) > 0; };
    const std::wstring programFiles = L"C:\\Program Files";
    const std::wstring installed = L"C:\\Program Files\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe";

    EXPECT_EQ(ChooseEditorPath(L"", L"", programFiles, exists), L"");
    files.insert(installed);
    EXPECT_EQ(ChooseEditorPath(L"", L"", programFiles, exists), installed);
    files.insert(L"D:\\Setup\\TARNWICK-PRINTER.exe");
    EXPECT_EQ(ChooseEditorPath(L"", L"D:\\Setup", programFiles, exists), L"D:\\Setup\\TARNWICK-PRINTER.exe");
    // An EditorPath that points at a deleted file, or holds unexpanded text, is passed over.
    EXPECT_EQ(ChooseEditorPath(L"E:\\Gone\\TARNWICK-PRINTER.exe", L"D:\\Setup", programFiles, exists),
              L"D:\\Setup\\TARNWICK-PRINTER.exe");
    EXPECT_EQ(ChooseEditorPath(L"%ProgramFiles%\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe", L"", programFiles, exists),
              installed);
    files.insert(L"E:\\Ed\\editor.exe");
    EXPECT_EQ(ChooseEditorPath(L"E:\\Ed\\editor.exe", L"D:\\Setup", programFiles, exists), L"E:\\Ed\\editor.exe");
}

TEST(EditorCommand, QuotedPathThenTray) {
    EXPECT_EQ(EditorCommandLine(L"D:\\Apps\\Ed\\TARNWICK-PRINTER.exe"), L"\"D:\\Apps\\Ed\\TARNWICK-PRINTER.exe\" /tray");
    EXPECT_EQ(EditorWorkingDirectory(L"D:\\Apps\\Ed\\TARNWICK-PRINTER.exe"), L"D:\\Apps\\Ed");
    EXPECT_EQ(EditorCommandLine(L"C:\\Program Files\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe"),
              L"\"C:\\Program Files\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe\" /tray");
    EXPECT_EQ(EditorWorkingDirectory(L"TARNWICK-PRINTER.exe"), L"");
    EXPECT_EQ(EditorWorkingDirectory(L"\\TARNWICK-PRINTER.exe"), L"");
    EXPECT_EQ(LaunchTaskCommandLine(L"C:\\Windows\\system32"),
              L"\"C:\\Windows\\system32\\schtasks.exe\" /run /tn \"TARNWICK-PRINTER Launch\"");
}

}  // namespace
