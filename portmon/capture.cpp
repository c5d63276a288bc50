// Job capture: StartDocPort creates the job's .part file, WritePort appends
// the spooler's blocks unchanged, EndDocPort commits the file as .prn and
// hands the job over to the editor.
#include "portmon/monitor.h"

#define STRSAFE_NO_DEPRECATE

#include <cstring>

#include "common/unique_handle.h"

namespace {

void SetJobPaths(PortRecord& port, const std::wstring& folder, const std::wstring& stamp) {
    port.jobBasePath = folder + L"\\job_" + stamp;
    port.partPath = port.jobBasePath + L".part";
}

// A port whose previous job never reached EndDocPort: its .part stays on disk
// as an unfinished job, as after a spooler stop, and its handle is not leaked.
void AbandonOpenJob(PortRecord& port, JobCallScope& call) {
    if (port.file == INVALID_HANDLE_VALUE) return;
    CloseHandle(port.file);
    port.file = INVALID_HANDLE_VALUE;
    MonitorLogIn(&call, L"前のジョブが終わらないまま次のジョブが始まりました。書きかけのファイルを残します: %s",
               port.partPath.c_str());
}

BOOL StartJob(PortRecord& port, JobCallScope& call, LPWSTR printerName, DWORD jobId, DWORD level,
              LPBYTE docInfo) {
    AbandonOpenJob(port, call);

    port.jobId = jobId;
    if (printerName != nullptr) port.printerName = printerName;
    port.documentName.clear();
    port.userName.clear();
    port.machineName.clear();
    port.bytesWritten = 0;
    port.writeFailed = false;
    port.lastWriteError = ERROR_SUCCESS;

    // pDocName is the first member of DOC_INFO_1, DOC_INFO_2 and DOC_INFO_3.
    if (docInfo != nullptr && level >= 1 && level <= 3) {
        const wchar_t* docName = nullptr;
        std::memcpy(&docName, docInfo, sizeof(docName));
        if (docName != nullptr) port.documentName = docName;
    }
    FillJobInfo(port);

    SYSTEMTIME now = {};
    GetLocalTime(&now);
    const std::wstring stamp = FormatJobStamp(now, jobId);

    bool spoolRefused = false;
    const std::wstring spoolFolder = GetSpoolFolder(&spoolRefused, &call);
    SetJobPaths(port, spoolFolder, stamp);
    DWORD error = ERROR_SUCCESS;
    if (spoolRefused) {
        // As if the spool folder could not be created: nothing is tried inside a link.
        error = kRefusedLinkError;
    } else {
        port.file = CreateJobFile(port.partPath, &call);
        if (port.file == INVALID_HANDLE_VALUE) error = GetLastError();
    }
    if (port.file == INVALID_HANDLE_VALUE) {
        MonitorLogIn(&call, L"スプールファイルを作れません: %s (err=%u) — 一時フォルダに切り替えます",
                   port.partPath.c_str(), error);
        const std::wstring fallback = PrepareTempFallbackFolder(&call);
        if (!fallback.empty()) {
            SetJobPaths(port, fallback, stamp);
            port.file = CreateJobFile(port.partPath, &call);
            if (port.file == INVALID_HANDLE_VALUE) error = GetLastError();
        }
    }

    const bool ok = port.file != INVALID_HANDLE_VALUE;
    MonitorLogIn(&call, L"StartDocPort job=%u doc=%s user=%s file=%s ok=%d", jobId, port.documentName.c_str(),
               port.userName.c_str(), port.partPath.c_str(), ok ? 1 : 0);
    if (!ok) SetLastError(error);
    return ok ? TRUE : FALSE;
}

void CloseJobFile(PortRecord& port) {
    if (port.file == INVALID_HANDLE_VALUE) return;
    CloseHandle(port.file);
    port.file = INVALID_HANDLE_VALUE;
}

// The job's folder, checked again by path right before a rename or delete in it.
bool IsJobFolderStillPlain(const PortRecord& port, JobCallScope& call) {
    const std::wstring folder = port.jobBasePath.substr(0, port.jobBasePath.find_last_of(L"\\/"));
    std::wstring link;
    if (PrepareFolderChain(TrustedRootOf(folder), folder, link, &call) != FolderState::Link) return true;
    MonitorLogIn(&call, kLinkRefusedFormat, link.c_str());
    return false;
}

// Renames the job's .part to .prn, in the folder it was created in, through
// a handle that holds it. An earlier .prn of that name is deleted first, and
// only when it is a plain file of its own in that folder.
bool CommitJobFile(PortRecord& port, JobCallScope& call, HANDLE held, const std::wstring& prnPath,
                   DWORD& error) {
    if (!IsJobFolderStillPlain(port, call)) {
        error = kRefusedLinkError;
        return false;
    }
    RenameOutcome renamed = RenameHeldFile(held, prnPath, error, &call);
    if (renamed == RenameOutcome::TargetExists) {
        const RemovalOutcome removed = RemoveCheckedFile(prnPath, error, &call);
        if (removed == RemovalOutcome::Refused) {
            MonitorLogIn(&call, kLinkRefusedFormat, prnPath.c_str());
            error = kRefusedLinkError;
            return false;
        }
        // What stands there cannot be replaced: its own error says why.
        if (removed == RemovalOutcome::Failed) return false;
        renamed = RenameHeldFile(held, prnPath, error, &call);
    }
    if (renamed == RenameOutcome::Refused) MonitorLogIn(&call, kLinkRefusedFormat, prnPath.c_str());
    return renamed == RenameOutcome::Done;
}

// Takes a failed block back out of the .part, so that the file holds exactly
// the blocks accepted before it and the spooler's retry of the same block
// continues the job byte for byte.
void TrimToAcceptedBytes(PortRecord& port) {
    LARGE_INTEGER accepted = {};
    accepted.QuadPart = static_cast<LONGLONG>(port.bytesWritten);
    if (SetFilePointerEx(port.file, accepted, nullptr, FILE_BEGIN)) SetEndOfFile(port.file);
}

}  // namespace

