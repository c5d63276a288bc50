// Repairs for a queue whose jobs pile up: the attribute that keeps printed
// documents goes off, and the "cleanqueue" command deletes what is left.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

LPWSTR QueueName() {
    return const_cast<LPWSTR>(kQueueName);
}

}  // namespace

bool ClearKeepPrintedJobs(PRINTER_INFO_2W& printer) {
    if ((printer.Attributes & PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS) == 0) return false;
    printer.Attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS);
    // Written back without it, the queue's security stays as it is.
    printer.pSecurityDescriptor = nullptr;
    return true;
}

bool DisableKeepPrintedJobs(bool quiet) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    SpoolerPrinter printer;
    if (!Spooler().OpenPrinterW(QueueName(), printer.put(), &defaults) || !printer) {
        if (!quiet) ReportLastError(L"OpenPrinter (キュー設定の確認)");
        return false;
    }

    DWORD needed = 0;
    Spooler().GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
    // A queue whose settings cannot be read is a failure that the command
    // must show; only install's quiet check passes over it.
    if (needed == 0) {
        if (!quiet) ReportLastError(L"GetPrinter");
        return false;
    }
    std::vector<BYTE> buffer(needed, 0);
    if (!Spooler().GetPrinterW(printer.get(), 2, buffer.data(), needed, &needed)) {
        if (!quiet) ReportLastError(L"GetPrinter");
        return false;
    }

    // Every other field goes back as read, the device mode included.
    auto& info = *reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    if (!ClearKeepPrintedJobs(info)) {
        if (!quiet) PrintLine(L"  - 「印刷後にドキュメントを残す」: オフ (正常)");
        return true;
    }
    // A change, or a failure to change, is printed in quiet mode too.
    if (!Spooler().SetPrinterW(printer.get(), 2, buffer.data(), 0)) {
        ReportLastError(L"SetPrinter (KEEPPRINTEDJOBS の解除)");
        return false;
    }
    PrintLine(L"  - 「印刷後にドキュメントを残す」をオフにしました");
    return true;
}

BOOL PurgePrinter(HANDLE printer) {
    return Spooler().SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PURGE);
}

int CleanQueueWith(PurgeCall purge) {
    PrintLine(L"== キューの掃除 ==");
    {
        SpoolerPrinter printer;
        if (!Spooler().OpenPrinterW(QueueName(), printer.put(), nullptr)) {
            PrintLine(L"  [!] プリンタ %s がありません", kQueueName);
            return kExitFailure;
        }
    }

    // The purge is tried whatever happened to the attribute; every failure
    // stands in its own error line.
    DisableKeepPrintedJobs(false);
    {
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        SpoolerPrinter printer;
        if (!Spooler().OpenPrinterW(QueueName(), printer.put(), &defaults) || !printer) {
            ReportLastError(L"OpenPrinter (キューの消去)");
        } else if (purge(printer.get())) {
            PrintLine(L"  - キューに残っていたジョブを消しました");
        } else {
            ReportLastError(L"SetPrinter (PURGE)");
        }
    }
    PrintLine(L"完了しました。");
    return kExitSuccess;
}

int CleanQueue() {
    return CleanQueueWith(PurgePrinter);
}
