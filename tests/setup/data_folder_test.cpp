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
        icacls_ = tw_test::SystemFolder() + L"\\icacls.exe";
        ASSERT_TRUE(CopyFileW(icacls_.c_str(), (root_ + L"\\icacls.original").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((tw_test::ModuleFolder() + L"\\twrecord.exe").c_str(), icacls_.c_str(), FALSE));
        record_ = root_ + L"\\record.txt";
        recordFile_.reset(new ScopedEnvironment(L"TW_RECORD_FILE", record_));
        // Wine prefers its built-in programs to a file in the system folder.
        // WINEDLLOVERRIDES set at run time does not reach process creation;
        // the override in the registry does.
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kWineOverrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                  overrides_.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(overrides_.get(), L"icacls.exe", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(L"native"), sizeof(L"native")),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (overrides_) RegDeleteValueW(overrides_.get(), L"icacls.exe");
        recordFile_.reset();
        EXPECT_TRUE(CopyFileW((root_ + L"\\icacls.original").c_str(), icacls_.c_str(), FALSE));
        tw_test::RemoveTree(root_);
    }

    std::wstring root_, icacls_, record_;
    std::unique_ptr<ScopedEnvironment> recordFile_;
    UniqueKey overrides_;
    static constexpr wchar_t kWineOverrides[] = L"Software\\Wine\\DllOverrides";
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
    EXPECT_EQ(tw_test::ReadFileBytes(record_), grant);
    PrepareDataFolder();  // nothing new to create; the grant runs again
    EXPECT_EQ(tw_test::ReadFileBytes(record_), grant + grant);
    EXPECT_EQ(capture.Finish(), line + line);
}

TEST_F(DataFolderTest, QuoteInThePathNeverReachesIcacls) {
    const std::wstring programData = L"C:\\x\" /reset /T \"C:\\windows";
    ScopedEnvironment environment(L"ProgramData", programData);
    tw_test::StdoutCapture capture;
    PrepareDataFolder();
    EXPECT_EQ(capture.Finish(), tw_test::AsUtf8(L"  - データフォルダ: " + programData + L"\\TarnwickPrinter\r\n"));
    EXPECT_FALSE(tw_test::PathExists(record_));
}

}  // namespace
