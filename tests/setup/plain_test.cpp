// The setup tool's decisions as plain functions with plain data: the command
// line, the elevation decision, the usage text and the data folder's place.
#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

using tw_test::ScopedEnvironment;

InstallOptions Options(std::vector<std::wstring> options) {
    options.insert(options.begin(), {L"TWSetup.exe", L"install"});
    return ParseCommandLine(options).options;
}

TEST(CommandLine, TheCommandIsArgumentOneAndNeverAnOption) {
    EXPECT_EQ(ParseCommandLine({}).command, L"");
    EXPECT_EQ(ParseCommandLine({L"TWSetup.exe"}).command, L"");
    const SetupRequest swapped = ParseCommandLine({L"TWSetup.exe", L"/noprinter", L"install"});
    EXPECT_EQ(swapped.command, L"/noprinter");
    EXPECT_FALSE(swapped.options.noprinter);

    const InstallOptions defaults = Options({});
    EXPECT_EQ(defaults.driver, L"Microsoft PS Class Driver");
    EXPECT_EQ(defaults.port, L"TARNWICK:");
    EXPECT_FALSE(defaults.noprinter);
    EXPECT_FALSE(defaults.noautolaunch);
}

TEST(CommandLine, PrefixesAreCaseSensitiveFlagsAreNot) {
    EXPECT_EQ(Options({L"--port=TARNWICK:"}).port, L"TARNWICK:");
    EXPECT_EQ(Options({L"/port:LPT9:"}).port, L"LPT9:");
    EXPECT_EQ(Options({L"/driver:Microsoft PS Class Driver"}).driver, L"Microsoft PS Class Driver");
    EXPECT_EQ(Options({L"--driver=a=b:c"}).driver, L"a=b:c");
    EXPECT_EQ(Options({L"/driver:"}).driver, L"");
    EXPECT_EQ(Options({L"/driver:A", L"/driver:B"}).driver, L"B");
    EXPECT_EQ(Options({L"--port=A", L"/port:B", L"--port=C"}).port, L"C");

    EXPECT_EQ(Options({L"/Driver:X"}).driver, L"Microsoft PS Class Driver");
    EXPECT_EQ(Options({L"/PORT:X"}).port, L"TARNWICK:");
    EXPECT_EQ(Options({L"/driver"}).driver, L"Microsoft PS Class Driver");
    EXPECT_EQ(Options({L"/log:C:\\Program Files\\x\\install.log"}).log, L"C:\\Program Files\\x\\install.log");
    EXPECT_EQ(Options({L"/LOG:x.log", L"--log=x.log"}).log, L"");

    EXPECT_TRUE(Options({L"/NOPRINTER"}).noprinter);
    EXPECT_TRUE(Options({L"--NoPrinter"}).noprinter);
    EXPECT_TRUE(Options({L"/noAutoLaunch"}).noautolaunch);
    EXPECT_TRUE(Options({L"--noautolaunch"}).noautolaunch);
    EXPECT_FALSE(Options({L"/noautolaunch"}).noprinter);
    // The whole argument must match, and only ASCII letters fold.
    EXPECT_FALSE(Options({L"/noprinterx"}).noprinter);
    EXPECT_FALSE(Options({L"/noprinter "}).noprinter);
    EXPECT_FALSE(Options({L"-noprinter"}).noprinter);
    EXPECT_FALSE(Options({L"/\xFF4E\xFF4Fprinter"}).noprinter);  // full-width "no"
}

TEST(Dispatch, WhichCommandsNeedElevation) {
    for (const wchar_t* help : {L"", L"/?", L"-h", L"--help"}) {
        EXPECT_TRUE(IsHelpCommand(help));
        EXPECT_FALSE(CommandNeedsElevation(help)) << help;
    }
    for (const wchar_t* command : {L"autolaunch", L"noautolaunch", L"spooler"}) {
        ASSERT_NE(FindCommand(command), nullptr) << command;
        EXPECT_TRUE(CommandNeedsElevation(command)) << command;
    }
    // A deployment tool may ask check from any account.
    for (const wchar_t* command : {L"status", L"diag", L"list", L"check"}) {
        ASSERT_NE(FindCommand(command), nullptr) << command;
        EXPECT_FALSE(CommandNeedsElevation(command)) << command;
    }
    // Unknown commands are refused before they are recognised.
    for (const wchar_t* command : {L"Install", L"AUTOLAUNCH", L"/noprinter", L"-?", L"/h"}) {
        EXPECT_EQ(FindCommand(command), nullptr) << command;
        EXPECT_TRUE(CommandNeedsElevation(command)) << command;
    }
}

int g_elevationQuestions = 0;
bool AnswerElevated() { return ++g_elevationQuestions, true; }
bool AnswerNotElevated() { return ++g_elevationQuestions, false; }

std::string Dispatch(std::vector<std::wstring> arguments, ElevationQuery isElevated, int& exitCode) {
    arguments.insert(arguments.begin(), L"TWSetup.exe");
    tw_test::StdoutCapture capture;
    exitCode = RunSetup(arguments, isElevated);
    return capture.Finish();
}

