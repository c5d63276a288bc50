// TWPortMon: the print port monitor that the Windows spooler loads. It writes
// every job printed to the TARNWICK-PRINTER queue unchanged into the shared
// spool folder and hands it to the desktop editor.
//
// This header holds the records the spooler's handles point at and the
// operations the monitor's files share. Nothing here is cached between calls:
// paths, folders and settings are worked out again on every use.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

// winspool.h maps these names to its own client calls; in this library they
// name the monitor's entries.
#undef EnumPorts
#undef AddPort
#undef AddPortEx
#undef ConfigurePort
#undef DeletePort

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/format_text.h"
#include "common/unique_handle.h"

// ---------------------------------------------------------------------------
// Names shared with the setup tool (the installation contract).

inline constexpr wchar_t kMonitorName[] = L"TWPortMon";
inline constexpr wchar_t kDefaultPortName[] = L"TARNWICK:";
inline constexpr wchar_t kPortDescription[] = L"TARNWICK-PRINTER Port";
inline constexpr wchar_t kPortsKeyPath[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon\\Ports";
inline constexpr wchar_t kSettingsKeyPath[] = L"SOFTWARE\\TARNWICK-PRINTER";
inline constexpr wchar_t kDataFolderName[] = L"TarnwickPrinter";
inline constexpr wchar_t kSpoolFolderName[] = L"Spool";
inline constexpr wchar_t kLogFileName[] = L"portmon.log";
inline constexpr wchar_t kEditorFileName[] = L"TARNWICK-PRINTER.exe";
inline constexpr wchar_t kRunningEventName[] = L"Global\\TARNWICK-PRINTER.Running";
inline constexpr wchar_t kLaunchTaskName[] = L"TARNWICK-PRINTER Launch";

// ---------------------------------------------------------------------------
// Records behind the handles given to the spooler. Each starts with a 4-byte
// signature so that a stale or foreign handle is recognised before use.

struct MonitorRecord {
    char signature[4];  // "TWMN"
    HANDLE spoolerHandle;
    MONITORINIT* monitorInit;
};

struct PortRecord {
    char signature[4];  // "TWPT" while alive, zeroed before the record is freed
    MonitorRecord* monitor;
    std::wstring portName;
    std::wstring printerName;
    std::wstring documentName;
    std::wstring userName;
    std::wstring machineName;
    DWORD jobId;
    std::wstring jobBasePath;  // folder + "\job_" + stamp, no extension
    std::wstring partPath;     // jobBasePath + ".part"
    HANDLE file;               // the open .part, INVALID_HANDLE_VALUE when none
    std::uint64_t bytesWritten;
    bool writeFailed;  // a block of this job could not be written (logged once per job)
    DWORD lastWriteError;  // why the job's latest block was refused; ERROR_SUCCESS once one is taken
    CRITICAL_SECTION lock;  // serialises the job entries of this port
    bool lockReady;
};

struct XcvRecord {
    char signature[4];  // "TWPT", like a port record
    ACCESS_MASK grantedAccess;
};

extern MonitorRecord g_monitor;

// A port handle is usable when its memory is readable and carries the port signature.
bool IsValidPortHandle(HANDLE handle);

// Holds a port's lock for the lifetime of the scope.
class PortLock {
public:
    explicit PortLock(PortRecord& port) : port_(port) { EnterCriticalSection(&port_.lock); }
    ~PortLock() { LeaveCriticalSection(&port_.lock); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    PortRecord& port_;
};

// ---------------------------------------------------------------------------
// Data folders (paths.cpp)

class JobCallScope;

// The ProgramData root from the values the machine offers; an empty argument
// means that source is unusable. Never returns an empty string.
std::wstring ChooseProgramDataRoot(const std::wstring& programData,
                                   const std::wstring& allUsersProfile,
                                   const std::wstring& windowsDirectory);
std::wstring GetProgramDataRoot();

// An environment value of 1 to 259 characters, else empty.
std::wstring ReadEnvironmentValue(const wchar_t* name);

bool EnsureDirectory(const std::wstring& path);
std::wstring GetDataFolder();  // ProgramData root + "\TarnwickPrinter"
// Creates the data and spool folders when missing. When one of them is a link,
// logs so, creates nothing below it and sets *refused.
std::wstring GetSpoolFolder(bool* refused = nullptr, JobCallScope* call = nullptr);
// The temp fallback folder, created when missing; empty when it cannot be used
// (a link in its place is logged and counts as unusable).
std::wstring PrepareTempFallbackFolder(JobCallScope* call = nullptr);

// What a folder the monitor writes into turned out to be.
enum class FolderState { Ready, Unusable, Link };

// Walks from `root`, which is trusted as it is, down to `folder` below it, one
// level at a time: a missing level is created, and a level that is a junction,
// symbolic link or other reparse point stops the walk as a Link, named in
// `refused`. A plain file in place of the last level counts as Ready, as with
// EnsureDirectory; below a plain file nothing can be created. A folder that
// the job call `call` has already found plain is Ready at once.
FolderState PrepareFolderChain(const std::wstring& root, const std::wstring& folder, std::wstring& refused,
                               JobCallScope* call = nullptr);

// One StartDocPort or EndDocPort call, handed down explicitly to the folder
// checks and the log: the folders its walks find to be plain directories
// (each with the root it was walked from) are not walked again for the call's
// next file or log line, and the log its first line opened and checked takes
// the call's later lines. The record, and the log's handle, end with the
// call, so the next call walks and checks afresh; other threads (the launch)
// have no scope and always do. (No thread-local state: under mingw that
// costs every load of the DLL a TLS slot that is never given back.)
class JobCallScope {
public:
    JobCallScope() = default;
    JobCallScope(const JobCallScope&) = delete;
    JobCallScope& operator=(const JobCallScope&) = delete;

    struct Walked {
        std::wstring root;
        std::wstring folder;
    };
    bool HasWalked(const std::wstring& root, const std::wstring& folder) const;
    void RecordWalked(const std::wstring& root, const std::wstring& folder);

    // The checked log kept for `path`, or null when this call has none.
    HANDLE KeptLog(const std::wstring& path) const;
    void KeepLog(const std::wstring& path, UniqueHandle log);
    void DropLog();

    // The checked handle of a folder a walk of this call ended in, or null:
    // the call's files in that folder are opened, renamed and deleted below
    // it, so that no swap of a folder after its check can redirect them.
    HANDLE KeptFolder(const std::wstring& folder) const;
    void KeepFolder(const std::wstring& folder, UniqueHandle handle);

private:
    struct KeptFolderHandle {
        std::wstring folder;
        UniqueHandle handle;
    };
    std::vector<Walked> walked_;
    std::vector<KeptFolderHandle> folders_;
    std::wstring logPath_;
    UniqueHandle log_;
};

// ---------------------------------------------------------------------------
// The monitor's files only where they are meant to be (checked_files.cpp).
//
// The data folder is writable by every local user, who could put a link where
// a folder or file of the monitor's belongs and make LocalSystem write, rename
// or delete elsewhere. So folders are checked level by level right before use,
// and every file is checked on its open handle before anything is written to,
// renamed or deleted through it.

inline constexpr wchar_t kLinkRefusedFormat[] = L"リンクになっているため使いません: %s";
// The error a refused folder or file reports: the monitor will not access it.
inline constexpr DWORD kRefusedLinkError = ERROR_CANT_ACCESS_FILE;

// The sharing of the monitor's handles that only hold, rename or delete a file:
// such a handle never keeps anyone from reading, or from appending to the log.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Every open of a path in the data folder or the temp fallback folder goes
// through here. A user may plant a name there that leads to a named pipe; its
// server then gets no more than to identify LocalSystem (identification-only
// quality of service), never to act as it. A reparse point is opened as
// itself, never followed (the handle checks then refuse it), and an open that
// would have to wait for another user's oplock to be broken fails at once with
// ERROR_CANNOT_BREAK_OPLOCK instead.
// ERROR_CANNOT_BREAK_OPLOCK, which mingw's headers do not have.
inline constexpr DWORD kCannotBreakOplockError = 802;
// `disposition` is CreateFileW's (CREATE_NEW, OPEN_EXISTING, OPEN_ALWAYS);
// FILE_FLAG_BACKUP_SEMANTICS in `flags` allows a folder, as in CreateFileW.
// With a job call that keeps the path's folder, the open is made below that folder's handle.
HANDLE OpenDataPath(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                    JobCallScope* call = nullptr);
// Opens the folder `path`, creating it when missing, in one step; INVALID_HANDLE_VALUE with the error else.
HANDLE OpenDataFolder(const std::wstring& path, bool create);
// A second handle to the file open as `file`, with `access`, opened through
// that handle (no path involved) and on the same terms as OpenDataPath.
HANDLE ReopenDataFile(HANDLE file, DWORD access);
// The error an open that would break another's oplock answers with: treated
// like a sharing violation, never waited out.
bool IsBusyError(DWORD error);

// True when `finalPath`, as GetFinalPathNameByHandleW reports it, names the
// place `intended` names: the \\?\ and \\?\UNC\ prefixes, letter case, forward
// and repeated separators and a trailing separator do not count.
bool IsSamePath(const std::wstring& intended, const std::wstring& finalPath);
// The trusted folder a path of the monitor's hangs from: everything before its
// last component named "TarnwickPrinter", up to and including the separator;
// empty when there is no such component.
std::wstring TrustedRootOf(const std::wstring& path);
// The name FileRenameInfo takes for a full path: the NT form \??\C:\... or \??\UNC\...
std::wstring RenameTargetName(const std::wstring& path);

// The path of an open file or folder as the file system resolves it; empty when unknown.
std::wstring FinalPathOf(HANDLE handle);

// What the queries on an open file showed. A query that failed leaves its
// path empty (or `standardKnown` false, the type unknown). The root paths are
// the trusted root of the intended path, resolved on its own handle.
struct FileFacts {
    DWORD type = FILE_TYPE_UNKNOWN;  // GetFileType
    bool reparsePoint = false;        // the handle is a reparse point opened as itself
    bool standardKnown = false;
    DWORD links = 0;
    bool directory = false;
    std::wstring dosPath;  // final path with the DOS volume name (\\?\C:\...)
    std::wstring ntPath;   // final path with the NT device name (\Device\...)
    std::wstring rootDosPath;
    std::wstring rootNtPath;
};
// An open file is the intended one only when the facts show it: a disk file
// (no pipe, no device) that is no reparse point, of the expected kind (a
// plain file with exactly one name, or a folder), whose final path is the
// intended path (by DOS name, or by NT device name on a volume without a
// drive letter). The trusted root may be spelt otherwise; the part below it
// must match. What a failed query cannot show counts against the file.
enum class EntryKind { File, Folder };
bool IsIntendedFileFrom(const std::wstring& intendedPath, const FileFacts& facts,
                        EntryKind kind = EntryKind::File);
bool IsIntendedFile(HANDLE file, const std::wstring& intendedPath, EntryKind kind = EntryKind::File);
// True when whatever stands at `path` is neither the intended file nor the
// intended folder there (a link, a pipe ...), checked on a handle of its own.
bool IsLinkedName(const std::wstring& path);

struct CheckedOpen {
    HANDLE handle = INVALID_HANDLE_VALUE;  // the caller closes it
    bool created = false;                  // false: a file already there was opened unchanged
    bool refused = false;                  // it was not the intended file; nothing was changed
    DWORD error = ERROR_SUCCESS;           // when there is no handle
};
// Opens `path` with `access` and `share`, creating it when missing. A link in
// the file's own name is never followed to create anything (CREATE_NEW), a file
// that is already there is opened unchanged (OPEN_EXISTING), and the handle is
// kept only when IsIntendedFile holds; a file this call created elsewhere is
// deleted again. `existingFirst` says which of the two to try first.
CheckedOpen OpenCheckedFile(const std::wstring& path, DWORD access, DWORD share, bool existingFirst,
                            JobCallScope* call = nullptr);

// Renames and deletes need DELETE access, and a handle holding it keeps every
// reader that does not share delete away from the file. So the monitor's
// handles never carry it: a handle that holds the file (attributes only,
// sharing everything) stands in while the writing handle closes, and DELETE
// is taken through it, never by path, for the one rename or delete. That
// fails with a sharing violation exactly where a rename or delete by path
// would: while someone holds the file without delete sharing.
UniqueHandle HoldFile(HANDLE file);
bool DeleteHeldFile(HANDLE held);
// Closes one of the monitor's own handles and deletes its file as above;
// `file` is INVALID_HANDLE_VALUE afterwards.
bool DiscardFile(HANDLE& file);
// Deletes a file open with DELETE access through its handle: no path is involved.
bool DeleteByHandle(HANDLE file);

enum class RenameOutcome { Done, TargetExists, Refused, Failed };
// Renames a held file to `newPath`, replacing nothing, and then checks on the
// renaming handle where it went: a file that did not land at `newPath` is
// deleted by handle and the rename counts as refused.
// With a job call that keeps the target's folder, the new name is given below that folder's handle.
RenameOutcome RenameHeldFile(HANDLE held, const std::wstring& newPath, DWORD& error, JobCallScope* call = nullptr);

enum class RemovalOutcome { Removed, Missing, Refused, Failed };
// Deletes `path` only when it is the intended plain file, checked on its
// handle. A folder, or a file that cannot be deleted, fails with the error a
// replacing rename would report (access denied, for a folder or a read-only file).
RemovalOutcome RemoveCheckedFile(const std::wstring& path, DWORD& error, JobCallScope* call = nullptr);

// ---------------------------------------------------------------------------
// Log (log.cpp)

std::string ToUtf8(const std::wstring& text);
inline constexpr size_t kLogMessageChars = 1024;  // a message carries at most 1023 characters
// One message, as it stands, to the debugger output and the log, as a line of
// the job call `call` (null: none). The caller's last error is kept.
void LogMessage(JobCallScope* call, const wchar_t* message);
// Printf-style with the Windows convention: %s takes a wide string. A longer
// message is cut after 1023 characters.
template <typename... Args>
void MonitorLogIn(JobCallScope* call, const wchar_t* format, Args... args) {
    const DWORD savedError = GetLastError();
    wchar_t message[kLogMessageChars];
    FormatText(message, kLogMessageChars, format, args...);
    SetLastError(savedError);
    LogMessage(call, message);
}
template <typename... Args>
void MonitorLog(const wchar_t* format, Args... args) {
    MonitorLogIn(nullptr, format, args...);
}
void AppendLogLine(const wchar_t* message, JobCallScope* call = nullptr);
// The line written ahead of the next one after lines were lost to a busy log.
inline constexpr wchar_t kBusyLogDropsFormat[] = L"ログが使用中のため書けなかった行: %u";

// The log's one lock: each line is appended whole under it, so that two
// threads never interleave one line into another. It is held across the
// write only, never across an open (a user's file could hold that up); one
// thread at a time rotates, under a lock of its own that no one waits for.
// It knows its holder, so that a launch ended by a fault can let go of it
// (the guard's unwind runs no destructor).
class LogLock {
public:
    LogLock();
    ~LogLock();
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
};
void ReleaseLogLockHeldByThisThread();
// One log line exactly as written to the file, before the UTF-8 conversion.
std::wstring FormatLogLine(const SYSTEMTIME& localTime, DWORD processId, const wchar_t* message);

inline constexpr std::uint64_t kLogRotateAbove = 1048576;

// ---------------------------------------------------------------------------
// Port list in the registry (port_registry.cpp)

std::vector<std::wstring> ReadPortList();
bool CreatePortKey(const std::wstring& name);
bool DeletePortKey(const std::wstring& name);
// A name that would not make exactly one subkey of the Ports key.
bool IsNestedPortName(const std::wstring& name);

// EnumPorts' buffer layout: the bytes needed for these ports at level 1 or 2,
// and the filling of a buffer of at least that size.
DWORD PortInfoBytesNeeded(DWORD level, const std::vector<std::wstring>& ports);
void FillPortInfo(DWORD level, const std::vector<std::wstring>& ports, BYTE* buffer, DWORD cbBuf);

// ---------------------------------------------------------------------------
// Job capture (capture.cpp)

std::wstring FormatJobStamp(const SYSTEMTIME& localTime, DWORD jobId);
void FillJobInfo(PortRecord& port);
// A job the spooler is deleting, has deleted or holds in error is not to be handed on.
bool IsCancelledJobStatus(DWORD status);
// Asks the spooler for the port's job's status (GetJobW level 1); false when it cannot tell.
bool IsJobCancelled(const PortRecord& port);
// Creates (or empties) one of a job's files for writing, shared for reading
// only. A file that is not the intended one is logged and refused:
// INVALID_HANDLE_VALUE with kRefusedLinkError.
HANDLE CreateJobFile(const std::wstring& path, JobCallScope* call = nullptr);

// ---------------------------------------------------------------------------
// Job descriptor and ready marker (descriptor.cpp)

std::wstring JsonEscape(const std::wstring& value);
// The .json text of a committed job: twelve lines, LF endings, ten members in a fixed order.
std::wstring JobDescriptorText(const PortRecord& port, const std::wstring& prnPath,
                               const SYSTEMTIME& createdUtc);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes, JobCallScope* call = nullptr);
void WriteJobDescriptor(const PortRecord& port, const std::wstring& jsonPath, const std::wstring& prnPath,
                        JobCallScope* call = nullptr);
void WriteReadyMarker(const std::wstring& readyPath, JobCallScope* call = nullptr);

// ---------------------------------------------------------------------------
// Editor auto-launch: the decisions (launch_rules.cpp), the launch itself
// (launch.cpp) and the guard around it (launch_guard.cpp)

inline constexpr ULONGLONG kLaunchHoldOffMs = 15000;

// AutoLaunch is off only when it was read as the REG_DWORD 0.
bool IsAutoLaunchOff(LONG queryStatus, DWORD type, DWORD value);
// The first attempt since load is never held off; later ones wait 15 s.
bool ThrottleAllows(ULONGLONG lastAttempt, ULONGLONG now);
// Test and store in one step: of two job ends at the same instant only one may launch.
bool ClaimLaunchAttempt(std::atomic<ULONGLONG>& lastAttempt, ULONGLONG now);
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

struct SessionEntry {
    DWORD id;
    bool active;
};
// The session to start the editor in. `sessions` is empty when the system gave
// no list; `queryUser` asks for a session's user name.
std::optional<DWORD> ChooseSession(const std::optional<std::vector<SessionEntry>>& sessions,
                                   const std::wstring& jobUser,
                                   const std::function<bool(DWORD, std::wstring&)>& queryUser,
                                   DWORD consoleSession);
std::wstring ChooseEditorPath(const std::wstring& editorPathSetting, const std::wstring& installDirSetting,
                              const std::wstring& programFiles,
                              const std::function<bool(const std::wstring&)>& exists);
std::wstring EditorCommandLine(const std::wstring& editorPath);
std::wstring EditorWorkingDirectory(const std::wstring& editorPath);
std::wstring LaunchTaskCommandLine(const std::wstring& systemDirectory);

// What a launch thread owns: the job's user, the routine that launches for it,
// and a reference on the module its code lives in (null: none taken).
struct LaunchRequest {
    std::wstring userName;
    void (*launch)(const std::wstring& userName);
    HMODULE module;
};

void TriggerEditorLaunch(const std::wstring& userName, JobCallScope* call = nullptr);
DWORD WINAPI LaunchEditorThread(LPVOID request);
void LaunchEditor(const std::wstring& userName);
std::wstring ResolveEditorPath();
bool ReadSettingString(const wchar_t* valueName, std::wstring& value);
void RunLaunchTask();
// What ended a guarded routine: the code of the exception (structured ones
// such as access violations included; 0 when it returned), the address it
// was raised at and the file of the module there (empty when none or unknown).
struct LaunchFault {
    DWORD code = 0;
    ULONG_PTR address = 0;
    wchar_t module[MAX_PATH] = {};
};
// Runs routine(argument) inside the guard; a routine ended by an exception
// leaves the log's lock free.
LaunchFault RunGuarded(void (*routine)(void*), void* argument);
LaunchFault RunLaunchGuarded(const LaunchRequest& request);
// A new load starts afresh: its first launch is never held off and goes the
// normal way, whatever an earlier load of the same process did.
void ResetLaunchState();
// Reported for a C++ exception, which carries no structured code of its own.
inline constexpr DWORD kCppExceptionCode = 0xE06D7363;

// ---------------------------------------------------------------------------
// MONITOR2 entries

BOOL WINAPI EnumPorts(HANDLE hMonitor, LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf,
                      LPDWORD pcbNeeded, LPDWORD pcReturned);
BOOL WINAPI OpenPort(HANDLE hMonitor, LPWSTR pName, PHANDLE pHandle);
BOOL WINAPI OpenPortEx(HANDLE hMonitor, HANDLE hMonitorPort, LPWSTR pPortName,
                       LPWSTR pPrinterName, PHANDLE pHandle, MONITOR2* pMonitor2);
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level,
                         LPBYTE pDocInfo);
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL WINAPI EndDocPort(HANDLE hPort);
BOOL WINAPI ClosePort(HANDLE hPort);
BOOL WINAPI AddPort(HANDLE hMonitor, LPWSTR pName, HWND hWnd, LPWSTR pMonitorName);
BOOL WINAPI AddPortEx(HANDLE hMonitor, LPWSTR pName, DWORD Level, LPBYTE lpBuffer,
                      LPWSTR lpMonitorName);
