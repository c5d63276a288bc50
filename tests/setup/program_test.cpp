// TWSetup.exe itself, run under Wine as a child with its standard output
// redirected to a file: the bytes it prints, its exit codes, and what it
// writes to HKLM\SOFTWARE\TARNWICK-PRINTER in the 64-bit view.
#include <gtest/gtest.h>

#include <algorithm>

#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

using tw_test::AsUtf8;

struct RegistryValue {
    bool found = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    std::wstring Text() const {
        return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    }
};

RegistryValue ReadSetting(const wchar_t* name) {
    RegistryValue value;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS) return value;
    value.data.resize(size);
    value.found = RegQueryValueExW(key.get(), name, nullptr, &value.type, value.data.data(), &size) ==
                  ERROR_SUCCESS;
    return value;
}

void DeleteSettings() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKeyPath); }

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteSettings(); }
    void TearDown() override { DeleteSettings(); }

    static tw_test::ProcessResult Run(const std::wstring& arguments, const std::wstring& folder = tw_test::ModuleFolder(),
                                      HANDLE token = nullptr) {
        std::wstring commandLine = L"\"" + folder + L"\\TWSetup.exe\"";
        if (!arguments.empty()) commandLine += L" " + arguments;
        tw_test::ProcessResult result = tw_test::RunProcess(commandLine, 120000, token);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.errors, "") << "nothing ever goes to standard error";
        return result;
    }

    static std::string Usage() {
        std::string usage;
        for (const std::wstring& line : UsageLines()) usage += AsUtf8(line) + "\r\n";
        return usage;
    }
};

TEST_F(ProgramTest, UsageForNoArgumentAndTheHelpSwitches) {
    for (const wchar_t* arguments : {L"", L"/?", L"-h", L"--help", L"/? autolaunch"}) {
        const tw_test::ProcessResult result = Run(arguments);
        EXPECT_EQ(result.exitCode, 1u) << arguments;
        EXPECT_EQ(result.output, Usage()) << arguments;
    }
}

TEST_F(ProgramTest, UnknownCommandsAreNamedAsTyped) {
    tw_test::ProcessResult result = Run(L"Install");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.output, AsUtf8(L"不明なコマンド: Install\r\n"));
    result = Run(L"/noprinter install");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.output, AsUtf8(L"不明なコマンド: /noprinter\r\n"));
}

TEST_F(ProgramTest, SettingsWithTheEditorMissing) {
    const std::wstring folder = tw_test::MakeTempFolder(L"no editor");
    ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWSetup.exe").c_str(),
                          (folder + L"\\TWSetup.exe").c_str(), FALSE));
    const std::wstring editor = folder + L"\\TARNWICK-PRINTER.exe";
    const std::string warning = AsUtf8(L"  [!] " + editor + L" が見つかりません。自動起動は動きません。\r\n");

    tw_test::ProcessResult result = Run(L"noautolaunch", folder);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, warning);
    const RegistryValue installDir = ReadSetting(L"InstallDir");
    ASSERT_TRUE(installDir.found);
    EXPECT_EQ(installDir.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(installDir.Text(), folder + std::wstring(1, L'\0'));  // the NUL is stored too
    const RegistryValue editorPath = ReadSetting(L"EditorPath");
    EXPECT_EQ(editorPath.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(editorPath.Text(), editor + std::wstring(1, L'\0'));
    RegistryValue autoLaunch = ReadSetting(L"AutoLaunch");
    EXPECT_EQ(autoLaunch.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(autoLaunch.data, (std::vector<BYTE>{0, 0, 0, 0}));

    result = Run(L"autolaunch /port:X", folder);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, warning);
    autoLaunch = ReadSetting(L"AutoLaunch");
    EXPECT_EQ(autoLaunch.data, (std::vector<BYTE>{1, 0, 0, 0}));
    tw_test::RemoveTree(folder);
}

TEST_F(ProgramTest, SettingsWithTheEditorBesideTheProgram) {
    const std::wstring folder = tw_test::MakeTempFolder(L"install dir");
    ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWSetup.exe").c_str(),
                          (folder + L"\\TWSetup.exe").c_str(), FALSE));
    const std::wstring editor = folder + L"\\TARNWICK-PRINTER.exe";
    ASSERT_TRUE(tw_test::WriteFileBytes(editor, "MZ"));

    tw_test::ProcessResult result = Run(L"autolaunch", folder);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, AsUtf8(L"  - 編集アプリ: " + editor + L" (自動起動 有効)\r\n"));
    EXPECT_EQ(ReadSetting(L"InstallDir").Text(), folder + std::wstring(1, L'\0'));
    EXPECT_EQ(ReadSetting(L"AutoLaunch").data, (std::vector<BYTE>{1, 0, 0, 0}));

    result = Run(L"noautolaunch", folder);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, AsUtf8(L"  - 編集アプリ: " + editor + L" (自動起動 無効)\r\n"));
    EXPECT_EQ(ReadSetting(L"AutoLaunch").data, (std::vector<BYTE>{0, 0, 0, 0}));
    tw_test::RemoveTree(folder);
}

