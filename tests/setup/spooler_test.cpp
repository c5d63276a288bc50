// Wine's "Spooler" service for real: ControlSpooler, RestartSpooler and the
// "spooler" command, and the spooler's port list. The service is left as it
// was found.
#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

struct ServiceState {
    DWORD state = 0;
    DWORD processId = 0;
};

ServiceState QuerySpooler() {
    ServiceState result;
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), L"Spooler", SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (service && QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                        sizeof(status), &needed)) {
        result.state = status.dwCurrentState;
        result.processId = status.dwProcessId;
    }
    return result;
}

DWORD SpoolerStartType() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), L"Spooler", SERVICE_QUERY_CONFIG) : nullptr);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!service || !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                         static_cast<DWORD>(buffer.size()), &needed)) {
        return SERVICE_DEMAND_START;
    }
    return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data())->dwStartType;
}

bool SetSpoolerStartType(DWORD startType) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(manager ? OpenServiceW(manager.get(), L"Spooler", SERVICE_CHANGE_CONFIG) : nullptr);
    return service && ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

class SpoolerTest : public ::testing::Test {
protected:
    void SetUp() override {
        wasRunning_ = QuerySpooler().state == SERVICE_RUNNING;
        startType_ = SpoolerStartType();
    }
    void TearDown() override {
        SetSpoolerStartType(startType_);
        tw_test::StdoutCapture quiet;
        ControlSpooler(wasRunning_);
    }

    static tw_test::ProcessResult RunSpoolerCommand() {
        return tw_test::RunProcess(L"\"" + tw_test::ModuleFolder() + L"\\TWSetup.exe\" spooler");
    }

    bool wasRunning_ = false;
    DWORD startType_ = SERVICE_DEMAND_START;
};

TEST_F(SpoolerTest, AlreadyInTheWantedStateCountsAsSuccess) {
    tw_test::StdoutCapture capture;
    EXPECT_TRUE(ControlSpooler(false));
    EXPECT_EQ(QuerySpooler().state, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(ControlSpooler(false));  // ERROR_SERVICE_NOT_ACTIVE
    EXPECT_TRUE(ControlSpooler(true));
    EXPECT_EQ(QuerySpooler().state, static_cast<DWORD>(SERVICE_RUNNING));
    const DWORD start = GetTickCount();
    EXPECT_TRUE(ControlSpooler(true));  // ERROR_SERVICE_ALREADY_RUNNING
    EXPECT_LT(GetTickCount() - start, 5000u) << "the poll ends as soon as the state is reached";
    EXPECT_EQ(capture.Finish(), "");
}

TEST_F(SpoolerTest, SpoolerCommandRestartsTheService) {
    {
        tw_test::StdoutCapture quiet;
        ASSERT_TRUE(ControlSpooler(true));
    }
    const ServiceState before = QuerySpooler();
    const tw_test::ProcessResult result = RunSpoolerCommand();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, tw_test::AsUtf8(L"  - Print Spooler を再起動します...\r\n"));
    EXPECT_EQ(result.errors, "");
    const ServiceState after = QuerySpooler();
    EXPECT_EQ(after.state, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(after.processId, before.processId) << "a new spooler process";
}

TEST_F(SpoolerTest, SpoolerThatCannotStartFailsTheCommand) {
    ASSERT_TRUE(SetSpoolerStartType(SERVICE_DISABLED));
    const tw_test::ProcessResult result = RunSpoolerCommand();
    EXPECT_EQ(result.output, tw_test::AsUtf8(L"  - Print Spooler を再起動します...\r\n"));
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(QuerySpooler().state, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(Ports, ListedWithoutRegardToLetterCase) {
    EXPECT_TRUE(IsPortListed(L"LPT1:"));
    EXPECT_TRUE(IsPortListed(L"lpt1:"));
    EXPECT_FALSE(IsPortListed(L"LPT1"));
    EXPECT_FALSE(IsPortListed(L"TW-NO-SUCH-PORT:"));
    EXPECT_FALSE(IsPortListed(L""));
}

}  // namespace
