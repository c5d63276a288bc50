// The data folder prepared for real, links planted as a user would plant
// them. Wine keeps no ACL on a file (it shows one made from the Unix mode
// bits), so what each object was given is read back as it was set through
// the object's handle, filed under the path that handle resolves to.
#include <gtest/gtest.h>

#include "setup/setup.h"

#include <sddl.h>

#include <algorithm>
#include <map>
#include <memory>

#include "common/unique_handle.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

using tw_test::AsUtf8;

std::map<std::wstring, std::wstring> g_given;  // final path: the security set, as SDDL

BOOL WINAPI RecordSecurity(HANDLE object, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what, &text, nullptr);
    UniqueLocal owner(text);
    g_given[FinalPathOf(object)] = text != nullptr ? text : L"(unreadable)";
    return SetKernelObjectSecurity(object, what, descriptor);
}

std::wstring g_swapAt;  // the folder replaced by a link to g_swapTo when the walk is about to open it
std::wstring g_swapTo;

void SwapForLink(const std::wstring& path) {
    if (path != g_swapAt) return;
    EXPECT_TRUE(MoveFileW(path.c_str(), (path + L"-moved").c_str()));
    EXPECT_TRUE(tw_test::MakeSymbolicLink(path, g_swapTo));
}

std::wstring FinalPath(const std::wstring& path) {
    UniqueHandle object(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return object ? FinalPathOf(object.get()) : L"(missing) " + path;
}

std::vector<std::string> SortedLines(const std::string& output) {
    std::vector<std::string> lines = tw_test::SplitLines(output);
    std::sort(lines.begin(), lines.end());
    return lines;
}

constexpr wchar_t kExplicit[] = L"(A;OICI;0x1301bf;;;BU)";
constexpr wchar_t kByFolder[] = L"(A;OICIID;0x1301bf;;;BU)";
constexpr wchar_t kByFile[] = L"(A;ID;0x1301bf;;;BU)";

class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = tw_test::MakeTempFolder(L"data");
        const std::wstring programData = root_ + L"\\pd";
        ASSERT_TRUE(CreateDirectoryW(programData.c_str(), nullptr));
        environment_ = std::make_unique<tw_test::ScopedEnvironment>(L"ProgramData", programData);
        data_ = programData + L"\\TarnwickPrinter";
        outside_ = root_ + L"\\outside";
        ASSERT_TRUE(CreateDirectoryW(outside_.c_str(), nullptr));
        ASSERT_TRUE(tw_test::WriteFileBytes(outside_ + L"\\secret.txt", "secret"));
        g_given.clear();
    }
    void TearDown() override {
        environment_.reset();
        tw_test::RemoveWithoutFollowing(root_);
    }
    static std::string Prepare(BeforeOpenCall beforeOpen = nullptr) {
        DataFolderCalls calls;
        calls.beforeOpen = beforeOpen;
        calls.setSecurity = RecordSecurity;
        tw_test::StdoutCapture capture;
        PrepareDataFolderWith(calls);
        return capture.Finish();
    }
    static std::wstring Given(const std::wstring& path) {
        const auto found = g_given.find(FinalPath(path));
        return found == g_given.end() ? L"(nothing)" : found->second;
    }
    static size_t Count(const std::wstring& text, const std::wstring& part) {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
        return count;
    }
    // Nothing outside the data folder was given anything.
    void ExpectNothingOutside() const {
        const std::wstring outside = FinalPath(outside_);
        for (const auto& given : g_given) EXPECT_NE(given.first.rfind(outside, 0), 0u) << AsUtf8(given.first);
        EXPECT_EQ(tw_test::ReadFileBytes(outside_ + L"\\secret.txt"), "secret");
    }
    std::string Skipped(const std::wstring& path) const {
        return AsUtf8(L"  [!] " + path + L" にリンクがあるため、権限の設定を見送ります");
    }
    std::string DataLine() const { return AsUtf8(L"  - データフォルダ: " + data_); }

    std::wstring root_, data_, outside_;
    std::unique_ptr<tw_test::ScopedEnvironment> environment_;
};

