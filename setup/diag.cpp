// "diag": one long report along the whole chain a print job depends on, made
// to be copied whole and handed to whoever supports the installation. It only
// reads (but for the spool folder's write test) and never stops early.
#include "setup/setup.h"

#include "common/unique_handle.h"
#include "setup/enumerate.h"

namespace {

constexpr wchar_t kSeparator[] = L"--------------------------------------------------------------";
constexpr size_t kLogTailLines = 40;
constexpr DWORD kLogTailBytes = 65536;

const wchar_t* OrEmpty(const wchar_t* text) {
    return text != nullptr ? text : L"";
}

void PrintSeparator() {
    PrintLine(L"%s", kSeparator);
}

void ReportWindows() {
    RtlGetVersionFunction rtlGetVersion = nullptr;
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    }
    const WindowsVersion version = ReadWindowsVersion(rtlGetVersion);
    PrintLine(L"%s%u.%u build %u", ReportLabel(L"Windows").c_str(), version.major, version.minor, version.build);
}

// The spooler loads only a monitor of the computer's own kind.
void ReportMachines(const std::wstring& moduleDirectory) {
    PrintLine(L"%s%s", ReportLabel(L"コンピュータの種類").c_str(), MachineName(NativeMachine()).c_str());
    const std::wstring name = std::wstring(L"\\") + kMonitorFileName;
    PrintLine(L"%s%s", ReportLabel(L"TWPortMon.dll の種類").c_str(),
              MonitorMachinesText(ReadFileMachine(SystemDirectory() + name), ReadFileMachine(moduleDirectory + name))
                  .c_str());
}

// While it is on, the spooler loads no monitor but Windows' own.
void ReportProtectedPrint() {
    const ProtectedPrintState state = DecideProtectedPrint(ReadProtectedPrintValues());
    PrintLine(L"%s%s%s", ReportLabel(L"保護印刷モード").c_str(), ProtectedPrintText(state).c_str(),
              state.on ? L" ★TWPortMon は読み込まれません" : L"");
}

void ReportSpooler() {
    const std::wstring label = ReportLabel(L"スプーラ");
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        PrintLine(L"%s状態を取得できません", label.c_str());
        return;
    }
    UniqueService service(OpenServiceW(manager.get(), kSpoolerServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        PrintLine(L"%sサービスが見つかりません", label.c_str());
        return;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed)) {
        PrintLine(L"%s%s (pid %u)", label.c_str(), ServiceStateWord(status.dwCurrentState).c_str(),
                  status.dwProcessId);
    }
}

void ReportMonitorRegistration() {
    const std::wstring label = ReportLabel(L"ポートモニタ登録");
    const std::vector<MonitorEntry> monitors = RegisteredMonitors();
    for (const MonitorEntry& monitor : monitors) PrintLine(L"%sあり (%s)", label.c_str(), monitor.dll.c_str());
    if (monitors.empty()) PrintLine(L"%sありません", label.c_str());
}

void ReportRegistry() {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        PrintLine(L"%sHKLM\\%s がありません", ReportLabel(L"レジストリ").c_str(), kSettingsKeyPath);
        return;
    }
    std::wstring values[2];
    const wchar_t* const names[] = {L"InstallDir", L"EditorPath"};
    for (size_t i = 0; i < 2; ++i) {
        // Up to the first NUL and never past the buffer; the type is not checked.
        wchar_t data[1024 + 1] = {};
        DWORD size = 2048;
        if (RegQueryValueExW(key.get(), names[i], nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) ==
            ERROR_SUCCESS) {
            PrintLine(L"  %-12s      : %s", names[i], data);
            values[i] = data;
        } else {
            PrintLine(L"  %-12s      : ありません", names[i]);
        }
    }
    DWORD autoLaunch = 0;
    DWORD size = sizeof(autoLaunch);
    if (RegQueryValueExW(key.get(), L"AutoLaunch", nullptr, nullptr, reinterpret_cast<BYTE*>(&autoLaunch),
                         &size) == ERROR_SUCCESS) {
        PrintLine(L"  AutoLaunch        : %u (%s)", autoLaunch, autoLaunch != 0 ? L"有効" : L"無効");
    } else {
        PrintLine(L"  AutoLaunch        : ありません (既定は有効)");
    }
    // Where the monitor's file came from and the editor it starts in every user's session.
    if (!values[0].empty()) {
        WarnIfOthersCanWrite(values[0], {values[0] + L"\\" + kMonitorFileName, values[1]});
    }
}

