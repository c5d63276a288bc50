// The queue commands against Wine's spooler for real: "printer", "list",
// "addforms" and "cleanqueue" run as TWSetup.exe children, and the calls
// Wine cannot stage (AddFormW stores nothing, the purge fails) through the
// functions' parameters. The spooler is put back as it was found.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"
#include "tests/support/spooler.h"

namespace {

using tw_test::AsUtf8;

const wchar_t kMissingDriver[] = L"TW No Such Driver";

bool MonitorRegistered() {
    UniqueKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon", 0,
                         KEY_READ, key.put()) == ERROR_SUCCESS;
}

// PRINTER_INFO_2W of the queue at the front of the bytes; empty when there is no queue.
std::vector<BYTE> ReadQueue() {
    UniquePrinter printer;
    if (!OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr)) return {};
    DWORD needed = 0;
    GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
    std::vector<BYTE> bytes(needed);
    if (!GetPrinterW(printer.get(), 2, bytes.data(), needed, &needed)) return {};
    return bytes;
}
const PRINTER_INFO_2W& Info(const std::vector<BYTE>& bytes) {
    return *reinterpret_cast<const PRINTER_INFO_2W*>(bytes.data());
}

// The monitor registered (its port listed), the default driver there, no queue.
class SpoolerStage : public ::testing::Environment {
public:
    void SetUp() override {
        dataRoot_ = tw_test::MakeTempFolder(L"queue");  // where the loaded monitor logs
        programData_ = std::make_unique<tw_test::ScopedEnvironment>(L"ProgramData", dataRoot_);
        hadMonitor_ = MonitorRegistered();
        hadDll_ = tw_test::PathExists(MonitorDll());
        ASSERT_EQ(tw_test::InstallMonitor(tw_test::ModuleFolder() + L"\\TWPortMon.dll"), 0u);
        hadDriver_ = tw_test::IsDriverListed(kDefaultDriverName);
        ASSERT_EQ(tw_test::AddPostScriptDriver(kDefaultDriverName), 0u);
        const std::vector<BYTE> queue = ReadQueue();
        if (!queue.empty()) {
            found_ = {Info(queue).pPortName, Info(queue).pDriverName};
            tw_test::DeleteQueue(kQueueName);
        }
    }
    void TearDown() override {
        tw_test::DeleteQueue(kQueueName);
        if (!found_.empty()) tw_test::AddQueue(kQueueName, found_[0], found_[1]);
        if (!hadDriver_) DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(kDefaultDriverName));
        if (!hadMonitor_) tw_test::RemoveMonitor();
        if (!hadDll_) DeleteFileW(MonitorDll().c_str());  // fails while still loaded here
        programData_.reset();
        tw_test::RemoveTree(dataRoot_);
    }

private:
    std::wstring dataRoot_;
    std::unique_ptr<tw_test::ScopedEnvironment> programData_;
    static std::wstring MonitorDll() { return tw_test::SystemFolder() + L"\\TWPortMon.dll"; }

    bool hadMonitor_ = false;
    bool hadDll_ = false;
    bool hadDriver_ = false;
    std::vector<std::wstring> found_;  // port and driver of a queue that was there before
};
const auto* const gStage = ::testing::AddGlobalTestEnvironment(new SpoolerStage);

class QueueTest : public ::testing::Test {
protected:
    void TearDown() override { tw_test::DeleteQueue(kQueueName); }

    static tw_test::ProcessResult Run(const std::wstring& arguments, HANDLE token = nullptr) {
        tw_test::ProcessResult result =
            tw_test::RunProcess(L"\"" + tw_test::ModuleFolder() + L"\\TWSetup.exe\" " + arguments, 300000, token);
        EXPECT_EQ(result.errors, "");
        return result;
    }
    static std::string Listings(bool drivers, bool ports) {
        tw_test::StdoutCapture capture;  // the listing's form is checked with plain data
        if (drivers) ListInstalledDrivers();
        if (ports) ListPorts();
        return capture.Finish();
    }
    // Lines in name order: each process that asks gets the ports in the order it loaded their monitors.
    static std::multiset<std::string> LineSet(const std::string& text) {
        std::multiset<std::string> lines;
        for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.insert(text.substr(start, end - start));
        }
        return lines;
    }
    static std::string Line(const std::wstring& text) { return AsUtf8(text) + "\r\n"; }
    static std::string PrintuiLine(const std::wstring& driver) {
        return Line(L"  - ドライバ \"" + driver + L"\" を ntprint.inf から追加します...");
    }
    static std::string CreatedLine(const std::wstring& driver) {
        return Line(L"  - プリンタ TARNWICK-PRINTER を作成しました (driver=" + driver + L" / port=TARNWICK:)");
    }
};

