// twspool: the spooler steps that the demo and the tests stage by hand, as a
// command-line tool (not a deliverable).
//   twspool install-monitor DLL     copy into system32 and AddMonitorW
//   twspool add-driver [NAME]       prime a PostScript driver under NAME
//   twspool add-queue [PRINTER] [PORT] [DRIVER]
//   twspool delete-queue [PRINTER]
//   twspool print PRINTER FILE [DOCUMENT]
#include <windows.h>

#include <cstdio>
#include <string>

#include "tests/support/files.h"
#include "tests/support/spooler.h"

namespace {

int Report(const wchar_t* step, DWORD error) {
    if (error == ERROR_SUCCESS) {
        std::printf("%s: ok\n", tw_test::AsUtf8(step).c_str());
        return 0;
    }
    std::printf("%s: failed, error %lu\n", tw_test::AsUtf8(step).c_str(), error);
    return 1;
}

std::wstring Arg(int argc, wchar_t** argv, int index, const wchar_t* fallback) {
    return index < argc ? argv[index] : fallback;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"install-monitor" && argc > 2) {
        return Report(L"install-monitor", tw_test::InstallMonitor(argv[2]));
    }
    if (command == L"add-driver") {
        return Report(L"add-driver", tw_test::AddPostScriptDriver(Arg(argc, argv, 2, tw_test::kDriverName)));
    }
    if (command == L"add-queue") {
        return Report(L"add-queue", tw_test::AddQueue(Arg(argc, argv, 2, tw_test::kQueueName),
                                                      Arg(argc, argv, 3, tw_test::kPortName),
                                                      Arg(argc, argv, 4, tw_test::kDriverName)));
    }
    if (command == L"delete-queue") {
        return Report(L"delete-queue", tw_test::DeleteQueue(Arg(argc, argv, 2, tw_test::kQueueName)));
    }
    if (command == L"print" && argc > 3) {
        const std::string bytes = tw_test::ReadFileBytes(argv[3]);
        const DWORD job = tw_test::PrintRaw(argv[2], Arg(argc, argv, 4, L"twspool document"), bytes);
        if (job == 0) return Report(L"print", GetLastError() ? GetLastError() : ERROR_GEN_FAILURE);
        std::printf("print: job %lu, %zu bytes\n", job, bytes.size());
        // Wine's spooler runs in this process, and so does the monitor's
        // editor launch: give it time to finish before the process ends.
        Sleep(3000);
        return 0;
    }
    std::printf("usage: twspool install-monitor DLL | add-driver [NAME] | add-queue [PRINTER] [PORT] [DRIVER]"
                " | delete-queue [PRINTER] | print PRINTER FILE [DOCUMENT]\n");
    return 2;
}