// The folder TWSetup.exe runs from, the monitor's file in it, or a folder
// above it lets everyone change it (Wine shows Unix "others" write as
// Everyone's write and delete): install and the settings commands refuse,
// naming it, and write nothing; diag's settings block names the folder.
TEST_F(ProgramTest, ProgramFolderOthersCanChangeIsRefused) {
    const std::wstring above = tw_test::MakeTempFolder(L"open");
    const std::wstring folder = above + L"\\tool";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\TWSetup.exe").c_str(), (folder + L"\\TWSetup.exe").c_str(),
                          FALSE));
    ASSERT_TRUE(tw_test::WriteFileBytes(folder + L"\\TWPortMon.dll", "MZ"));
    ASSERT_EQ(Run(L"noautolaunch", folder).exitCode, 0u) << "from a folder only administrators change";
    const std::string warning =
        AsUtf8(L"  [!] " + folder + L" は管理者以外も書き換えられます。Program Files の下に置いてください。");
    for (const std::wstring& open : {folder, folder + L"\\TWPortMon.dll", above}) {
        ASSERT_TRUE(tw_test::RunHostShell("chmod o+w '" + tw_test::UnixPathOf(open) + "'"));
        const std::string refused =
            AsUtf8(L"  [!] " + open + L" は管理者以外も書き換えられるため、中止しました。Program Files の下に置いてください。\r\n");
        DeleteSettings();
        for (const wchar_t* command : {L"noautolaunch", L"autolaunch"}) {
            const tw_test::ProcessResult result = Run(command, folder);
            EXPECT_EQ(result.exitCode, 1u) << command;
            EXPECT_EQ(result.output, refused) << command;
        }
        const tw_test::ProcessResult install = Run(L"install", folder);
        EXPECT_EQ(install.exitCode, 2u);
        EXPECT_EQ(install.output, AsUtf8(L"== TARNWICK-PRINTER インストール ==\r\n") + refused);
        EXPECT_FALSE(ReadSetting(L"InstallDir").found) << "nothing written";
        ASSERT_TRUE(tw_test::RunHostShell("chmod o-w '" + tw_test::UnixPathOf(open) + "'"));
    }
    // diag is a report: it names the folder and goes on.
    ASSERT_EQ(Run(L"noautolaunch", folder).exitCode, 0u);
    ASSERT_TRUE(tw_test::RunHostShell("chmod o+w '" + tw_test::UnixPathOf(folder) + "'"));
    const std::vector<std::string> diag = tw_test::SplitLines(Run(L"diag").output);
    const auto autoLaunch = std::find(diag.begin(), diag.end(), AsUtf8(L"  AutoLaunch        : 0 (無効)"));
    ASSERT_NE(autoLaunch, diag.end());
    EXPECT_EQ(*(autoLaunch + 1), warning) << "in the settings block";
    tw_test::RemoveTree(above);
}

