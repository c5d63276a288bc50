// Stands in for a system program (schtasks.exe, icacls.exe, rundll32.exe) in
// a test prefix: appends its command line to recorded.txt beside itself, sleeps
// for the milliseconds in sleep-ms.txt beside itself, if any, and exits with 0.
#include <windows.h>

#include <string>

#include "common/unique_handle.h"
#include "tests/support/files.h"

int wmain() {
    const std::wstring self = tw_test::ModuleFolder();
    UniqueHandle log(CreateFileW((self + L"\\recorded.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::string line = tw_test::AsUtf8(std::wstring(GetCommandLineW()) + L"\r\n");
    DWORD written = 0;
    WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    log.reset();
    const std::string sleep = tw_test::ReadFileBytes(self + L"\\sleep-ms.txt");
    if (!sleep.empty()) Sleep(static_cast<DWORD>(std::strtoul(sleep.c_str(), nullptr, 10)));
    return 0;
}