BOOL WINAPI ConfigurePort(HANDLE hMonitor, LPWSTR pName, HWND hWnd, LPWSTR pPortName);
BOOL WINAPI DeletePort(HANDLE hMonitor, LPWSTR pName, HWND hWnd, LPWSTR pPortName);
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPWSTR pValueName,
                                   LPWSTR lpInBuffer, DWORD cbInBuffer, LPWSTR lpOutBuffer,
                                   DWORD cbOutBuffer, LPDWORD lpcbReturned);
BOOL WINAPI SetPortTimeOuts(HANDLE hPort, LPCOMMTIMEOUTS lpCTO, DWORD reserved);
BOOL WINAPI XcvOpenPort(HANDLE hMonitor, LPCWSTR pszObject, ACCESS_MASK GrantedAccess,
                        PHANDLE phXcv);
DWORD WINAPI XcvDataPort(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
                         PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded);
BOOL WINAPI XcvClosePort(HANDLE hXcv);
VOID WINAPI Shutdown(HANDLE hMonitor);

// The complete x64 MONITOR2, up to and including pfnPowerEvent. Some SDK
// headers stop at pfnNotifyUnusedPorts, so the table is laid out here.
struct MonitorTable {
    DWORD cbSize;
    BOOL(WINAPI* pfnEnumPorts)(HANDLE, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
    BOOL(WINAPI* pfnOpenPort)(HANDLE, LPWSTR, PHANDLE);
    BOOL(WINAPI* pfnOpenPortEx)(HANDLE, HANDLE, LPWSTR, LPWSTR, PHANDLE, MONITOR2*);
    BOOL(WINAPI* pfnStartDocPort)(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE);
    BOOL(WINAPI* pfnWritePort)(HANDLE, LPBYTE, DWORD, LPDWORD);
    BOOL(WINAPI* pfnReadPort)(HANDLE, LPBYTE, DWORD, LPDWORD);
    BOOL(WINAPI* pfnEndDocPort)(HANDLE);
    BOOL(WINAPI* pfnClosePort)(HANDLE);
    BOOL(WINAPI* pfnAddPort)(HANDLE, LPWSTR, HWND, LPWSTR);
    BOOL(WINAPI* pfnAddPortEx)(HANDLE, LPWSTR, DWORD, LPBYTE, LPWSTR);
    BOOL(WINAPI* pfnConfigurePort)(HANDLE, LPWSTR, HWND, LPWSTR);
    BOOL(WINAPI* pfnDeletePort)(HANDLE, LPWSTR, HWND, LPWSTR);
    BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR, DWORD, LPDWORD);
    BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE, LPCOMMTIMEOUTS, DWORD);
    BOOL(WINAPI* pfnXcvOpenPort)(HANDLE, LPCWSTR, ACCESS_MASK, PHANDLE);
    DWORD(WINAPI* pfnXcvDataPort)(HANDLE, LPCWSTR, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
    BOOL(WINAPI* pfnXcvClosePort)(HANDLE);
    VOID(WINAPI* pfnShutdown)(HANDLE);
    void* pfnSendRecvBidiDataFromPort;
    void* pfnNotifyUsedPorts;
    void* pfnNotifyUnusedPorts;
    void* pfnPowerEvent;
};
static_assert(sizeof(MonitorTable) == 184, "the spooler expects the full x64 MONITOR2");

// The one export (see TWPortMon.def); declared by winsplp.h as
// LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT, PHANDLE).
