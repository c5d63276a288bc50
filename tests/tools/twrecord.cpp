// twrecord: a stand-in child program for the tests. When the variable
// TW_RECORD_FILE names a file, it appends its own command line to it (UTF-8,
// CR LF), and when TW_RECORD_PROGRAMS names one, the path it was started
// from, and when TW_RECORD_FOLDERS names one, the folder it was started in; when TW_RECORD_SLEEP_MS holds a number, it waits that long. Then it
// follows its options, ignoring anything else:
//   --sleep MS    wait that long before exiting
//   --exit CODE   exit with that code (default 0)
// Tests put it in place of a system program (icacls.exe, schtasks.exe,
// rundll32.exe) to see exactly how the deliverables call it
// (tw_test::ScopedSystemStandIn). In place of rundll32.exe, with
// TW_RECORD_ADD_DRIVER set, it also primes the driver named after "/m" the
// way the tests do (Wine has no ntprint.inf to install it from).
#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/unique_handle.h"
#include "tests/support/files.h"
#include "tests/support/spooler.h"

namespace {

void AppendLine(const wchar_t* variable, const std::wstring& text) {
    wchar_t recordPath[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(variable, recordPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    UniqueHandle file(CreateFileW(recordPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string line = tw_test::AsUtf8(text) + "\r\n";
    DWORD written = 0;
    if (file) WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    AppendLine(L"TW_RECORD_FILE", GetCommandLineW());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    AppendLine(L"TW_RECORD_PROGRAMS", self);
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    AppendLine(L"TW_RECORD_FOLDERS", folder);
    wchar_t sleep[32] = {};
    const DWORD sleepLength = GetEnvironmentVariableW(L"TW_RECORD_SLEEP_MS", sleep, 32);
    if (sleepLength > 0 && sleepLength < 32) Sleep(static_cast<DWORD>(std::wcstoul(sleep, nullptr, 10)));
    if (GetEnvironmentVariableW(L"TW_RECORD_ADD_DRIVER", nullptr, 0) > 0) {
        for (int i = 1; i + 1 < argc; ++i) {
            if (std::wstring(argv[i]) == L"/m") tw_test::AddPostScriptDriver(argv[i + 1]);
        }
    }
    int exitCode = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--sleep") Sleep(static_cast<DWORD>(std::wcstoul(argv[i + 1], nullptr, 10)));
        if (option == L"--exit") exitCode = static_cast<int>(std::wcstoul(argv[i + 1], nullptr, 10));
    }
    return exitCode;
}
