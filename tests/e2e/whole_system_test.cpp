// The whole system as an administrator and a user meet it: TWSetup.exe
// installs everything from one folder, a document printed through the spooler
// arrives as a job for the editor and starts it, status and diag show the
// installation, a second install accepts the first, and uninstall removes all
// but the data folder. The steps build on each other and run in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "common/unique_handle.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/spooler.h"

namespace {

using namespace tw_test;

bool Contains(const std::vector<std::string>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), AsUtf8(line)) != lines.end();
}

class WholeSystem : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // What an administrator unpacks into one folder.
        dir_ = new std::wstring(MakeTempFolder(L"TARNWICK-PRINTER setup"));
        const std::wstring bin = ModuleFolder().substr(0, ModuleFolder().find_last_of(L'\\'));
        for (const wchar_t* file : {L"TWSetup.exe", L"TWPortMon.dll", L"TARNWICK-PRINTER.exe"}) {
            ASSERT_TRUE(CopyFileW((bin + L"\\" + file).c_str(), (*dir_ + L"\\" + file).c_str(), FALSE));
        }
        // The staged sessions for every process of the run (WINEDLLOVERRIDES=wtsapi32=n
        // reaches TWSetup.exe too, and the spooler loads the monitor there).
        staged_ = new std::wstring(MakeTempFolder(L"wtsapi32"));
        ASSERT_TRUE(CopyFileW((SystemFolder() + L"\\wtsapi32.dll").c_str(), (*staged_ + L"\\wtsapi32.dll").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((ModuleFolder() + L"\\wtsapi32.dll").c_str(), (SystemFolder() + L"\\wtsapi32.dll").c_str(),
                              FALSE));
        root_ = new std::wstring(MakeTempFolder(L"programdata"));
        programData_ = new ScopedEnvironment(L"ProgramData", *root_);
        // A clean machine, but for the driver that Windows would ship.
        RemoveInstallation();
        ASSERT_EQ(AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    static void TearDownTestSuite() {
        tw_test::StopSpooler();
        CopyFileW((*staged_ + L"\\wtsapi32.dll").c_str(), (SystemFolder() + L"\\wtsapi32.dll").c_str(), FALSE);
        RemoveTree(*staged_);
        delete staged_;
        delete programData_;
        RemoveTree(*root_);
        RemoveTree(*dir_);
        delete root_;
        delete dir_;
    }

    static ProcessResult Setup(const std::wstring& arguments) {
        ProcessResult result = RunProcess(L"\"" + *dir_ + L"\\TWSetup.exe\" " + arguments, 300000);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.errors, "");
        return result;
    }
    static std::wstring Data() { return *root_ + L"\\TarnwickPrinter"; }
    static std::wstring Spool() { return Data() + L"\\Spool"; }

    static std::wstring* dir_;
    static std::wstring* staged_;
    static std::wstring* root_;
    static ScopedEnvironment* programData_;
    static std::string printed_;
};

std::wstring* WholeSystem::dir_ = nullptr;
std::wstring* WholeSystem::root_ = nullptr;
std::wstring* WholeSystem::staged_ = nullptr;
ScopedEnvironment* WholeSystem::programData_ = nullptr;
std::string WholeSystem::printed_;