TEST(Dispatch, RunsWithAStandInElevationAnswer) {
    const std::string refused = tw_test::AsUtf8(L"[!] 管理者として実行してください。\r\n");
    int exitCode = -1;
    std::string usage;
    for (const std::wstring line : UsageLines()) usage += tw_test::AsUtf8(line) + "\r\n";

    g_elevationQuestions = 0;
    EXPECT_EQ(Dispatch({}, AnswerNotElevated, exitCode), usage);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(Dispatch({L"/?", L"install"}, AnswerElevated, exitCode), usage);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(g_elevationQuestions, 0);

    for (const wchar_t* command : {L"autolaunch", L"spooler", L"Install", L"/noprinter"}) {
        EXPECT_EQ(Dispatch({command}, AnswerNotElevated, exitCode), refused) << command;
        EXPECT_EQ(exitCode, 1);
    }
    EXPECT_EQ(g_elevationQuestions, 4);
    EXPECT_EQ(Dispatch({L"autolaunch"}, nullptr, exitCode), refused);

    EXPECT_EQ(Dispatch({L"Install", L"/driver:X"}, AnswerElevated, exitCode),
              tw_test::AsUtf8(L"不明なコマンド: Install\r\n"));
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(Dispatch({L"/noprinter", L"install"}, AnswerElevated, exitCode),
              tw_test::AsUtf8(L"不明なコマンド: /noprinter\r\n"));
    // The command is text, never a format.
    EXPECT_EQ(Dispatch({L"%s%n%08X"}, AnswerElevated, exitCode),
              tw_test::AsUtf8(L"不明なコマンド: %s%n%08X\r\n"));
}

TEST(Usage, OneLinePerCommandWithDescriptionsFromThe51stCharacter) {
    const std::vector<std::wstring> expected = {
        L"TWSetup.exe install   [/driver:\"...\"] [/port:TARNWICK:] [/noprinter] [/noautolaunch]",
        L"TWSetup.exe autolaunch                            印刷時の自動起動を有効化",
        L"TWSetup.exe noautolaunch                          印刷時の自動起動を無効化",
        L"TWSetup.exe printer   [/driver:...] [/port:...]   プリンタだけ作成",
        L"TWSetup.exe uninstall",
        L"TWSetup.exe addforms                              用紙サイズだけ登録",
        L"TWSetup.exe status                                状態を表示",
        L"TWSetup.exe diag                                  詳しい診断を表示 (不具合の切り分け用)",
        L"TWSetup.exe check                                 印刷に必要なものがそろっているか確かめる (終了コードで答える)",
        L"TWSetup.exe spooler                               スプーラを再起動して詰まりを解消",
        L"TWSetup.exe cleanqueue                            残ったジョブを消し、印刷済みを残さない設定にする",
        L"TWSetup.exe list                                  ドライバとポートを一覧表示",
    };
    EXPECT_EQ(UsageLines(), expected);
    for (const std::wstring& line : UsageLines()) {
        if (line.size() > 50 && line.find(L"[/noautolaunch]") == std::wstring::npos) {
            EXPECT_EQ(line[49], L' ') << tw_test::AsUtf8(line);
            EXPECT_NE(line[50], L' ') << tw_test::AsUtf8(line);
        }
    }
}

TEST(DataFolder, ProgramDataThenAllUsersProfileThenDriveC) {
    const std::wstring v259 = L"Q:\\" + std::wstring(256, L'x');
    const std::wstring v260 = v259 + L"y";
    EXPECT_EQ(ChooseDataFolder(L"P:\\PD", L"D:\\Data"), L"P:\\PD\\TarnwickPrinter");
    EXPECT_EQ(ChooseDataFolder(L"", L"D:\\Data"), L"D:\\Data\\TarnwickPrinter");
    EXPECT_EQ(ChooseDataFolder(L"", L""), L"C:\\ProgramData\\TarnwickPrinter");
    EXPECT_EQ(ChooseDataFolder(v259, L"D:\\Data"), v259 + L"\\TarnwickPrinter");
    EXPECT_EQ(ChooseDataFolder(v260, L"D:\\Data"), L"D:\\Data\\TarnwickPrinter");
    EXPECT_EQ(ChooseDataFolder(v260, v260), L"C:\\ProgramData\\TarnwickPrinter");

    // The same order read from the environment.
    {
        ScopedEnvironment programData(L"ProgramData", nullptr);
        ScopedEnvironment allUsers(L"ALLUSERSPROFILE", std::wstring(L"D:\\Data"));
        EXPECT_EQ(DataFolderPath(), L"D:\\Data\\TarnwickPrinter");
    }
    {
        ScopedEnvironment programData(L"ProgramData", nullptr);
        ScopedEnvironment allUsers(L"ALLUSERSPROFILE", nullptr);
        EXPECT_EQ(DataFolderPath(), L"C:\\ProgramData\\TarnwickPrinter");
    }
    {
        ScopedEnvironment programData(L"ProgramData", v260);
        ScopedEnvironment allUsers(L"ALLUSERSPROFILE", std::wstring(L"D:\\Data"));
        EXPECT_EQ(DataFolderPath(), L"D:\\Data\\TarnwickPrinter");
    }
    {
        ScopedEnvironment programData(L"ProgramData", v259);
        EXPECT_EQ(DataFolderPath(), v259 + L"\\TarnwickPrinter");
    }
}

}  // namespace
