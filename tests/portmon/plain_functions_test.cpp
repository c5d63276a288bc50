// The monitor's decisions as plain functions with plain data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/unique_handle.h"
#include "portmon/monitor.h"
#include "tests/support/files.h"

namespace {

using tw_test::ScopedEnvironment;

TEST(ProgramDataRoot, SourcesInOrder) {
    EXPECT_EQ(ChooseProgramDataRoot(L"P:\\PD", L"D:\\Data", L"C:\\Windows"), L"P:\\PD");
    EXPECT_EQ(ChooseProgramDataRoot(L"", L"D:\\Data", L"C:\\Windows"), L"D:\\Data");
    EXPECT_EQ(ChooseProgramDataRoot(L"", L"", L"C:\\Windows"), L"C:\\ProgramData");
    EXPECT_EQ(ChooseProgramDataRoot(L"", L"", L"E:\\Windows"), L"E:\\ProgramData");
    EXPECT_EQ(ChooseProgramDataRoot(L"", L"", L"E:"), L"C:\\ProgramData");
    EXPECT_EQ(ChooseProgramDataRoot(L"", L"", L""), L"C:\\ProgramData");
    // A trailing backslash is kept as it is.
    EXPECT_EQ(ChooseProgramDataRoot(L"P:\\PD\\", L"", L""), L"P:\\PD\\");
}

TEST(ProgramDataRoot, EnvironmentValuesOfUpTo259Characters) {
    const std::wstring v259 = L"Q:\\" + std::wstring(256, L'x');
    const std::wstring v260 = v259 + L"y";
    {
        ScopedEnvironment pd(L"ProgramData", v259);
        EXPECT_EQ(ReadEnvironmentValue(L"ProgramData"), v259);
        EXPECT_EQ(GetProgramDataRoot(), v259);
    }
    {
        ScopedEnvironment pd(L"ProgramData", v260);
        ScopedEnvironment all(L"ALLUSERSPROFILE", std::wstring(L"D:\\Data"));
        EXPECT_EQ(ReadEnvironmentValue(L"ProgramData"), L"");
        EXPECT_EQ(GetProgramDataRoot(), L"D:\\Data");
        EXPECT_EQ(GetDataFolder(), L"D:\\Data\\TarnwickPrinter");
    }
    {
        ScopedEnvironment pd(L"ProgramData", nullptr);
        ScopedEnvironment all(L"ALLUSERSPROFILE", nullptr);
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        EXPECT_EQ(GetProgramDataRoot(), std::wstring(windows, 3) + L"ProgramData");
    }
}

TEST(EnsureDirectory, CreatesTheWholeChain) {
    const std::wstring root = tw_test::MakeTempFolder(L"ensure");
    const std::wstring deep = root + L"\\a\\b/c";
    EXPECT_TRUE(EnsureDirectory(deep));
    EXPECT_TRUE(tw_test::IsFolder(root + L"\\a\\b\\c"));
    EXPECT_TRUE(EnsureDirectory(deep));  // already there
    EXPECT_FALSE(EnsureDirectory(L""));
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_TRUE(EnsureDirectory(std::wstring(windows, 3)));  // a drive root is never created

    // A plain file of that name counts as "already exists".
    ASSERT_TRUE(tw_test::WriteFileBytes(root + L"\\plain", "x"));
    EXPECT_TRUE(EnsureDirectory(root + L"\\plain"));
    EXPECT_FALSE(EnsureDirectory(root + L"\\plain\\below"));
    tw_test::RemoveTree(root);
}

TEST(FinalPath, SamePlaceWhateverTheSpelling) {
    const std::wstring intended = L"C:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part";
    EXPECT_TRUE(IsSamePath(intended, L"\\\\?\\C:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part"));
    EXPECT_TRUE(IsSamePath(intended, L"\\\\?\\c:\\programdata\\TARNWICKPRINTER\\spool\\JOB_1.PART"));
    // A root with a trailing backslash doubles the separator in the intended path.
    EXPECT_TRUE(IsSamePath(L"C:\\ProgramData\\\\TarnwickPrinter/Spool\\", L"\\\\?\\C:\\ProgramData\\TarnwickPrinter\\Spool"));
    EXPECT_TRUE(IsSamePath(L"\\\\server\\share\\TarnwickPrinter\\portmon.log",
                           L"\\\\?\\UNC\\server\\share\\TarnwickPrinter\\portmon.log"));
    EXPECT_TRUE(IsSamePath(L"C:\\", L"\\\\?\\C:\\"));
    // Where a link leads, the final path is somewhere else.
    EXPECT_FALSE(IsSamePath(intended, L"\\\\?\\C:\\Windows\\System32\\job_1.part"));
    EXPECT_FALSE(IsSamePath(intended, L"\\\\?\\Z:\\tmp\\outside\\job_1.part"));
    EXPECT_FALSE(IsSamePath(intended, L"\\\\?\\C:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part.old"));
    EXPECT_FALSE(IsSamePath(intended, L"\\\\?\\D:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part"));
    EXPECT_FALSE(IsSamePath(L"\\\\server\\share\\x", L"\\\\?\\C:\\server\\share\\x"));
    // An unknown final path is never the intended one.
    EXPECT_FALSE(IsSamePath(intended, L""));
    EXPECT_FALSE(IsSamePath(L"", L""));
}

TEST(FinalPath, TrustedRootIsWhatLiesAboveTheDataFolder) {
    EXPECT_EQ(TrustedRootOf(L"C:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part"), L"C:\\ProgramData\\");
    EXPECT_EQ(TrustedRootOf(L"C:\\ProgramData\\TarnwickPrinter\\portmon.log"), L"C:\\ProgramData\\");
    EXPECT_EQ(TrustedRootOf(L"C:\\PD\\\\tarnwickprinter\\Spool"), L"C:\\PD\\\\");
    EXPECT_EQ(TrustedRootOf(L"C:\\Windows\\TEMP\\TarnwickPrinter\\job_1.part"), L"C:\\Windows\\TEMP\\");
    EXPECT_EQ(TrustedRootOf(L"C:\\TarnwickPrinter"), L"C:\\");
    // The last folder of that name counts: a root may contain the name itself.
    EXPECT_EQ(TrustedRootOf(L"D:\\TarnwickPrinter\\TarnwickPrinter\\Spool\\x"), L"D:\\TarnwickPrinter\\");
    // Only a whole component counts.
    EXPECT_EQ(TrustedRootOf(L"C:\\ProgramData\\TarnwickPrinterX\\Spool"), L"");
    EXPECT_EQ(TrustedRootOf(L"C:\\ProgramData\\Spool"), L"");
    EXPECT_EQ(TrustedRootOf(L"TarnwickPrinter\\Spool"), L"");
}

TEST(FinalPath, OnlyWhatTheQueriesShowIsAccepted) {
    const std::wstring intended = L"C:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part";
    const auto facts = [](const std::wstring& dos, const std::wstring& rootDos, const std::wstring& nt = L"",
                          const std::wstring& rootNt = L"") {
        FileFacts result;
        result.type = FILE_TYPE_DISK;
        result.standardKnown = true;
        result.links = 1;
        result.dosPath = dos;
        result.rootDosPath = rootDos;
        result.ntPath = nt;
        result.rootNtPath = rootNt;
        return result;
    };
    const FileFacts plain = facts(L"\\\\?\\C:\\ProgramData\\TarnwickPrinter\\Spool\\job_1.part", L"");
    EXPECT_TRUE(IsIntendedFileFrom(intended, plain));
    FileFacts linked = plain;
    linked.links = 2;
    EXPECT_FALSE(IsIntendedFileFrom(intended, linked));
    FileFacts folder = plain;
    folder.directory = true;
    EXPECT_FALSE(IsIntendedFileFrom(intended, folder));
    EXPECT_FALSE(IsIntendedFileFrom(intended, facts(L"\\\\?\\C:\\Windows\\System32\\job_1.part", L"\\\\?\\C:\\ProgramData")));
    // The root may be reached through a short name or a link of the administrator's.
    EXPECT_TRUE(IsIntendedFileFrom(L"C:\\PROGRA~3\\TarnwickPrinter\\Spool\\job_1.part",
                                   facts(plain.dosPath, L"\\\\?\\C:\\ProgramData")));
    EXPECT_FALSE(IsIntendedFileFrom(L"C:\\PROGRA~3\\TarnwickPrinter\\Spool\\job_1.part",
                                    facts(plain.dosPath, L"\\\\?\\C:\\Users")));

    // A volume without a drive letter has no DOS name: compared by its NT device name.
    const std::wstring volume = L"\\Device\\HarddiskVolume7\\";
    EXPECT_TRUE(IsIntendedFileFrom(intended, facts(L"", L"", volume + L"TarnwickPrinter\\Spool\\job_1.part", volume)));
    EXPECT_FALSE(IsIntendedFileFrom(intended, facts(L"", L"", volume + L"Other\\job_1.part", volume)));
    EXPECT_FALSE(IsIntendedFileFrom(intended, facts(L"", L"", L"\\Device\\HarddiskVolume2\\TarnwickPrinter\\Spool\\job_1.part", volume)));

    // What could not be asked counts against the file: a pipe or a device, a
    // reparse point opened as itself, a failed standard query, no final path
    // at all, or one that could not be compared below a root.
    for (const DWORD type : {DWORD{FILE_TYPE_PIPE}, DWORD{FILE_TYPE_CHAR}, DWORD{FILE_TYPE_UNKNOWN}}) {
        FileFacts other = plain;
        other.type = type;
        EXPECT_FALSE(IsIntendedFileFrom(intended, other)) << type;
    }
    FileFacts reparse = plain;
    reparse.reparsePoint = true;
    EXPECT_FALSE(IsIntendedFileFrom(intended, reparse));
    FileFacts noStandard = plain;
    noStandard.standardKnown = false;
    EXPECT_FALSE(IsIntendedFileFrom(intended, noStandard));
    EXPECT_FALSE(IsIntendedFileFrom(intended, FileFacts{}));
    EXPECT_FALSE(IsIntendedFileFrom(intended, facts(L"", L"")));
    EXPECT_FALSE(IsIntendedFileFrom(intended, facts(L"\\\\?\\C:\\Windows\\job_1.part", L"")));

    // A folder is checked as a folder: no link count, and a file is not one.
    const std::wstring spool = L"C:\\ProgramData\\TarnwickPrinter\\Spool";
    FileFacts spoolFacts = facts(L"\\\\?\\C:\\ProgramData\\TarnwickPrinter\\Spool", L"");
    spoolFacts.directory = true;
    spoolFacts.links = 3;
    EXPECT_TRUE(IsIntendedFileFrom(spool, spoolFacts, EntryKind::Folder));
    spoolFacts.directory = false;
    EXPECT_FALSE(IsIntendedFileFrom(spool, spoolFacts, EntryKind::Folder));
}

TEST(CheckedFiles, NewFilesKeepNoReaderOrWriterOut) {
    const std::wstring root = tw_test::MakeTempFolder(L"shared");
    const std::wstring folder = root + L"\\TarnwickPrinter";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const auto openBeside = [](const std::wstring& path, DWORD access) {
        return UniqueHandle(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    };
    // The log as the monitor creates it, and another writer appending meanwhile.
    const std::wstring log = folder + L"\\portmon.log";
    const CheckedOpen created = OpenCheckedFile(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, false);
    ASSERT_NE(created.handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(created.created);
    UniqueHandle logHandle(created.handle);
    EXPECT_TRUE(openBeside(log, FILE_APPEND_DATA).valid()) << GetLastError();
    // A job file being written, and a reader meanwhile.
    const std::wstring json = folder + L"\\job_1.json";
    UniqueHandle jobFile(CreateJobFile(json));
    ASSERT_TRUE(jobFile.valid());
    EXPECT_TRUE(openBeside(json, GENERIC_READ).valid()) << GetLastError();
    logHandle.reset();
    jobFile.reset();
    tw_test::RemoveTree(root);
}

TEST(FinalPath, RenameTargetsInTheNtForm) {
    EXPECT_EQ(RenameTargetName(L"C:\\PD\\TarnwickPrinter\\Spool\\job_1.prn"), L"\\??\\C:\\PD\\TarnwickPrinter\\Spool\\job_1.prn");
    // The NT form takes no doubled or forward separators.
    EXPECT_EQ(RenameTargetName(L"C:\\PD\\\\TarnwickPrinter/Spool\\job_1.prn"), L"\\??\\C:\\PD\\TarnwickPrinter\\Spool\\job_1.prn");
    EXPECT_EQ(RenameTargetName(L"\\\\server\\share\\x.prn"), L"\\??\\UNC\\server\\share\\x.prn");
    EXPECT_EQ(RenameTargetName(L"\\\\?\\C:\\x.prn"), L"\\??\\C:\\x.prn");
}

TEST(JobStamp, LocalTimeThenJobId) {
    EXPECT_EQ(FormatJobStamp(tw_test::MakeTime(2025, 1, 31, 9, 5, 7, 42), 42), L"20250131_090507_042_42");
    EXPECT_EQ(FormatJobStamp(tw_test::MakeTime(2025, 12, 31, 23, 59, 59, 999), 7), L"20251231_235959_999_7");
    EXPECT_EQ(FormatJobStamp(tw_test::MakeTime(2025, 1, 1, 0, 0, 0, 0), 4294967295u), L"20250101_000000_000_4294967295");
}

TEST(LogLine, ExactLayout) {
    EXPECT_EQ(FormatLogLine(tw_test::MakeTime(2025, 1, 31, 9, 5, 7, 42), 2412, L"OpenPort TARNWICK:"),
              L"2025-01-31 09:05:07.042  [pid 2412]  OpenPort TARNWICK:\r\n");
    // The message is never a format of its own.
    EXPECT_EQ(FormatLogLine(tw_test::MakeTime(2025, 1, 31, 9, 5, 7, 42), 1, L"100% %s %d %n"),
              L"2025-01-31 09:05:07.042  [pid 1]  100% %s %d %n\r\n");
    // A message never makes more than one line.
    EXPECT_EQ(FormatLogLine(tw_test::MakeTime(2025, 1, 31, 9, 5, 7, 42), 1, L"doc\r\n2025-01-01 00:00:00.000  [pid 4]  forged"),
              L"2025-01-31 09:05:07.042  [pid 1]  doc  2025-01-01 00:00:00.000  [pid 4]  forged\r\n");
    // A line is cut at 2047 characters.
    const std::wstring line = FormatLogLine(tw_test::MakeTime(2025, 1, 31, 9, 5, 7, 42), 1, std::wstring(3000, L'x').c_str());
    EXPECT_EQ(line.size(), 2047u);
}

// Always terminated, cut at the last unit, as StringCchPrintfW was.
TEST(FormatText, FitsOrIsCutAtTheLastUnit) {
    const struct {
        const wchar_t* format;
        const wchar_t* argument;
        bool whole;
        const wchar_t* text;
    } cases[] = {
        {L"%s", L"abc", true, L"abc"}, {L"%s!", L"abc", true, L"abc!"},  // exactly fills the buffer
        {L"%s!!", L"abc", false, L"abc!"}, {nullptr, L"abc", false, L""},
    };
    for (const auto& c : cases) {
        wchar_t buffer[6];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        EXPECT_EQ(FormatText(buffer, 5, c.format, c.argument), c.whole) << c.text;
        EXPECT_STREQ(buffer, c.text);
        EXPECT_EQ(buffer[5], L'#') << "nothing beyond the capacity";
    }
}

TEST(Utf8, ConversionWithoutByteOrderMark) {
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(ToUtf8(L"abc"), "abc");
    EXPECT_EQ(ToUtf8(L"ジョブ"), "\xE3\x82\xB8\xE3\x83\xA7\xE3\x83\x96");
    EXPECT_EQ(ToUtf8(L"\x2014\x2192"), "\xE2\x80\x94\xE2\x86\x92");
}

TEST(PortInfo, NeededBytes) {
    const std::vector<std::wstring> one = {L"TARNWICK:"};
    EXPECT_EQ(PortInfoBytesNeeded(1, one), sizeof(PORT_INFO_1W) + 20);
    EXPECT_EQ(PortInfoBytesNeeded(2, one), sizeof(PORT_INFO_2W) + 20 + 20 + 44);
    const std::vector<std::wstring> two = {L"A:", L"LONGER:"};
    EXPECT_EQ(PortInfoBytesNeeded(1, two), 2 * sizeof(PORT_INFO_1W) + 6 + 16);
    EXPECT_EQ(PortInfoBytesNeeded(2, two), 2 * sizeof(PORT_INFO_2W) + (2 * 2 + 66) + (2 * 7 + 66));
}

TEST(PortInfo, StringsFromTheEndDownward) {
    const std::vector<std::wstring> ports = {L"A:", L"LONGER:"};
    const DWORD needed = PortInfoBytesNeeded(2, ports);
    std::vector<BYTE> buffer(needed + 1, 0xAB);  // odd size: the last byte stays unused
    FillPortInfo(2, ports, buffer.data(), needed + 1);
    const auto* info = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
    EXPECT_EQ(reinterpret_cast<const BYTE*>(info[0].pPortName), buffer.data() + needed - 6);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(info[0].pMonitorName), buffer.data() + needed - 6 - 20);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(info[1].pDescription), buffer.data() + 2 * sizeof(PORT_INFO_2W));
    EXPECT_STREQ(info[1].pPortName, L"LONGER:");
    EXPECT_STREQ(info[1].pMonitorName, L"TWPortMon");
    EXPECT_STREQ(info[1].pDescription, L"TARNWICK-PRINTER Port");
    EXPECT_NE(info[0].pMonitorName, info[1].pMonitorName);  // each port has its own copy
    EXPECT_EQ(info[1].fPortType, static_cast<DWORD>(PORT_TYPE_WRITE));
    EXPECT_EQ(buffer[needed], 0xAB);
}

TEST(PortNames, NestedNamesAreRefused) {
    EXPECT_FALSE(IsNestedPortName(L"TARNWICK:"));
    EXPECT_FALSE(IsNestedPortName(L"LPT9:"));
    EXPECT_TRUE(IsNestedPortName(L"A\\B"));
    EXPECT_TRUE(IsNestedPortName(L"\\"));
}

}  // namespace
