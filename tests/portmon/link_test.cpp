// Links planted where the monitor's folders and files belong, as any local
// user could plant them in the shared data folder: the monitor neither creates,
// writes, renames nor deletes anything where they point, and jobs and log lines
// go on or fail as they would with a folder that cannot be created.
//
// The links are Unix symbolic links made with ln inside the prefix; Wine shows
// a link to a folder as a reparse point, and resolves a file opened through any
// link to its target in GetFinalPathNameByHandleW.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

bool IsLinkByPath(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Everything in a folder and one level below it, with file contents.
std::map<std::wstring, std::string> Snapshot(const std::wstring& folder) {
    std::map<std::wstring, std::string> entries;
    for (const std::wstring& name : ListFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if (IsFolder(path)) {
            entries[name + L"\\"] = "";
            for (const std::wstring& inner : ListFolder(path)) entries[name + L"\\" + inner] = ReadFileBytes(path + L"\\" + inner);
        } else {
            entries[name] = ReadFileBytes(path);
        }
    }
    return entries;
}

// The log's message for a refused folder or file.
std::string Refusal(const std::wstring& path) {
    std::wstring message(kLinkRefusedFormat);
    message.replace(message.find(L"%s"), 2, path);
    return AsUtf8(message);
}

// Whether a folder lists the name: Wine reads no attributes of a FIFO by path.
bool IsListed(const std::wstring& path) {
    const size_t separator = path.find_last_of(L'\\');
    const std::vector<std::wstring> names = ListFolder(path.substr(0, separator));
    return std::find(names.begin(), names.end(), path.substr(separator + 1)) != names.end();
}

std::string DebugRefusal(const std::wstring& path) {
    return DebugLine(FromUtf8(Refusal(path)));
}


class LinkTest : public DataFolderTest {
protected:
    void SetUp() override {
        DataFolderTest::SetUp();
        ASSERT_FALSE(UnixPathOf(root_).empty()) << "links are planted through Wine";
        // Stands for any folder a user could point a link at, such as the system folder.
        outside_ = root_ + L"\\outside";
        ASSERT_TRUE(CreateDirectoryW(outside_.c_str(), nullptr));
        ASSERT_TRUE(WriteFileBytes(Outside(L"precious.dll"), "precious bytes"));
        before_ = Snapshot(outside_);
    }
    void TearDown() override {
        tmp_.reset();
        temp_.reset();
        for (HANDLE port : ports_) Table().pfnClosePort(port);
        // Before the ordinary clean-up, which would act through the links.
        EXPECT_TRUE(RemoveWithoutFollowing(root_));
        DataFolderTest::TearDown();
    }

    std::wstring Outside(const std::wstring& name) const { return outside_ + L"\\" + name; }
    HANDLE Port() {
        ports_.push_back(OpenTestPort());
        return ports_.back();
    }
    std::wstring StartJob(HANDLE port, DWORD jobId, const std::string& data) {
        DOC_INFO_1W doc = {const_cast<LPWSTR>(L"planted"), nullptr, nullptr};
        EXPECT_TRUE(Table().pfnStartDocPort(port, nullptr, jobId, 1, reinterpret_cast<LPBYTE>(&doc)));
        if (!data.empty()) {
            EXPECT_TRUE(Table().pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data())),
                                             static_cast<DWORD>(data.size()), nullptr));
        }
        return static_cast<PortRecord*>(port)->jobBasePath;
    }
    // The last `count` messages of the log (fewer when the log is shorter).
    std::vector<std::string> LastMessages(size_t count = SIZE_MAX) const {
        std::vector<std::string> messages;
        for (const std::string& line : LogLines()) messages.push_back(LogMessage(line));
        return std::vector<std::string>(messages.end() - static_cast<std::ptrdiff_t>(std::min(count, messages.size())),
                                        messages.end());
    }
    void UseTemp(const std::wstring& temp) {
        tmp_ = std::make_unique<ScopedEnvironment>(L"TMP", temp);
        temp_ = std::make_unique<ScopedEnvironment>(L"TEMP", temp);
    }
    void LogShutdownLine() { Table().pfnShutdown(Monitor().monitor); }

    std::wstring outside_;
    std::map<std::wstring, std::string> before_;