// printui is the recorder; with TW_RECORD_ADD_DRIVER set it really adds the driver.
class PrinterTest : public QueueTest {
protected:
    void SetUp() override { ASSERT_TRUE(printui_.ready()); }
    tw_test::ScopedSystemStandIn printui_{L"rundll32.exe"};
};

TEST_F(PrinterTest, ExistingQueueIsOnlyReported) {
    ASSERT_EQ(tw_test::AddQueue(kQueueName, kDefaultPortName, kDefaultDriverName), 0u);
    const tw_test::ProcessResult result = Run(L"printer \"/driver:TW No Such Driver\" /port:TW-NO-PORT:");
    EXPECT_EQ(result.output, Line(L"  - プリンタ TARNWICK-PRINTER は既に存在します"));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(printui_.Recorded(), "") << "no driver installation";
}

TEST_F(PrinterTest, PortNotListedAfterTheDriverInstallation) {
    const tw_test::ProcessResult result = Run(L"printer \"/driver:TW No Such Driver\" /port:TW-NO-PORT:");
    // The driver check never runs: no line says the driver is missing.
    const std::string lines = PrintuiLine(kMissingDriver) + Line(L"  [!] ポート TW-NO-PORT: がスプーラから見えていません") +
                              Line(L"      TWPortMon.dll が読み込まれていない可能性があります。");
    EXPECT_EQ(result.output.substr(0, lines.size()), lines);
    EXPECT_EQ(LineSet(result.output.substr(lines.size())), LineSet(Listings(false, true)));
    EXPECT_EQ(result.output.find(AsUtf8(L"  -- 利用可能なポート (")), lines.size());
    EXPECT_EQ(result.exitCode, 3u);
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(printui_.Recorded(), AsUtf8(L"rundll32.exe printui.dll,PrintUIEntry /ia /q /m \"TW No Such Driver\" /h \"" +
                                         std::wstring(tw_test::kBuiltForMachine) +
                                         L"\" /v \"Type 3 - User Mode\" /f \"" + std::wstring(windows) +
                                         L"\\inf\\ntprint.inf\"\r\n"));
    EXPECT_TRUE(ReadQueue().empty());
}

TEST_F(QueueTest, UnknownDriverAfterWinesPrintui) {
    const tw_test::ProcessResult result = Run(L"printer \"/driver:TW No Such Driver\"");
    EXPECT_EQ(result.output, PrintuiLine(kMissingDriver) +
                                 Line(L"  [!] ドライバ \"TW No Such Driver\" がインストールされていません") +
                                 Listings(true, false));
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_TRUE(ReadQueue().empty());
}

TEST_F(PrinterTest, NameThatWouldBreakItsQuotesNeverReachesPrintui) {
    const tw_test::ProcessResult result = Run(L"printer \"/driver:TW \\\" /q \\\"\"");
    EXPECT_EQ(result.output, Line(L"  [!] ドライバ名 \"TW \" /q \"\" はコマンドラインに渡せません") +
                                 Line(L"  [!] ドライバ \"TW \" /q \"\" がインストールされていません") +
                                 Listings(true, false));
    EXPECT_EQ(result.exitCode, 3u);
    EXPECT_EQ(printui_.Recorded(), "");
}

TEST_F(PrinterTest, MissingDriverIsInstalledThenTheQueueCreated) {
    const std::wstring driver = L"TW Installed Driver";
    const tw_test::ScopedEnvironment install(L"TW_RECORD_ADD_DRIVER", L"1");
    const tw_test::ProcessResult result = Run(L"printer \"/driver:" + driver + L"\"");
    EXPECT_EQ(result.output, PrintuiLine(driver) + CreatedLine(driver));
    EXPECT_EQ(result.exitCode, 0u);
    const std::vector<BYTE> queue = ReadQueue();
    ASSERT_FALSE(queue.empty());
    EXPECT_STREQ(Info(queue).pDriverName, driver.c_str());
    tw_test::DeleteQueue(kQueueName);
    EXPECT_TRUE(DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(driver.c_str())));
}