TEST_F(WholeSystem, Step1_FirstInstall) {
    const ProcessResult result = Setup(L"install");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(tw_test::SplitLines(result.output),
              tw_test::Utf8Lines({L"== TARNWICK-PRINTER インストール ==",
                         L"  - データフォルダ: " + Data(),
                         L"  - 編集アプリ: " + *dir_ + L"\\TARNWICK-PRINTER.exe (自動起動 有効)",
                         L"  - " + SystemFolder() + L"\\TWPortMon.dll を配置しました",
                         L"  - ポートモニタ TWPortMon を登録しました",
                         L"  - ポート TARNWICK: を登録しました",
                         L"  - Print Spooler を再起動します...",
                         L"  - 用紙サイズ: 新規 22 件 / 既存 0 件",
                         L"  - ポート TARNWICK: をスプーラが認識しました",
                         L"  - プリンタ TARNWICK-PRINTER を作成しました (driver=Microsoft PS Class Driver / port=TARNWICK:)",
                         L"完了しました。"}));

    EXPECT_EQ(ReadSetting(L"InstallDir"), *dir_);
    EXPECT_EQ(ReadSetting(L"EditorPath"), *dir_ + L"\\TARNWICK-PRINTER.exe");
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 1u);
    EXPECT_TRUE(KeyExists(std::wstring(kPortsKey) + L"\\TARNWICK:"));
    for (const wchar_t* folder : {L"", L"\\Spool", L"\\Processed"}) EXPECT_TRUE(IsFolder(Data() + folder)) << AsUtf8(folder);
    EXPECT_EQ(ReadFileBytes(SystemFolder() + L"\\TWPortMon.dll"), ReadFileBytes(*dir_ + L"\\TWPortMon.dll"));
    EXPECT_TRUE(MonitorRegistered());

    UniquePrinter printer;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr));
    DWORD needed = 0;
    GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(GetPrinterW(printer.get(), 2, buffer.data(), needed, &needed));
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
    EXPECT_STREQ(info->pPortName, L"TARNWICK:");
    EXPECT_STREQ(info->pDriverName, L"Microsoft PS Class Driver");
    EXPECT_STREQ(info->pPrintProcessor, L"WinPrint");
    EXPECT_STREQ(info->pDatatype, L"RAW");
    EXPECT_STREQ(info->pComment, L"TARNWICK-PRINTER 仮想プリンタ");
    EXPECT_EQ(info->Attributes, 0x41u);
}

TEST_F(WholeSystem, Step2_PrintedJobReachesTheEditor) {
    printed_ = "%!PS-Adobe-3.0\n%%Title: whole system\n";
    for (int i = 0; i < 5000; ++i) printed_ += "(line " + std::to_string(i) + ") show\n";
    ASSERT_NE(PrintRaw(kQueueName, L"全体テスト.ps", printed_), 0u) << GetLastError();

    std::vector<std::wstring> files = ListFolder(Spool());
    ASSERT_EQ(files.size(), 3u);
    const std::wstring base = Spool() + L"\\" + files[0].substr(0, files[0].size() - 5);  // the .json sorts first
    EXPECT_EQ(ReadFileBytes(base + L".prn"), printed_);
    EXPECT_EQ(ReadFileBytes(base + L".ready"), "ok");
    std::wstring doubled;
    for (wchar_t c : base + L".prn") doubled += c == L'\\' ? std::wstring(L"\\\\") : std::wstring(1, c);
    const std::string json = ReadFileBytes(base + L".json");
    EXPECT_NE(json.find(AsUtf8(L"  \"documentName\": \"全体テスト.ps\",\n")), std::string::npos) << json;
    EXPECT_NE(json.find("  \"portName\": \"TARNWICK:\",\n"), std::string::npos);
    EXPECT_NE(json.find("  \"bytes\": " + std::to_string(printed_.size()) + ",\n"), std::string::npos);
    EXPECT_NE(json.find("  \"dataFile\": \"" + AsUtf8(doubled) + "\"\n}\n"), std::string::npos);

    // The editor starts in the (staged) user's session, in its own folder, with /tray.
    const std::wstring launches = *dir_ + L"\\launches.txt";
    std::string record;
    for (int i = 0; i < 200 && record.find("job ready") == std::string::npos; ++i) {
        Sleep(50);
        record = ReadFileBytes(launches);
    }
    EXPECT_EQ(record.substr(0, record.find("  spool folder")),
              AsUtf8(L"launch\r\n  command line: \"" + *dir_ + L"\\TARNWICK-PRINTER.exe\" /tray\r\n"
                     L"  working directory: " + *dir_ + L"\r\n"));
    const std::string log = ReadFileBytes(Data() + L"\\portmon.log");
    EXPECT_NE(log.find(AsUtf8(L"編集アプリを起動しました (session=1): " + *dir_ + L"\\TARNWICK-PRINTER.exe")),
              std::string::npos)
        << log;
}

