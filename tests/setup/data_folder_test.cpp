// The data folder prepared for real, with a recorder standing in for the
// system's icacls.exe (Wine's is a stub) to see its exact command line.
#include <gtest/gtest.h>

#include <memory>

#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

using tw_test::ScopedEnvironment;

class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tw_test::MakeTempFolder(L"data");
        icacls_ = std::make_unique<tw_test::ScopedSystemStandIn>(L"icacls.exe");
        ASSERT_TRUE(icacls_->ready());
    }
    void TearDown() override {
        icacls_.reset();
        tw_test::RemoveTree(root_);
    }

    std::wstring root_;
    std::unique_ptr<tw_test::ScopedSystemStandIn> icacls_;
};

TEST_F(DataFolderTest, FoldersAndUsersRightsOnEveryRun) {
    const std::wstring programData = root_ + L"\\Program Data";
    ScopedEnvironment environment(L"ProgramData", programData);
    const std::wstring dataFolder = programData + L"\\TarnwickPrinter";
    const std::string grant = "icacls.exe \"" + tw_test::AsUtf8(dataFolder) +
                              "\" /grant *S-1-5-32-545:(OI)(CI)M /T /C /Q\r\n";
    const std::string line = tw_test::AsUtf8(L"  - データフォルダ: " + dataFolder + L"\r\n");

    tw_test::StdoutCapture capture;
    PrepareDataFolder();
    EXPECT_TRUE(tw_test::IsFolder(dataFolder + L"\\Spool"));
    EXPECT_TRUE(tw_test::IsFolder(dataFolder + L"\\Processed"));
    EXPECT_EQ(icacls_->Recorded(), grant);
    PrepareDataFolder();  // nothing new to create; the grant runs again
    EXPECT_EQ(icacls_->Recorded(), grant + grant);
    EXPECT_EQ(capture.Finish(), line + line);
}

TEST_F(DataFolderTest, QuoteInThePathNeverReachesIcacls) {
    const std::wstring programData = L"C:\\x\" /reset /T \"C:\\windows";
    ScopedEnvironment environment(L"ProgramData", programData);
    tw_test::StdoutCapture capture;
    PrepareDataFolder();
    EXPECT_EQ(capture.Finish(), tw_test::AsUtf8(L"  - データフォルダ: " + programData + L"\\TarnwickPrinter\r\n"));
    EXPECT_EQ(icacls_->Recorded(), "");
}

TEST_F(DataFolderTest, LinkBelowTheDataFolderStopsTheGrant) {
    const std::wstring programData = root_ + L"\\pd";
    ScopedEnvironment environment(L"ProgramData", programData);
    const std::wstring dataFolder = programData + L"\\TarnwickPrinter";
    const std::wstring outside = root_ + L"\\outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    tw_test::StdoutCapture first;
    PrepareDataFolder();
    first.Finish();
    // A user plants a link deep below the spool folder.
    ASSERT_TRUE(CreateDirectoryW((dataFolder + L"\\Spool\\deep").c_str(), nullptr));
    const std::wstring link = dataFolder + L"\\Spool\\deep\\planted";
    ASSERT_TRUE(tw_test::MakeSymbolicLink(link, outside));
    const std::string grantsBefore = icacls_->Recorded();

    tw_test::StdoutCapture capture;
    PrepareDataFolder();
    EXPECT_EQ(capture.Finish(), tw_test::AsUtf8(L"  [!] " + link + L" にリンクがあるため、権限の設定を見送ります\r\n"
                                                L"  - データフォルダ: " + dataFolder + L"\r\n"));
    EXPECT_EQ(icacls_->Recorded(), grantsBefore) << "icacls must not run while a link is there";
    tw_test::RemoveWithoutFollowing(link);
}

TEST_F(DataFolderTest, DataFolderThatIsALinkGetsNothing) {
    const std::wstring programData = root_ + L"\\pd";
    ASSERT_TRUE(CreateDirectoryW(programData.c_str(), nullptr));
    const std::wstring outside = root_ + L"\\outside";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    const std::wstring dataFolder = programData + L"\\TarnwickPrinter";
    ASSERT_TRUE(tw_test::MakeSymbolicLink(dataFolder, outside));
    ScopedEnvironment environment(L"ProgramData", programData);

    tw_test::StdoutCapture capture;
    PrepareDataFolder();
    EXPECT_EQ(capture.Finish(), tw_test::AsUtf8(L"  [!] " + dataFolder + L" にリンクがあるため、権限の設定を見送ります\r\n"
                                                L"  - データフォルダ: " + dataFolder + L"\r\n"));
    EXPECT_EQ(icacls_->Recorded(), "");
    EXPECT_TRUE(tw_test::ListFolder(outside).empty()) << "nothing is created in the link's target";
    tw_test::RemoveWithoutFollowing(dataFolder);
}

}  // namespace
