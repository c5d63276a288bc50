// "status": the short summary — the queue, the monitor's registration, the data folder.
#include "setup/setup.h"

#include "common/unique_handle.h"
#include "setup/enumerate.h"

std::vector<MonitorEntry> RegisteredMonitors() {
    std::vector<MonitorEntry> found;
    const SpoolerList list = EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumMonitorsW(nullptr, 2, buffer, size, needed, returned);
    });
    const auto* monitors = list.Records<MONITOR_INFO_2W>();
    for (DWORD i = 0; i < list.count; ++i) {
        if (monitors[i].pName == nullptr || !EqualsIgnoringAsciiCase(monitors[i].pName, kMonitorName)) continue;
        found.push_back({monitors[i].pName, monitors[i].pDLLName != nullptr ? monitors[i].pDLLName : L""});
    }
    return found;
}

int ShowStatus() {
    SpoolerPrinter printer;
    const bool exists = Spooler().OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr) != FALSE;
    printer.reset();
    PrintLine(L"プリンタ %s : %s", kQueueName, exists ? L"あり" : L"なし");

    // Shown in the letter case the spooler returns; nothing when not registered.
    for (const MonitorEntry& monitor : RegisteredMonitors()) {
        PrintLine(L"ポートモニタ %s : あり (%s)", monitor.name.c_str(), monitor.dll.c_str());
    }

    PrintLine(L"データフォルダ : %s", DataFolderPath().c_str());
    // Only when it is on, so that the summary of a working machine stays three lines.
    const ProtectedPrintState protectedPrint = DecideProtectedPrint(ReadProtectedPrintValues());
    if (protectedPrint.on) {
        PrintLine(L"保護印刷モード : %s", ProtectedPrintText(protectedPrint).c_str());
    }
    return kExitSuccess;
}
