// TARNWICK-PRINTER.exe as the tests and the demo need it: a stand-in for the
// desktop editor, never installed as the real one.
//   TARNWICK-PRINTER.exe [anything]   appends a launch record to launches.txt
//                                      beside itself: its command line, its
//                                      working directory and the jobs it would
//                                      take (those whose .ready exists)
//   TARNWICK-PRINTER.exe /hold MS      holds the running event for MS milliseconds
// A file hold-ms.txt beside it makes every launch hold the running event that long.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "common/unique_handle.h"
#include "tests/support/files.h"

namespace {

const wchar_t kRunningEvent[] = L"Global\\TARNWICK-PRINTER.Running";

void HoldRunningEvent(DWORD milliseconds) {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, kRunningEvent));
    Sleep(milliseconds);
}

// The machine's ProgramData folder. Not the environment's: under Wine the
// user environment block that the monitor starts the editor with names
// C:\users\Public there.
std::wstring SpoolFolder() {
    std::wstring base = L"C:\\ProgramData";
    PWSTR known = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known))) base = known;
    CoTaskMemFree(known);
    return base + L"\\TarnwickPrinter\\Spool";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"/hold") {
        HoldRunningEvent(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    std::wstring record = L"launch\r\n  command line: " + std::wstring(GetCommandLineW()) +
                          L"\r\n  working directory: " + directory + L"\r\n";
    const std::wstring spool = SpoolFolder();
    record += L"  spool folder: " + spool + L"\r\n";
    for (const std::wstring& name : tw_test::ListFolder(spool)) {
        const size_t dot = name.rfind(L".ready");
        if (dot != std::wstring::npos && dot + 6 == name.size()) {
            record += L"  job ready: " + spool + L"\\" + name.substr(0, dot) + L".prn\r\n";
        }
    }
    const std::wstring self = tw_test::ModuleFolder();
    UniqueHandle log(CreateFileW((self + L"\\launches.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string bytes = tw_test::AsUtf8(record);
    DWORD written = 0;
    WriteFile(log.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    log.reset();

    const std::string hold = tw_test::ReadFileBytes(self + L"\\hold-ms.txt");
    if (!hold.empty()) HoldRunningEvent(static_cast<DWORD>(std::strtoul(hold.c_str(), nullptr, 10)));
    return 0;
}
