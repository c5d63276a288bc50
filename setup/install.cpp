// "install": the whole virtual printer in one run — folders and settings, the
// monitor deployed and registered, its port, a spooler restart so that it is
// loaded, paper sizes, and the printer queue. Running it again over an
// installation is expected: every step accepts what is already there.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr wchar_t kPortsKeyPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon\\Ports";
constexpr DWORD kPauseBeforeSecondCopyMs = 1000;

constexpr DWORD kLargestMonitorFile = 64 * 1024 * 1024;

// The whole file, read through its handle; false when it cannot be read or is implausibly large.
bool ReadWholeFile(HANDLE file, std::string& bytes, FILETIME& written) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > kLargestMonitorFile ||
        !GetFileTime(file, nullptr, nullptr, &written)) {
        return false;
    }
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return bytes.empty() || (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                             read == bytes.size());
}

// The bytes as the destination's whole content, with the source's time as a
// copy would leave it; ERROR_SUCCESS or the error of the step that failed.
DWORD WriteWholeFile(const std::wstring& destination, const std::string& bytes, const FILETIME& written) {
    UniqueHandle file(CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return GetLastError();
    DWORD wrote = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr)) return GetLastError();
    if (wrote != bytes.size()) return ERROR_WRITE_FAULT;
    SetFileTime(file.get(), nullptr, nullptr, &written);  // only for show
    return ERROR_SUCCESS;
}

// The spooler holds a loaded monitor's file: the copy is tried once more with the spooler stopped.
bool CopyMonitorFile(const std::string& bytes, const FILETIME& written, const std::wstring& destination) {
    DWORD error = WriteWholeFile(destination, bytes, written);
    if (error == ERROR_SUCCESS) return true;
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_USER_MAPPED_FILE) {
        SetLastError(error);
        ReportLastError(L"CopyFile(TWPortMon.dll)");
        return false;
    }
    ControlSpooler(false);
    Sleep(kPauseBeforeSecondCopyMs);
    error = WriteWholeFile(destination, bytes, written);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        ReportLastError(L"CopyFile(TWPortMon.dll)");
    }
    ControlSpooler(true);
    return error == ERROR_SUCCESS;
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

bool DeployMonitor(HANDLE programFolder) {
    const std::wstring source = ModuleDirectory() + L"\\" + kMonitorFileName;
    const std::wstring destination = SystemDirectory() + L"\\" + kMonitorFileName;
    // Opened once, checked and read through this one handle: what is copied is what was checked.
    UniqueHandle shipped;
    const DWORD opened = OpenBelow(programFolder, kMonitorFileName, GENERIC_READ | READ_CONTROL, BelowOpen::File,
                                   shipped);
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) {
        PrintLine(L"  [!] %s が見つかりません (TWSetup.exe と同じフォルダに置いてください)", kMonitorFileName);
        return false;
    }
    ObjectSecurity security;
    if (opened != ERROR_SUCCESS || !IsIntendedFileBelow(shipped.get(), source, 1) ||
        !ReadSecurity(shipped.get(), security) || LetsOthersWrite(security, TrustedAccounts())) {
        PrintLine(L"  [!] %s は管理者以外も書き換えられるため、中止しました。Program Files の下に置いてください。",
                  source.c_str());
        return false;
    }
    std::string bytes;
    FILETIME written = {};
    if (!ReadWholeFile(shipped.get(), bytes, written)) {
        ReportLastError(source.c_str());
        return false;
    }
    // The spooler loads only a DLL of the computer's own kind; one for another
    // would fail later and less clearly, in AddMonitor.
    const USHORT native = NativeMachine();
    if (PeMachineOf(bytes) != native) {
        PrintLine(L"  [!] %s はこのコンピュータの種類 (%s) 用ではありません", source.c_str(), MachineName(native).c_str());
        return false;
    }
    // An uninstall's deletion still pending from before the next restart
    // would take the new monitor with it.
    if (ClearPendingOperationsOn(destination)) {
        PrintLine(L"  - %s の再起動時の削除予約を取り消しました", destination.c_str());
    }
    if (!CopyMonitorFile(bytes, written, destination)) return false;
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
    // Nothing is done from a folder that anyone else may change.
    const UniqueHandle programFolder = OpenProgramFolder();
    if (!programFolder) return kExitMonitorFailed;
    PrepareDataFolder();
    // A failed install puts the settings back: an installation that worked
    // before keeps naming its own editor.
    const SettingsSnapshot settingsBefore = TakeSettingsSnapshot();
    WriteEditorSettings(!options.noautolaunch);
    if (!DeployMonitor(programFolder.get())) {
        RestoreSettings(settingsBefore);
        return kExitMonitorFailed;
    }
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
        RestoreSettings(settingsBefore);
        return kExitPrinterFailed;
    }
    PrintLine(L"完了しました。");
    return kExitSuccess;
}
