// The library's entry: the spooler calls InitializePrintMonitor2 once when it
// loads the monitor and then reaches everything through the table it returns.
#include "portmon/monitor.h"

#include <cstring>

MonitorRecord g_monitor = {};

namespace {

MonitorTable g_table = {};

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        // Pinned for the life of the process. Every unload and load would
        // cost what the statically linked runtimes take per load and never
        // give back (libstdc++'s emergency exception pool, ~73 KB; the TLS
        // slot a first throw takes), and Wine's spooler unloads after every
        // job. The spooler's later loads find this copy and its state, which
        // InitializePrintMonitor2 starts afresh.
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(instance), &self);
    }
    return TRUE;
}

extern "C" MONITOR2* WINAPI InitializePrintMonitor2(MONITORINIT* pMonitorInit, PHANDLE phMonitor) {
    if (phMonitor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    ResetLaunchState();
    std::memcpy(g_monitor.signature, "TWMN", 4);
    g_monitor.monitorInit = pMonitorInit;
    g_monitor.spoolerHandle = pMonitorInit != nullptr ? pMonitorInit->hSpooler : nullptr;

    g_table.cbSize = sizeof(MonitorTable);
    g_table.pfnEnumPorts = &EnumPorts;
    g_table.pfnOpenPort = &OpenPort;
    g_table.pfnOpenPortEx = &OpenPortEx;
    g_table.pfnStartDocPort = &StartDocPort;
    g_table.pfnWritePort = &WritePort;
    g_table.pfnReadPort = &ReadPort;
    g_table.pfnEndDocPort = &EndDocPort;
    g_table.pfnClosePort = &ClosePort;
    g_table.pfnAddPort = &AddPort;
    g_table.pfnAddPortEx = &AddPortEx;
    g_table.pfnConfigurePort = &ConfigurePort;
    g_table.pfnDeletePort = &DeletePort;
    g_table.pfnGetPrinterDataFromPort = &GetPrinterDataFromPort;
    g_table.pfnSetPortTimeOuts = &SetPortTimeOuts;
    g_table.pfnXcvOpenPort = &XcvOpenPort;
    g_table.pfnXcvDataPort = &XcvDataPort;
    g_table.pfnXcvClosePort = &XcvClosePort;
    g_table.pfnShutdown = &Shutdown;
    g_table.pfnSendRecvBidiDataFromPort = nullptr;  // no bidirectional channel: the port is write-only
    g_table.pfnNotifyUsedPorts = nullptr;           // nothing is held per port between jobs
    g_table.pfnNotifyUnusedPorts = nullptr;         // likewise
    g_table.pfnPowerEvent = nullptr;                // every job is closed on disk; nothing to suspend

    try {
        // The default port comes back at every spooler start, even if someone deleted it.
        CreatePortKey(kDefaultPortName);
        // Have the data and spool folders in place before the first job.
        GetSpoolFolder();
    } catch (...) {
        // Out of memory at load: the monitor starts all the same.
    }

    *phMonitor = &g_monitor;
    MonitorLog(L"InitializePrintMonitor2");
    return reinterpret_cast<MONITOR2*>(&g_table);
}
