#include "tests/support/spooler.h"

#include <winspool.h>

#include <algorithm>
#include <vector>

#include "common/unique_handle.h"
#include "tests/support/files.h"

namespace tw_test {

namespace {

// The smallest PPD that Wine's PostScript driver accepts.
const char kGenericPpd[] =
    "*PPD-Adobe: \"4.3\"\n"
    "*FormatVersion: \"4.3\"\n"
    "*FileVersion: \"1.0\"\n"
    "*LanguageVersion: English\n"
    "*LanguageEncoding: ISOLatin1\n"
    "*PCFileName: \"GENERIC.PPD\"\n"
    "*Manufacturer: \"Generic\"\n"
    "*Product: \"(Generic)\"\n"
    "*ModelName: \"Generic PostScript Printer\"\n"
    "*ShortNickName: \"Generic PostScript Printer\"\n"
    "*NickName: \"Generic PostScript Printer\"\n"
    "*PSVersion: \"(3010.000) 0\"\n"
    "*LanguageLevel: \"3\"\n"
    "*ColorDevice: True\n"
    "*DefaultColorSpace: RGB\n"
    "*DefaultPageSize: A4\n"
    "*PageSize A4/A4: \"<</PageSize[595 842]>>setpagedevice\"\n"
    "*DefaultImageableArea: A4\n"
    "*ImageableArea A4/A4: \"0 0 595 842\"\n"
    "*DefaultPaperDimension: A4\n"
    "*PaperDimension A4/A4: \"595 842\"\n";

DWORD ErrorOf(BOOL ok) {
    return ok ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

DWORD InstallMonitor(const std::wstring& sourceDll) {
    const std::wstring target = SystemFolder() + L"\\TWPortMon.dll";
    if (!CopyFileW(sourceDll.c_str(), target.c_str(), FALSE)) return GetLastError();
    MONITOR_INFO_2W info = {const_cast<LPWSTR>(L"TWPortMon"), nullptr,
                            const_cast<LPWSTR>(L"TWPortMon.dll")};
    if (AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_PRINT_MONITOR_ALREADY_INSTALLED ? ERROR_SUCCESS : error;
}

DWORD RemoveMonitor() {
    return ErrorOf(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(L"TWPortMon")));
}

DWORD AddPostScriptDriver(const std::wstring& name) {
    const std::wstring folder = MakeTempFolder(L"ppd");
    const std::wstring ppd = folder + L"\\generic.ppd";
    if (!WriteFileBytes(ppd, kGenericPpd)) return GetLastError();
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(name.c_str());
    info.pDriverPath = const_cast<LPWSTR>(L"wineps.drv");
    info.pDataFile = const_cast<LPWSTR>(ppd.c_str());
    info.pConfigFile = const_cast<LPWSTR>(L"wineps.drv");
    info.pDefaultDataType = const_cast<LPWSTR>(L"RAW");
    const DWORD result =
        ErrorOf(AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&info), APD_COPY_NEW_FILES));
    RemoveTree(folder);  // the spooler keeps its own copy
    return result;
}

bool IsDriverListed(const std::wstring& name) {
    DWORD needed = 0, count = 0;
    EnumPrinterDriversW(nullptr, nullptr, 2, nullptr, 0, &needed, &count);
    if (needed == 0) return false;
    std::vector<BYTE> buffer(needed);
    if (!EnumPrinterDriversW(nullptr, nullptr, 2, buffer.data(), needed, &needed, &count)) return false;
    const auto* drivers = reinterpret_cast<const DRIVER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (drivers[i].pName != nullptr && _wcsicmp(drivers[i].pName, name.c_str()) == 0) return true;
    }
    return false;
}

DWORD AddQueue(const std::wstring& printer, const std::wstring& port, const std::wstring& driver) {
    PRINTER_INFO_2W info = {};
    info.pPrinterName = const_cast<LPWSTR>(printer.c_str());
    info.pPortName = const_cast<LPWSTR>(port.c_str());
    info.pDriverName = const_cast<LPWSTR>(driver.c_str());
    info.pPrintProcessor = const_cast<LPWSTR>(L"WinPrint");
    info.pDatatype = const_cast<LPWSTR>(L"RAW");
    info.Attributes = PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_LOCAL;
    UniquePrinter handle(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
    if (handle) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error == ERROR_PRINTER_ALREADY_EXISTS ? ERROR_SUCCESS : error;
}

DWORD DeleteQueue(const std::wstring& printer) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    UniquePrinter handle;
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.put(), &defaults)) return GetLastError();
    return ErrorOf(DeletePrinter(handle.get()));
}

bool SpoolerRunning() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueService service(OpenServiceW(manager.get(), L"Spooler", SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    return service && QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}

void StopSpooler() {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueService service(OpenServiceW(manager.get(), L"Spooler", SERVICE_ALL_ACCESS));
    SERVICE_STATUS status = {};
    if (service) ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
}

DWORD PrintRaw(const std::wstring& printer, const std::wstring& document, const std::string& bytes) {
    UniquePrinter handle;
    if (!OpenPrinterW(const_cast<LPWSTR>(printer.c_str()), handle.put(), nullptr)) return 0;
    DOC_INFO_1W doc = {const_cast<LPWSTR>(document.c_str()), nullptr, const_cast<LPWSTR>(L"RAW")};
    const DWORD job = StartDocPrinterW(handle.get(), 1, reinterpret_cast<LPBYTE>(&doc));
    if (job == 0) return 0;
    size_t offset = 0;
    while (offset < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 65536));
        DWORD written = 0;
        if (!WritePrinter(handle.get(), const_cast<char*>(bytes.data() + offset), chunk, &written) ||
            written == 0) {
            const DWORD error = GetLastError();
            EndDocPrinter(handle.get());
            SetLastError(error);
            return 0;
        }
        offset += written;
    }
    if (!EndDocPrinter(handle.get())) return 0;
    return job;
}

}  // namespace tw_test
