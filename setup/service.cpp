// The print spooler service: install, uninstall and the "spooler" command
// restart it so that it loads the port monitor again.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr int kStatePolls = 60;           // at most 30 s in all
constexpr DWORD kStatePollPauseMs = 500;
constexpr DWORD kPauseAfterStopMs = 1000;
constexpr DWORD kPauseAfterStartMs = 1500;

// Ends early when the service reaches the state or cannot be queried; the
// result of the request is not changed by what the poll sees.
void WaitForServiceState(SC_HANDLE service, DWORD target) {
    for (int poll = 0; poll < kStatePolls; ++poll) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof(status), &needed)) {
            return;
        }
        if (status.dwCurrentState == target) return;
        if (poll + 1 < kStatePolls) Sleep(kStatePollPauseMs);
    }
}

}  // namespace

bool ControlSpooler(bool start) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ReportLastError(L"OpenSCManager");
        return false;
    }
    UniqueService service(OpenServiceW(manager.get(), kSpoolerServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        ReportLastError(L"OpenService(Spooler)");
        return false;
    }

    // A service already in the wanted state counts as success.
    bool accepted = false;
    if (start) {
        accepted = StartServiceW(service.get(), 0, nullptr) ||
                   GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    } else {
        SERVICE_STATUS status = {};
        accepted = ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ||
                   GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
    }

    WaitForServiceState(service.get(), start ? SERVICE_RUNNING : SERVICE_STOPPED);
    return accepted;
}

bool RestartSpooler() {
    PrintLine(L"  - Print Spooler を再起動します...");
    ControlSpooler(false);
    Sleep(kPauseAfterStopMs);
    const bool started = ControlSpooler(true);
    Sleep(kPauseAfterStartMs);
    return started;
}