private:
    std::vector<HANDLE> ports_;
    std::unique_ptr<ScopedEnvironment> tmp_;
    std::unique_ptr<ScopedEnvironment> temp_;
};

TEST_F(LinkTest, SpoolFolderLinkSendsTheJobToTheTempFolder) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(MakeSymbolicLink(SpoolFolder(), outside_));
    ASSERT_TRUE(IsLinkByPath(SpoolFolder()));
    const std::wstring temp = root_ + L"\\temp\\";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    UseTemp(temp);

    HANDLE port = Port();
    const std::wstring base = StartJob(port, 71, "through a link");
    ASSERT_TRUE(Table().pfnEndDocPort(port));

    const std::wstring fallback = temp + L"TarnwickPrinter";
    ASSERT_EQ(base.rfind(fallback + L"\\job_", 0), 0u);
    EXPECT_EQ(ReadFileBytes(base + L".prn"), "through a link");
    EXPECT_EQ(ReadFileBytes(base + L".ready"), "ok");
    EXPECT_EQ(Snapshot(outside_), before_);
    EXPECT_TRUE(IsLinkByPath(SpoolFolder()));

    const std::wstring name = base.substr(base.find_last_of(L'\\'));
    EXPECT_EQ(LastMessages(4),
              (std::vector<std::string>{
                  Refusal(SpoolFolder()),
                  AsUtf8(L"スプールファイルを作れません: " + SpoolFolder() + name + L".part (err=" +
                         std::to_wstring(kRefusedLinkError) + L") — 一時フォルダに切り替えます"),
                  AsUtf8(L"StartDocPort job=71 doc=planted user= file=" + base + L".part ok=1"),
                  "EndDocPort job=71 bytes=14 ok=1"}));
}

TEST_F(LinkTest, DataFolderLinkDropsLogLinesAndFailsAJobWithNowhereToGo) {
    ASSERT_TRUE(MakeSymbolicLink(DataFolder(), outside_));
    // The temp fallback folder is a link as well.
    const std::wstring temp = root_ + L"\\temp\\";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    const std::wstring fallback = temp + L"TarnwickPrinter";
    ASSERT_TRUE(MakeSymbolicLink(fallback, outside_));
    UseTemp(temp);

    DebugOutputRecorder debug;
    HANDLE port = Port();
    ASSERT_NE(port, nullptr);
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"nowhere"), nullptr, nullptr};
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnStartDocPort(port, nullptr, 72, 1, reinterpret_cast<LPBYTE>(&doc)));
    EXPECT_EQ(GetLastError(), kRefusedLinkError);
    const std::wstring part = static_cast<PortRecord*>(port)->partPath;
    BYTE data[3] = {'a', 'b', 'c'};
    EXPECT_FALSE(Table().pfnWritePort(port, data, 3, nullptr));
    EXPECT_TRUE(Table().pfnEndDocPort(port));

    // Nothing at all came to the link's target: no log, no Spool folder, no job file.
    EXPECT_EQ(Snapshot(outside_), before_);
    ASSERT_EQ(part.rfind(SpoolFolder() + L"\\job_", 0), 0u);

    // Every message still reached the debugger; each line the log file could
    // not take is followed by the refusal of the data folder, once.
    const std::string dataRefused = DebugRefusal(DataFolder());
    const std::vector<std::string> expected = {
        DebugLine(L"OpenPort TARNWICK:"),
        dataRefused,
        dataRefused,  // the job's own refusal of the folder
        DebugLine(L"スプールファイルを作れません: " + part + L" (err=" +
                                      std::to_wstring(kRefusedLinkError) + L") — 一時フォルダに切り替えます"),
        dataRefused,
        DebugRefusal(fallback),
        dataRefused,
        DebugLine(L"StartDocPort job=72 doc=nowhere user= file=" + part + L" ok=0"),
        dataRefused,
        DebugLine(L"EndDocPort job=72 bytes=0 ok=1"),
        dataRefused,
    };
    EXPECT_EQ(debug.Lines(), expected);
}

