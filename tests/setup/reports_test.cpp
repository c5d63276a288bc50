// The status report, the diagnostic report and uninstall, run as the
// administrator would run them: TWSetup.exe with its output in a file.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/unique_handle.h"
#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/output.h"
#include "tests/support/spooler.h"

namespace {

using tw_test::AsUtf8;
using tw_test::ScopedEnvironment;

bool HasLine(const std::string& output, const std::wstring& line) {
    const std::vector<std::string> lines = tw_test::SplitLines(output);
    return std::find(lines.begin(), lines.end(), AsUtf8(line)) != lines.end();
}

class ReportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tw_test::MakeTempFolder(L"reports");
        programData_ = std::make_unique<ScopedEnvironment>(L"ProgramData", root_);
        data_ = root_ + L"\\TarnwickPrinter";
        tw_test::RemoveMonitor();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    }
    void TearDown() override {
        tw_test::RemoveMonitor();
        DeleteFileW((tw_test::SystemFolder() + L"\\TWPortMon.dll").c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
        programData_.reset();
        tw_test::RemoveTree(root_);
    }
    tw_test::ProcessResult Run(const std::wstring& arguments) {
        tw_test::ProcessResult result =
            tw_test::RunProcess(L"\"" + tw_test::ModuleFolder() + L"\\TWSetup.exe\" " + arguments);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.errors, "");
        return result;
    }
    void SetSettings(const std::wstring& installDir, const DWORD* autoLaunch) {
        UniqueKey key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                  nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key.get(), L"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(installDir.c_str()),
                       static_cast<DWORD>((installDir.size() + 1) * 2));
        if (autoLaunch != nullptr) {
            RegSetValueExW(key.get(), L"AutoLaunch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(autoLaunch), 4);
        }
    }

    std::wstring root_, data_;
    std::unique_ptr<ScopedEnvironment> programData_;
};

TEST_F(ReportsTest, StatusOnACleanMachine) {
    const tw_test::ProcessResult result = Run(L"status");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, AsUtf8(L"プリンタ TARNWICK-PRINTER : なし\r\nデータフォルダ : " + data_ + L"\r\n"));
    // Without elevation the same.
    UniqueHandle token = tw_test::LinkedToken();
    const tw_test::ProcessResult plain =
        tw_test::RunProcess(L"\"" + tw_test::ModuleFolder() + L"\\TWSetup.exe\" status", 60000, token.get());
    EXPECT_EQ(plain.output, result.output);
}

TEST_F(ReportsTest, StatusShowsTheMonitorAsTheSpoolerSpellsIt) {
    ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWPortMon.dll").c_str(),
                          (tw_test::SystemFolder() + L"\\TWPortMon.dll").c_str(), FALSE));
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(L"twportmon"), nullptr, const_cast<LPWSTR>(L"TWPortMon.dll")};
    ASSERT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    const tw_test::ProcessResult result = Run(L"status");
    EXPECT_EQ(result.output, AsUtf8(L"プリンタ TARNWICK-PRINTER : なし\r\nポートモニタ twportmon : あり (TWPortMon.dll)\r\n"
                                    L"データフォルダ : " + data_ + L"\r\n"));
    ASSERT_TRUE(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(L"twportmon")));
}

TEST_F(ReportsTest, UninstallOnACleanMachineTwice) {
    // Wine has no text for error 3000, so its report ends with the code and a blank.
    const std::string expected = AsUtf8(L"== TARNWICK-PRINTER アンインストール ==\r\n"
                                        L"  [!] DeleteMonitor : (0x00000BB8) \r\n"
                                        L"  - Print Spooler を再起動します...\r\n"
                                        L"  - 自動起動タスクを削除しました\r\n"
                                        L"完了しました (ProgramData\\TarnwickPrinter は残しています)。\r\n");
    for (int run = 0; run < 2; ++run) {
        const tw_test::ProcessResult result = Run(L"uninstall");
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, expected);
    }
    tw_test::StopSpooler();
}

