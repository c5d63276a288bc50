// The monitor log as other programs read it: its place, its exact line
// layout in UTF-8, cut messages, literal percent signs, and rotation.
#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

class LogTest : public DataFolderTest {
protected:
    void LogShutdownLine() { Table().pfnShutdown(Monitor().monitor); }
};

TEST_F(LogTest, LinesInUtf8WithoutByteOrderMark) {
    HANDLE port = OpenTestPort(L"ポート:");
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(Table().pfnClosePort(port));
    const std::string bytes = LogBytes();
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(IsLogLine(lines[0])) << lines[0];
    EXPECT_EQ(LogMessage(lines[0]), "OpenPort \xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88:");
    EXPECT_NE(lines[0].find("[pid " + std::to_string(GetCurrentProcessId()) + "]  "), std::string::npos);
    EXPECT_EQ(lines[0].find("\r"), std::string::npos);
}

TEST_F(LogTest, EachMessageReachesTheDebuggerInOneOutput) {
    // One output per message: another thread's message cannot land inside it.
    DebugOutputRecorder debug;
    LogShutdownLine();
    EXPECT_EQ(debug.Outputs(), std::vector<std::string>{DebugLine(L"Shutdown") + "\r\n"});
}

TEST_F(LogTest, PercentSignsInDocumentNamesStayLiteral) {
    HANDLE port = OpenTestPort();
    ASSERT_TRUE(RunJob(port, 1, L"100% %s %d %n %08X", "x").ended);
    EXPECT_TRUE(Table().pfnClosePort(port));
    bool found = false;
    for (const std::string& line : LogLines()) {
        if (LogMessage(line).rfind("StartDocPort job=1 doc=100% %s %d %n %08X user= file=", 0) == 0) found = true;
    }
    EXPECT_TRUE(found);
}

TEST_F(LogTest, LongMessagesAreCutAt1023Characters) {
    const std::wstring longName(2000, L'名');
    HANDLE port = OpenTestPort(longName.c_str());
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(Table().pfnClosePort(port));
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::wstring message = FromUtf8(LogMessage(lines[0]));
    EXPECT_EQ(message.size(), 1023u);
    EXPECT_EQ(message, (L"OpenPort " + longName).substr(0, 1023));
}

TEST_F(LogTest, ResolvedFromAllUsersProfileWhenProgramDataIsUnset) {
    ScopedEnvironment programData(L"ProgramData", nullptr);
    ScopedEnvironment allUsers(L"ALLUSERSPROFILE", root_);
    LogShutdownLine();
    EXPECT_EQ(LogMessage(LogLines().back()), "Shutdown");

    // A ProgramData value of 260 characters is not used.
    const std::wstring tooLong = root_ + L"\\" + std::wstring(260 - root_.size() - 1, L'p');
    ASSERT_EQ(tooLong.size(), 260u);
    ScopedEnvironment longValue(L"ProgramData", tooLong);
    LogShutdownLine();
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(LogTest, RotatesOnlyAboveOneMebibyte) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    const std::string exact(1048576, 'a');
    ASSERT_TRUE(WriteFileBytes(LogPath(), exact));
    LogShutdownLine();
    EXPECT_FALSE(PathExists(LogPath() + L".old"));
    const std::string grown = LogBytes();
    ASSERT_GT(grown.size(), 1048576u);

    ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(1048577, 'b')));
    ASSERT_TRUE(WriteFileBytes(LogPath() + L".old", "an older generation"));
    LogShutdownLine();
    EXPECT_EQ(ReadFileBytes(LogPath() + L".old"), std::string(1048577, 'b'));
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);  // a fresh file, no header
    EXPECT_EQ(LogMessage(lines[0]), "Shutdown");
    EXPECT_NE(LogBytes().substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(LogTest, LaterLineOfAJobCallStillRotates) {
    // The call's first line keeps its log open for the next; once that line
    // leaves the log above the limit, the next one rotates it all the same.
    HANDLE port = OpenTestPort();
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"rotating"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port, nullptr, 63, 1, reinterpret_cast<LPBYTE>(&doc)));
    BYTE data[1] = {'d'};
    ASSERT_TRUE(Table().pfnWritePort(port, data, 1, nullptr));
    // A folder at the .prn name: the end call logs the failed commit, then its own line.
    ASSERT_TRUE(CreateDirectoryW((static_cast<PortRecord*>(port)->jobBasePath + L".prn").c_str(), nullptr));
    const std::string full(1048576, 'a');
    ASSERT_TRUE(WriteFileBytes(LogPath(), full));
    EXPECT_FALSE(Table().pfnEndDocPort(port));
    const std::string old = ReadFileBytes(LogPath() + L".old");
    EXPECT_EQ(old.compare(0, full.size(), full), 0);
    EXPECT_NE(old.find(AsUtf8(L"スプールファイルを確定できません")), std::string::npos);
    EXPECT_EQ(LogMessage(LogLines().at(0)), "EndDocPort job=63 bytes=1 ok=0");
    EXPECT_TRUE(Table().pfnClosePort(port));
}

TEST_F(LogTest, OldGenerationThatCannotBeDeletedKeepsTheLogGrowing) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(1048577, 'c')));
    ASSERT_TRUE(WriteFileBytes(LogPath() + L".old", "held"));
    {
        UniqueHandle held(CreateFileW((LogPath() + L".old").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.valid());
        LogShutdownLine();
        EXPECT_EQ(ReadFileBytes(LogPath() + L".old"), "held");
        EXPECT_GT(LogBytes().size(), 1048577u);
    }
    // Once the old generation is free, the next line rotates.
    LogShutdownLine();
    EXPECT_GT(ReadFileBytes(LogPath() + L".old").size(), 1048577u);
    EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(LogTest, AnotherWriterAppendsBesideTheMonitor) {
    // As a monitor in another process writes: appending, sharing read and write, not delete.
    const auto openAppender = [this] {
        return UniqueHandle(CreateFileW(LogPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, 0, nullptr));
    };
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(1048577, 'd')));
    {
        // Held while the monitor wants to rotate: the rotation waits, as a
        // rename by path would, and both lines land.
        UniqueHandle other = openAppender();
        ASSERT_TRUE(other.valid());
        LogShutdownLine();
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(other.get(), "other\r\n", 7, &written, nullptr));
        EXPECT_FALSE(PathExists(LogPath() + L".old"));
    }
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(LogMessage(lines[lines.size() - 2]), "Shutdown");
    EXPECT_EQ(lines.back(), "other");
    LogShutdownLine();
    EXPECT_TRUE(PathExists(LogPath() + L".old"));
    EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(LogTest, LostDataFolderDropsTheLineButNotTheCall) {
    // The data folder's name is taken by a plain file: no log, the call still works.
    ASSERT_TRUE(WriteFileBytes(DataFolder(), "not a folder"));
    HANDLE port = OpenTestPort();
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(Table().pfnClosePort(port));
    EXPECT_EQ(ReadFileBytes(DataFolder()), "not a folder");
}

}  // namespace
