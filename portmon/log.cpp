// The monitor's one report channel: each message goes to the debugger output
// and, as one timestamped UTF-8 line, to portmon.log in the data folder.
// Logging never changes the outcome of a spooler call and never raises.
#include "portmon/monitor.h"


#define STRSAFE_NO_DEPRECATE

#include "common/unique_handle.h"

namespace {

constexpr size_t kLineChars = 2048;  // at most 2047 characters of line

SRWLOCK g_logLock = SRWLOCK_INIT;
// The thread that holds g_logLock, 0 when none.
std::atomic<DWORD> g_logLockHolder{0};
// Taken, never waited for, by the one thread that rotates the log.
SRWLOCK g_rotationLock = SRWLOCK_INIT;
// Counts each start and end of a rotation in this process: odd while one runs.
std::atomic<unsigned> g_rotations{0};
// How often a line retries an open that this process's own rotation turned
// away; each retry waits a millisecond.
constexpr int kRotationRetries = 20;
// Lines lost since the last line written because the log was busy: another
// process held it without sharing, or opening it would have broken someone's oplock.
std::atomic<unsigned> g_busyDrops{0};

// A refusal met while writing a log line, in the line's own words.
std::wstring LinkRefusal(const std::wstring& path) {
    wchar_t message[kLogMessageChars];
    FormatText(message, kLogMessageChars, kLinkRefusedFormat, path.c_str());
    return message;
}

// One message to the debugger output, prefixed and ended as a line, in one
// call: a single output costs a third of three, and cannot be interleaved with
// another thread's message.
void SendToDebugger(const wchar_t* message) {
    wchar_t line[kLogMessageChars + 16];
    FormatText(line, ARRAYSIZE(line), L"[TWPortMon] %s\r\n", message);
    OutputDebugStringW(line);
}

// A line that cannot go to the file because of a link: the refusal goes to the
// debugger output, which already has the line itself (unless the line is that
// very refusal).
void ReportDroppedLine(const wchar_t* message, const std::wstring& path) {
    const std::wstring refusal = LinkRefusal(path);
    if (refusal == message) return;
    SendToDebugger(refusal.c_str());
}

// Moves a large log to portmon.log.old, both checked on their handles: the old
// generation is deleted and the log renamed only when each is a plain file of
// its own in the data folder, and only when the log at that name is still due
// (another thread may have moved it meanwhile). Returns true when the log was
// moved; `refused` names a file that was a link (nothing was then deleted or
// renamed).
bool RotateLog(const std::wstring& logPath, std::wstring& refused) {
    const std::wstring oldPath = logPath + L".old";
    // Held for attributes only: other writers go on appending meanwhile.
    UniqueHandle log(OpenDataPath(logPath, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (!log) return false;
    if (!IsIntendedFile(log.get(), logPath)) {
        refused = logPath;
        return false;
    }
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(log.get(), &size) || static_cast<std::uint64_t>(size.QuadPart) <= kLogRotateAbove) return false;
    DWORD error = ERROR_SUCCESS;
    if (RemoveCheckedFile(oldPath, error) == RemovalOutcome::Refused) {
        refused = oldPath;
        return false;
    }
    // No replace: when the old generation could not be deleted, or another
    // writer holds the log without delete sharing just now, the line goes on
    // to the large file and the next line tries again.
    switch (RenameHeldFile(log.get(), oldPath, error)) {
        case RenameOutcome::Done:
            return true;
        case RenameOutcome::Refused:
            refused = oldPath;
            return false;
        default:
            return false;
    }
}

// Appends the message's line to an open, checked log; `refused` names an old
// generation the rotation found to be a link, said on a line of its own first,
// after the count of lines a busy log lost.
void WriteLine(HANDLE log, const std::wstring& refused, const wchar_t* message) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    std::string bytes;
    if (const unsigned dropped = g_busyDrops.exchange(0)) {
        wchar_t count[kLogMessageChars];
        FormatText(count, kLogMessageChars, kBusyLogDropsFormat, dropped);
        bytes = ToUtf8(FormatLogLine(now, GetCurrentProcessId(), count));
    }
    if (!refused.empty()) {
        const std::wstring refusal = LinkRefusal(refused);
        SendToDebugger(refusal.c_str());
        bytes += ToUtf8(FormatLogLine(now, GetCurrentProcessId(), refusal.c_str()));
    }
    bytes += ToUtf8(FormatLogLine(now, GetCurrentProcessId(), message));
    if (bytes.empty()) return;
    DWORD written = 0;
    WriteFile(log, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string();
    std::string result(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &result[0], bytes, nullptr, nullptr) != bytes) {
        return std::string();
    }
    return result;
}

std::wstring FormatLogLine(const SYSTEMTIME& localTime, DWORD processId, const wchar_t* message) {
    // One message is one line: a CR or LF in it (a document name may hold
    // any) becomes a blank, so no one can add lines of their own to the log.
    std::wstring text = message != nullptr ? message : L"";
    for (wchar_t& unit : text) {
        if (unit == L'\r' || unit == L'\n') unit = L' ';
    }
    wchar_t line[kLineChars];
    // The message is an argument, never a format: a % in a document name stays literal.
    FormatText(line, kLineChars, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  [pid %u]  %s\r\n",
               localTime.wYear, localTime.wMonth, localTime.wDay, localTime.wHour, localTime.wMinute,
               localTime.wSecond, localTime.wMilliseconds, processId, text.c_str());
    return line;
}

LogLock::LogLock() {
    AcquireSRWLockExclusive(&g_logLock);
    g_logLockHolder.store(GetCurrentThreadId());
}

LogLock::~LogLock() {
    g_logLockHolder.store(0);
    ReleaseSRWLockExclusive(&g_logLock);
}

void ReleaseLogLockHeldByThisThread() {
    if (g_logLockHolder.load() != GetCurrentThreadId()) return;
    g_logLockHolder.store(0);
    ReleaseSRWLockExclusive(&g_logLock);
}

namespace {

// Opens the log to append, checked. A refusal is reported, a busy log counted;
// either way no handle.
UniqueHandle OpenLog(const std::wstring& logPath, bool existingFirst, const wchar_t* message) {
    CheckedOpen opened;
    for (int attempt = 0;; ++attempt) {
        const unsigned rotations = g_rotations.load();
        opened = OpenCheckedFile(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, existingFirst);
        // The rename of a rotation in this process holds the log with delete
        // access for a moment: that is waited out, a user's hold never is.
        const bool ownRotation = (rotations & 1) != 0 || g_rotations.load() != rotations;
        if (opened.handle != INVALID_HANDLE_VALUE || opened.error != ERROR_SHARING_VIOLATION || !ownRotation ||
            attempt == kRotationRetries) {
            break;
        }
        Sleep(1);
    }
    if (opened.handle == INVALID_HANDLE_VALUE) {
        if (opened.refused) ReportDroppedLine(message, logPath);
        if (IsBusyError(opened.error)) ++g_busyDrops;
    }
    return UniqueHandle(opened.handle);
}

bool IsDueForRotation(HANDLE log) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(log, &size) && static_cast<std::uint64_t>(size.QuadPart) > kLogRotateAbove;
}

}  // namespace

