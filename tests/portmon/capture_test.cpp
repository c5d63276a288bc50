// Jobs through the table: the bytes committed exactly, the file names, the
// temp fallback, and what is left when a job cannot be committed.
#include <cstdio>
#include <random>
#include <regex>

#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

std::wstring OnlyFile(const std::vector<std::wstring>& files, const wchar_t* extension) {
    std::wstring found;
    for (const std::wstring& name : files) {
        if (name.size() > wcslen(extension) && name.compare(name.size() - wcslen(extension), std::wstring::npos, extension) == 0) {
            EXPECT_TRUE(found.empty()) << "more than one " << AsUtf8(extension);
            found = name;
        }
    }
    return found;
}

std::string Stamp(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04u%02u%02u_%02u%02u%02u_%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

class CaptureTest : public DataFolderTest {
protected:
    void SetUp() override {
        DataFolderTest::SetUp();
        port_ = OpenTestPort();
    }
    void TearDown() override {
        if (port_ != nullptr) EXPECT_TRUE(Table().pfnClosePort(port_));
        DataFolderTest::TearDown();
    }
    HANDLE port_ = nullptr;
};

TEST_F(CaptureTest, BlocksOfEverySizeAreCommittedExactly) {
    std::string data;
    std::mt19937 random(7);
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"blocks"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 11, 1, reinterpret_cast<LPBYTE>(&doc)));
    for (int i = 0; i < 300; ++i) {
        std::string block = RandomBytes(random() % 5000, static_cast<unsigned>(i));
        DWORD written = kSentinel;
        ASSERT_TRUE(Table().pfnWritePort(port_, reinterpret_cast<LPBYTE>(&block[0]), static_cast<DWORD>(block.size()), &written));
        EXPECT_EQ(written, block.size());
        data += block;
    }
    DWORD written = kSentinel;
    BYTE unused = 0;
    EXPECT_TRUE(Table().pfnWritePort(port_, &unused, 0, &written));  // a zero-length block adds nothing
    EXPECT_EQ(written, 0u);
    ASSERT_TRUE(Table().pfnEndDocPort(port_));

    const std::wstring prn = OnlyFile(SpoolFiles(), L".prn");
    ASSERT_FALSE(prn.empty());
    EXPECT_EQ(ReadFileBytes(SpoolFolder() + L"\\" + prn), data);
    EXPECT_TRUE(OnlyFile(SpoolFiles(), L".part").empty());
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(LogMessage(lines.back()), "EndDocPort job=11 bytes=" + std::to_string(data.size()) + " ok=1");
}

TEST_F(CaptureTest, LargeJobOf64MiB) {
    const std::string block = RandomBytes(65536, 3);
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"large"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 12, 1, reinterpret_cast<LPBYTE>(&doc)));
    for (int i = 0; i < 1024; ++i) {
        DWORD written = 0;
        ASSERT_TRUE(Table().pfnWritePort(port_, reinterpret_cast<LPBYTE>(const_cast<char*>(block.data())), 65536, &written));
    }
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    const std::wstring prn = SpoolFolder() + L"\\" + OnlyFile(SpoolFiles(), L".prn");
    const std::string bytes = ReadFileBytes(prn);
    ASSERT_EQ(bytes.size(), 64u * 1024 * 1024);
    for (size_t offset = 0; offset < bytes.size(); offset += 65536) {
        ASSERT_EQ(bytes.compare(offset, 65536, block), 0) << "at " << offset;
    }
    EXPECT_EQ(LogMessage(LogLines().back()), "EndDocPort job=12 bytes=67108864 ok=1");
}

