// Install's early returns and its copy of the monitor while something holds
// the deployed file, run as TWSetup.exe from a folder of its own.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "common/unique_handle.h"
#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/output.h"
#include "tests/support/spooler.h"

namespace {

using tw_test::AsUtf8;
using tw_test::ScopedEnvironment;

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        package_ = tw_test::MakeTempFolder(L"package");
        root_ = tw_test::MakeTempFolder(L"programdata");
        programData_ = std::make_unique<ScopedEnvironment>(L"ProgramData", root_);
        ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWSetup.exe").c_str(),
                              (package_ + L"\\TWSetup.exe").c_str(), FALSE));
        Clean();
        tw_test::StopSpooler();
    }
    void TearDown() override {
        Clean();
        tw_test::StopSpooler();
        programData_.reset();
        tw_test::RemoveTree(root_);
        tw_test::RemoveTree(package_);
    }
    static void Clean() {
        tw_test::DeleteQueue();
        tw_test::RemoveMonitor();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon");
        DeleteFileW((tw_test::SystemFolder() + L"\\TWPortMon.dll").c_str());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    }
    void AddMonitorToPackage() {
        ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWPortMon.dll").c_str(),
                              (package_ + L"\\TWPortMon.dll").c_str(), FALSE));
    }
    tw_test::ProcessResult Install(const std::wstring& options = L"") {
        tw_test::ProcessResult result =
            tw_test::RunProcess(L"\"" + package_ + L"\\TWSetup.exe\" install" + options, 300000);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.errors, "");
        return result;
    }
    std::wstring DataLine() const { return L"  - データフォルダ: " + root_ + L"\\TarnwickPrinter"; }
    std::wstring EditorWarning() const {
        return L"  [!] " + package_ + L"\\TARNWICK-PRINTER.exe が見つかりません。自動起動は動きません。";
    }

    std::wstring package_, root_;
    std::unique_ptr<ScopedEnvironment> programData_;
};

TEST_F(InstallTest, MonitorMissingBesideTheProgramStopsBeforeTheSpooler) {
    const tw_test::ProcessResult result = Install();
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(tw_test::SplitLines(result.output),
              tw_test::Utf8Lines({L"== TARNWICK-PRINTER インストール ==", DataLine(), EditorWarning(),
                         L"  [!] TWPortMon.dll が見つかりません (TWSetup.exe と同じフォルダに置いてください)",
                         L"  - 編集アプリの設定をインストール前の状態に戻しました"}));
    // The settings it wrote are gone again with the failure.
    UniqueKey settings;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, settings.put()),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(tw_test::PathExists(tw_test::SystemFolder() + L"\\TWPortMon.dll"));
    UniqueKey ports;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon", 0,
                            KEY_READ, ports.put()),
              ERROR_SUCCESS);
    EXPECT_FALSE(tw_test::SpoolerRunning());
}

TEST_F(InstallTest, NoPrinterLeavesTheQueueToTheCaller) {
    AddMonitorToPackage();
    const tw_test::ProcessResult result = Install(L" /NOPRINTER /driver:Nonexistent");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(tw_test::SplitLines(result.output),
              tw_test::Utf8Lines({L"== TARNWICK-PRINTER インストール ==", DataLine(), EditorWarning(),
                         L"  - " + tw_test::SystemFolder() + L"\\TWPortMon.dll を配置しました",
                         L"  - ポートモニタ TWPortMon を登録しました", L"  - ポート TARNWICK: を登録しました",
                         L"  - Print Spooler を再起動します...", L"  - 用紙サイズ: 新規 22 件 / 既存 0 件",
                         L"  - ポート TARNWICK: をスプーラが認識しました",
                         L"  - プリンタ作成は呼び出し側に任せます (/noprinter)", L"完了しました。"}));
    UniquePrinter printer;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L"TARNWICK-PRINTER"), printer.put(), nullptr));
    DWORD autoLaunch = 9, size = sizeof(autoLaunch);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, L"AutoLaunch", RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY,
                           nullptr, &autoLaunch, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(autoLaunch, 1u);

    const tw_test::ProcessResult quiet = Install(L" /noprinter --noautolaunch");
    EXPECT_EQ(quiet.exitCode, 0u);
    EXPECT_NE(quiet.output.find(AsUtf8(L"  - ポートモニタは既に登録済みです\r\n")), std::string::npos) << quiet.output;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, L"AutoLaunch", RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY,
                           nullptr, &autoLaunch, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(autoLaunch, 0u);
}