// Something (the spooler) still holds the monitor's file after the restart:
// uninstall has Windows delete it at the next start, and says so.
TEST_F(ReportsTest, HeldMonitorFileGoesAtTheNextStart) {
    const std::wstring deployed = tw_test::SystemFolder() + L"\\TWPortMon.dll";
    const wchar_t sessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    ASSERT_TRUE(tw_test::WriteFileBytes(deployed, "a monitor"));
    UniqueHandle held(CreateFileW(deployed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    const tw_test::ProcessResult result = Run(L"uninstall");
    held.reset();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(HasLine(result.output, L"  [!] " + deployed + L" は使用中のため、次に Windows を起動したときに削除します"))
        << result.output;
    std::vector<wchar_t> pending(4096, L'\0');
    DWORD size = static_cast<DWORD>(pending.size() * sizeof(wchar_t));
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, sessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                           nullptr, pending.data(), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(pending.data()), L"\\??\\" + deployed);
    UniqueKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, sessionManager, 0, KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
    RegDeleteValueW(key.get(), L"PendingFileRenameOperations");
    tw_test::StopSpooler();
}

// What the spooler holds is a loaded image: it cannot be deleted but can be
// renamed. Uninstall moves it to a name of its own and has that deleted at
// the next start, so that nothing pending names TWPortMon.dll.
TEST_F(ReportsTest, LoadedMonitorFileIsMovedAsideBeforeItsDeletion) {
    const std::wstring deployed = tw_test::SystemFolder() + L"\\TWPortMon.dll";
    const wchar_t sessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWPortMon.dll").c_str(), deployed.c_str(), FALSE));
    HMODULE loaded = LoadLibraryExW(deployed.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(loaded, nullptr);
    const tw_test::ProcessResult result = Run(L"uninstall");
    FreeLibrary(loaded);
    const std::string head = AsUtf8(L"\r\n  [!] " + deployed + L" は使用中のため ");
    const size_t start = result.output.find(head) + head.size();
    const size_t end = result.output.find(AsUtf8(L" に名前を変え、次に Windows を起動したときに削除します\r\n"));
    ASSERT_TRUE(start >= head.size() && end != std::string::npos && end > start) << result.output;
    const std::wstring aside = tw_test::FromUtf8(result.output.substr(start, end - start));
    wchar_t pending[1024] = {};
    DWORD size = sizeof(pending);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, sessionManager, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ,
                           nullptr, pending, &size),
              ERROR_SUCCESS);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, sessionManager, L"PendingFileRenameOperations");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(aside.rfind(tw_test::SystemFolder() + L"\\TWP", 0), 0u);
    EXPECT_FALSE(tw_test::PathExists(deployed));
    EXPECT_TRUE(DeleteFileW(aside.c_str()));
    EXPECT_EQ(std::wstring(pending), L"\\??\\" + aside);
    tw_test::StopSpooler();
}

BOOL WINAPI RefuseDeleteMonitor(LPWSTR, LPWSTR, LPWSTR) {
    SetLastError(ERROR_PRINT_MONITOR_IN_USE);
    return FALSE;
}

// The spooler refuses to remove a monitor whose port a queue of the
// administrator's own still uses (every /noprinter deployment): the DLL stays
// with the registration, the queue is named, and uninstall fails.
TEST_F(ReportsTest, RefusedUnregistrationKeepsTheMonitorFile) {
    ASSERT_EQ(tw_test::InstallMonitor(tw_test::ModuleFolder() + L"\\TWPortMon.dll"), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddQueue(L"Own Copy", L"TARNWICK:"), static_cast<DWORD>(ERROR_SUCCESS));
    tw_test::StdoutCapture capture;
    const int exitCode = UninstallWith(RefuseDeleteMonitor);
    const std::string out = capture.Finish();
    tw_test::DeleteQueue(L"Own Copy");
    tw_test::StopSpooler();
    EXPECT_EQ(exitCode, 5);
    EXPECT_TRUE(tw_test::PathExists(tw_test::SystemFolder() + L"\\TWPortMon.dll"));
    EXPECT_TRUE(tw_test::MonitorRegistered());
    EXPECT_TRUE(HasLine(out, L"      TWPortMon のポートを使っているプリンタ: Own Copy")) << out;
    EXPECT_TRUE(HasLine(out, L"  [!] ポートモニタが登録されたままなので、TWPortMon.dll は残します"));
    EXPECT_TRUE(HasLine(out, L"  [!] ポートモニタの登録を外せないため、アンインストールを終えていません"));
    EXPECT_EQ(out.find(AsUtf8(L"完了しました")), std::string::npos);
}

// Protected print mode, here as switched on in Settings: status adds its
// line, diag names it in the system block.
TEST_F(ReportsTest, StatusAndDiagnosticsShowProtectedPrintMode) {
    const DWORD on = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, kProtectedPrintModeValue, REG_DWORD, &on, 4),
              ERROR_SUCCESS);
    const std::string status = Run(L"status").output, diag = Run(L"diag").output;
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, kProtectedPrintModeValue);
    EXPECT_EQ(status, AsUtf8(L"プリンタ TARNWICK-PRINTER : なし\r\nデータフォルダ : " + data_ +
                                            L"\r\n保護印刷モード : オン (WindowsProtectedPrintMode = 1)\r\n"));
    EXPECT_TRUE(HasLine(diag,
                        L"保護印刷モード      : オン (WindowsProtectedPrintMode = 1) ★TWPortMon は読み込まれません"));
}

