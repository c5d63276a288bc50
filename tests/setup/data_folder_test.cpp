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

// Once the walk has begun on one of Spool's folders "a" and "b", the other
// (checked already, not yet listed) becomes a link to g_swapTo.
void SwapTheOtherFolder(const std::wstring& path) {
    if (!g_swapAt.empty()) return;
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    const size_t at = folder.size() - 2;
    if (folder.size() < 8 || folder.compare(at - 5, 7, L"Spool\\a") != 0 && folder.compare(at - 5, 7, L"Spool\\b") != 0) {
        return;
    }
    g_swapAt = folder.substr(0, folder.size() - 1) + (folder.back() == L'a' ? L"b" : L"a");
    SwapForLink(g_swapAt);
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

constexpr wchar_t kOnFolder[] = L"(A;;0x1201bf;;;BU)";       // no DELETE on the three folders
constexpr wchar_t kInsideData[] = L"(A;OINPIO;0x1301bf;;;BU)";  // the data folder's own files
constexpr wchar_t kInsideWork[] = L"(A;OICIIO;0x1301bf;;;BU)";  // all that Spool and Processed hold
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
    // Where a planted folder was moved: the one name beside it that begins with its own and ".moved-".
    static std::wstring MovedAside(const std::wstring& path) {
        const std::wstring parent = ParentFolder(path);
        const std::wstring prefix = path.substr(parent.size() + 1) + L".moved-";
        std::wstring found = L"(none)";
        for (const std::wstring& name : tw_test::ListFolder(parent)) {
            if (name.rfind(prefix, 0) == 0) found = parent + L"\\" + name;
        }
        return found;
    }
    static std::string MovedLine(const std::wstring& path, const std::wstring& aside) {
        return AsUtf8(L"  - " + path + L" は管理者以外のものだったため " + aside + L" に移し、作り直しました\r\n");
    }

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
            EXPECT_EQ(Count(given, kOnFolder), 1u) << AsUtf8(given);
            EXPECT_EQ(Count(given, *folder ? kInsideWork : kInsideData), 1u) << AsUtf8(given);
            EXPECT_EQ(Count(given, L";BU)"), 2u) << "nothing else of the Users' " << AsUtf8(given);
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
    EXPECT_EQ(Count(Given(data_ + L"\\Processed"), kInsideWork), 1u);
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
    EXPECT_EQ(Count(Given(data_ + L"\\Processed"), kInsideWork), 1u);
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
// other than Wine's user reads as ANONYMOUS LOGON, with an inheritable full
// control entry for it): it is moved aside as it is, with what it holds and
// whatever handles its maker keeps on it, and Spool is made anew.
TEST_F(DataFolderTest, FolderAUserOwnsIsMovedAsideAndMadeAnew) {
    Prepare();
    const std::wstring spool = data_ + L"\\Spool";
    ASSERT_TRUE(tw_test::WriteFileBytes(spool + L"\\job_1.prn", "planted"));
    ASSERT_TRUE(tw_test::RunHostShell("chown nobody '" + tw_test::UnixPathOf(spool) + "'"));
    g_given.clear();
    const std::string output = Prepare();
    const std::wstring aside = MovedAside(spool);
    EXPECT_EQ(output, MovedLine(spool, aside) + DataLine() + "\r\n");
    EXPECT_EQ(tw_test::ReadFileBytes(aside + L"\\job_1.prn"), "planted") << "kept for the administrator";
    EXPECT_TRUE(tw_test::ListFolder(spool).empty());
    const std::wstring given = Given(spool);
    EXPECT_EQ(given.rfind(std::wstring(L"O:BAD:AI") + kOnFolder + kInsideWork, 0), 0u) << AsUtf8(given);
    EXPECT_EQ(Count(given, L"("), Count(given, L"ID;") + 2) << "all else is inherited: " << AsUtf8(given);
    EXPECT_EQ(Count(given, L";AN)"), 0u) << AsUtf8(given);
}

// A user made the data folder before the first install, with an inheritable
// full control entry of their own, and Spool in it open to everyone (Unix
// mode 777, which Wine shows as Everyone's write and delete). The whole
// folder goes aside before anything is made in it; the new one and its Spool
// carry nothing of theirs.
TEST_F(DataFolderTest, PlantedDataFolderIsMovedAsideBeforeAnythingIsMadeInIt) {
    ASSERT_TRUE(CreateDirectoryW(data_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((data_ + L"\\Spool").c_str(), nullptr));
    ASSERT_TRUE(tw_test::RunHostShell("chmod 777 '" + tw_test::UnixPathOf(data_ + L"\\Spool") + "' && chown nobody '" +
                                      tw_test::UnixPathOf(data_) + "'"));
    const std::string output = Prepare();
    const std::wstring aside = MovedAside(data_);
    EXPECT_EQ(output, MovedLine(data_, aside) + DataLine() + "\r\n");
    EXPECT_TRUE(tw_test::IsFolder(aside + L"\\Spool"));
    EXPECT_EQ(tw_test::ListFolder(data_), (std::vector<std::wstring>{L"Processed", L"Spool"}));
    for (const wchar_t* folder : {L"", L"\\Spool", L"\\Processed"}) {
        const std::wstring given = Given(data_ + folder);
        EXPECT_EQ(given.rfind(L"O:BAD:AI", 0), 0u) << AsUtf8(given);
        EXPECT_EQ(Count(given, L";AN)") + Count(given, L"0x1301ff;;;WD)"), 0u) << AsUtf8(given);
    }
}

// Spool in the administrators' data folder is open to everyone: its rights
// are rebuilt to the design, not added to.
TEST_F(DataFolderTest, SpoolEndsWithItsDesignWhateverItHeld) {
    Prepare();
    const std::wstring spool = data_ + L"\\Spool";
    ASSERT_TRUE(tw_test::RunHostShell("chmod 777 '" + tw_test::UnixPathOf(spool) + "'"));
    g_given.clear();
    EXPECT_EQ(Prepare(), DataLine() + "\r\n");
    const std::wstring given = Given(spool);
    EXPECT_EQ(Count(given, L"0x1301ff;;;WD)"), 0u) << AsUtf8(given);
    EXPECT_EQ(Count(given, L";BU)"), 2u) << AsUtf8(given);
}

// The walk has checked Spool's folders "a" and "b" and is inside one of them
// when a user swaps the other for a link to a folder outside: each folder is
// listed through the handle it was checked on, so no name from outside the
// data folder appears, and nothing outside is given anything.
TEST_F(DataFolderTest, FolderSwappedAfterItsCheckIsListedThroughItsHandle) {
    Prepare();
    for (const wchar_t* name : {L"a", L"b"}) {
        const std::wstring folder = data_ + L"\\Spool\\" + name;
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(tw_test::WriteFileBytes(folder + L"\\job_" + name + L".prn", "own"));
    }
    g_swapAt.clear();
    g_swapTo = outside_;
    g_given.clear();
    const std::string output = Prepare(SwapTheOtherFolder);
    EXPECT_FALSE(g_swapAt.empty()) << "the swap took place";
    EXPECT_EQ(output.find("secret"), std::string::npos) << output;
    EXPECT_EQ(tw_test::SplitLines(output).back(), DataLine());
    ExpectNothingOutside();
}

}  // namespace