TEST_F(LinkTest, LogFileLinksAreNeverWrittenThrough) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    for (const std::wstring& target : {Outside(L"precious.dll"), outside_}) {
        SCOPED_TRACE(AsUtf8(target));
        ASSERT_TRUE(MakeSymbolicLink(LogPath(), target));
        DebugOutputRecorder debug;
        LogShutdownLine();
        EXPECT_EQ(Snapshot(outside_), before_);
        EXPECT_EQ(debug.Lines(), (std::vector<std::string>{DebugLine(L"Shutdown"),
                                                           DebugRefusal(LogPath())}));
        ASSERT_TRUE(RemoveWithoutFollowing(LogPath()));
    }
    // A link to a name that does not exist yet: nothing is created there. (Wine
    // cannot tell such a link from a file that vanished, so the line is just lost.)
    ASSERT_TRUE(MakeSymbolicLink(LogPath(), Outside(L"new.log")));
    LogShutdownLine();
    EXPECT_EQ(Snapshot(outside_), before_);
    ASSERT_TRUE(RemoveWithoutFollowing(LogPath()));

    // Without the link the log is written again.
    LogShutdownLine();
    EXPECT_EQ(LastMessages(), std::vector<std::string>{"Shutdown"});
}

TEST_F(LinkTest, OldLogLinkIsNeitherDeletedNorReplaced) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    const std::wstring oldPath = LogPath() + L".old";
    const std::string large(1048577, 'b');
    for (const std::wstring& target : {Outside(L"precious.dll"), outside_}) {
        SCOPED_TRACE(AsUtf8(target));
        ASSERT_TRUE(WriteFileBytes(LogPath(), large));
        ASSERT_TRUE(MakeSymbolicLink(oldPath, target));
        LogShutdownLine();
        EXPECT_EQ(Snapshot(outside_), before_);
        // No rotation: the refusal and the line went on to the large log.
        const std::string bytes = LogBytes();
        ASSERT_GT(bytes.size(), large.size());
        EXPECT_EQ(bytes.compare(0, large.size(), large), 0);
        EXPECT_EQ(LastMessages(2), (std::vector<std::string>{Refusal(oldPath), "Shutdown"}));
        ASSERT_TRUE(RemoveWithoutFollowing(oldPath));
    }
    // Without the link the log rotates again.
    LogShutdownLine();
    EXPECT_GT(ReadFileBytes(oldPath).size(), large.size());
    EXPECT_EQ(LastMessages(), std::vector<std::string>{"Shutdown"});
}

TEST_F(LinkTest, HardLinkedFilesAreRefused) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW(LogPath().c_str(), Outside(L"precious.dll").c_str(), nullptr));
    {
        DebugOutputRecorder debug;
        LogShutdownLine();
        EXPECT_EQ(debug.Lines(), (std::vector<std::string>{DebugLine(L"Shutdown"),
                                                           DebugRefusal(LogPath())}));
    }
    EXPECT_EQ(ReadFileBytes(LogPath()), "precious bytes");
    ASSERT_TRUE(DeleteFileW(LogPath().c_str()));  // a hard link is a plain name of its own

    HANDLE port = Port();
    const std::wstring base = StartJob(port, 73, "job data");
    ASSERT_TRUE(WriteFileBytes(Outside(L"settings.ini"), "theirs"));
    ASSERT_TRUE(CreateHardLinkW((base + L".json").c_str(), Outside(L"settings.ini").c_str(), nullptr));
    ASSERT_TRUE(Table().pfnEndDocPort(port));
    EXPECT_EQ(ReadFileBytes(Outside(L"settings.ini")), "theirs");
    EXPECT_EQ(ReadFileBytes(Outside(L"precious.dll")), "precious bytes");
    // The descriptor is lost as if it could not be created; the job is still committed and announced.
    EXPECT_EQ(ReadFileBytes(base + L".prn"), "job data");
    EXPECT_EQ(ReadFileBytes(base + L".ready"), "ok");
    EXPECT_EQ(LastMessages(2),
              (std::vector<std::string>{Refusal(base + L".json"), "EndDocPort job=73 bytes=8 ok=1"}));
}

