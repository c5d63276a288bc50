// The printer queue TARNWICK-PRINTER: a driver that Windows ships (installed
// from ntprint.inf when it is missing) on the monitor's port, data type RAW.
#include "setup/setup.h"

#include "common/unique_handle.h"
#include "setup/listing.h"

namespace {

constexpr DWORD kWindowsFolderUnits = 260;

std::wstring WindowsFolder() {
    std::vector<wchar_t> buffer(kWindowsFolderUnits, L'\0');
    UINT length = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length >= buffer.size()) {  // too small: the length asked for counts the NUL
        buffer.assign(length, L'\0');
        length = GetWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    }
    return length < buffer.size() ? std::wstring(buffer.data(), length) : std::wstring();
}

// A value inside double quotes must not end its quoting early: a quote in it
// would, and so would a trailing backslash, which escapes the closing quote.
bool QuotesSafely(const std::wstring& value) {
    return value.find(L'"') == std::wstring::npos && (value.empty() || value.back() != L'\\');
}

LPWSTR Text(const wchar_t* text) {
    return const_cast<LPWSTR>(text);
}

}  // namespace

bool IsDriverInstalled(const std::wstring& driver) {
    const SpoolerList drivers = EnumerateDrivers();
    const DRIVER_INFO_2W* records = drivers.Records<DRIVER_INFO_2W>();
    const size_t fits = drivers.buffer.size() / sizeof(DRIVER_INFO_2W);
    for (size_t i = 0; i < drivers.count && i < fits; ++i) {
        if (records[i].pName != nullptr && EqualsIgnoringAsciiCase(records[i].pName, driver)) return true;
    }
    return false;
}

std::wstring DriverInstallCommandLine(const std::wstring& driver, const std::wstring& windowsFolder,
                                     const std::wstring& architecture) {
    if (!QuotesSafely(driver) || !QuotesSafely(windowsFolder)) return std::wstring();
    // /q: an error shows no message box, which in session 0 nobody could
    // close and which would hold the install for the whole time-out.
    return L"rundll32.exe printui.dll,PrintUIEntry /ia /q /m \"" + driver + L"\" /h \"" + architecture +
           L"\" /v \"Type 3 - User Mode\" /f \"" + windowsFolder + L"\\inf\\ntprint.inf\"";
}

bool EnsureDriver(const std::wstring& driver) {
    if (IsDriverInstalled(driver)) return true;

    // Such a name would hand printui options of its own; it is not run, and
    // the caller's check reports the driver as missing.
    // The driver of the computer's own kind: the spooler is a native process.
    const std::wstring commandLine = DriverInstallCommandLine(driver, WindowsFolder(), MachineName(NativeMachine()));
    if (commandLine.empty()) {
        PrintLine(L"  [!] ドライバ名 \"%s\" はコマンドラインに渡せません", driver.c_str());
        return true;
    }
    PrintLine(L"  - ドライバ \"%s\" を ntprint.inf から追加します...", driver.c_str());
    // Its exit code says nothing reliable: the driver list decides.
    RunAndWait(SystemProgramPath(L"rundll32.exe"), commandLine, kDriverInstallTimeoutMs);
    Sleep(kDriverSettleMs);
    return true;
}

PRINTER_INFO_2W PrinterQueueRecord(const std::wstring& driver, const std::wstring& port) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = Text(kQueueName);
    info.pPortName = Text(port.c_str());
    info.pDriverName = Text(driver.c_str());
    info.pComment = Text(L"TARNWICK-PRINTER 仮想プリンタ");
    info.pPrintProcessor = Text(L"WinPrint");
    info.pDatatype = Text(L"RAW");
    // Queued and local; never keep-printed-jobs, or finished jobs pile up.
    info.Attributes = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_LOCAL;
    return info;
}

bool CreatePrinterQueue(const std::wstring& driver, const std::wstring& port) {
    // An existing queue is left as it is, whatever its driver and port.
    {
        SpoolerPrinter existing;
        if (Spooler().OpenPrinterW(Text(kQueueName), existing.put(), nullptr)) {
            existing.reset();
            PrintLine(L"  - プリンタ %s は既に存在します", kQueueName);
            return true;
        }
    }

    EnsureDriver(driver);
    if (!IsPortListed(port)) {
        PrintLine(L"  [!] ポート %s がスプーラから見えていません", port.c_str());
        PrintLine(L"      TWPortMon.dll が読み込まれていない可能性があります。");
        ListPorts();
        return false;
    }
    if (!IsDriverInstalled(driver)) {
        PrintLine(L"  [!] ドライバ \"%s\" がインストールされていません", driver.c_str());
        ListInstalledDrivers();
        return false;
    }

    PRINTER_INFO_2W info = PrinterQueueRecord(driver, port);
    SpoolerPrinter created(Spooler().AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    if (!created) {
        ReportLastError(L"AddPrinter");
        PrintLine(L"      driver=\"%s\" port=\"%s\"", driver.c_str(), port.c_str());
        PrintLine(L"      PowerShell の Add-Printer での作成を試みます。");
        return false;
    }
    created.reset();
    PrintLine(L"  - プリンタ %s を作成しました (driver=%s / port=%s)", kQueueName, driver.c_str(), port.c_str());
    return true;
}