std::wstring FormatJobStamp(const SYSTEMTIME& localTime, DWORD jobId) {
    wchar_t stamp[64] = {};
    FormatText(stamp, 64, L"%04u%02u%02u_%02u%02u%02u_%03u_%u", localTime.wYear,
                     localTime.wMonth, localTime.wDay, localTime.wHour, localTime.wMinute,
                     localTime.wSecond, localTime.wMilliseconds, jobId);
    return stamp;
}

HANDLE CreateJobFile(const std::wstring& path, JobCallScope* call) {
    const CheckedOpen opened = OpenCheckedFile(path, GENERIC_WRITE, FILE_SHARE_READ, false, call);
    if (opened.handle == INVALID_HANDLE_VALUE) {
        if (opened.refused) MonitorLogIn(call, kLinkRefusedFormat, path.c_str());
        SetLastError(opened.error);
        return INVALID_HANDLE_VALUE;
    }
    // A file of that name that was there already is emptied only now that it has been checked.
    if (!opened.created && !SetEndOfFile(opened.handle)) {
        const DWORD error = GetLastError();
        CloseHandle(opened.handle);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return opened.handle;
}

namespace {

// The job's level-1 information as the spooler has it, handed to `use`;
// nothing happens when there is no printer, no job id or no answer.
template <typename Use>
void ReadJobInfo(const PortRecord& port, Use use) {
    if (port.printerName.empty() || port.jobId == 0) return;

    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    UniquePrinter printer;
    std::wstring printerName = port.printerName;
    if (!OpenPrinterW(&printerName[0], printer.put(), &defaults) || !printer) return;

    DWORD needed = 0;
    GetJobW(printer.get(), port.jobId, 1, nullptr, 0, &needed);
    if (needed == 0) return;
    std::vector<BYTE> buffer(needed, 0);
    if (!GetJobW(printer.get(), port.jobId, 1, buffer.data(), needed, &needed)) return;
    use(*reinterpret_cast<const JOB_INFO_1W*>(buffer.data()));
}

}  // namespace

void FillJobInfo(PortRecord& port) {
    ReadJobInfo(port, [&port](const JOB_INFO_1W& info) {
        if (info.pUserName != nullptr) port.userName = info.pUserName;
        if (info.pMachineName != nullptr) port.machineName = info.pMachineName;
        // A name from the document information of StartDocPort wins.
        if (info.pDocument != nullptr && port.documentName.empty()) port.documentName = info.pDocument;
    });
}

bool IsCancelledJobStatus(DWORD status) {
    return (status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED | JOB_STATUS_ERROR)) != 0;
}

bool IsJobCancelled(const PortRecord& port) {
    bool cancelled = false;
    ReadJobInfo(port, [&cancelled](const JOB_INFO_1W& info) { cancelled = IsCancelledJobStatus(info.Status); });
    return cancelled;
}

BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo) {
    if (!IsValidPortHandle(hPort)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PortRecord& port = *static_cast<PortRecord*>(hPort);
    JobCallScope call;
    PortLock lock(port);
    try {
        return StartJob(port, call, pPrinterName, JobId, Level, pDocInfo);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    if (!IsValidPortHandle(hPort)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (pcbWritten != nullptr) *pcbWritten = 0;
    PortRecord& port = *static_cast<PortRecord*>(hPort);
    PortLock lock(port);
    if (port.file == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (pBuffer == nullptr && cbBuf != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD written = 0;
    const BOOL wrote = WriteFile(port.file, pBuffer, cbBuf, &written, nullptr);
    if (wrote && written == cbBuf) {
        port.bytesWritten += written;
        port.lastWriteError = ERROR_SUCCESS;
        if (pcbWritten != nullptr) *pcbWritten = written;
        return TRUE;
    }
    // A block is taken whole or not at all; a short write means a full volume.
    const DWORD error = wrote ? static_cast<DWORD>(ERROR_DISK_FULL) : GetLastError();
    TrimToAcceptedBytes(port);
    port.lastWriteError = error;
    if (!port.writeFailed) {
        port.writeFailed = true;
        MonitorLog(L"スプールファイルに書き込めません: %s (err=%u)", port.partPath.c_str(), error);
    }
    SetLastError(error);
    return FALSE;
}

BOOL WINAPI ReadPort(HANDLE, LPBYTE, DWORD, LPDWORD pcbRead) {
    // The port is write-only: no status or data ever flows back.
    if (pcbRead != nullptr) *pcbRead = 0;
    return TRUE;
}

BOOL WINAPI EndDocPort(HANDLE hPort) {
    if (!IsValidPortHandle(hPort)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    PortRecord& port = *static_cast<PortRecord*>(hPort);
    // Also covers the launch trigger's log line, which belongs to this call.
    JobCallScope call;
    BOOL result = FALSE;
    bool committed = true;  // what the log line says, where a cancelled job differs from `result`
    DWORD error = ERROR_SUCCESS;
    bool launchWanted = false;
    std::wstring launchUser;
    {
        PortLock lock(port);
        try {
            // The file itself stays held: the commit renames it, or an empty
            // job deletes it, through a handle, never by path.
            UniqueHandle held;
            if (port.file != INVALID_HANDLE_VALUE) {
                FlushFileBuffers(port.file);
                held = HoldFile(port.file);
                if (!held) error = GetLastError();
            }
            CloseJobFile(port);
            // The spooler may not have had the job information ready at the start.
            if (port.userName.empty()) FillJobInfo(port);

            const std::wstring prnPath = port.jobBasePath + L".prn";
            if (IsJobCancelled(port)) {
                // Deleted in the queue (or failed there) while it printed: its
                // data may be cut short. It stays a .part that nobody is told
                // of, and the spooler hears that the port is done with it.
                result = TRUE;
                committed = false;
            } else if (port.lastWriteError != ERROR_SUCCESS) {
                // The spooler gave up on a refused block (the job was deleted
                // in the queue, say): the data is known to be short. It stays
                // a .part, as any job that was not committed, and nobody is
                // told of it.
                error = port.lastWriteError;
            } else if (port.bytesWritten == 0) {
                // An empty job leaves no file behind. A start that failed created nothing to delete.
                if (held && IsJobFolderStillPlain(port, call)) DeleteHeldFile(held.get());
                result = TRUE;
            } else if (!held || !CommitJobFile(port, call, held.get(), prnPath, error)) {
                MonitorLogIn(&call, L"スプールファイルを確定できません: %s → %s (err=%u)", port.partPath.c_str(),
                           prnPath.c_str(), error);
            } else {
                held.reset();
                // Descriptor first, marker last: a reader that sees .ready finds the rest complete.
                WriteJobDescriptor(port, port.jobBasePath + L".json", prnPath, &call);
                WriteReadyMarker(port.jobBasePath + L".ready", &call);
                result = TRUE;
                launchWanted = true;
            }
        } catch (...) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        }
        CloseJobFile(port);
        MonitorLogIn(&call, L"EndDocPort job=%u bytes=%llu ok=%d", port.jobId,
                   static_cast<unsigned long long>(port.bytesWritten), result && committed ? 1 : 0);
        try {
            launchUser = port.userName;
        } catch (...) {
            // The launch goes ahead without the user's name; it then picks the first active session.
        }
        port.jobId = 0;
        port.bytesWritten = 0;
        port.lastWriteError = ERROR_SUCCESS;
    }
    // Outside the port's lock: the trigger only starts a thread and returns.
    if (launchWanted) TriggerEditorLaunch(launchUser, &call);
    if (!result) SetLastError(error);
    return result;
}
