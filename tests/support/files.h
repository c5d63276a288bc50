// Small helpers for tests and test tools: folders, files, environment, child processes.
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

#include <memory>
#include <string>
#include <vector>

namespace tw_test {

std::wstring ModuleFolder();  // folder of the running program, no trailing backslash
// The machine the tests and the deliverables beside them are built for, as the
// setup tool names it (a test process runs natively under Wine).
#if defined(__aarch64__) || defined(_M_ARM64)
inline constexpr wchar_t kBuiltForMachine[] = L"ARM64";
#else
inline constexpr wchar_t kBuiltForMachine[] = L"x64";
#endif
std::wstring SystemFolder();  // the prefix's system32

// A fresh, empty folder under the temporary path, unique to this process and call.
std::wstring MakeTempFolder(const std::wstring& tag);
void RemoveTree(const std::wstring& path);

bool PathExists(const std::wstring& path);
bool IsFolder(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::wstring> ListFolder(const std::wstring& folder);  // names, sorted, no . and ..

// Links as any local user could plant them. Wine does not create symbolic
// links itself, but shows a Unix symbolic link inside the prefix as a reparse
// point; so these run host commands on Wine's Unix paths.
//   UnixPathOf: the Unix path of a Windows path (the last part need not exist);
//   RunHostShell: runs a host shell command and waits for it to end;
//   MakeSymbolicLink: a link at `link` (not there yet) pointing to `target`;
//   RemoveWithoutFollowing: removes a link, or a whole tree, following no link;
//   MakeFifo: a Unix named pipe at `path`, which Wine opens as a pipe (without
//   waiting for the other end) and whose final path is that very path.
std::string UnixPathOf(const std::wstring& path);
bool RunHostShell(const std::string& command);
bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target);
bool RemoveWithoutFollowing(const std::wstring& path);
bool MakeFifo(const std::wstring& path);

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms);

std::string AsUtf8(const std::wstring& text);
// Output split at CR LF, without the line ends.
std::vector<std::string> SplitLines(const std::string& output);
// The lines as UTF-8, to compare with SplitLines of a program's output.
std::vector<std::string> Utf8Lines(std::initializer_list<std::wstring> lines);
std::wstring FromUtf8(const std::string& bytes);

// Sets an environment variable for the current process until the scope ends.
class ScopedEnvironment {
public:
    ScopedEnvironment(const std::wstring& name, const std::wstring* value);
    ScopedEnvironment(const std::wstring& name, const std::wstring& value)
        : ScopedEnvironment(name, &value) {}
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring name_;
    std::wstring old_;
    bool hadOld_;
};

// Puts the recording program twrecord.exe (tests/tools) in place of a program
// in the system folder until the scope ends, and has Wine run that file rather
// than its own built-in program. The command lines it was started with are
// read with Recorded(), the paths of the programs that recorded them with
// Programs(), the folders they were started in with Folders(); `sleepMs` makes it take that long before it exits.
// The system folder is shared: tests that use this take the lock "system32".
class ScopedSystemStandIn {
public:
    explicit ScopedSystemStandIn(const std::wstring& programName, DWORD sleepMs = 0);
    ~ScopedSystemStandIn();
    ScopedSystemStandIn(const ScopedSystemStandIn&) = delete;
    ScopedSystemStandIn& operator=(const ScopedSystemStandIn&) = delete;

    bool ready() const { return ready_; }
    std::string Recorded() const;  // the command lines, one per line, CR LF
    std::string Programs() const;  // the recorders' own paths, one per line, CR LF
    std::string Folders() const;   // their current folders, one per line, CR LF

private:
    std::wstring program_;
    std::wstring target_;
    std::wstring folder_;
    std::wstring saved_;
    bool hadOriginal_ = false;
    bool ready_;
    std::unique_ptr<ScopedEnvironment> recordFile_;
    std::unique_ptr<ScopedEnvironment> programsFile_;
    std::unique_ptr<ScopedEnvironment> foldersFile_;
    std::unique_ptr<ScopedEnvironment> sleepMs_;
    UniqueKey overrides_;
};

struct ProcessResult {
    bool started = false;
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output, bytes as written
    std::string errors;  // standard error, bytes as written
};

// Runs a command line with standard output and standard error redirected to
// files, waits for it and returns both. The child inherits this process's
// environment and, unless one is named, its current folder; with a token it
// runs as that token's user (CreateProcessAsUserW).
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 120000,
                         HANDLE token = nullptr, const wchar_t* currentFolder = nullptr);

}  // namespace tw_test