TEST_F(InstallTest, MonitorOfAnotherMachineIsRefusedBeforeItIsCopied) {
    // The monitor built here, its machine field turned into the other 64-bit one's.
    std::string image = tw_test::ReadFileBytes(tw_test::ModuleFolder() + L"\\TWPortMon.dll");
    ASSERT_GT(image.size(), 0x200u);
    const size_t machine = static_cast<unsigned char>(image[0x3C]) + 256u * static_cast<unsigned char>(image[0x3D]) + 4;
    const bool arm64 = std::wstring(tw_test::kBuiltForMachine) == L"ARM64";
    image.replace(machine, 2, arm64 ? std::string("\x64\x86", 2) : std::string("\x64\xAA", 2));
    ASSERT_TRUE(tw_test::WriteFileBytes(package_ + L"\\TWPortMon.dll", image));

    const tw_test::ProcessResult result = Install();
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_NE(result.output.find(AsUtf8(L"  [!] " + package_ + L"\\TWPortMon.dll はこのコンピュータの種類 (" +
                                        tw_test::kBuiltForMachine + L") 用ではありません\r\n")),
              std::string::npos);
    EXPECT_FALSE(tw_test::PathExists(tw_test::SystemFolder() + L"\\TWPortMon.dll"));
    EXPECT_FALSE(tw_test::MonitorRegistered());
}

TEST_F(InstallTest, HeldMonitorFileIsCopiedAgainWithTheSpoolerStopped) {
    AddMonitorToPackage();
    const std::wstring deployed = tw_test::SystemFolder() + L"\\TWPortMon.dll";
    ASSERT_TRUE(tw_test::WriteFileBytes(deployed, "an older monitor"));
    // Something holds the deployed file without sharing, and lets go of it
    // while install waits with the spooler stopped.
    UniqueHandle held(CreateFileW(deployed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    std::thread release([&held] {
        Sleep(500);
        held.reset();
    });
    const tw_test::ProcessResult result = Install(L" /noprinter");
    release.join();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(tw_test::ReadFileBytes(deployed), tw_test::ReadFileBytes(package_ + L"\\TWPortMon.dll"));
    EXPECT_NE(result.output.find(AsUtf8(L"  - " + deployed + L" を配置しました\r\n")), std::string::npos);
    EXPECT_EQ(result.output.find("CopyFile"), std::string::npos);
}

TEST_F(InstallTest, MonitorFileHeldThroughTheRetryFailsTheInstall) {
    AddMonitorToPackage();
    const std::wstring deployed = tw_test::SystemFolder() + L"\\TWPortMon.dll";
    ASSERT_TRUE(tw_test::WriteFileBytes(deployed, "an older monitor"));
    UniqueHandle held(CreateFileW(deployed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    const tw_test::ProcessResult result = Install();
    held.reset();
    EXPECT_EQ(result.exitCode, 2u);
    const std::vector<std::string> lines = tw_test::SplitLines(result.output);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3].rfind(AsUtf8(L"  [!] CopyFile(TWPortMon.dll) : (0x00000020) "), 0), 0u) << result.output;
    EXPECT_EQ(tw_test::ReadFileBytes(deployed), "an older monitor");
    // The spooler is asked to start again after the second attempt.
    EXPECT_TRUE(tw_test::SpoolerRunning());
}

// A user puts programs under the system's names where Windows looks first for
// a bare name: beside TWSetup.exe and in the folder it is started in. Each
// command that starts a system program runs the system's, with the command
// line as documented, in the system folder; install runs no icacls.exe at all.
TEST_F(InstallTest, SystemProgramsAreTheSystems) {
    const std::wstring work = tw_test::MakeTempFolder(L"work");
    const std::wstring recorder = tw_test::ModuleFolder() + L"\\twrecord.exe";
    for (const wchar_t* name : {L"icacls.exe", L"rundll32.exe", L"schtasks.exe"}) {
        for (const std::wstring& folder : {package_, work}) {
            ASSERT_TRUE(CopyFileW(recorder.c_str(), (folder + L"\\" + name).c_str(), FALSE));
        }
    }
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring system = tw_test::SystemFolder();
    const struct {
        const wchar_t* program;
        std::wstring arguments;
        std::wstring commandLine;
    } cases[] = {
        {L"icacls.exe", L"install", L""},  // ends with exit code 2: no monitor beside the program
        {L"rundll32.exe", L"printer \"/driver:TW No Such Driver\" /port:TW-NO-PORT:",
         L"rundll32.exe printui.dll,PrintUIEntry /ia /q /m \"TW No Such Driver\" /h \"" + std::wstring(tw_test::kBuiltForMachine) +
             L"\" /v \"Type 3 - User Mode\" /f \"" + std::wstring(windows) + L"\\inf\\ntprint.inf\""},
        {L"schtasks.exe", L"uninstall",
         L"\"" + system + L"\\schtasks.exe\" /delete /f /tn \"TARNWICK-PRINTER Launch\""},
    };
    for (const auto& c : cases) {
        tw_test::ScopedSystemStandIn stand(c.program);
        ASSERT_TRUE(stand.ready());
        const tw_test::ProcessResult result =
            tw_test::RunProcess(L"\"" + package_ + L"\\TWSetup.exe\" " + c.arguments, 300000, nullptr, work.c_str());
        EXPECT_TRUE(result.started);
        const std::string ran = c.commandLine.empty() ? "" : AsUtf8(system + L"\\" + c.program) + "\r\n";
        EXPECT_EQ(stand.Programs(), ran) << result.output;
        // Started in the system folder, never in the user's folder TWSetup.exe was started from.
        EXPECT_EQ(stand.Folders(), c.commandLine.empty() ? "" : AsUtf8(system) + "\r\n");
        EXPECT_EQ(stand.Recorded(), c.commandLine.empty() ? "" : AsUtf8(c.commandLine) + "\r\n");
    }
    tw_test::RemoveTree(work);
}

bool SetProtectedPrint(const wchar_t* name, DWORD value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, name, REG_DWORD, &value, sizeof(value)) ==
           ERROR_SUCCESS;
}

// Windows protected print mode keeps every monitor but Windows' own out of
// the spooler: install refuses before it changes anything.
TEST_F(InstallTest, ProtectedPrintModeRefusesTheInstall) {
    AddMonitorToPackage();
    ASSERT_TRUE(SetProtectedPrint(kProtectedPrintPolicyValue, 1));
    const tw_test::ProcessResult result = Install(L" /noprinter");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, kProtectedPrintPolicyValue);
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(tw_test::SplitLines(result.output),
              tw_test::Utf8Lines({L"== TARNWICK-PRINTER インストール ==",
                                  L"  [!] Windows の保護印刷モードがオンのため、ポートモニタ TWPortMon を使えません",
                                  L"      HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP : "
                                  L"WindowsProtectedPrintGroupPolicyState = 1",
                                  L"      保護印刷モードをオフにしてから、もう一度実行してください"}));
    EXPECT_FALSE(tw_test::PathExists(tw_test::SystemFolder() + L"\\TWPortMon.dll"));
    EXPECT_FALSE(tw_test::PathExists(root_ + L"\\TarnwickPrinter"));
    EXPECT_FALSE(tw_test::MonitorRegistered());
}