// "/log:" keeps every printed line, appended, only in a folder that only
// administrators can write and never through a link; a refusal is printed
// and the command runs all the same.
TEST_F(ProgramTest, LogKeepsEveryLineWhereOnlyAdministratorsWrite) {
    const std::wstring folder = tw_test::MakeTempFolder(L"log");
    const std::wstring log = folder + L"\\install.log";
    const tw_test::ProcessResult plain = Run(L"status");
    std::string kept;
    for (int run = 0; run < 2; ++run) {
        const tw_test::ProcessResult logged = Run(L"status \"/log:" + log + L"\"");
        EXPECT_EQ(logged.output, plain.output);
        kept += logged.output;
        EXPECT_EQ(tw_test::ReadFileBytes(log), kept) << "appended, UTF-8, CR LF";
    }

    const std::wstring linked = folder + L"\\linked.log";
    ASSERT_TRUE(tw_test::MakeSymbolicLink(linked, log));
    // A folder anyone may write, or one below a folder two levels up that
    // anyone may rename (and put a link in its place).
    const std::wstring open = tw_test::MakeTempFolder(L"open log");
    ASSERT_TRUE(CreateDirectoryW((open + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((open + L"\\a\\b").c_str(), nullptr));
    ASSERT_TRUE(tw_test::RunHostShell("chmod o+w '" + tw_test::UnixPathOf(open) + "'"));
    for (const std::wstring& refused : {linked, open + L"\\install.log", open + L"\\a\\b\\install.log"}) {
        const tw_test::ProcessResult result = Run(L"status \"/log:" + refused + L"\"");
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, AsUtf8(L"  [!] /log:" + refused +
                                        L" は管理者以外も書き換えられるか、リンクになっているため、記録しません\r\n") +
                                     plain.output);
    }
    EXPECT_EQ(tw_test::ReadFileBytes(log), kept);
    EXPECT_FALSE(tw_test::PathExists(open + L"\\install.log"));
    EXPECT_FALSE(tw_test::PathExists(open + L"\\a\\b\\install.log"));
    tw_test::RemoveWithoutFollowing(folder);
    tw_test::RemoveTree(open);
}

TEST_F(ProgramTest, NotElevatedOnlyTheElevationMessage) {
    const UniqueHandle token = tw_test::LinkedToken();
    ASSERT_TRUE(token.valid());
    const std::string refused = AsUtf8(L"[!] 管理者として実行してください。\r\n");
    for (const wchar_t* arguments : {L"autolaunch", L"spooler", L"Install", L"/noprinter install"}) {
        const tw_test::ProcessResult result = Run(arguments, tw_test::ModuleFolder(), token.get());
        EXPECT_EQ(result.exitCode, 1u) << arguments;
        EXPECT_EQ(result.output, refused) << arguments;
    }
    EXPECT_FALSE(ReadSetting(L"AutoLaunch").found);
    const tw_test::ProcessResult help = Run(L"/?", tw_test::ModuleFolder(), token.get());
    EXPECT_EQ(help.exitCode, 1u);
    EXPECT_EQ(help.output, Usage());
}

// A volatile link to a place that cannot exist makes the settings key
// impossible to create (Wine does not enforce registry permissions).
class UnreachableSettingsKey {
public:
    UnreachableSettingsKey() {
        UniqueKey link;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr,
                            REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            nullptr, link.put(), nullptr) != ERROR_SUCCESS) {
            return;
        }
        const std::wstring target = L"\\Registry\\Nowhere\\TARNWICK-PRINTER";
        ready_ = RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK,
                                reinterpret_cast<const BYTE*>(target.c_str()),
                                static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~UnreachableSettingsKey() {
        // A link key is deleted through a handle to the link itself.
        using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE);
        const auto deleteKey = reinterpret_cast<NtDeleteKeyFunction>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
        UniqueKey link;
        if (deleteKey != nullptr &&
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, REG_OPTION_OPEN_LINK, DELETE | KEY_WOW64_64KEY,
                          link.put()) == ERROR_SUCCESS) {
            deleteKey(link.get());
        }
    }
    bool ready() const { return ready_; }

private:
    bool ready_ = false;
};

TEST_F(ProgramTest, SettingsKeyThatCannotBeCreatedIsReportedAndFails) {
    UnreachableSettingsKey unreachable;
    ASSERT_TRUE(unreachable.ready());
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, ERROR_FILE_NOT_FOUND, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal owner(text);
    const tw_test::ProcessResult result = Run(L"autolaunch");
    // The registry's own status, not a stale last error.
    EXPECT_EQ(result.output, AsUtf8(std::wstring(L"  [!] RegCreateKeyEx(SOFTWARE\\TARNWICK-PRINTER) : (0x00000002) ") +
                                    (text != nullptr ? text : L"") + L"\r\n"));
    EXPECT_EQ(result.exitCode, 0u);
}

TEST_F(ProgramTest, ManifestAsksForAdministratorRights) {
    HMODULE module = LoadLibraryExW((tw_test::ModuleFolder() + L"\\TWSetup.exe").c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    std::string manifest;
    if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        if (HGLOBAL loaded = LoadResource(module, resource)) {
            manifest.assign(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, resource));
        }
    }
    FreeLibrary(module);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
}

TEST_F(ProgramTest, ConsoleGetsTheTextAsUtf16) {
    // Through WriteConsoleW the console shows the Japanese whatever its code
    // page; the pseudo console hands its rendering back as UTF-8.
    const tw_test::ProcessResult result =
        tw_test::RunInConsole(L"\"" + tw_test::ModuleFolder() + L"\\TWSetup.exe\" Install");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.output.find(AsUtf8(L"不明なコマンド: Install")), std::string::npos) << result.output;
}

}  // namespace
