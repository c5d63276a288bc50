// The reports' text decisions with plain data: label columns, state and
// status words, job lines, spool counts, the log's tail, the Windows line.
#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/support/files.h"

namespace {

TEST(ReportLabels, TwentyDisplayColumnsWithWideCharactersCountingTwo) {
    EXPECT_EQ(DisplayColumns(L"Windows"), 7u);
    EXPECT_EQ(DisplayColumns(L"スプーラ"), 8u);
    EXPECT_EQ(DisplayColumns(L"TWPortMon.dll (配布物)"), 22u);
    EXPECT_EQ(DisplayColumns(L"ＡＢ"), 4u);  // full-width Latin letters are wide too
    // The labels as the report prints them, blank for blank.
    EXPECT_EQ(ReportLabel(L"Windows"), L"Windows             : ");
    EXPECT_EQ(ReportLabel(L"スプーラ"), L"スプーラ            : ");
    EXPECT_EQ(ReportLabel(L"ポートモニタ登録"), L"ポートモニタ登録    : ");
    EXPECT_EQ(ReportLabel(L"レジストリ"), L"レジストリ          : ");
    EXPECT_EQ(ReportLabel(L"  たまっているジョブ"), L"  たまっているジョブ: ");
    EXPECT_EQ(ReportLabel(L"  印刷プロセッサ"), L"  印刷プロセッサ    : ");
    EXPECT_EQ(ReportLabel(L"  取り込み待ち"), L"  取り込み待ち      : ");
    EXPECT_EQ(ReportLabel(L"  Status"), L"  Status            : ");
    EXPECT_EQ(ReportLabel(L"スプールフォルダ"), L"スプールフォルダ    : ");
    EXPECT_EQ(FileLabel(L"TWPortMon.dll (System32)"), L"TWPortMon.dll (System32)");
    EXPECT_EQ(FileLabel(L"TWPortMon.dll (配布物)"), L"TWPortMon.dll (配布物)  ");
    EXPECT_EQ(FileLabel(L"編集アプリ"), L"編集アプリ              ");
    // A label wider than its column is never cut.
    EXPECT_EQ(PadLabel(L"とても長いラベルです。二十桁を超えます", 20), L"とても長いラベルです。二十桁を超えます");
}

TEST(ReportWords, ServicePrinterAndJobStates) {
    EXPECT_EQ(ServiceStateWord(SERVICE_RUNNING), L"実行中");
    EXPECT_EQ(ServiceStateWord(SERVICE_STOPPED), L"停止");
    EXPECT_EQ(ServiceStateWord(SERVICE_START_PENDING), L"開始中");
    EXPECT_EQ(ServiceStateWord(SERVICE_STOP_PENDING), L"停止中");
    EXPECT_EQ(ServiceStateWord(SERVICE_PAUSED), L"その他");

    EXPECT_EQ(PrinterStatusWords(0), L"");
    EXPECT_EQ(PrinterStatusWords(0xFFFFFFFF), L" 一時停止 エラー オフライン 使用不可 要操作");
    EXPECT_EQ(PrinterStatusWords(0x00100080), L" オフライン 要操作");
    EXPECT_EQ(PrinterAttributeWords(0x41), L" キュー");
    EXPECT_EQ(PrinterAttributeWords(0x541),
              L" オフラインで作業  ★印刷後にドキュメントを残す (これが原因でジョブが溜まります) キュー");
    EXPECT_EQ(JobStatusWords(0x18), L" スプール中 印刷中");
    EXPECT_EQ(JobStatusWords(0x202), L" エラー ポートで停止");
}

TEST(ReportWords, JobLine) {
    JOB_INFO_2W job = {};
    job.JobId = 7;
    job.pDocument = const_cast<LPWSTR>(L"報告書.pdf");
    job.pUserName = const_cast<LPWSTR>(L"taro");
    job.TotalPages = 3;
    job.PagesPrinted = 1;
    job.Size = 18342;
    job.Status = 0x18;
    job.pStatus = const_cast<LPWSTR>(L"待機");
    EXPECT_EQ(FormatJobLine(job), L"  #7 報告書.pdf / taro / 3 ページ中 1 / 18342 バイト / Status=0x00000018 スプール中 印刷中 待機");
    // Null texts print empty, and the blank before the status text stays.
    JOB_INFO_2W bare = {};
    EXPECT_EQ(FormatJobLine(bare), L"  #0  /  / 0 ページ中 0 / 0 バイト / Status=0x00000000 ");
}

TEST(SpoolCounts, ByTheTextAfterTheLastDotIgnoringCase) {
    const SpoolCounts counts = CountSpoolFiles({L".", L"..", L"job_1.prn", L"JOB_1.PRN", L"job_1.json", L"job_1.Ready",
                                                L"job.ready.part", L"no-dot", L"prn", L"x.prn.old", L".part"});
    EXPECT_EQ(counts.prn, 2);
    EXPECT_EQ(counts.ready, 1);
    EXPECT_EQ(counts.part, 2);
}

TEST(LogTail, NonEmptyLinesFromTheEnd) {
    EXPECT_TRUE(LogTailLines("", 40).empty());
    EXPECT_TRUE(LogTailLines("\r\n\n\r\r\n", 40).empty());
    const std::vector<std::wstring> crlf = LogTailLines("one\r\ntwo\r\n\r\nthree\r\n", 40);
    EXPECT_EQ(crlf, LogTailLines("one\ntwo\n\nthree", 40));
    EXPECT_EQ(crlf, (std::vector<std::wstring>{L"one", L"two", L"three"}));
    EXPECT_EQ(LogTailLines("a\nb\n\nc\nd\n", 2), (std::vector<std::wstring>{L"c", L"d"}));
    // Japanese text, and a character cut at the start of the window.
    EXPECT_EQ(LogTailLines("\x82\xB8\xE3\x83\xA7\xE3\x83\x96\r\n", 40), (std::vector<std::wstring>{L"\xFFFD\xFFFDョブ"}));
    std::string many;
    for (int i = 1; i <= 100; ++i) many += "line " + std::to_string(i) + "\r\n\r\n";
    const std::vector<std::wstring> last = LogTailLines(many, 40);
    ASSERT_EQ(last.size(), 40u);
    EXPECT_EQ(last.front(), L"line 61");
    EXPECT_EQ(last.back(), L"line 100");
}

LONG WINAPI VersionTen(OSVERSIONINFOW* info) {
    // The size claims the extended record, and the buffer holds one: its last fields are writable.
    EXPECT_EQ(info->dwOSVersionInfoSize, 284u);
    reinterpret_cast<OSVERSIONINFOEXW*>(info)->wProductType = VER_NT_WORKSTATION;
    info->dwMajorVersion = 10;
    info->dwMinorVersion = 0;
    info->dwBuildNumber = 22631;
    return 0;
}

LONG WINAPI VersionFailing(OSVERSIONINFOW* info) {
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    return static_cast<LONG>(0xC000000D);
}

TEST(WindowsLine, VersionFromNtdll) {
    WindowsVersion version = ReadWindowsVersion(&VersionTen);
    EXPECT_EQ(version.major, 10u);
    EXPECT_EQ(version.build, 22631u);
    version = ReadWindowsVersion(&VersionFailing);  // the build only counts after success
    EXPECT_EQ(version.major, 6u);
    EXPECT_EQ(version.minor, 2u);
    EXPECT_EQ(version.build, 0u);
    version = ReadWindowsVersion(nullptr);
    EXPECT_EQ(version.major, 0u);
    EXPECT_EQ(version.minor, 0u);
    EXPECT_EQ(version.build, 0u);
}

}  // namespace
