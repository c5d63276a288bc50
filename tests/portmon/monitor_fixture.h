// Drives TWPortMon.dll as the spooler does: loaded from the test's folder,
// reached only through InitializePrintMonitor2 and the table it returns.
// Each test gets its own data folder through the "ProgramData" variable.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "portmon/monitor.h"
#include "tests/support/files.h"

namespace tw_test {

struct LoadedMonitor {
    HMODULE module = nullptr;
    const MonitorTable* table = nullptr;
    HANDLE monitor = nullptr;
};

// Loads the DLL once per process and initialises it.
const LoadedMonitor& Monitor();
inline const MonitorTable& Table() {
    return *Monitor().table;
}

// Values a call must overwrite; seeing one afterwards means it did not.
inline constexpr DWORD kSentinel = 0xCCCCCCCC;
inline constexpr DWORD kErrorSentinel = 0xDEADBEEF;

// Holds the editor's running event, so that committed jobs start no editor
// and add no launch lines to the log.
class QuietLaunches {
public:
    QuietLaunches();
    ~QuietLaunches();
    QuietLaunches(const QuietLaunches&) = delete;
    QuietLaunches& operator=(const QuietLaunches&) = delete;

private:
    HANDLE event_;
};

class DataFolderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Tests of the editor launch turn this off before SetUp.
    bool quietLaunches_ = true;

    std::wstring DataFolder() const { return root_ + L"\\TarnwickPrinter"; }
    std::wstring SpoolFolder() const { return DataFolder() + L"\\Spool"; }
    std::wstring LogPath() const { return DataFolder() + L"\\portmon.log"; }
    std::string LogBytes() const { return ReadFileBytes(LogPath()); }
    std::vector<std::string> LogLines() const;  // UTF-8 lines without CR LF
    std::vector<std::wstring> SpoolFiles() const { return ListFolder(SpoolFolder()); }

    std::wstring root_;
    std::unique_ptr<QuietLaunches> quiet_;

private:
    std::unique_ptr<ScopedEnvironment> programData_;
};

// Opens a port through the table; fails the test when it cannot.
HANDLE OpenTestPort(const wchar_t* name = L"TARNWICK:");

// One whole job through the table, the data written in the given blocks.
struct JobOutcome {
    BOOL started = FALSE;
    BOOL ended = FALSE;
    std::uint64_t written = 0;
};
JobOutcome RunJob(HANDLE port, DWORD jobId, const wchar_t* document, const std::string& data,
                  size_t blockSize = 65536);

// Waits up to `timeoutMs` for a log line whose message starts with `prefix`.
bool WaitForLogMessage(const std::wstring& logPath, const std::string& prefix, DWORD timeoutMs = 20000);

// The message part of a log line: what follows "[pid N]  ".
std::string LogMessage(const std::string& line);

// True when the line has the monitor's exact line layout (without CR LF).
bool IsLogLine(const std::string& line);

// A monitor message as the debugger output carries it. Wine hands
// OutputDebugStringW on as OutputDebugStringA, in the ANSI code page.
std::string DebugLine(const std::wstring& message);

// Records the debugger output of this process while it lives, one line per message.
class DebugOutputRecorder {
public:
    DebugOutputRecorder();
    ~DebugOutputRecorder();
    DebugOutputRecorder(const DebugOutputRecorder&) = delete;
    DebugOutputRecorder& operator=(const DebugOutputRecorder&) = delete;

    std::vector<std::string> Lines() const;
    // The text of each output call, as the debugger received it.
    std::vector<std::string> Outputs() const;

private:
    PVOID handler_;
};

}  // namespace tw_test