TEST_F(LinkTest, LinksAtAJobsOwnFileNames) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    {
        SCOPED_TRACE("marker");
        HANDLE port = Port();
        const std::wstring base = StartJob(port, 74, "marked");
        ASSERT_TRUE(MakeSymbolicLink(base + L".ready", Outside(L"precious.dll")));
        ASSERT_TRUE(Table().pfnEndDocPort(port));
        EXPECT_EQ(ReadFileBytes(base + L".prn"), "marked");
        EXPECT_NE(ReadFileBytes(base + L".json").find("\"jobId\": 74,"), std::string::npos);
        EXPECT_EQ(LastMessages(2),
                  (std::vector<std::string>{Refusal(base + L".ready"), "EndDocPort job=74 bytes=6 ok=1"}));
    }
    {
        SCOPED_TRACE("data file");
        HANDLE port = Port();
        const std::wstring base = StartJob(port, 75, "kept");
        ASSERT_TRUE(MakeSymbolicLink(base + L".prn", Outside(L"precious.dll")));
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnEndDocPort(port));
        EXPECT_EQ(GetLastError(), kRefusedLinkError);
        EXPECT_EQ(ReadFileBytes(base + L".part"), "kept");
        EXPECT_FALSE(PathExists(base + L".json"));
        EXPECT_FALSE(PathExists(base + L".ready"));
        EXPECT_EQ(LastMessages(3),
                  (std::vector<std::string>{
                      Refusal(base + L".prn"),
                      AsUtf8(L"スプールファイルを確定できません: " + base + L".part → " + base + L".prn (err=" +
                             std::to_wstring(kRefusedLinkError) + L")"),
                      "EndDocPort job=75 bytes=4 ok=0"}));
    }
    EXPECT_EQ(Snapshot(outside_), before_);
}

// A named pipe is no file: one planted at the log's or a job's name is refused
// as a link is, and nothing waits on it. (Wine opens a Unix FIFO as a pipe
// whose final path is its own name, so only the handle's type tells.)
TEST_F(LinkTest, NamedPipesAtTheMonitorsNamesAreRefused) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    {
        SCOPED_TRACE("log");
        ASSERT_TRUE(MakeFifo(LogPath()));
        DebugOutputRecorder debug;
        LogShutdownLine();
        EXPECT_EQ(debug.Lines(), (std::vector<std::string>{DebugLine(L"Shutdown"), DebugRefusal(LogPath())}));
        EXPECT_TRUE(IsListed(LogPath()));
        ASSERT_TRUE(RemoveWithoutFollowing(LogPath()));
    }
    struct Case {
        const wchar_t* extension;
        bool committed;  // a refused descriptor is lost; a refused data file keeps the job a .part
    };
    for (const Case& c : {Case{L".json", true}, Case{L".prn", false}}) {
        SCOPED_TRACE(AsUtf8(c.extension));
        HANDLE port = Port();
        const std::wstring base = StartJob(port, 79, "piped");
        ASSERT_TRUE(MakeFifo(base + c.extension));
        EXPECT_EQ(Table().pfnEndDocPort(port), c.committed ? TRUE : FALSE);
        EXPECT_TRUE(IsListed(base + c.extension));
        if (c.committed) {
            EXPECT_EQ(ReadFileBytes(base + L".prn"), "piped");
            EXPECT_EQ(LastMessages(2), (std::vector<std::string>{Refusal(base + c.extension),
                                                                 "EndDocPort job=79 bytes=5 ok=1"}));
        } else {
            EXPECT_EQ(ReadFileBytes(base + L".part"), "piped");
            EXPECT_FALSE(PathExists(base + L".ready"));
            EXPECT_EQ(LastMessages(3),
                      (std::vector<std::string>{
                          Refusal(base + c.extension),
                          AsUtf8(L"スプールファイルを確定できません: " + base + L".part → " + base + L".prn (err=" +
                                 std::to_wstring(kRefusedLinkError) + L")"),
                          "EndDocPort job=79 bytes=5 ok=0"}));
        }
    }
}