// An earlier uninstall left the monitor's deletion pending until the next
// start: install drops that entry and the one moving a file onto it (in any
// letter case), and keeps every other in its order, as MoveFileEx wrote them.
TEST_F(InstallTest, PendingDeletionOfTheMonitorIsDropped) {
    AddMonitorToPackage();
    const std::wstring deployed = tw_test::SystemFolder() + L"\\TWPortMon.dll", nul(1, L'\0');
    std::wstring lower = deployed;
    _wcslwr(&lower[0]);
    const std::wstring other = L"\\??\\C:\\other.tmp" + nul + nul + L"\\??\\C:\\b.old" + nul + L"\\??\\C:\\b.dll" + nul;
    const std::wstring staged = L"\\??\\" + deployed + nul + nul + other + L"\\??\\C:\\a.new" + nul + L"!\\??\\" +
                                lower + nul + nul;
    const wchar_t key[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", REG_MULTI_SZ, staged.data(),
                              static_cast<DWORD>(staged.size() * sizeof(wchar_t))),
              ERROR_SUCCESS);
    const tw_test::ProcessResult result = Install(L" /noprinter");
    std::wstring left(256, L'\0');
    DWORD size = static_cast<DWORD>(left.size() * sizeof(wchar_t));
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations", RRF_RT_REG_MULTI_SZ, nullptr,
                           &left[0], &size),
              ERROR_SUCCESS);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"PendingFileRenameOperations");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_NE(result.output.find(AsUtf8(L"\r\n  - " + deployed + L" の再起動時の削除予約を取り消しました\r\n")),
              std::string::npos)
        << result.output;
    EXPECT_EQ(left.substr(0, size / sizeof(wchar_t)), other + nul);
}