TEST_F(PrinterTest, CreatedQueueWithTheDriverNameInAnotherCase) {
    const tw_test::ProcessResult result = Run(L"printer \"/driver:MICROSOFT ps class Driver\"");
    EXPECT_EQ(result.output, CreatedLine(L"MICROSOFT ps class Driver"));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(printui_.Recorded(), "");
    const std::vector<BYTE> queue = ReadQueue();
    ASSERT_FALSE(queue.empty());
    const PRINTER_INFO_2W& info = Info(queue);
    EXPECT_STREQ(info.pPortName, L"TARNWICK:");
    EXPECT_TRUE(EqualsIgnoringAsciiCase(info.pDriverName, kDefaultDriverName)) << info.pDriverName;
    EXPECT_STREQ(info.pPrintProcessor, L"WinPrint");
    EXPECT_STREQ(info.pDatatype, L"RAW");
    EXPECT_EQ(info.Attributes, 0x41u);
    EXPECT_STREQ(info.pComment, L"TARNWICK-PRINTER 仮想プリンタ");
}

TEST_F(QueueTest, ListWithoutElevationShowsTheMonitorsPort) {
    const UniqueHandle token = tw_test::LinkedToken();
    const tw_test::ProcessResult result = Run(L"list", token.get());
    EXPECT_EQ(LineSet(result.output), LineSet(Listings(true, true)));
    EXPECT_EQ(result.output.find(AsUtf8(L"  -- インストール済みドライバ (")), 0u);
    EXPECT_NE(result.output.find(AsUtf8(L"\r\n  -- 利用可能なポート (")), std::string::npos);
    EXPECT_NE(result.output.find("\r\n     TARNWICK:\r\n"), std::string::npos);
    EXPECT_NE(result.output.find("\r\n     Microsoft PS Class Driver\r\n"), std::string::npos);
    EXPECT_EQ(result.exitCode, 0u);
}

TEST_F(QueueTest, AddFormsOnWinesPrintServer) {
    const tw_test::ProcessResult first = Run(L"addforms");
    EXPECT_EQ(first.exitCode, 0u);
    const tw_test::ProcessResult second = Run(L"addforms");
    // Wine 8.0 accepts every form and stores none; a spooler that stores them
    // finds all 22 on the second run.
    const FORM_INFO_1W* stored = nullptr;
    std::vector<BYTE> form(4096);
    DWORD needed = 0;
    UniquePrinter server;
    ASSERT_TRUE(OpenPrinterW(nullptr, server.put(), nullptr));
    if (GetFormW(server.get(), const_cast<LPWSTR>(L"A3 ノビ"), 1, form.data(), 4096, &needed)) {
        stored = reinterpret_cast<const FORM_INFO_1W*>(form.data());
    }
    EXPECT_EQ(first.output, AsUtf8(L"  - 用紙サイズ: 新規 22 件 / 既存 0 件\r\n"));
    EXPECT_EQ(second.output, stored != nullptr ? AsUtf8(L"  - 用紙サイズ: 新規 0 件 / 既存 22 件\r\n") : first.output);
    if (stored != nullptr) {
        for (const PaperForm& paper : PaperFormTable) DeleteFormW(server.get(), const_cast<LPWSTR>(paper.name));
    }
}

// A print server that knows "A4" in other dimensions and cannot take "A5".
std::map<std::wstring, SIZEL> gForms;
BOOL AddToServer(HANDLE, FORM_INFO_1W* form) {
    DWORD error = ERROR_SUCCESS;
    if (std::wstring(form->pName) == L"A5") {
        error = ERROR_INVALID_PARAMETER;
    } else if (!gForms.emplace(form->pName, form->Size).second) {
        error = ERROR_FILE_EXISTS;
    }
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

TEST_F(QueueTest, ExistingFormsAreCountedAndKeptFailuresNamed) {
    gForms = {{L"A4", SIZEL{1000, 2000}}};
    tw_test::StdoutCapture capture;
    EXPECT_TRUE(AddPaperFormsWith(AddToServer));
    EXPECT_TRUE(AddPaperFormsWith(AddToServer));
    EXPECT_EQ(capture.Finish(), AsUtf8(L"  - フォーム追加失敗: A5\r\n  - 用紙サイズ: 新規 20 件 / 既存 1 件\r\n"
                                       L"  - フォーム追加失敗: A5\r\n  - 用紙サイズ: 新規 0 件 / 既存 21 件\r\n"));
    EXPECT_EQ(gForms[L"A4"].cx, 1000);
    EXPECT_EQ(gForms[L"A4"].cy, 2000);
    EXPECT_EQ(gForms[L"名刺 (91x55)"].cx, 91000);
}

void WriteQueue(DWORD attributes, short orientation) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    UniquePrinter printer;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), &defaults));
    std::vector<BYTE> bytes = ReadQueue();
    auto& info = *reinterpret_cast<PRINTER_INFO_2W*>(bytes.data());
    info.Attributes = attributes;
    info.pSecurityDescriptor = nullptr;
    ASSERT_NE(info.pDevMode, nullptr);
    info.pDevMode->dmOrientation = orientation;
    ASSERT_TRUE(SetPrinterW(printer.get(), 2, bytes.data(), 0));
}