TEST_F(WholeSystem, Step3_StatusAndDiagnosticsShowTheInstallation) {
    const ProcessResult status = Setup(L"status");
    EXPECT_EQ(status.exitCode, 0u);
    EXPECT_EQ(tw_test::SplitLines(status.output), tw_test::Utf8Lines({L"プリンタ TARNWICK-PRINTER : あり",
                                               L"ポートモニタ TWPortMon : あり (TWPortMon.dll)",
                                               L"データフォルダ : " + Data()}));

    const ProcessResult diag = Setup(L"diag");
    EXPECT_EQ(diag.exitCode, 0u);
    const std::vector<std::string> lines = tw_test::SplitLines(diag.output);
    EXPECT_TRUE(Contains(lines, L"ポートモニタ登録    : あり (TWPortMon.dll)")) << diag.output;
    EXPECT_TRUE(Contains(lines, L"  InstallDir        : " + *dir_));
    EXPECT_TRUE(Contains(lines, L"  AutoLaunch        : 1 (有効)"));
    EXPECT_TRUE(Contains(lines, L"プリンタ            : TARNWICK-PRINTER"));
    EXPECT_TRUE(Contains(lines, L"  ポート            : TARNWICK:"));
    EXPECT_TRUE(Contains(lines, L"  取り込み待ち      : .prn 1 件 / .ready 1 件 / 書きかけ .part 0 件"));
    EXPECT_TRUE(Contains(lines, L"  書き込み          : OK"));
    const std::regex fileLine("^TWPortMon\\.dll \\(System32\\) : [0-9]+ .*");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return std::regex_match(l, fileLine); }));
    const std::string endLine = " bytes=" + std::to_string(printed_.size()) + " ok=1";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind("  ", 0) == 0 && l.find("EndDocPort job=") != std::string::npos && l.find(endLine) != std::string::npos;
    })) << diag.output;
}

TEST_F(WholeSystem, Step4_SecondInstallAcceptsTheFirst) {
    const ProcessResult result = Setup(L"install");
    EXPECT_EQ(result.exitCode, 0u);
    const std::vector<std::string> lines = tw_test::SplitLines(result.output);
    EXPECT_TRUE(Contains(lines, L"  - ポートモニタは既に登録済みです")) << result.output;
    EXPECT_TRUE(Contains(lines, L"  - プリンタ TARNWICK-PRINTER は既に存在します"));
    EXPECT_FALSE(Contains(lines, L"  - ポートモニタ TWPortMon を登録しました"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), AsUtf8(L"完了しました。"));
}

TEST_F(WholeSystem, Step5_UninstallKeepsTheDataFolder) {
    const ProcessResult result = Setup(L"uninstall");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(tw_test::SplitLines(result.output),
              tw_test::Utf8Lines({L"== TARNWICK-PRINTER アンインストール ==",
                         L"  - プリンタを削除しました",
                         L"  - ポートモニタを削除しました",
                         L"  - Print Spooler を再起動します...",
                         L"  - " + SystemFolder() + L"\\TWPortMon.dll を削除しました",
                         L"  - 自動起動タスクを削除しました",
                         L"完了しました (ProgramData\\TarnwickPrinter は残しています)。"}));
    EXPECT_FALSE(QueueExists());
    EXPECT_FALSE(KeyExists(kSettingsKey, KEY_WOW64_64KEY));
    EXPECT_FALSE(MonitorRegistered());
    EXPECT_FALSE(PathExists(SystemFolder() + L"\\TWPortMon.dll"));
    EXPECT_EQ(ListFolder(Spool()).size(), 3u);
    EXPECT_TRUE(PathExists(Data() + L"\\portmon.log"));
    EXPECT_TRUE(IsFolder(Data() + L"\\Processed"));
}

}  // namespace
