// The data folder prepared for real, with a recorder standing in for the
// system's icacls.exe (Wine's is a stub) to see its exact command line.
#include <gtest/gtest.h>

#include <memory>

#include "common/unique_handle.h"
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
    const std::wstring dataFolder = programData + L"\\TarnwickPrinter";
    tw_test::StdoutCapture capture;
    PrepareDataFolder();
    EXPECT_EQ(capture.Finish(), tw_test::AsUtf8(L"  [!] " + dataFolder + L" はコマンドラインに渡せないため、権限の設定を見送ります\r\n"
                                                L"  - データフォルダ: " + dataFolder + L"\r\n"));
    EXPECT_EQ(icacls_->Recorded(), "");
}

// A user plants, below the data folder, a link to a folder outside, a second
// name (hard link) of a file outside, or a link to such a file (which Wine
// shows as a plain file). Each stops the grant, and the file outside keeps
// its content and its names.
TEST_F(DataFolderTest, LinkOrHardLinkBelowTheDataFolderStopsTheGrant) {
    const std::wstring programData = root_ + L"\\pd";
    ScopedEnvironment environment(L"ProgramData", programData);
    const std::wstring dataFolder = programData + L"\\TarnwickPrinter";
    const std::wstring outside = root_ + L"\\outside";
    const std::wstring outsideFile = root_ + L"\\outside.txt";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteFileBytes(outsideFile, "outside"));
    tw_test::StdoutCapture first;
    PrepareDataFolder();
    first.Finish();
    ASSERT_TRUE(CreateDirectoryW((dataFolder + L"\\Spool\\deep").c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteFileBytes(dataFolder + L"\\Spool\\job_1.prn", "own"));  // a plain file is no reason
    const std::string grantsBefore = icacls_->Recorded();

    const std::wstring folderLink = dataFolder + L"\\Spool\\deep\\planted";
    const std::wstring hardLink = dataFolder + L"\\Processed\\job_2.prn";
    const std::wstring fileLink = dataFolder + L"\\job_3.prn";
    for (const std::wstring& link : {folderLink, hardLink, fileLink}) {
        if (link == folderLink) ASSERT_TRUE(tw_test::MakeSymbolicLink(link, outside));
        if (link == hardLink) ASSERT_TRUE(CreateHardLinkW(link.c_str(), outsideFile.c_str(), nullptr));
        if (link == fileLink) ASSERT_TRUE(tw_test::MakeSymbolicLink(link, outsideFile));
        tw_test::StdoutCapture capture;
        PrepareDataFolder();
        EXPECT_EQ(capture.Finish(), tw_test::AsUtf8(L"  [!] " + link + L" にリンクがあるため、権限の設定を見送ります\r\n"
                                                    L"  - データフォルダ: " + dataFolder + L"\r\n"));
        EXPECT_EQ(icacls_->Recorded(), grantsBefore) << "icacls must not run while a link is there";
        ASSERT_TRUE(tw_test::RemoveWithoutFollowing(link));
        EXPECT_EQ(tw_test::ReadFileBytes(outsideFile), "outside");
    }
    // With the links gone, the grant runs again: the data folder's own files stop nothing.
    tw_test::StdoutCapture last;
    PrepareDataFolder();
    last.Finish();
    EXPECT_NE(icacls_->Recorded(), grantsBefore);
    EXPECT_TRUE(tw_test::IsFolder(outside));
    UniqueHandle file(CreateFileW(outsideFile.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    FILE_STANDARD_INFO standard = {};
    ASSERT_TRUE(GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof(standard)));
    EXPECT_EQ(standard.NumberOfLinks, 1u);
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