TEST_F(DataFolderTest, ExplicitOnTheThreeFoldersInheritedBelowOnEveryRun) {
    EXPECT_EQ(Prepare(), DataLine() + "\r\n");
    for (const wchar_t* folder : {L"", L"\\Spool", L"\\Processed"}) EXPECT_TRUE(tw_test::IsFolder(data_ + folder));
    ASSERT_TRUE(CreateDirectoryW((data_ + L"\\Spool\\sub").c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteFileBytes(data_ + L"\\Spool\\sub\\job_1.prn", "job"));
    ASSERT_TRUE(tw_test::WriteFileBytes(data_ + L"\\portmon.log", "log"));
    for (int run = 0; run < 2; ++run) {
        g_given.clear();
        EXPECT_EQ(Prepare(), DataLine() + "\r\n");
        for (const wchar_t* folder : {L"", L"\\Spool", L"\\Processed"}) {
            const std::wstring given = Given(data_ + folder);
            EXPECT_EQ(Count(given, kExplicit), 1u) << AsUtf8(given);
            EXPECT_EQ(Count(given, kByFolder), 0u) << AsUtf8(given);
        }
        EXPECT_EQ(Count(Given(data_ + L"\\Spool\\sub"), kByFolder), 1u);
        EXPECT_EQ(Count(Given(data_ + L"\\Spool\\sub\\job_1.prn"), kByFile), 1u);
        EXPECT_EQ(Count(Given(data_ + L"\\portmon.log"), kByFile), 1u);
        EXPECT_EQ(g_given.size(), 6u);
    }
}

// Below the data folder a user plants a link to a folder outside, a second
// name (hard link) of a file outside, and a link to such a file (which Wine
// shows as a plain file). Each is named and left alone; the rest gets its rights.
TEST_F(DataFolderTest, EachLinkBelowIsSkippedAndTheRestGetsItsRights) {
    Prepare();
    ASSERT_TRUE(CreateDirectoryW((data_ + L"\\Spool\\deep").c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteFileBytes(data_ + L"\\Spool\\job_1.prn", "own"));
    const std::wstring folderLink = data_ + L"\\Spool\\deep\\planted";
    const std::wstring hardLink = data_ + L"\\Processed\\job_2.prn";
    const std::wstring fileLink = data_ + L"\\job_3.prn";
    ASSERT_TRUE(tw_test::MakeSymbolicLink(folderLink, outside_));
    ASSERT_TRUE(CreateHardLinkW(hardLink.c_str(), (outside_ + L"\\secret.txt").c_str(), nullptr));
    ASSERT_TRUE(tw_test::MakeSymbolicLink(fileLink, outside_ + L"\\secret.txt"));
    g_given.clear();

    EXPECT_EQ(SortedLines(Prepare()), SortedLines(Skipped(folderLink) + "\r\n" + Skipped(hardLink) + "\r\n" +
                                                  Skipped(fileLink) + "\r\n" + DataLine() + "\r\n"));
    ExpectNothingOutside();
    EXPECT_EQ(Count(Given(data_ + L"\\Spool\\deep"), kByFolder), 1u);
    EXPECT_EQ(Count(Given(data_ + L"\\Spool\\job_1.prn"), kByFile), 1u);
    EXPECT_EQ(Count(Given(data_ + L"\\Processed"), kExplicit), 1u);
}

// The walk has listed Spool when a user swaps its folder "deep" for a link to
// a folder outside, before the walk opens it.
TEST_F(DataFolderTest, LinkPlantedBetweenListingAndOpenGetsNothing) {
    Prepare();
    const std::wstring deep = data_ + L"\\Spool\\deep";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    ASSERT_TRUE(tw_test::WriteFileBytes(deep + L"\\job_1.prn", "own"));
    g_swapAt = deep;
    g_swapTo = outside_;
    g_given.clear();
    const std::vector<std::string> lines = tw_test::SplitLines(Prepare(SwapForLink));
    EXPECT_NE(std::find(lines.begin(), lines.end(), Skipped(deep)), lines.end());
    EXPECT_EQ(lines.back(), DataLine());
    ExpectNothingOutside();
    EXPECT_TRUE(tw_test::IsFolder(outside_));
    EXPECT_EQ(Count(Given(data_ + L"\\Processed"), kExplicit), 1u);
}

// A link a user made where the data folder belongs, before the first install.
// Under Wine a handle never is the link itself, and deleting through one
// would delete the (empty) folder it points at: the link stays, and is named.
TEST_F(DataFolderTest, DataFolderLinkThatCannotBeTakenBackGetsNothing) {
    const std::wstring empty = root_ + L"\\empty";
    ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));
    ASSERT_TRUE(tw_test::MakeSymbolicLink(data_, empty));
    EXPECT_EQ(Prepare(), Skipped(data_) + "\r\n" + DataLine() + "\r\n");
    EXPECT_TRUE(g_given.empty());
    EXPECT_TRUE(tw_test::IsFolder(empty)) << "the link's target is never deleted";
    EXPECT_TRUE(tw_test::ListFolder(empty).empty()) << "nothing is created in the link's target";
}

// Spool made by another account before the first install (a Unix owner
// other than Wine's user reads as ANONYMOUS LOGON): Administrators own it
// afterwards, and it keeps only what it inherits and the Users entry.
TEST_F(DataFolderTest, FolderAUserOwnsIsTakenBack) {
    Prepare();
    const std::wstring spool = data_ + L"\\Spool";
    ASSERT_TRUE(tw_test::RunHostShell("chown nobody '" + tw_test::UnixPathOf(spool) + "'"));
    g_given.clear();
    EXPECT_EQ(Prepare(), AsUtf8(L"  - " + spool + L" の所有者を Administrators に戻しました\r\n") + DataLine() + "\r\n");
    const std::wstring given = Given(spool);
    const std::wstring head = std::wstring(L"O:BAD:AI") + kExplicit;
    EXPECT_EQ(given.rfind(head, 0), 0u) << AsUtf8(given);
    EXPECT_EQ(Count(given, L"("), Count(given, L"ID;") + 1) << "all else is inherited: " << AsUtf8(given);
    EXPECT_EQ(Count(given, kByFolder), 1u) << "the data folder's explicit entry, inherited";
}

}  // namespace
