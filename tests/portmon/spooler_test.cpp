// The real spooler: Wine's own spooler loads the registered monitor from the
// system folder and prints a queue's jobs through it.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <random>

#include "common/unique_handle.h"
#include "portmon/monitor.h"
#include "tests/support/files.h"
#include "tests/support/spooler.h"

namespace {

using namespace tw_test;

class SpoolerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Committed jobs start no editor while this event exists.
        running_ = CreateEventW(nullptr, TRUE, FALSE, kRunningEventName);
        root_ = new std::wstring(MakeTempFolder(L"spool"));
        programData_ = new ScopedEnvironment(L"ProgramData", *root_);
        ASSERT_EQ(InstallMonitor(ModuleFolder() + L"\\TWPortMon.dll"), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(AddQueue(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    static void TearDownTestSuite() {
        DeleteQueue();
        delete programData_;
        RemoveTree(*root_);
        delete root_;
        CloseHandle(running_);
    }
    std::wstring SpoolFolder() const { return *root_ + L"\\TarnwickPrinter\\Spool"; }

    static std::wstring* root_;
    static ScopedEnvironment* programData_;
    static HANDLE running_;
};

HANDLE SpoolerTest::running_ = nullptr;

std::wstring* SpoolerTest::root_ = nullptr;
ScopedEnvironment* SpoolerTest::programData_ = nullptr;

TEST_F(SpoolerTest, PrintedJobArrivesExactlyAsWritten) {
    std::mt19937 random(99);
    std::string data(300000, '\0');
    for (char& c : data) c = static_cast<char>(random() & 0xFF);
    const std::vector<std::wstring> before = ListFolder(SpoolFolder());
    ASSERT_NE(PrintRaw(kQueueName, L"spooler job", data), 0u) << GetLastError();

    std::vector<std::wstring> added;
    for (const std::wstring& name : ListFolder(SpoolFolder())) {
        if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
    }
    // The job's .json, .prn and .ready, in name order.
    ASSERT_EQ(added.size(), 3u);
    EXPECT_EQ(added[1].substr(added[1].size() - 4), L".prn");
    EXPECT_EQ(ReadFileBytes(SpoolFolder() + L"\\" + added[1]), data);
    EXPECT_EQ(ReadFileBytes(SpoolFolder() + L"\\" + added[2]), "ok");

    const std::string log = ReadFileBytes(*root_ + L"\\TarnwickPrinter\\portmon.log");
    EXPECT_NE(log.find("OpenPort TARNWICK:"), std::string::npos);
    EXPECT_NE(log.find(" bytes=300000 ok=1"), std::string::npos);
}

TEST_F(SpoolerTest, JobInformationComesFromTheSpooler) {
    UniquePrinter printer;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr));
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"名前のある文書"), nullptr, const_cast<LPWSTR>(L"RAW")};
    const DWORD job = StartDocPrinterW(printer.get(), 1, reinterpret_cast<LPBYTE>(&doc));
    ASSERT_NE(job, 0u);

    PortRecord port = {};
    port.printerName = kQueueName;
    port.jobId = job;
    FillJobInfo(port);
    EXPECT_EQ(port.documentName, L"名前のある文書");
    // A document name from StartDocPort's own information wins.
    port.documentName = L"from DOC_INFO";
    FillJobInfo(port);
    EXPECT_EQ(port.documentName, L"from DOC_INFO");

    // No printer name or no job id: nothing is asked.
    PortRecord unnamed = {};
    unnamed.jobId = job;
    FillJobInfo(unnamed);
    EXPECT_EQ(unnamed.documentName, L"");
    PortRecord noJob = {};
    noJob.printerName = kQueueName;
    FillJobInfo(noJob);
    EXPECT_EQ(noJob.documentName, L"");
    EndDocPrinter(printer.get());
}

}  // namespace
