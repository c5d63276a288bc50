// The shared helpers of the setup tool, for real in this process: output,
// error reports, child programs, the program's folder and folder chains.
#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

using tw_test::AsUtf8;

std::wstring SystemText(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    UniqueLocal owner(text);
    return text != nullptr ? text : L"";
}

TEST(Output, RedirectedLinesAreUtf8WithCrLfAndNoByteOrderMark) {
    tw_test::StdoutCapture capture;
    PrintLine(L"");
    PrintLine(L"%s=%u %d %08X %04u|%-6s|", L"有効", 7u, -3, 0xABCu, 42u, L"ab");
    PrintLine(L"  - %s", L"\xD83D\xDE00");  // a pair of surrogates is one character
    WriteConsoleText(L"");
    WriteConsoleText(nullptr);
    PrintLine(L"%s", std::wstring(2000, L'x').c_str());
    const std::string expected = "\r\n" + AsUtf8(L"有効=7 -3 00000ABC 0042|ab    |\r\n") +
                                 "  - \xF0\x9F\x98\x80\r\n" + std::string(1023, 'x') + "\r\n";
    EXPECT_EQ(capture.Finish(), expected);
}

TEST(Output, ErrorReportCarriesCodeAndSystemText) {
    const std::wstring denied = SystemText(ERROR_ACCESS_DENIED);
    ASSERT_GE(denied.size(), 2u);
    EXPECT_EQ(denied.substr(denied.size() - 2), L"\r\n");  // hence the empty line after a report

    tw_test::StdoutCapture capture;
    SetLastError(ERROR_ACCESS_DENIED);
    ReportLastError(L"label");
    SetLastError(0x20001234);  // a code the system has no text for
    ReportLastError(L"100% %s");
    EXPECT_EQ(capture.Finish(), AsUtf8(L"  [!] label : (0x00000005) " + denied + L"\r\n") +
                                    "  [!] 100% %s : (0x20001234) \r\n");
}

TEST(RunAndWait, ExitCodeMissingProgramAndTimeOut) {
    const std::wstring program = tw_test::ModuleFolder() + L"\\twrecord.exe";
    const std::wstring folder = tw_test::MakeTempFolder(L"run");
    const std::wstring record = folder + L"\\record.txt";
    {
        // The program named runs, with the command line exactly as given,
        // whatever its first word names.
        tw_test::ScopedEnvironment recordFile(L"TW_RECORD_FILE", record);
        const std::wstring commandLine = L"tw-other.exe \"a b\" --exit 7";
        EXPECT_EQ(RunAndWait(program, commandLine, 60000), 7u);
        EXPECT_EQ(tw_test::ReadFileBytes(record), AsUtf8(commandLine) + "\r\n");
    }

    tw_test::StdoutCapture capture;
    EXPECT_EQ(RunAndWait(folder + L"\\tw-no-such-program.exe", L"tw-no-such-program.exe", 60000), 0xFFFFFFFFu);
    EXPECT_EQ(RunAndWait(L"", L"twrecord.exe", 60000), 0xFFFFFFFFu) << "no program: no search either";
    EXPECT_EQ(RunAndWait(program, L"twrecord.exe --sleep 2000", 100), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(capture.Finish(), "");
    EXPECT_EQ(SystemProgramPath(L"icacls.exe"), tw_test::SystemFolder() + L"\\icacls.exe");
    tw_test::RemoveTree(folder);
}

TEST(ModuleDirectory, TheProgramsFolderWithoutTrailingBackslash) {
    const std::wstring folder = ModuleDirectory();
    EXPECT_EQ(folder, tw_test::ModuleFolder());
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
}

TEST(CreateFolderChain, NestedExistingAndPlainFile) {
    const std::wstring root = tw_test::MakeTempFolder(L"chain");
    EXPECT_TRUE(CreateFolderChain(root + L"\\a\\b\\c"));
    EXPECT_TRUE(tw_test::IsFolder(root + L"\\a\\b\\c"));
    EXPECT_TRUE(CreateFolderChain(root + L"\\a\\b\\c"));  // already there
    EXPECT_TRUE(CreateFolderChain(root + L"\\d\\"));
    EXPECT_TRUE(tw_test::IsFolder(root + L"\\d"));
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_TRUE(CreateFolderChain(std::wstring(windows, 3)));  // a drive root
    EXPECT_FALSE(CreateFolderChain(L""));

    // A plain file of that name is no folder, and nothing goes below it.
    ASSERT_TRUE(tw_test::WriteFileBytes(root + L"\\plain", "x"));
    EXPECT_FALSE(CreateFolderChain(root + L"\\plain"));
    EXPECT_FALSE(CreateFolderChain(root + L"\\plain\\below"));
    EXPECT_FALSE(tw_test::IsFolder(root + L"\\plain"));

    // Thousands of levels get an answer, not a stack overflow.
    std::wstring deep = root + L"\\plain";
    for (int i = 0; i < 8000; ++i) deep += L"\\z";
    EXPECT_FALSE(CreateFolderChain(deep));
    tw_test::RemoveTree(root);
}

}  // namespace