TEST_F(CaptureTest, NameFromLocalTimeAndJobId) {
    SYSTEMTIME before = {}, after = {};
    GetLocalTime(&before);
    ASSERT_TRUE(RunJob(port_, 4242, L"stamp", "data").ended);
    GetLocalTime(&after);
    const std::wstring prn = OnlyFile(SpoolFiles(), L".prn");
    const std::string name = AsUtf8(prn);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(name, match, std::regex(R"(job_(\d{8}_\d{6}_\d{3})_4242\.prn)"))) << name;
    // The stamp is local wall-clock time, so it sorts between the two readings.
    const std::string low = Stamp(before);
    const std::string high = Stamp(after);
    EXPECT_LE(low, match[1].str());
    EXPECT_GE(high, match[1].str());
}

TEST_F(CaptureTest, EmptyJobsLeaveNothing) {
    const JobOutcome outcome = RunJob(port_, 5, L"empty", "");
    EXPECT_TRUE(outcome.started);
    EXPECT_TRUE(outcome.ended);
    EXPECT_TRUE(SpoolFiles().empty());
    EXPECT_EQ(LogMessage(LogLines().back()), "EndDocPort job=5 bytes=0 ok=1");

    // A port that never started a job.
    HANDLE idle = OpenTestPort();
    EXPECT_TRUE(Table().pfnEndDocPort(idle));
    EXPECT_EQ(LogMessage(LogLines().back()), "EndDocPort job=0 bytes=0 ok=1");
    EXPECT_TRUE(Table().pfnClosePort(idle));
    EXPECT_TRUE(SpoolFiles().empty());
}

TEST_F(CaptureTest, WritePortWithoutAStartedJob) {
    BYTE data[3] = {1, 2, 3};
    DWORD written = kSentinel;
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnWritePort(port_, data, 3, &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(written, 0u);
    // A null block with a size is refused, not dereferenced.
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"null block"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 6, 1, reinterpret_cast<LPBYTE>(&doc)));
    written = kSentinel;
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnWritePort(port_, nullptr, 16, &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Table().pfnWritePort(port_, data, 3, nullptr));
    EXPECT_TRUE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(LogMessage(LogLines().back()), "EndDocPort job=6 bytes=3 ok=1");
}

TEST_F(CaptureTest, PartIsReadableWhileTheJobIsWritten) {
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"shared"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 8, 1, reinterpret_cast<LPBYTE>(&doc)));
    BYTE data[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(Table().pfnWritePort(port_, data, 5, nullptr));
    const std::wstring base = static_cast<PortRecord*>(port_)->jobBasePath;
    const std::wstring part = base + L".part";
    // A reader as the editor's contract has it: reading, sharing read and write but not delete.
    UniqueHandle reader(CreateFileW(part.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.valid()) << GetLastError();
    char read[8] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(reader.get(), read, sizeof(read), &got, nullptr));
    EXPECT_EQ(std::string(read, got), "hello");
    EXPECT_TRUE(Table().pfnWritePort(port_, data, 1, nullptr));
    // Nobody else may write or delete it meanwhile.
    UniqueHandle writer(CreateFileW(part.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer.valid());
    EXPECT_FALSE(DeleteFileW(part.c_str()));

    // The commit fails where a rename by path would: the reader does not share delete.
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(ReadFileBytes(part), "helloh");
    reader.reset();

    // A reader that shares delete too does not stand in the commit's way.
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 9, 1, reinterpret_cast<LPBYTE>(&doc)));
    ASSERT_TRUE(Table().pfnWritePort(port_, data, 5, nullptr));
    const std::wstring next = static_cast<PortRecord*>(port_)->jobBasePath;
    UniqueHandle tolerant(CreateFileW((next + L".part").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    ASSERT_TRUE(tolerant.valid());
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(ReadFileBytes(next + L".prn"), "hello");
}

TEST_F(CaptureTest, ProgramDataEndingInABackslash) {
    ScopedEnvironment programData(L"ProgramData", root_ + L"\\");
    ASSERT_TRUE(RunJob(port_, 81, L"trailing", "data").ended);
    const std::wstring prn = OnlyFile(SpoolFiles(), L".prn");
    ASSERT_FALSE(prn.empty());
    EXPECT_EQ(ReadFileBytes(SpoolFolder() + L"\\" + prn), "data");
    // The descriptor names the path as composed, the doubled separator included.
    std::string dataFile = AsUtf8(root_ + L"\\\\TarnwickPrinter\\Spool\\" + prn);
    for (size_t at = 0; (at = dataFile.find('\\', at)) != std::string::npos; at += 2) dataFile.insert(at, 1, '\\');
    const std::string json = ReadFileBytes(SpoolFolder() + L"\\" + prn.substr(0, prn.size() - 4) + L".json");
    EXPECT_NE(json.find("  \"dataFile\": \"" + dataFile + "\"\n"), std::string::npos) << json;
    EXPECT_TRUE(PathExists(SpoolFolder() + L"\\" + prn.substr(0, prn.size() - 4) + L".ready"));
}

TEST_F(CaptureTest, DocumentNameOnlyFromLevelsOneToThree) {
    DOC_INFO_3W doc3 = {const_cast<LPWSTR>(L"level three"), nullptr, nullptr, 0};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 21, 3, reinterpret_cast<LPBYTE>(&doc3)));
    EXPECT_EQ(static_cast<PortRecord*>(port_)->documentName, L"level three");
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 22, 4, reinterpret_cast<LPBYTE>(&doc3)));
    EXPECT_EQ(static_cast<PortRecord*>(port_)->documentName, L"");
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 23, 1, nullptr));
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    const std::vector<std::string> lines = LogLines();
    EXPECT_NE(LogMessage(lines[lines.size() - 2]).find("StartDocPort job=23 doc= user= file="), std::string::npos);
}

