// What a console program shows: standard output captured in this process,
// a token to run a program without elevation, and a pseudo console to run
// one in a real console.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"
#include "tests/support/files.h"

namespace tw_test {

// Points this process's standard output handle (not the C runtime's) at a
// file until Finish or the end of the scope.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Restores standard output and returns the bytes written meanwhile.
    std::string Finish();

private:
    std::wstring folder_;
    UniqueHandle file_;
    HANDLE previous_;
};

// The filtered, non-elevated token that UAC links to this process's elevated
// one. Wine starts every program elevated and links such a token too.
UniqueHandle LinkedToken();

// Runs the command line in a new pseudo console (through twconsole.exe beside
// the test program) and returns what the console rendered: UTF-8 text mixed
// with terminal control sequences.
ProcessResult RunInConsole(const std::wstring& commandLine, DWORD timeoutMs = 60000);

}  // namespace tw_test
