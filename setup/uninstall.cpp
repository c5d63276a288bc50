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
// one of the monitor's ports: those are named, so that they can be moved.
void UnregisterMonitor() {
    if (Spooler().DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitorName))) {
        PrintLine(L"  - ポートモニタを削除しました");
        return;
    }
    ReportLastError(L"DeleteMonitor");
    std::wstring queues;
    for (const std::wstring& queue : QueuesOnMonitorPorts()) queues += (queues.empty() ? L"" : L", ") + queue;
    if (!queues.empty()) PrintLine(L"      %s のポートを使っているプリンタ: %s", kMonitorName, queues.c_str());
}

// Only after the spooler restart: until then the spooler may hold the file.
// Held all the same, it goes when Windows starts next.
void DeleteMonitorFile() {
    const std::wstring path = SystemDirectory() + L"\\" + kMonitorFileName;
    if (DeleteFileW(path.c_str())) {
        PrintLine(L"  - %s を削除しました", path.c_str());
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
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

std::vector<std::wstring> QueuesOnMonitorPorts() {
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

int Uninstall() {
    PrintLine(L"== TARNWICK-PRINTER アンインストール ==");
    DeleteQueue();
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
    UnregisterMonitor();
    RestartSpooler();
    DeleteMonitorFile();
    DeleteLaunchTask();
    PrintLine(L"完了しました (ProgramData\\TarnwickPrinter は残しています)。");
    return kExitSuccess;
}