TEST_F(CaptureTest, SecondStartWhileAJobIsOpenKeepsTheFirstPart) {
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"first"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 31, 1, reinterpret_cast<LPBYTE>(&doc)));
    BYTE data[2] = {'a', 'b'};
    ASSERT_TRUE(Table().pfnWritePort(port_, data, 2, nullptr));
    const std::wstring firstPart = static_cast<PortRecord*>(port_)->partPath;
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 32, 1, reinterpret_cast<LPBYTE>(&doc)));
    // The first file was closed (so it can be removed) and stays as an unfinished job.
    EXPECT_EQ(ReadFileBytes(firstPart), "ab");
    UniqueHandle exclusive(CreateFileW(firstPart.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive.valid());
    exclusive.reset();
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(LogMessage(lines[lines.size() - 2]),
              AsUtf8(L"前のジョブが終わらないまま次のジョブが始まりました。書きかけのファイルを残します: " + firstPart));
    ASSERT_TRUE(Table().pfnWritePort(port_, data, 1, nullptr));
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(OnlyFile(SpoolFiles(), L".part"), firstPart.substr(firstPart.find_last_of(L'\\') + 1));
}

TEST_F(CaptureTest, SpoolFolderUnusableMovesTheJobToTheTempFolder) {
    ASSERT_TRUE(IsFolder(DataFolder()));  // made by the port's first log line
    ASSERT_TRUE(WriteFileBytes(SpoolFolder(), "a plain file where the spool folder belongs"));
    const std::wstring temp = root_ + L"\\temp\\";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ScopedEnvironment tmp(L"TMP", temp);
    ScopedEnvironment tempVar(L"TEMP", temp);

    ASSERT_TRUE(RunJob(port_, 41, L"fallback", "fallback data").ended);
    const std::wstring fallback = temp + L"TarnwickPrinter";
    const std::vector<std::wstring> files = ListFolder(fallback);
    const std::wstring prn = OnlyFile(files, L".prn");
    ASSERT_FALSE(prn.empty());
    EXPECT_EQ(ReadFileBytes(fallback + L"\\" + prn), "fallback data");

    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    const std::wstring failedPart = SpoolFolder() + L"\\" + prn.substr(0, prn.size() - 4) + L".part";
    EXPECT_EQ(LogMessage(lines[lines.size() - 3]),
              AsUtf8(L"スプールファイルを作れません: " + failedPart + L" (err=3) — 一時フォルダに切り替えます"));
    EXPECT_EQ(LogMessage(lines[lines.size() - 2]),
              AsUtf8(L"StartDocPort job=41 doc=fallback user= file=" + fallback + L"\\" +
                     prn.substr(0, prn.size() - 4) + L".part ok=1"));
}

