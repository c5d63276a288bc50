// "uninstall": removes the queue, the settings, the monitor's registration,
// its DLL and the launch task. Every step is tried whatever happened before;
// the data folder with its spool files and logs stays.
#include "setup/setup.h"

#include "common/unique_handle.h"

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

void UnregisterMonitor() {
    if (Spooler().DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitorName))) {
        PrintLine(L"  - ポートモニタを削除しました");
    } else {
        ReportLastError(L"DeleteMonitor");
    }
}

// Only after the spooler restart: until then the spooler may hold the file.
void DeleteMonitorFile() {
    const std::wstring path = SystemDirectory() + L"\\" + kMonitorFileName;
    if (DeleteFileW(path.c_str())) PrintLine(L"  - %s を削除しました", path.c_str());
}

// The task may not exist; schtasks then fails, and the line is printed all the same.
void DeleteLaunchTask() {
    const std::wstring commandLine = L"\"" + SystemDirectory() + L"\\schtasks.exe\" /delete /f /tn \"" +
                                     kLaunchTaskName + L"\"";
    DWORD exitCode = 0;
    if (StartAndWait(SystemProgramPath(L"schtasks.exe"), commandLine, 10000, exitCode)) PrintLine(L"  - 自動起動タスクを削除しました");
}

}  // namespace

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