BOOL PurgeAccepted(HANDLE) { return TRUE; }

TEST_F(QueueTest, CleanQueueWithoutThePrinter) {
    const tw_test::ProcessResult result = Run(L"cleanqueue");
    EXPECT_EQ(result.output, AsUtf8(L"== キューの掃除 ==\r\n  [!] プリンタ TARNWICK-PRINTER がありません\r\n"));
    EXPECT_EQ(result.exitCode, 1u);
}

TEST_F(QueueTest, CleanQueueOnWineWhosePurgeFails) {
    ASSERT_EQ(tw_test::AddQueue(kQueueName, kDefaultPortName, kDefaultDriverName), 0u);
    const tw_test::ProcessResult result = Run(L"cleanqueue");
    tw_test::StdoutCapture report;
    SetLastError(ERROR_INVALID_LEVEL);  // what Wine 8.0 answers to PRINTER_CONTROL_PURGE
    ReportLastError(L"SetPrinter (PURGE)");
    EXPECT_EQ(result.output, AsUtf8(L"== キューの掃除 ==\r\n  - 「印刷後にドキュメントを残す」: オフ (正常)\r\n") +
                                 report.Finish() + AsUtf8(L"完了しました。\r\n"));
    EXPECT_EQ(result.exitCode, 0u);
}

TEST_F(QueueTest, CleanQueueTurnsKeepPrintedJobsOffAndPurges) {
    ASSERT_EQ(tw_test::AddQueue(kQueueName, kDefaultPortName, kDefaultDriverName), 0u);
    tw_test::StdoutCapture capture;
    EXPECT_EQ(CleanQueueWith(PurgeAccepted), 0);
    EXPECT_EQ(capture.Finish(), AsUtf8(L"== キューの掃除 ==\r\n  - 「印刷後にドキュメントを残す」: オフ (正常)\r\n"
                                       L"  - キューに残っていたジョブを消しました\r\n完了しました。\r\n"));

    const DWORD others = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST;
    WriteQueue(others | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS, DMORIENT_LANDSCAPE);
    const std::vector<BYTE> before = ReadQueue();
    tw_test::StdoutCapture again;
    EXPECT_EQ(CleanQueueWith(PurgeAccepted), 0);
    EXPECT_EQ(again.Finish(), AsUtf8(L"== キューの掃除 ==\r\n  - 「印刷後にドキュメントを残す」をオフにしました\r\n"
                                     L"  - キューに残っていたジョブを消しました\r\n完了しました。\r\n"));
    const std::vector<BYTE> after = ReadQueue();
    EXPECT_EQ(Info(after).Attributes, others);
    const DEVMODEW* was = Info(before).pDevMode;
    const DEVMODEW* is = Info(after).pDevMode;
    ASSERT_EQ(is->dmSize + is->dmDriverExtra, was->dmSize + was->dmDriverExtra);
    EXPECT_EQ(is->dmOrientation, DMORIENT_LANDSCAPE);
    EXPECT_EQ(memcmp(is, was, was->dmSize + was->dmDriverExtra), 0) << "the device mode as read";
}

TEST_F(QueueTest, QuietKeepPrintedJobsFixPrintsOnlyAChange) {
    tw_test::StdoutCapture missing;
    EXPECT_FALSE(DisableKeepPrintedJobs(true));
    EXPECT_EQ(missing.Finish(), "");
    ASSERT_EQ(tw_test::AddQueue(kQueueName, kDefaultPortName, kDefaultDriverName), 0u);
    tw_test::StdoutCapture off;
    EXPECT_TRUE(DisableKeepPrintedJobs(true));
    EXPECT_EQ(off.Finish(), "");
    WriteQueue(0x41 | PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS, DMORIENT_PORTRAIT);
    tw_test::StdoutCapture on;
    EXPECT_TRUE(DisableKeepPrintedJobs(true));
    EXPECT_EQ(on.Finish(), AsUtf8(L"  - 「印刷後にドキュメントを残す」をオフにしました\r\n"));
    EXPECT_EQ(Info(ReadQueue()).Attributes, 0x41u);
}

}  // namespace
