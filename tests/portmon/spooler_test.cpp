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
#include "tests/support/imports.h"
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

// A job of the given name started in Wine's queue, as an application starts one.
DWORD StartQueueJob(UniquePrinter& printer, DOC_INFO_1W& doc) {
    if (!OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr)) return 0;
    return StartDocPrinterW(printer.get(), 1, reinterpret_cast<LPBYTE>(&doc));
}

TEST_F(SpoolerTest, JobInformationComesFromTheSpooler) {
    UniquePrinter printer;
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"名前のある文書"), nullptr, const_cast<LPWSTR>(L"RAW")};
    const DWORD job = StartQueueJob(printer, doc);
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

DWORD g_stagedJob = 0;
decltype(&GetJobW) g_getJob = nullptr;

BOOL WINAPI StagedGetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed) {
    const BOOL answered = g_getJob(printer, jobId, level, job, size, needed);
    if (answered && level == 1 && jobId == g_stagedJob) {
        reinterpret_cast<JOB_INFO_1W*>(job)->Status |= JOB_STATUS_DELETING;
    }
    return answered;
}

// A job deleted in the queue while the port writes it: its data may be cut
// short, so it stays a .part that nobody is told of, and the spooler hears
// that the port is done with it.
TEST_F(SpoolerTest, JobDeletedInTheQueueIsNotAnnounced) {
    UniquePrinter printer;
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"deleted"), nullptr, const_cast<LPWSTR>(L"RAW")};
    const DWORD job = StartQueueJob(printer, doc);
    ASSERT_NE(job, 0u);

    // The monitor's entries as the spooler calls them for that job.
    HANDLE port = nullptr;
    ASSERT_TRUE(OpenPortEx(&g_monitor, nullptr, const_cast<LPWSTR>(kDefaultPortName),
                           const_cast<LPWSTR>(kQueueName), &port, nullptr));
    ASSERT_TRUE(StartDocPort(port, const_cast<LPWSTR>(kQueueName), job, 1, reinterpret_cast<LPBYTE>(&doc)));
    const std::wstring base = static_cast<PortRecord*>(port)->jobBasePath;
    BYTE data[5] = {'h', 'a', 'l', 'f', ' '};
    ASSERT_TRUE(WritePort(port, data, 5, nullptr));
    // Wine's spooler keeps a deleted job's status 0: the monitor's GetJobW
    // import reports what Windows would while the job is being deleted.
    ASSERT_TRUE(SetJobW(printer.get(), job, 0, nullptr, JOB_CONTROL_DELETE));
    g_stagedJob = job;
    g_getJob = reinterpret_cast<decltype(&GetJobW)>(
        ReplaceImport(GetModuleHandleW(nullptr), "GetJobW", reinterpret_cast<void*>(&StagedGetJob)));
    ASSERT_NE(g_getJob, nullptr);
    EXPECT_TRUE(EndDocPort(port));
    ReplaceImport(GetModuleHandleW(nullptr), "GetJobW", reinterpret_cast<void*>(g_getJob));
    EXPECT_TRUE(ClosePort(port));
    EndDocPrinter(printer.get());

    EXPECT_EQ(ReadFileBytes(base + L".part"), "half ");
    for (const wchar_t* extension : {L".prn", L".json", L".ready"}) {
        EXPECT_FALSE(PathExists(base + extension)) << AsUtf8(extension);
    }
    const std::string log = ReadFileBytes(*root_ + L"\\TarnwickPrinter\\portmon.log");
    EXPECT_NE(log.find("EndDocPort job=" + std::to_string(job) + " bytes=5 ok=0"), std::string::npos);

    // The other statuses that stop a job, and one that does not.
    EXPECT_TRUE(IsCancelledJobStatus(JOB_STATUS_DELETED) && IsCancelledJobStatus(JOB_STATUS_ERROR));
    EXPECT_FALSE(IsCancelledJobStatus(JOB_STATUS_PRINTING | JOB_STATUS_SPOOLING));
}

}  // namespace