// A queue of the administrator's own on the monitor's port, which on Windows
// keeps DeleteMonitor from removing the monitor.
TEST_F(ReportsTest, QueuesOnTheMonitorsPorts) {
    ASSERT_EQ(tw_test::InstallMonitor(tw_test::ModuleFolder() + L"\\TWPortMon.dll"), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddQueue(L"Own Copy", L"TARNWICK:"), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddQueue(L"Another Printer", L"LPT1:"), static_cast<DWORD>(ERROR_SUCCESS));
    const std::vector<std::wstring> queues = QueuesOnMonitorPorts();
    tw_test::DeleteQueue(L"Own Copy");
    tw_test::DeleteQueue(L"Another Printer");
    EXPECT_EQ(queues, std::vector<std::wstring>{L"Own Copy"});
}

TEST_F(ReportsTest, DiagnosticsOfSettingsEditorAndSpoolFolder) {
    const DWORD off = 0;
    SetSettings(L"C:\\Tools", &off);
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    const std::wstring spool = data_ + L"\\Spool";
    ASSERT_TRUE(CreateDirectoryW(spool.c_str(), nullptr));
    for (const wchar_t* name : {L"JOB_1.PRN", L"job_2.prn", L"job_2.ready", L"job.ready.part", L"nodot", L"job_2.json"}) {
        ASSERT_TRUE(tw_test::WriteFileBytes(spool + L"\\" + name, "x"));
    }
    // The editor holds its running event in a process of its own.
    std::wstring hold = L"\"" + tw_test::ModuleFolder() + L"\\TARNWICK-PRINTER.exe\" /hold 8000";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(nullptr, &hold[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    UniqueHandle editor(info.hProcess), thread(info.hThread);
    for (int i = 0; i < 100; ++i) {
        UniqueHandle running(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TARNWICK-PRINTER.Running"));
        if (running) break;
        Sleep(50);
    }

    const tw_test::ProcessResult result = Run(L"diag");
    EXPECT_EQ(result.exitCode, 0u);
    const std::string& out = result.output;
    EXPECT_TRUE(HasLine(out, L"  InstallDir        : C:\\Tools")) << out;
    EXPECT_TRUE(HasLine(out, L"  EditorPath        : ありません"));
    EXPECT_TRUE(HasLine(out, L"  AutoLaunch        : 0 (無効)"));
    EXPECT_TRUE(HasLine(out, L"スプールフォルダ    : " + spool));
    EXPECT_TRUE(HasLine(out, L"  取り込み待ち      : .prn 2 件 / .ready 1 件 / 書きかけ .part 1 件"));
    EXPECT_TRUE(HasLine(out, L"  書き込み          : OK"));
    EXPECT_FALSE(tw_test::PathExists(spool + L"\\_write_test.tmp"));
    EXPECT_TRUE(HasLine(out, L"常駐アプリ          : 起動中"));
    EXPECT_TRUE(HasLine(out, L"ポートモニタ登録    : ありません"));
    EXPECT_TRUE(HasLine(out, L"  (" + data_ + L"\\portmon.log はまだありません)"));
    const std::vector<std::string> lines = tw_test::SplitLines(out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), AsUtf8(L"TARNWICK-PRINTER 診断"));
    EXPECT_EQ(lines[1], std::string(62, '-'));
    EXPECT_EQ(lines.back(), AsUtf8(L"※ このまま貼り付けて渡せば、どこで止まっているか判断できます。"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(62, '-')), 7);
    WaitForSingleObject(editor.get(), 15000);

    // Without the editor, with AutoLaunch missing.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    SetSettings(L"C:\\Tools", nullptr);
    const tw_test::ProcessResult second = Run(L"diag");
    EXPECT_TRUE(HasLine(second.output, L"  AutoLaunch        : ありません (既定は有効)"));
    EXPECT_TRUE(HasLine(second.output, L"常駐アプリ          : 起動していません (印刷時に自動起動する対象)"));
}

TEST_F(ReportsTest, DiagnosticsWithoutSettingsOrSpoolFolder) {
    const tw_test::ProcessResult result = Run(L"diag");
    EXPECT_TRUE(HasLine(result.output, L"レジストリ          : HKLM\\SOFTWARE\\TARNWICK-PRINTER がありません"));
    EXPECT_TRUE(HasLine(result.output, L"  [!] フォルダがありません"));
    EXPECT_TRUE(HasLine(result.output, L"TWPortMon.dll (System32) : ありません (" + tw_test::SystemFolder() +
                                           L"\\TWPortMon.dll)"));
    EXPECT_TRUE(HasLine(result.output, L"保護印刷モード      : オフ"));
    // The system block names the computer's kind and the monitor's.
    EXPECT_TRUE(HasLine(result.output, L"コンピュータの種類  : " + std::wstring(tw_test::kBuiltForMachine)));
    EXPECT_TRUE(HasLine(result.output, L"TWPortMon.dll の種類: System32 ありません / 配布物 " +
                                           std::wstring(tw_test::kBuiltForMachine)));
}

TEST_F(ReportsTest, WriteTestFailureIsReportedWithItsCode) {
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((data_ + L"\\Spool").c_str(), nullptr));
    // Whatever stands at the test file's name is left alone: a folder, a
    // file, a link to nothing (whose target is never created).
    const std::wstring probe = data_ + L"\\Spool\\_write_test.tmp";
    const std::wstring nowhere = root_ + L"\\nowhere.tmp";
    ASSERT_TRUE(CreateDirectoryW(probe.c_str(), nullptr));
    for (int run = 0; run < 3; ++run) {
        tw_test::StdoutCapture capture;
        ReportSpoolFolder();
        const std::string out = capture.Finish();
        EXPECT_NE(out.find(AsUtf8(L"  [!] スプールフォルダへ書き込めません : (0x00000050) ")), std::string::npos) << out;
        EXPECT_EQ(out.find(AsUtf8(L"書き込み          : OK")), std::string::npos);
        if (run == 0) {
            EXPECT_TRUE(tw_test::IsFolder(probe));
            ASSERT_TRUE(RemoveDirectoryW(probe.c_str()));
            ASSERT_TRUE(tw_test::WriteFileBytes(probe, "left by someone"));
        } else if (run == 1) {
            EXPECT_EQ(tw_test::ReadFileBytes(probe), "left by someone");
            ASSERT_TRUE(DeleteFileW(probe.c_str()));
            ASSERT_TRUE(tw_test::MakeSymbolicLink(probe, nowhere));
        }
    }
    EXPECT_FALSE(tw_test::PathExists(nowhere));
    tw_test::RemoveWithoutFollowing(probe);
}

// A user points the write test's file name and the log's name at files
// outside, by symbolic and by hard link, or replaces the data folder with a
// link. diag, run by the administrator, writes, empties and deletes none of
// those files and shows none of their text.
TEST_F(ReportsTest, DiagnosticsNeverActOnPlantedLinks) {
    const std::wstring spool = data_ + L"\\Spool";
    const std::wstring probe = spool + L"\\_write_test.tmp";
    const std::wstring log = data_ + L"\\portmon.log";
    const std::wstring outside = root_ + L"\\outside";
    const std::wstring precious = outside + L"\\precious.txt";
    const std::wstring secret = outside + L"\\portmon.log";
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(spool.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((outside + L"\\Spool").c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteFileBytes(precious, "precious"));
    ASSERT_TRUE(tw_test::WriteFileBytes(secret, "secret text\r\n"));
    const std::wstring notRead = L"  (" + log + L" はリンクになっているため読みません)";
    const std::string writeFailed = AsUtf8(L"\r\n  [!] スプールフォルダへ書き込めません : (0x00000050) ");
    const auto diag = [&](const char* planted, const std::string& spoolLine) {
        const tw_test::ProcessResult result = Run(L"diag");
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_NE(result.output.find(spoolLine), std::string::npos) << planted << "\n" << result.output;
        EXPECT_TRUE(HasLine(result.output, notRead)) << planted;
        EXPECT_EQ(result.output.find("secret"), std::string::npos) << planted;
        EXPECT_EQ(tw_test::ReadFileBytes(precious), "precious") << planted;
        EXPECT_EQ(tw_test::ReadFileBytes(secret), "secret text\r\n") << planted;
    };

    ASSERT_TRUE(tw_test::MakeSymbolicLink(probe, precious));
    ASSERT_TRUE(tw_test::MakeSymbolicLink(log, secret));
    diag("symbolic links", writeFailed);
    ASSERT_TRUE(tw_test::RemoveWithoutFollowing(probe));
    ASSERT_TRUE(tw_test::RemoveWithoutFollowing(log));

    ASSERT_TRUE(CreateHardLinkW(probe.c_str(), precious.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(log.c_str(), secret.c_str(), nullptr));
    diag("hard links", writeFailed);
    EXPECT_EQ(tw_test::ReadFileBytes(probe), "precious") << "the planted name stays";
    ASSERT_TRUE(DeleteFileW(probe.c_str()));
    ASSERT_TRUE(DeleteFileW(log.c_str()));

    tw_test::RemoveTree(data_);
    ASSERT_TRUE(tw_test::MakeSymbolicLink(data_, outside));
    diag("data folder", AsUtf8(L"\r\n  書き込み          : 確認しません (リンクになっています)\r\n"));
    EXPECT_EQ(tw_test::ListFolder(outside + L"\\Spool"), std::vector<std::wstring>{});
    ASSERT_TRUE(tw_test::RemoveWithoutFollowing(data_));
}

TEST_F(ReportsTest, NoWriteTestThroughALinkedSpoolFolder) {
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    const std::wstring outside = root_ + L"\\outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(tw_test::MakeSymbolicLink(data_ + L"\\Spool", outside));
    tw_test::StdoutCapture capture;
    ReportSpoolFolder();
    EXPECT_EQ(capture.Finish(), AsUtf8(L"スプールフォルダ    : " + data_ + L"\\Spool\r\n"
                                       L"  取り込み待ち      : .prn 0 件 / .ready 0 件 / 書きかけ .part 0 件\r\n"
                                       L"  書き込み          : 確認しません (リンクになっています)\r\n"));
    EXPECT_TRUE(tw_test::ListFolder(outside).empty());
    tw_test::RemoveWithoutFollowing(data_ + L"\\Spool");
}

TEST_F(ReportsTest, LogTailOfMissingEmptyLargeAndLongLogs) {
    const std::wstring log = root_ + L"\\portmon.log";
    {
        tw_test::StdoutCapture capture;
        PrintLogTail(log, 40);
        EXPECT_EQ(capture.Finish(), AsUtf8(L"  (" + log + L" はまだありません)\r\n"));
    }
    ASSERT_TRUE(tw_test::WriteFileBytes(log, "\r\n\r\n"));
    {
        tw_test::StdoutCapture capture;
        PrintLogTail(log, 40);
        EXPECT_EQ(capture.Finish(), AsUtf8(L"  (記録がありません)\r\n"));
    }
    // Lines before the last 65,536 bytes are never read; the first piece may be cut.
    std::string big;
    for (int i = 0; big.size() < 200000; ++i) big += "early line " + std::to_string(i) + "\r\n";
    std::string tail;
    for (int i = 0; i < 60; ++i) tail += "late line " + std::to_string(i) + "\r\n";
    const std::string longLine(1500, 'L');
    ASSERT_TRUE(tw_test::WriteFileBytes(log, big + tail + longLine + "\r\n"));
    tw_test::StdoutCapture capture;
    PrintLogTail(log, 40);
    const std::vector<std::string> lines = tw_test::SplitLines(capture.Finish());
    ASSERT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines.front(), "  late line 21");
    EXPECT_EQ(lines[38], "  late line 59");
    EXPECT_EQ(lines.back(), "  " + std::string(1021, 'L'));  // cut at the line limit of 1023 units
}

TEST_F(ReportsTest, PrinterSectionWithOtherPrintersOnly) {
    ASSERT_EQ(tw_test::AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddQueue(L"Another Printer", L"LPT1:"), static_cast<DWORD>(ERROR_SUCCESS));
    tw_test::StdoutCapture capture;
    ReportPrinter();
    ReportJobs();
    EXPECT_EQ(capture.Finish(), AsUtf8(L"プリンタ            : TARNWICK-PRINTER がありません\r\n"
                                       L"ジョブ              : プリンタを開けません\r\n"));
    ASSERT_EQ(tw_test::AddQueue(L"tarnwick-printer", L"LPT1:"), static_cast<DWORD>(ERROR_SUCCESS));
    tw_test::StdoutCapture ours;
    ReportPrinter();
    ReportJobs();
    const std::string out = ours.Finish();
    tw_test::DeleteQueue(L"Another Printer");
    tw_test::DeleteQueue(L"tarnwick-printer");
    EXPECT_EQ(out, AsUtf8(L"プリンタ            : tarnwick-printer\r\n"
                          L"  ドライバ          : Microsoft PS Class Driver\r\n"
                          L"  ポート            : LPT1:\r\n"
                          L"  印刷プロセッサ    : WinPrint\r\n"
                          L"  たまっているジョブ: 0\r\n"
                          L"  Status            : 0x00000000\r\n"
                          L"  Attributes        : 0x00000041 キュー\r\n"
                          L"ジョブ              : 0 件\r\n"));
}

}  // namespace