void ReportEditorRunning() {
    const std::wstring label = ReportLabel(L"常駐アプリ");
    UniqueHandle running(OpenEventW(SYNCHRONIZE, FALSE, kRunningEventName));
    if (running) {
        PrintLine(L"%s起動中", label.c_str());
    } else {
        PrintLine(L"%s起動していません (印刷時に自動起動する対象)", label.c_str());
    }
}

}  // namespace

void ReportFile(const std::wstring& label, const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        PrintLine(L"%s : ありません (%s)", label.c_str(), path.c_str());
        return;
    }
    FILETIME local = {};
    SYSTEMTIME time = {};
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &time);
    PrintLine(L"%s : %u バイト  %04u-%02u-%02u %02u:%02u  (%s)", label.c_str(), data.nFileSizeLow, time.wYear,
              time.wMonth, time.wDay, time.wHour, time.wMinute, path.c_str());
}

void ReportPrinter() {
    const std::wstring label = ReportLabel(L"プリンタ");
    const SpoolerList list = EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, buffer, size,
                                       needed, returned);
    });
    if (list.state != SpoolerList::State::Listed) {
        PrintLine(L"%s一覧を取得できません", label.c_str());
        return;
    }
    bool found = false;
    const auto* printers = list.Records<PRINTER_INFO_2W>();
    for (DWORD i = 0; i < list.count; ++i) {
        const PRINTER_INFO_2W& printer = printers[i];
        if (printer.pPrinterName == nullptr || !EqualsIgnoringAsciiCase(printer.pPrinterName, kQueueName)) continue;
        found = true;
        PrintLine(L"%s%s", label.c_str(), printer.pPrinterName);
        PrintLine(L"%s%s", ReportLabel(L"  ドライバ").c_str(), OrEmpty(printer.pDriverName));
        PrintLine(L"%s%s", ReportLabel(L"  ポート").c_str(), OrEmpty(printer.pPortName));
        PrintLine(L"%s%s", ReportLabel(L"  印刷プロセッサ").c_str(), OrEmpty(printer.pPrintProcessor));
        PrintLine(L"%s%u", ReportLabel(L"  たまっているジョブ").c_str(), printer.cJobs);
        PrintLine(L"%s0x%08X%s", ReportLabel(L"  Status").c_str(), printer.Status,
                  PrinterStatusWords(printer.Status).c_str());
        PrintLine(L"%s0x%08X%s", ReportLabel(L"  Attributes").c_str(), printer.Attributes,
                  PrinterAttributeWords(printer.Attributes).c_str());
    }
    if (!found) PrintLine(L"%s%s がありません", label.c_str(), kQueueName);
}

void ReportJobs() {
    const std::wstring label = ReportLabel(L"ジョブ");
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    SpoolerPrinter printer;
    if (!Spooler().OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), &defaults) || !printer) {
        PrintLine(L"%sプリンタを開けません", label.c_str());
        return;
    }
    const HANDLE handle = printer.get();
    const SpoolerList list = EnumerateSpooler([handle](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumJobsW(handle, 0, 64, 2, buffer, size, needed, returned);
    });
    if (list.state == SpoolerList::State::NoSize) {
        PrintLine(L"%s0 件", label.c_str());
        return;
    }
    if (list.state == SpoolerList::State::Failed) return;
    PrintLine(L"%s%u 件", label.c_str(), list.count);
    const auto* jobs = list.Records<JOB_INFO_2W>();
    for (DWORD i = 0; i < list.count; ++i) PrintLine(L"%s", FormatJobLine(jobs[i]).c_str());
}

