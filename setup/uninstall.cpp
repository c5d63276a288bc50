// "uninstall": removes the queue, the settings, the monitor's registration,
// its DLL and the launch task. Every step is tried whatever happened before;
// the data folder with its spool files and logs stays.
#include "setup/setup.h"

#include "common/unique_handle.h"
#include "setup/enumerate.h"

namespace {

void DeleteQueue() {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    SpoolerPrinter printer;
    if (!Spooler().OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), &defaults) || !printer) return;
    if (Spooler().DeletePrinter(printer.get())) {
        PrintLine(L"  - プリンタを削除しました");
    } else {
        ReportLastError(L"DeletePrinter");
    }
}

// The spooler refuses while a queue of the administrator's own still uses
// one of the monitor's ports, or a deleted queue still holds jobs: those
// queues are named, so that they can be moved. True when the monitor is no
// longer registered afterwards (also when it never was).
bool UnregisterMonitor(DeleteMonitorCall deleteMonitor) {
    if (deleteMonitor(nullptr, nullptr, const_cast<LPWSTR>(kMonitorName))) {
        PrintLine(L"  - ポートモニタを削除しました");
        return true;
    }
    const DWORD error = GetLastError();
    ReportLastError(L"DeleteMonitor");
    // "Unknown monitor" with nothing registered is the clean machine; any
    // other answer (the spooler unreachable, the monitor in use) may leave it registered.
    if (error == ERROR_UNKNOWN_PRINT_MONITOR && RegisteredMonitors().empty()) return true;
    std::wstring queues;
    for (const std::wstring& queue : QueuesOnMonitorPorts()) queues += (queues.empty() ? L"" : L", ") + queue;
    if (!queues.empty()) PrintLine(L"      %s のポートを使っているプリンタ: %s", kMonitorName, queues.c_str());
    return false;
}

// Only after the spooler restart: until then the spooler may hold the file.
// A file still held (loaded) cannot be deleted but can be renamed: it goes
// under a name of its own in the system folder, and that name is deleted when
// Windows starts next, so the pending deletion never meets a newer monitor
// that install puts at the old name.
void DeleteMonitorFile() {
    const std::wstring folder = SystemDirectory();
    const std::wstring path = folder + L"\\" + kMonitorFileName;
    if (DeleteFileW(path.c_str())) {
        PrintLine(L"  - %s を削除しました", path.c_str());
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
    wchar_t aside[MAX_PATH] = {};
    if (GetTempFileNameW(folder.c_str(), L"TWP", 0, aside) != 0) {
        if (MoveFileExW(path.c_str(), aside, MOVEFILE_REPLACE_EXISTING)) {
            if (MoveFileExW(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
                PrintLine(L"  [!] %s は使用中のため %s に名前を変え、次に Windows を起動したときに削除します",
                          path.c_str(), aside);
            } else {
                ReportLastError(L"MoveFileEx(TWPortMon.dll)");
            }
            return;
        }
        DeleteFileW(aside);
    }
    // Install drops this entry again before it puts a new monitor in place.
    if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
        PrintLine(L"  [!] %s は使用中のため、次に Windows を起動したときに削除します", path.c_str());
    } else {
        ReportLastError(L"MoveFileEx(TWPortMon.dll)");
    }
}

// The task may not exist; schtasks then fails, and the line is printed all the same.
void DeleteLaunchTask() {
    const std::wstring commandLine = L"\"" + SystemDirectory() + L"\\schtasks.exe\" /delete /f /tn \"" +
                                     kLaunchTaskName + L"\"";
    DWORD exitCode = 0;
    if (StartAndWait(SystemProgramPath(L"schtasks.exe"), commandLine, 10000, exitCode)) PrintLine(L"  - 自動起動タスクを削除しました");
}

}  // namespace

std::vector<std::wstring> QueuesOnPorts(const std::vector<QueuePorts>& queues, const std::vector<std::wstring>& ports) {
    const auto listed = [&ports](const std::wstring& port) {
        for (const std::wstring& name : ports) {
            if (!port.empty() && EqualsIgnoringAsciiCase(port, name)) return true;
        }
        return false;
    };
    std::vector<std::wstring> found;
    for (const QueuePorts& queue : queues) {
        // A queue may print to several ports: "A:,B:", blanks after the commas allowed.
        for (size_t start = 0;;) {
            const size_t comma = queue.ports.find(L',', start);
            std::wstring port = queue.ports.substr(start, comma - start);
            port.erase(0, port.find_first_not_of(L' '));
            if (listed(port)) {
                found.push_back(queue.queue);
                break;
            }
            if (comma == std::wstring::npos) break;
            start = comma + 1;
        }
    }
    return found;
}

std::vector<std::wstring> MonitorPorts() {
    std::vector<std::wstring> ports;
    const SpoolerList portList = EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumPortsW(nullptr, 2, buffer, size, needed, returned);
    });
    const auto* portRecords = portList.Records<PORT_INFO_2W>();
    for (DWORD i = 0; i < portList.count && i < portList.buffer.size() / sizeof(PORT_INFO_2W); ++i) {
        const PORT_INFO_2W& port = portRecords[i];
        if (port.pPortName != nullptr && port.pMonitorName != nullptr &&
            EqualsIgnoringAsciiCase(port.pMonitorName, kMonitorName)) {
            ports.push_back(port.pPortName);
        }
    }
    return ports;
}

std::vector<std::wstring> QueuesOnMonitorPorts() {
    const std::vector<std::wstring> ports = MonitorPorts();
    std::vector<QueuePorts> queues;
    const SpoolerList printerList = EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer, size, needed, returned);
    });
    const auto* printers = printerList.Records<PRINTER_INFO_2W>();
    for (DWORD i = 0; i < printerList.count && i < printerList.buffer.size() / sizeof(PRINTER_INFO_2W); ++i) {
        if (printers[i].pPrinterName == nullptr || printers[i].pPortName == nullptr) continue;
        queues.push_back({printers[i].pPrinterName, printers[i].pPortName});
    }
    return QueuesOnPorts(queues, ports);
}

int UninstallWith(DeleteMonitorCall deleteMonitor) {
    PrintLine(L"== TARNWICK-PRINTER アンインストール ==");
    DeleteQueue();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
    const bool unregistered = UnregisterMonitor(deleteMonitor);
    RestartSpooler();
    // A registered monitor without its file would leave the spooler loading
    // nothing and its queues without a port: the file stays with it.
    if (unregistered) {
        DeleteMonitorFile();
    } else {
        PrintLine(L"  [!] ポートモニタが登録されたままなので、%s は残します", kMonitorFileName);
    }
    DeleteLaunchTask();
    if (!unregistered) {
        PrintLine(L"  [!] ポートモニタの登録を外せないため、アンインストールを終えていません");
        PrintLine(L"      そのポートを使うプリンタを削除するかポートを変え、ジョブが残っていないことを確かめてから、もう一度実行してください");
        return kExitMonitorKept;
    }
    PrintLine(L"完了しました (ProgramData\\TarnwickPrinter は残しています)。");
    return kExitSuccess;
}

int Uninstall() {
    return UninstallWith(Spooler().DeleteMonitorW);
}