TEST_F(CaptureTest, NoUsableFolderFailsTheStart) {
    ASSERT_TRUE(IsFolder(DataFolder()));
    ASSERT_TRUE(WriteFileBytes(SpoolFolder(), "plain file"));
    // A temporary path below a plain file cannot hold the fallback folder either.
    const std::wstring temp = SpoolFolder() + L"\\temp\\";
    ScopedEnvironment tmp(L"TMP", temp);
    ScopedEnvironment tempVar(L"TEMP", temp);

    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"nowhere"), nullptr, nullptr};
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnStartDocPort(port_, nullptr, 51, 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    BYTE data[1] = {1};
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnWritePort(port_, data, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(Table().pfnEndDocPort(port_));
    const std::vector<std::string> lines = LogLines();
    EXPECT_NE(LogMessage(lines[lines.size() - 2]).find(" ok=0"), std::string::npos);
    EXPECT_EQ(LogMessage(lines.back()), "EndDocPort job=51 bytes=0 ok=1");
}

TEST_F(CaptureTest, FailedCommitKeepsThePart) {
    // A folder, or a read-only file, where the .prn should go cannot be
    // replaced: access denied, as a replacing rename reports it.
    for (const bool folder : {true, false}) {
        const DWORD jobId = folder ? 61 : 62;
        DOC_INFO_1W doc = {const_cast<LPWSTR>(L"blocked"), nullptr, nullptr};
        ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, jobId, 1, reinterpret_cast<LPBYTE>(&doc)));
        BYTE data[4] = {'d', 'a', 't', 'a'};
        ASSERT_TRUE(Table().pfnWritePort(port_, data, 4, nullptr));
        const std::wstring base = static_cast<PortRecord*>(port_)->jobBasePath;
        const std::wstring prn = base + L".prn";
        if (folder) {
            ASSERT_TRUE(CreateDirectoryW(prn.c_str(), nullptr));
        } else {
            ASSERT_TRUE(WriteFileBytes(prn, "read-only"));
            ASSERT_TRUE(SetFileAttributesW(prn.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnEndDocPort(port_));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(ReadFileBytes(base + L".part"), "data");
        EXPECT_EQ(folder, IsFolder(prn));
        const std::vector<std::string> lines = LogLines();
        EXPECT_EQ(LogMessage(lines[lines.size() - 2]),
                  AsUtf8(L"スプールファイルを確定できません: " + base + L".part → " + prn + L" (err=5)"));
        EXPECT_EQ(LogMessage(lines.back()), "EndDocPort job=" + std::to_string(jobId) + " bytes=4 ok=0");
        if (!folder) {
            EXPECT_EQ(ReadFileBytes(prn), "read-only");
            SetFileAttributesW(prn.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    }
}

TEST_F(CaptureTest, CommitReplacesAnEarlierFileOfTheSameName) {
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"replace"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, 71, 1, reinterpret_cast<LPBYTE>(&doc)));
    const std::wstring base = static_cast<PortRecord*>(port_)->jobBasePath;
    ASSERT_TRUE(WriteFileBytes(base + L".prn", "an older job of the same millisecond and id"));
    BYTE data[3] = {'n', 'e', 'w'};
    ASSERT_TRUE(Table().pfnWritePort(port_, data, 3, nullptr));
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(ReadFileBytes(base + L".prn"), "new");
}

}  // namespace