void ReportSpoolFolder() {
    const std::wstring dataFolder = DataFolderPath();
    const std::wstring folder = dataFolder + L"\\Spool";
    PrintLine(L"%s%s", ReportLabel(L"スプールフォルダ").c_str(), folder.c_str());
    if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PrintLine(L"  [!] フォルダがありません");
        return;
    }

    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry = {};
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        do {
            names.push_back(entry.cFileName);
        } while (FindNextFileW(find.get(), &entry));
    }
    find.reset();
    const SpoolCounts counts = CountSpoolFiles(names);
    PrintLine(L"%s.prn %d 件 / .ready %d 件 / 書きかけ .part %d 件", ReportLabel(L"  取り込み待ち").c_str(),
              counts.prn, counts.ready, counts.part);

    // A test file is never created and deleted through a planted link.
    if (IsReparsePoint(dataFolder) || IsReparsePoint(folder)) {
        PrintLine(L"%s確認しません (リンクになっています)", ReportLabel(L"  書き込み").c_str());
        return;
    }
    // Created new, so that nothing standing at the name (a file, a link, a
    // hard link) is ever opened: that fails with ERROR_FILE_EXISTS and is left
    // alone; a link is not followed either, so a dangling one never has its
    // target created. Deleted on close, through this handle only; if a folder was
    // swapped for a link meanwhile, the new file lands in the link's target,
    // the check below refuses it and the close removes it again.
    const std::wstring probe = folder + L"\\_write_test.tmp";
    UniqueHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT |
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                  nullptr));
    if (!file) {
        ReportLastError(L"スプールフォルダへ書き込めません");
        return;
    }
    // The probe lies three levels below the ProgramData root, which is taken as it is.
    const bool intended = IsIntendedFileBelow(file.get(), probe, 3);
    file.reset();
    if (!intended) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        ReportLastError(L"スプールフォルダへ書き込めません");
        return;
    }
    PrintLine(L"%sOK", ReportLabel(L"  書き込み").c_str());
}

void PrintLogTail(const std::wstring& path, size_t maximumLines) {
    // The report is pasted to others: it never carries a file that a user
    // pointed the log's name (or its folder's) at.
    if (IsReparsePoint(ParentFolder(path)) || IsReparsePoint(path)) {
        PrintLine(L"  (%s はリンクになっているため読みません)", path.c_str());
        return;
    }
    std::string bytes;
    {
        // Should the name lead to a named pipe after all, its server may only
        // identify this process, never act as it.
        UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                      nullptr));
        if (!file) {
            PrintLine(L"  (%s はまだありません)", path.c_str());
            return;
        }
        // The log lies two levels below the ProgramData root, which is taken as it is.
        if (!IsIntendedFileBelow(file.get(), path, 2)) {
            PrintLine(L"  (%s はリンクになっているため読みません)", path.c_str());
            return;
        }
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file.get(), &size)) size.QuadPart = 0;
        DWORD toRead = size.QuadPart > kLogTailBytes ? kLogTailBytes : static_cast<DWORD>(size.QuadPart);
        if (size.QuadPart > kLogTailBytes) {
            LARGE_INTEGER offset = {};
            offset.QuadPart = size.QuadPart - kLogTailBytes;
            SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
        }
        bytes.resize(toRead);
        DWORD read = 0;
        if (toRead == 0 || !ReadFile(file.get(), &bytes[0], toRead, &read, nullptr)) read = 0;
        bytes.resize(read);
    }
    const std::vector<std::wstring> lines = LogTailLines(bytes, maximumLines);
    for (const std::wstring& line : lines) PrintLine(L"  %s", line.c_str());
    if (lines.empty()) PrintLine(L"  (記録がありません)");
}

int RunDiagnostics() {
    const std::wstring moduleDirectory = ModuleDirectory();
    PrintLine(L"TARNWICK-PRINTER 診断");
    PrintSeparator();
    ReportWindows();
    ReportMachines(moduleDirectory);
    ReportSpooler();
    ReportProtectedPrint();
    PrintSeparator();
    ReportFile(FileLabel(L"TWPortMon.dll (System32)"), SystemDirectory() + L"\\" + kMonitorFileName);
    ReportFile(FileLabel(L"TWPortMon.dll (配布物)"), moduleDirectory + L"\\" + kMonitorFileName);
    ReportFile(FileLabel(L"編集アプリ"), moduleDirectory + L"\\" + kEditorFileName);
    ReportMonitorRegistration();
    PrintSeparator();
    ReportRegistry();
    PrintSeparator();
    ReportPrinter();
    ReportJobs();
    PrintSeparator();
    ReportSpoolFolder();
    ReportEditorRunning();
    PrintSeparator();
    PrintLine(L"ポートモニタのログ (末尾 %u 行)", static_cast<unsigned>(kLogTailLines));
    PrintLogTail(DataFolderPath() + L"\\portmon.log", kLogTailLines);
    PrintSeparator();
    PrintLine(L"※ このまま貼り付けて渡せば、どこで止まっているか判断できます。");
    return kExitSuccess;
}