TEST_F(LinkTest, SpoolFolderTurnedIntoALinkDuringAJob) {
    HANDLE written = Port();
    HANDLE empty = Port();
    const std::wstring writtenBase = StartJob(written, 76, "half a job");
    const std::wstring emptyBase = StartJob(empty, 77, "");
    const std::wstring name = writtenBase.substr(writtenBase.find_last_of(L'\\') + 1);
    const std::wstring emptyName = emptyBase.substr(emptyBase.find_last_of(L'\\') + 1);
    // Files of the jobs' names where the link will point: neither may be renamed or deleted.
    ASSERT_TRUE(WriteFileBytes(Outside(name + L".part"), "theirs"));
    ASSERT_TRUE(WriteFileBytes(Outside(emptyName + L".part"), "theirs too"));
    before_ = Snapshot(outside_);

    const std::wstring moved = DataFolder() + L"\\Spool.moved";
    ASSERT_TRUE(MoveFileW(SpoolFolder().c_str(), moved.c_str()));
    ASSERT_TRUE(MakeSymbolicLink(SpoolFolder(), outside_));

    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnEndDocPort(written));
    EXPECT_EQ(GetLastError(), kRefusedLinkError);
    EXPECT_TRUE(Table().pfnEndDocPort(empty));

    EXPECT_EQ(Snapshot(outside_), before_);
    EXPECT_EQ(ReadFileBytes(moved + L"\\" + name + L".part"), "half a job");
    EXPECT_EQ(LastMessages(5),
              (std::vector<std::string>{
                  Refusal(SpoolFolder()),
                  AsUtf8(L"スプールファイルを確定できません: " + writtenBase + L".part → " + writtenBase +
                         L".prn (err=" + std::to_wstring(kRefusedLinkError) + L")"),
                  "EndDocPort job=76 bytes=10 ok=0",
                  Refusal(SpoolFolder()),  // the empty job's .part is not deleted either
                  "EndDocPort job=77 bytes=0 ok=1"}));
}

TEST_F(LinkTest, ProgramDataRootReachedThroughALinkIsUsedAsItIs) {
    // Only the folders from the data folder down are checked; the root is the machine's.
    const std::wstring realRoot = root_ + L"\\real-root";
    const std::wstring linkedRoot = root_ + L"\\linked-root";
    ASSERT_TRUE(CreateDirectoryW(realRoot.c_str(), nullptr));
    ASSERT_TRUE(MakeSymbolicLink(linkedRoot, realRoot));
    ScopedEnvironment programData(L"ProgramData", linkedRoot);

    HANDLE port = Port();
    const std::wstring base = StartJob(port, 78, "ordinary");
    ASSERT_TRUE(Table().pfnEndDocPort(port));
    ASSERT_EQ(base.rfind(linkedRoot + L"\\TarnwickPrinter\\Spool\\job_", 0), 0u);
    const std::wstring name = base.substr(base.find_last_of(L'\\'));
    EXPECT_EQ(ReadFileBytes(realRoot + L"\\TarnwickPrinter\\Spool" + name + L".prn"), "ordinary");
    EXPECT_EQ(ReadFileBytes(realRoot + L"\\TarnwickPrinter\\Spool" + name + L".ready"), "ok");
    const std::string log = ReadFileBytes(realRoot + L"\\TarnwickPrinter\\portmon.log");
    EXPECT_NE(log.find("EndDocPort job=78 bytes=8 ok=1"), std::string::npos);
    EXPECT_EQ(log.find(Refusal(L"")), std::string::npos);
}

}  // namespace
