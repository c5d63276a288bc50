// "install": the whole virtual printer in one run — folders and settings, the
// monitor deployed and registered, its port, a spooler restart so that it is
// loaded, paper sizes, and the printer queue. Running it again over an
// installation is expected: every step accepts what is already there.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr wchar_t kPortsKeyPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon\\Ports";
constexpr DWORD kPauseBeforeSecondCopyMs = 1000;

// The spooler holds a loaded monitor's file: the copy is tried once more with the spooler stopped.
bool CopyMonitorFile(const std::wstring& source, const std::wstring& destination) {
    if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
        ReportLastError(L"CopyFile(TWPortMon.dll)");
        return false;
    }
    ControlSpooler(false);
    Sleep(kPauseBeforeSecondCopyMs);
    const bool copied = CopyFileW(source.c_str(), destination.c_str(), FALSE) != FALSE;
    if (!copied) ReportLastError(L"CopyFile(TWPortMon.dll)");
    ControlSpooler(true);
    return copied;
}

// The monitor builds its port list from these subkeys when the spooler loads it.
void RegisterPort(const std::wstring& port) {
    UniqueKey ports;
    const LONG opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_WRITE, nullptr, ports.put(), nullptr);
    if (opened != ERROR_SUCCESS) {
        ReportRegistryError(opened, L"RegCreateKeyEx(Ports)");
        return;
    }
    UniqueKey subkey;
    const LONG created = RegCreateKeyExW(ports.get(), port.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                         nullptr, subkey.put(), nullptr);
    if (created != ERROR_SUCCESS) {
        ReportRegistryError(created, L"RegCreateKeyEx(port)");
        return;
    }
    PrintLine(L"  - ポート %s を登録しました", port.c_str());
}

bool QueueExists() {
    SpoolerPrinter printer;
    return Spooler().OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr) != FALSE;
}

}  // namespace

bool DeployMonitor() {
    const std::wstring source = ModuleDirectory() + L"\\" + kMonitorFileName;
    const std::wstring destination = SystemDirectory() + L"\\" + kMonitorFileName;
    if (GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PrintLine(L"  [!] %s が見つかりません (TWSetup.exe と同じフォルダに置いてください)", kMonitorFileName);
        return false;
    }
    // The spooler loads only a DLL of the computer's own kind; one for another
    // would fail later and less clearly, in AddMonitor.
    const USHORT native = NativeMachine();
    if (ReadFileMachine(source).machine != native) {
        PrintLine(L"  [!] %s はこのコンピュータの種類 (%s) 用ではありません", source.c_str(), MachineName(native).c_str());
        return false;
    }
    // An uninstall's deletion still pending from before the next restart
    // would take the new monitor with it.
    if (ClearPendingOperationsOn(destination)) {
        PrintLine(L"  - %s の再起動時の削除予約を取り消しました", destination.c_str());
    }
    if (!CopyMonitorFile(source, destination)) return false;
    PrintLine(L"  - %s を配置しました", destination.c_str());

    MONITOR_INFO_2W info = {const_cast<LPWSTR>(kMonitorName), nullptr, const_cast<LPWSTR>(kMonitorFileName)};
    if (Spooler().AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
        PrintLine(L"  - ポートモニタ %s を登録しました", kMonitorName);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PRINT_MONITOR_ALREADY_INSTALLED || error == ERROR_ALREADY_EXISTS) {
        PrintLine(L"  - ポートモニタは既に登録済みです");
        return true;
    }
    ReportLastError(L"AddMonitor");
    return false;
}

int Install(const InstallOptions& options) {
    PrintLine(L"== TARNWICK-PRINTER インストール ==");
    // The spooler would refuse the monitor anyway, later and with a bare
    // AddMonitor error: nothing is changed.
    const ProtectedPrintState protectedPrint = DecideProtectedPrint(ReadProtectedPrintValues());
    if (protectedPrint.on) {
        PrintLine(L"  [!] Windows の保護印刷モードがオンのため、ポートモニタ %s を使えません", kMonitorName);
        PrintLine(L"      HKLM\\%s : %s = %u", kProtectedPrintKeyPath, protectedPrint.valueName, protectedPrint.value);
        PrintLine(L"      保護印刷モードをオフにしてから、もう一度実行してください");
        return kExitMonitorFailed;
    }
    PrepareDataFolder();
    WarnIfProgramFolderIsOpen();
    WriteEditorSettings(!options.noautolaunch);
    if (!DeployMonitor()) return kExitMonitorFailed;
    RegisterPort(options.port);
    RestartSpooler();
    AddPaperForms();
    if (IsPortListed(options.port)) {
        PrintLine(L"  - ポート %s をスプーラが認識しました", options.port.c_str());
    } else {
        PrintLine(L"  [!] ポート %s がスプーラから見えていません", options.port.c_str());
    }
    if (QueueExists()) DisableKeepPrintedJobs(true);
    if (options.noprinter) {
        PrintLine(L"  - プリンタ作成は呼び出し側に任せます (/noprinter)");
    } else if (!CreatePrinterQueue(options.driver, options.port)) {
        return kExitPrinterFailed;
    }
    PrintLine(L"完了しました。");
    return kExitSuccess;
}