void AppendLogLine(const wchar_t* message, JobCallScope* call) {
    try {
        const std::wstring root = GetProgramDataRoot();
        const std::wstring dataFolder = root + L"\\" + kDataFolderName;
        std::wstring link;
        const FolderState folder = PrepareFolderChain(root, dataFolder, link, call);
        if (folder != FolderState::Ready) {
            if (folder == FolderState::Link) ReportDroppedLine(message, link);
            return;
        }
        const std::wstring logPath = dataFolder + L"\\" + kLogFileName;

        // A later line of a job call goes to the log its first line opened and
        // checked, held since without delete sharing; once that log is due for
        // rotation it is closed and the line takes the way by path.
        if (HANDLE kept = call != nullptr ? call->KeptLog(logPath) : nullptr) {
            if (!IsDueForRotation(kept)) {
                LogLock lock;
                WriteLine(kept, std::wstring(), message);
                return;
            }
            call->DropLog();
        }
        // Opened, checked and rotated before the lock is taken: no thread waits
        // for the lock while another opens a file every user can reach.
        UniqueHandle file = OpenLog(logPath, true, message);
        if (!file) return;
        std::wstring refused;  // met by the rotation
        if (IsDueForRotation(file.get()) && TryAcquireSRWLockExclusive(&g_rotationLock)) {
            // This writer would keep the rename out: closed first, opened anew after.
            file.reset();
            ++g_rotations;
            const bool rotated = RotateLog(logPath, refused);
            ++g_rotations;
            ReleaseSRWLockExclusive(&g_rotationLock);
            if (refused == logPath) {
                ReportDroppedLine(message, logPath);
                return;
            }
            file = OpenLog(logPath, !rotated, message);
            if (!file) return;
        }
        {
            LogLock lock;
            WriteLine(file.get(), refused, message);
        }
        if (call != nullptr) call->KeepLog(logPath, std::move(file));
    } catch (...) {
        // Out of memory: the line is lost, the spooler call goes on.
    }
}


void LogMessage(JobCallScope* call, const wchar_t* message) {
    const DWORD savedError = GetLastError();
    SendToDebugger(message);
    AppendLogLine(message, call);
    // Callers report their own failure codes after logging.
    SetLastError(savedError);
}