// check on a working installation, then with each link broken in turn: one
// line per link, and the code of the first link that breaks; not elevated
// the same.
TEST_F(InstallTest, CheckWalksTheChainPrintingNeeds) {
    AddMonitorToPackage();
    ASSERT_EQ(Install(L" /noprinter").exitCode, 0u);
    ASSERT_EQ(tw_test::AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(tw_test::AddQueue(L"Own Copy", L"TARNWICK:"), static_cast<DWORD>(ERROR_SUCCESS));
    const std::wstring deployed = tw_test::SystemFolder() + L"\\TWPortMon.dll", aside = deployed + L".aside";
    const std::wstring data = root_ + L"\\TarnwickPrinter", editor = package_ + L"\\TARNWICK-PRINTER.exe";
    const auto check = [this](HANDLE token) {
        return tw_test::RunProcess(L"\"" + package_ + L"\\TWSetup.exe\" check", 120000, token);
    };
    const tw_test::ProcessResult holding = check(nullptr);
    const std::vector<std::string> lines = tw_test::SplitLines(holding.output);
    ASSERT_EQ(lines.size(), 9u) << holding.output;
    const std::wstring version = tw_test::FromUtf8(lines[3].substr(lines[3].find(": ") + 2));
    EXPECT_EQ(holding.exitCode, 0u);
    EXPECT_EQ(lines, tw_test::Utf8Lines({L"保護印刷モード      : オフ", L"ポートモニタ登録    : あり (TWPortMon.dll)",
                                         L"TWPortMon.dll       : " + deployed, L"TWPortMon.dll の版  : " + version,
                                         L"ポート              : TARNWICK:", L"プリンタ            : Own Copy",
                                         L"データフォルダ      : " + data, L"設定                : " + editor + L" (自動起動 有効)",
                                         L"印刷に必要なものはすべてそろっています。"}));
    UniqueHandle token = tw_test::LinkedToken();
    EXPECT_EQ(check(token.get()).output, holding.output);

    // The deployed DLL with the last part of its file version one higher.
    std::string newer = tw_test::ReadFileBytes(deployed);
    const size_t fixed = newer.find(std::string("\xBD\x04\xEF\xFE", 4));
    ASSERT_NE(fixed, std::string::npos);
    ++newer[fixed + 12];
    const size_t dot = version.rfind(L'.') + 1;
    const std::wstring higher = version.substr(0, dot) + std::to_wstring(std::stoul(version.substr(dot)) + 1);
    const auto setEditor = [](const std::wstring& path) {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, L"EditorPath", REG_SZ, path.c_str(),
                               static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    };
    MONITOR_INFO_2W monitor = {const_cast<LPWSTR>(L"TWPortMon"), nullptr, const_cast<LPWSTR>(L"TWPortMon.dll")};
    const struct {
        int exitCode;
        std::wstring label, value;
        std::function<bool()> breakLink, mend;
    } cases[] = {
        {10, L"保護印刷モード", L"[!] オン (WindowsProtectedPrintGroupPolicyState = 1)",
         [] { return SetProtectedPrint(kProtectedPrintPolicyValue, 1); },
         [] { return !RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, kProtectedPrintPolicyValue); }},
        {11, L"ポートモニタ登録", L"[!] 登録されていません", [] { return tw_test::RemoveMonitor() == ERROR_SUCCESS; },
         [&] { return AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&monitor)) != FALSE; }},
        {12, L"TWPortMon.dll", L"[!] ありません (" + deployed + L")",
         [&] { return MoveFileExW(deployed.c_str(), aside.c_str(), 0) != FALSE; },
         [&] { return MoveFileExW(aside.c_str(), deployed.c_str(), 0) != FALSE; }},
        {13, L"TWPortMon.dll の版", L"[!] " + higher + L" (このツールは " + version + L")",
         [&] { return MoveFileExW(deployed.c_str(), aside.c_str(), 0) && tw_test::WriteFileBytes(deployed, newer); },
         [&] { return DeleteFileW(deployed.c_str()) && MoveFileExW(aside.c_str(), deployed.c_str(), 0); }},
        {15, L"プリンタ", L"[!] TWPortMon のポートを使うプリンタがありません",
         [] { return tw_test::DeleteQueue(L"Own Copy") == ERROR_SUCCESS; },
         [] { return tw_test::AddQueue(L"Own Copy", L"TARNWICK:") == ERROR_SUCCESS; }},
        {16, L"データフォルダ", L"[!] " + data + L"\\Processed がありません",
         [&] { return RemoveDirectoryW((data + L"\\Processed").c_str()) != FALSE; },
         [&] { return CreateDirectoryW((data + L"\\Processed").c_str(), nullptr) != FALSE; }},
        {17, L"設定", L"[!] EditorPath が " + editor + L" ではありません",
         [&] { return setEditor(L"C:\\Users\\alice\\TARNWICK-PRINTER.exe"); }, [&] { return setEditor(editor); }},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(c.breakLink()) << c.exitCode;
        const tw_test::ProcessResult broken = check(nullptr);
        ASSERT_TRUE(c.mend()) << c.exitCode;
        EXPECT_EQ(broken.exitCode, static_cast<DWORD>(c.exitCode));
        EXPECT_NE(broken.output.find(AsUtf8(ReportLabel(c.label) + c.value + L"\r\n")), std::string::npos) << broken.output;
        EXPECT_EQ(tw_test::SplitLines(broken.output).back(),
                  AsUtf8(L"  [!] 最初に途切れているのは「" + c.label + L"」です (終了コード " + std::to_wstring(c.exitCode) + L")"));
    }
    EXPECT_EQ(check(nullptr).exitCode, 0u);
    tw_test::DeleteQueue(L"Own Copy");
}

}  // namespace
