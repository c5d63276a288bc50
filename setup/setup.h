// TWSetup: the console program that installs, configures, inspects, repairs
// and removes the virtual printer. An administrator or an installer runs it
// elevated; every line it prints goes to standard output through PrintLine.
//
// This header holds the records and the operations the setup tool's files
// share. The tool is single-threaded and keeps nothing between runs.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <string>
#include <vector>

#include "common/format_text.h"
#include "common/unique_handle.h"

// ---------------------------------------------------------------------------
// Names of the installation contract that the monitor and the editor read.

inline constexpr wchar_t kDefaultDriverName[] = L"Microsoft PS Class Driver";
inline constexpr wchar_t kDefaultPortName[] = L"TARNWICK:";
inline constexpr wchar_t kSettingsKeyPath[] = L"SOFTWARE\\TARNWICK-PRINTER";
inline constexpr wchar_t kEditorFileName[] = L"TARNWICK-PRINTER.exe";
inline constexpr wchar_t kDataFolderName[] = L"TarnwickPrinter";
inline constexpr wchar_t kSpoolerServiceName[] = L"Spooler";
inline constexpr wchar_t kMonitorName[] = L"TWPortMon";
inline constexpr wchar_t kMonitorFileName[] = L"TWPortMon.dll";
inline constexpr wchar_t kQueueName[] = L"TARNWICK-PRINTER";
inline constexpr wchar_t kRunningEventName[] = L"Global\\TARNWICK-PRINTER.Running";
inline constexpr wchar_t kLaunchTaskName[] = L"TARNWICK-PRINTER Launch";

// Exit codes of TWSetup.exe.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // usage, not elevated, unknown command, nothing done
inline constexpr int kExitMonitorFailed = 2;  // the monitor could not be deployed or registered
inline constexpr int kExitPrinterFailed = 3;  // the printer queue could not be created
inline constexpr int kExitFormsFailed = 4;  // the paper forms could not be registered
inline constexpr int kExitMonitorKept = 5;  // uninstall: the spooler kept the monitor, so its DLL stays too
// "check": the first link of the chain that does not hold (0 when all hold).
inline constexpr int kExitCheckProtectedPrint = 10;  // Windows protected print mode is on
inline constexpr int kExitCheckNotRegistered = 11;   // the monitor is not registered
inline constexpr int kExitCheckFileMissing = 12;     // TWPortMon.dll is not in the system folder
inline constexpr int kExitCheckFileVersion = 13;     // it is not the version this tool ships
inline constexpr int kExitCheckPortMissing = 14;     // the spooler lists no port of the monitor
inline constexpr int kExitCheckQueueMissing = 15;    // no queue prints to such a port
inline constexpr int kExitCheckDataFolder = 16;      // a data folder is missing or a link
inline constexpr int kExitCheckSettings = 17;        // the editor settings are not as install writes them

// ---------------------------------------------------------------------------
// Command line and dispatch (dispatch.cpp)

struct InstallOptions {
    std::wstring driver = kDefaultDriverName;
    std::wstring port = kDefaultPortName;
    bool noprinter = false;
    bool noautolaunch = false;
    std::wstring log;  // "/log:", every command: a file that gets every printed line too
};

struct SetupRequest {
    std::wstring command;  // argument 1 as typed, empty when there is none
    InstallOptions options;
};

// arguments[0] is the program; arguments[1] the command; the rest are options.
SetupRequest ParseCommandLine(const std::vector<std::wstring>& arguments);

using CommandHandler = int (*)(const InstallOptions& options);

struct CommandEntry {
    const wchar_t* name;
    bool needsElevation;
    CommandHandler handler;
};

// Letters A to Z match a to z; every other unit must be equal.
bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);

// The command of that exact name (case-sensitive), or null.
const CommandEntry* FindCommand(const std::wstring& command);
bool IsHelpCommand(const std::wstring& command);
// Unknown commands need elevation too: they are refused before they are recognised.
bool CommandNeedsElevation(const std::wstring& command);

// The usage text, one entry per printed line.
std::vector<std::wstring> UsageLines();

// Asked only when the command needs elevation.
using ElevationQuery = bool (*)();
bool IsProcessElevated();

// The whole program: parse, check, run one command; returns the exit code.
int RunSetup(const std::vector<std::wstring>& arguments, ElevationQuery isElevated);

// ---------------------------------------------------------------------------
// The spooler's client calls (spooler_calls.cpp). winspool.drv is no KnownDLL:
// imported, Windows would first look for it beside the program, where whoever
// may write that folder could put one that runs elevated before wmain. So it
// is loaded at run time from the system directory alone, on first use; a call
// it lacks fails with ERROR_PROC_NOT_FOUND.

#define TW_SPOOLER_CALLS(X)                                                                                 \
    X(AddFormW) X(AddMonitorW) X(AddPrinterW) X(ClosePrinter) X(DeleteMonitorW) X(DeletePrinter) X(EnumJobsW) \
    X(EnumMonitorsW) X(EnumPortsW) X(EnumPrinterDriversW) X(EnumPrintersW) X(GetPrinterW) X(OpenPrinterW)   \
    X(SetPrinterW)

struct SpoolerCalls {
#define TW_SPOOLER_CALL_SLOT(name) decltype(&::name) name;
    TW_SPOOLER_CALLS(TW_SPOOLER_CALL_SLOT)
#undef TW_SPOOLER_CALL_SLOT
};
const SpoolerCalls& Spooler();

// A printer handle of the spooler's, closed through Spooler().ClosePrinter.
struct SpoolerPrinterTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { Spooler().ClosePrinter(v); }
};
using SpoolerPrinter = Unique<SpoolerPrinterTraits>;

// ---------------------------------------------------------------------------
// Console output (console.cpp)

inline constexpr size_t kLineUnits = 1024;  // a formatted line carries at most 1023 units

// UTF-16 to a console, UTF-8 bytes (no byte order mark) to anything else.
void WriteConsoleText(const wchar_t* text);
// One line as it stands, then CR LF.
void PrintText(const wchar_t* line);
// Printf-style with the Windows convention (%s is a wide string), then CR LF.
template <typename... Args>
void PrintLine(const wchar_t* format, Args... args) {
    // A longer line is cut after 1023 units.
    wchar_t line[kLineUnits];
    FormatText(line, kLineUnits, format, args...);
    PrintText(line);
}
// "  [!] label : (0x%08X) system text" for the calling thread's last-error code.
void ReportLastError(const wchar_t* label);
// The same report for a registry call's returned status.
void ReportRegistryError(LONG status, const wchar_t* label);

// Every line PrintLine prints also goes, as UTF-8 with CR LF, to the file
// this holds (opened for appending) until the scope ends.
class ScopedPrintLog {
public:
    explicit ScopedPrintLog(HANDLE log);
    ~ScopedPrintLog();
    ScopedPrintLog(const ScopedPrintLog&) = delete;
    ScopedPrintLog& operator=(const ScopedPrintLog&) = delete;

private:
    HANDLE previous_;
};

// The file named by "/log:", opened for appending when it lies in a folder
// that only administrators can write, no folder above it lets anyone else
// replace what is below, and neither it nor the folder is a link; otherwise
// an empty handle, after a warning line.
UniqueHandle OpenSetupLog(const std::wstring& path);

// ---------------------------------------------------------------------------
// Spooler service (service.cpp) and ports (ports.cpp)

// True when the start or stop request was accepted or the service was already there.
bool ControlSpooler(bool start);
// Stops and starts the spooler; true when the start request was accepted.
bool RestartSpooler();
bool IsPortListed(const std::wstring& port);

// ---------------------------------------------------------------------------
// Child processes and the program's folder (process.cpp)

inline constexpr DWORD kRunFailed = 0xFFFFFFFF;

// The system directory (GetSystemDirectoryW), empty when it cannot be read.
std::wstring SystemDirectory();
// A program in the system directory by its full path; empty when that
// directory cannot be read. Every program the tool starts is named this way.
std::wstring SystemProgramPath(const wchar_t* fileName);
// Runs `program` (a full path, given as the application name, so no search
// takes place) with the command line as it stands, without a window, and
// waits; the child's exit code, STILL_ACTIVE when it outlives the time-out,
// kRunFailed when it cannot start (also when `program` is empty).
DWORD RunAndWait(const std::wstring& program, const std::wstring& commandLine, DWORD timeoutMs);
// The same, telling whether the program started at all apart from its exit code.
bool StartAndWait(const std::wstring& program, const std::wstring& commandLine, DWORD timeoutMs, DWORD& exitCode);
// Folder of the running executable, without a trailing backslash; "." when unknown.
std::wstring ModuleDirectory();

// ---------------------------------------------------------------------------
// Deletions pending until Windows starts next (pending_renames.cpp)

// The names of a PendingFileRenameOperations value (REG_MULTI_SZ as read,
// with its NULs), in pairs: source, target (empty: delete the source).
std::vector<std::wstring> SplitPendingOperations(const std::wstring& value);
std::wstring JoinPendingOperations(const std::vector<std::wstring>& names);
// Drops the pairs whose source or target is `path` (ignoring case, with or
// without "\??\" and a target's "!"); how many pairs went.
size_t DropPendingOperationsOn(std::vector<std::wstring>& names, const std::wstring& path);
// The same on the machine's list; true when an entry was dropped.
bool ClearPendingOperationsOn(const std::wstring& path);

// ---------------------------------------------------------------------------
// Windows protected print mode (protected_print.cpp)

inline constexpr wchar_t kProtectedPrintKeyPath[] = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\Printers\\WPP";
inline constexpr wchar_t kProtectedPrintPolicyValue[] = L"WindowsProtectedPrintGroupPolicyState";
inline constexpr wchar_t kProtectedPrintModeValue[] = L"WindowsProtectedPrintMode";

struct RegistryDword {
    bool present = false;  // only a REG_DWORD counts
    DWORD value = 0;
};
struct ProtectedPrintValues {
    RegistryDword policy;  // the group policy (or MDM) "Configure Windows protected print"
    RegistryDword mode;    // the mode as switched in Settings
};
struct ProtectedPrintState {
    bool on = false;
    const wchar_t* valueName = nullptr;  // the value that decided; null when none is set
    DWORD value = 0;
};
ProtectedPrintState DecideProtectedPrint(const ProtectedPrintValues& values);
ProtectedPrintValues ReadProtectedPrintValues();
// "オフ", or "オン (<value name> = <n>)".
std::wstring ProtectedPrintText(const ProtectedPrintState& state);

// ---------------------------------------------------------------------------
// Data folder (data_folder.cpp)

// The data folder for the values of "ProgramData" and "ALLUSERSPROFILE" as
// the environment holds them (empty when unset).
std::wstring ChooseDataFolder(const std::wstring& programData, const std::wstring& allUsersProfile);
std::wstring DataFolderPath();
// True when the path is a folder afterwards; creates missing parents first.
bool CreateFolderChain(const std::wstring& path);
bool IsReparsePoint(const std::wstring& path);

// What the data folder's preparation calls besides its own work: tests pass
// their own to plant a link between a folder's listing and the open of what
// it named, or to see the security each object is given (Wine keeps none).
using BeforeOpenCall = void (*)(const std::wstring& path);
using SetSecurityCall = BOOL(WINAPI*)(HANDLE object, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor);
struct DataFolderCalls {
    BeforeOpenCall beforeOpen = nullptr;
    SetSecurityCall setSecurity = SetKernelObjectSecurity;
};

// Creates the data, spool and processed folders (taking back a link or a
// folder that a user planted at their names: a folder is moved aside to a new
// name beside it), gives each its designed security and what is below it the
// Users entry, object by object through handles that were checked first;
// prints what it took back, each object it had to skip, and the data folder line.
void PrepareDataFolderWith(const DataFolderCalls& calls);
void PrepareDataFolder();

// ---------------------------------------------------------------------------
// Files checked on their handles (checked_file.cpp), for the files the tool
// touches in the data folder, where any user may have planted a link.

// The text before the last backslash; empty when there is none.
std::wstring ParentFolder(const std::wstring& path);
// The path of an open file or folder as the file system resolves it
// (GetFinalPathNameByHandleW); empty on failure.
std::wstring FinalPathOf(HANDLE handle);
// The final path of a folder opened by path (links in it followed); empty
// when it cannot be opened. For the machine's own folders above the data folder.
std::wstring ResolvedFolder(const std::wstring& folder);
// True when the open object is no reparse point (a junction or link opened
// as itself), its final path is `resolvedRoot` (from ResolvedFolder) followed
// by `below` (the rest of the intended path, beginning with a backslash),
// ignoring case, and, when it is a file, it has exactly one name. `isFolder`
// tells which of the two it is.
bool IsIntendedObject(HANDLE object, const std::wstring& resolvedRoot, const std::wstring& below, bool& isFolder);
// IsIntendedObject for a file.
bool IsIntendedFile(HANDLE file, const std::wstring& resolvedRoot, const std::wstring& below);
// True when the handle is a junction or link itself (opened without following
// it) and stands at `resolvedRoot` + `below`: only then may it be deleted as
// the link. (Under Wine a handle never is: it always opens the target.)
bool IsLinkItself(HANDLE link, const std::wstring& resolvedRoot, const std::wstring& below);
// IsIntendedFile for a file `levels` folders below the folder taken as it is
// (1: the file's own folder is that root).
bool IsIntendedFileBelow(HANDLE file, const std::wstring& path, int levels);

// ---------------------------------------------------------------------------
// Folders through handles (folder_handle.cpp): what was checked on a handle is
// used only through that handle, so no swap between check and use counts.

enum class BelowOpen { Folder, FolderOrCreate, NewFolder, File, FileOrCreate };
// Opens `name` (one component, nothing that walks up) relative to the open
// folder `parent`, as itself (no link followed where the system allows it),
// with backup intent; creates it when `how` says so and tells whether it did.
// ERROR_SUCCESS, or the Win32 error.
DWORD OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, BelowOpen how, UniqueHandle& object,
                bool* created = nullptr);
struct FolderItem {
    std::wstring name;
    DWORD attributes = 0;
};
// Every name in the folder open with FILE_LIST_DIRECTORY, without "." and "..",
// listed from its start through that handle; false when the listing failed.
bool ListOpenFolder(HANDLE folder, std::vector<FolderItem>& items);
// Renames the object open with DELETE to `fullPath` ("C:\..."), never replacing anything.
bool RenameOpenObject(HANDLE object, const std::wstring& fullPath);

// ---------------------------------------------------------------------------
// Security of files and folders (security.cpp): who may change an object and
// the Users group's modify entry, decided on plain lists of access entries.

inline constexpr wchar_t kUsersSid[] = L"S-1-5-32-545";
inline constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
inline constexpr wchar_t kSystemSid[] = L"S-1-5-18";
inline constexpr wchar_t kTrustedInstallerSid[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// Read, write, execute and delete: "modify", the M of icacls.
inline constexpr ACCESS_MASK kModifyRights = 0x001301BF;
// Modify without DELETE: list, add files and folders, read, on a folder itself.
inline constexpr ACCESS_MASK kFolderUseRights = 0x001201BF;

struct AccessEntry {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    ACCESS_MASK mask = 0;
    std::wstring sid;          // "S-1-..."; empty when the entry's layout keeps it elsewhere
    std::vector<BYTE> stored;  // the entry as read, copied unchanged; empty for a new one
};

struct ObjectSecurity {
    std::wstring owner;
    std::wstring group;
    bool hasDacl = true;  // false: no DACL at all, which lets everyone do everything
    SECURITY_DESCRIPTOR_CONTROL daclControl = 0;  // SE_DACL_PROTECTED and SE_DACL_AUTO_INHERITED as read
    std::vector<AccessEntry> dacl;
};

// The Users group's entries. On the three folders themselves Users may list
// and add but not delete or rename, so no user can replace one of them with
// a link; what is inside them they may modify.
enum class UsersEntry {
    OnFolder,           // on the data folder, Spool and Processed: read, write, execute
    InsideDataFolder,   // on the data folder, for the files directly in it: (OI)(IO)(NP) modify
    InsideWorkFolder,   // on Spool and Processed, for all they hold: (OI)(CI)(IO) modify
    InheritedByFolder,  // on a folder inside Spool or Processed, as inheritance leaves it
    InheritedByFile,    // on a file inside any of the three
};
AccessEntry UsersModifyEntry(UsersEntry kind);
// The list with that entry in its place (an explicit one after the other
// explicit entries, an inherited one last), replacing one the same as it.
std::vector<AccessEntry> WithUsersEntry(const std::vector<AccessEntry>& dacl, UsersEntry kind);
// What an object below a parent with this DACL inherits from it: inheritable
// entries marked inherited, CREATOR OWNER and CREATOR GROUP given to `owner`
// and `group`, generic rights mapped to the file rights they stand for.
std::vector<AccessEntry> InheritedEntries(const std::vector<AccessEntry>& parentDacl, bool isFolder,
                                          const std::wstring& owner, const std::wstring& group);
enum class FolderRole { Data, Work };  // the data folder; Spool or Processed
// What the three folders are given on every run, whatever they held before:
// Administrators own them, and their DACL is what they inherit from their
// parent plus the Users entries of their role.
ObjectSecurity DesignedSecurity(const std::vector<AccessEntry>& parentDacl, const std::wstring& group,
                                FolderRole role);
// Whether an owner is one of `trusted`.
bool IsTrustedOwner(const std::wstring& owner, const std::vector<std::wstring>& trusted);
// True when anyone but `trusted` may write, append to, delete or take over
// the object: its owner (who can always rewrite its DACL) is not trusted, it
// has no DACL, or an entry that applies to it gives such a right to another.
bool LetsOthersWrite(const ObjectSecurity& security, const std::vector<std::wstring>& trusted);
// The same for the rights a handle keeps after the DACL changes and that let
// its holder take the object over (WRITE_DAC, WRITE_OWNER): a folder a user
// made, or could have opened so, is planted.
bool LetsOthersTakeOver(const ObjectSecurity& security, const std::vector<std::wstring>& trusted);
// The same for a folder above another: whether anyone else may delete,
// rename or re-grant it or what it holds, and so put something else in the
// place of the folder below. Adding a folder of one's own is no such right
// (every volume root lets Authenticated Users do that).
bool LetsOthersReplace(const ObjectSecurity& security, const std::vector<std::wstring>& trusted);

// Administrators, SYSTEM, TrustedInstaller and, in an elevated process, the
// administrator who runs it.
std::vector<std::wstring> TrustedAccounts();
// Owner, group and DACL of an open object (READ_CONTROL); false when unreadable.
bool ReadSecurity(HANDLE object, ObjectSecurity& security);
// Sets what `what` names (OWNER_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION;
// LABEL_SECURITY_INFORMATION removes any integrity label) on the open object
// through `set`, which never propagates anything by path.
bool WriteSecurity(HANDLE object, const ObjectSecurity& security, SECURITY_INFORMATION what, SetSecurityCall set);
// LetsOthersWrite for the file or folder at `path` (links followed); false
// when it is missing or its security cannot be read.
bool PathLetsOthersWrite(const std::wstring& path);
// "  [!] <folder> は管理者以外も書き換えられます。..." when the folder or one of
// the files lets anyone but administrators write.
void WarnIfOthersCanWrite(const std::wstring& folder, const std::vector<std::wstring>& files);

// ---------------------------------------------------------------------------
// Folders checked from the volume root down (program_folder.cpp): the tool's
// own folder, where TWPortMon.dll and the editor are taken from, and the
// folder of "/log:".

struct FolderLevel {
    std::wstring path;  // as a user writes it
    bool read = false;  // opened relative to the level above, checked on its handle, security read
    ObjectSecurity security;
};
// The first level, from the volume root down, that lets anyone but `trusted`
// put something else in the place of the levels below it (LetsOthersReplace)
// or, for the last, change what is in it (LetsOthersWrite); a level that
// could not be read counts. Empty when every level is safe.
std::wstring FirstOpenLevel(const std::vector<FolderLevel>& levels, const std::vector<std::wstring>& trusted);
using ReadSecurityCall = bool (*)(HANDLE object, ObjectSecurity& security);
// Opens the volume root of `folder` (links followed to where it really is),
// then each folder down to it relative to the one above, as itself, checked on
// each handle, and reads each level's security through `read`. Gives the last
// level's handle (traverse, list, read control), or an empty one when a level
// could not be opened, checked or read (the last of `levels`).
UniqueHandle WalkFolderChain(const std::wstring& folder, ReadSecurityCall read, std::vector<FolderLevel>& levels);
// The checked handle of `folder` when FirstOpenLevel finds nothing; otherwise
// an empty handle and that level's path in `openLevel`.
UniqueHandle OpenSafeFolder(const std::wstring& folder, ReadSecurityCall read, std::wstring& openLevel);
// The tool's own folder for install, autolaunch and noautolaunch: its
// checked handle, or an empty one after the line
// "  [!] <folder> は管理者以外も書き換えられるため、中止しました。..." naming the
// folder (or TWPortMon.dll or the editor in it) that anyone else may change.
UniqueHandle OpenProgramFolder();

// ---------------------------------------------------------------------------
// Editor settings (settings.cpp)

// Writes InstallDir, EditorPath and AutoLaunch; false when they could not be written.
bool WriteEditorSettings(bool autoLaunch);
// The editor settings as they stood before install wrote them, raw, so that a
// failed install can put back what an earlier installation had.
struct SettingsSnapshot {
    struct Value {
        const wchar_t* name;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
    };
    bool keyExisted = false;
    std::vector<Value> values;
};
SettingsSnapshot TakeSettingsSnapshot();
// Puts the snapshot back (a key that did not exist is deleted again) and
// says so in one line.
void RestoreSettings(const SettingsSnapshot& before);

// ---------------------------------------------------------------------------
// Report text (report_text.cpp): the decisions of the status and diagnostic
// reports, as plain functions of plain data.

// Display columns of a text: East Asian wide and full-width characters take two.
size_t DisplayColumns(const std::wstring& text);
// The label padded with blanks to `columns` display columns.
std::wstring PadLabel(const std::wstring& label, size_t columns);
// A report label: padded to 20 columns, then ": ".
std::wstring ReportLabel(const std::wstring& label);
// A file line's label: padded to 24 columns (followed by " : " in the line).
std::wstring FileLabel(const std::wstring& label);

std::wstring ServiceStateWord(DWORD state);
// The words for the set bits, in the report's order, each with its leading blank(s).
std::wstring PrinterStatusWords(DWORD status);
std::wstring PrinterAttributeWords(DWORD attributes);
std::wstring JobStatusWords(DWORD status);
std::wstring FormatJobLine(const JOB_INFO_2W& job);

struct SpoolCounts {
    int prn = 0;
    int ready = 0;
    int part = 0;
};
// Counts names by the text from their last "." on, ignoring case.
SpoolCounts CountSpoolFiles(const std::vector<std::wstring>& names);

// The last `maximum` non-empty lines of UTF-8 text, CR LF or LF ended.
std::vector<std::wstring> LogTailLines(const std::string& bytes, size_t maximum);

struct WindowsVersion {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
};
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
// What the report shows for the running Windows; a missing function reads 0.0 build 0.
WindowsVersion ReadWindowsVersion(RtlGetVersionFunction rtlGetVersion);

// ---------------------------------------------------------------------------
// Reports and removal (status.cpp, diag.cpp, uninstall.cpp)

struct MonitorEntry {
    std::wstring name;
    std::wstring dll;
};
// The registered monitors named TWPortMon (ignoring case), as the spooler
// spells them; empty when there is none or the list cannot be had.
std::vector<MonitorEntry> RegisteredMonitors();

struct QueuePorts {
    std::wstring queue;
    std::wstring ports;  // as the spooler gives them: one name, or several separated by commas
};
// The queues that use one of `ports` (ignoring case), in the order given.
std::vector<std::wstring> QueuesOnPorts(const std::vector<QueuePorts>& queues, const std::vector<std::wstring>& ports);
// The ports that the spooler lists as the monitor's.
std::vector<std::wstring> MonitorPorts();
// The local queues on a port that the spooler lists as the monitor's.
std::vector<std::wstring> QueuesOnMonitorPorts();

int ShowStatus();
int RunDiagnostics();

// "check" (check.cpp): its decisions over plain data.
// The file version of a VS_VERSIONINFO resource's fixed part; false when the bytes are none.
bool ReadFixedFileVersion(const BYTE* data, size_t size, ULONGLONG& version);
std::wstring VersionText(ULONGLONG version);  // "1.2.3.4"
struct RegistryText {
    bool present = false;
    DWORD type = REG_NONE;
    std::wstring text;  // a string value up to its first NUL
    DWORD number = 0;   // a REG_DWORD
};
struct EditorSettingsValues {
    bool keyFound = false;
    RegistryText installDir, editorPath, autoLaunch;
};
// Empty when the settings are as install writes them (AutoLaunch may be
// missing, which means on); otherwise what is wrong.
std::wstring SettingsFault(const EditorSettingsValues& values);
// Prints one line per link; 0 when all hold, else the first broken link's code.
int RunCheck();
void ReportFile(const std::wstring& label, const std::wstring& path);
void ReportPrinter();
void ReportJobs();
void ReportSpoolFolder();
void PrintLogTail(const std::wstring& path, size_t maximumLines);
using DeleteMonitorCall = BOOL(WINAPI*)(LPWSTR server, LPWSTR environment, LPWSTR monitor);
// Uninstall with the spooler's DeleteMonitorW, or a stand-in for one that refuses.
int UninstallWith(DeleteMonitorCall deleteMonitor);
int Uninstall();

// ---------------------------------------------------------------------------
// Driver and port listings (listing.cpp; what they print for an enumeration
// result is in listing.h)

void ListInstalledDrivers();
void ListPorts();

// ---------------------------------------------------------------------------
// Driver and printer queue (printer.cpp)

inline constexpr DWORD kDriverInstallTimeoutMs = 180000;
inline constexpr DWORD kDriverSettleMs = 2000;

// The driver list contains the name, compared without regard to ASCII case.
bool IsDriverInstalled(const std::wstring& driver);
// The printui command line that installs the driver from the system's
// ntprint.inf; empty when the name cannot be passed inside double quotes.
std::wstring DriverInstallCommandLine(const std::wstring& driver, const std::wstring& windowsFolder,
                                     const std::wstring& architecture);
// Runs the installation when the driver is missing; whether it worked is the
// caller's own check. Always true.
bool EnsureDriver(const std::wstring& driver);
// The queue's definition for AddPrinterW level 2; its texts point into the
// arguments and the program's constants.
PRINTER_INFO_2W PrinterQueueRecord(const std::wstring& driver, const std::wstring& port);
// True when the queue exists afterwards (it was there already or was created).
bool CreatePrinterQueue(const std::wstring& driver, const std::wstring& port);

// ---------------------------------------------------------------------------
// Paper forms (forms.cpp)

struct PaperForm {
    const wchar_t* name;
    double widthMm;
    double heightMm;
};
// The forms registered on the local print server, in registration order.
extern const PaperForm PaperFormTable[22];

// Millimetres to the print server's thousandths of a millimetre, rounded.
LONG FormMicrons(double millimetres);
// The level 1 record for a form: a user form whose imageable area is the whole sheet.
FORM_INFO_1W PaperFormRecord(const PaperForm& form);

enum class FormOutcome { Added, Existing, Failed };
// What one AddFormW result means; `error` is read only when it failed.
FormOutcome ClassifyFormResult(BOOL added, DWORD error);
struct FormCounts {
    int added = 0;
    int existing = 0;
    int failed = 0;
};
FormCounts CountFormOutcomes(const std::vector<FormOutcome>& outcomes);

using AddFormCall = BOOL (*)(HANDLE server, FORM_INFO_1W* form);
// Registers every form of the table through `addForm` on the local print
// server; true when the server could be opened and no form failed.
bool AddPaperFormsWith(AddFormCall addForm);
bool AddPaperForms();

// ---------------------------------------------------------------------------
// Queue maintenance (queue.cpp)

// Turns the keep-printed-jobs bit off in a record read with GetPrinterW and
// readies it for SetPrinterW; false when the bit was already off.
bool ClearKeepPrintedJobs(PRINTER_INFO_2W& printer);
// True when the queue keeps no printed jobs afterwards. Quiet mode prints
// only a change or a failed write.
bool DisableKeepPrintedJobs(bool quiet);

using PurgeCall = BOOL (*)(HANDLE printer);
BOOL PurgePrinter(HANDLE printer);  // SetPrinterW level 0, PRINTER_CONTROL_PURGE
// The "cleanqueue" command with the purge done by `purge`: its exit code.
int CleanQueueWith(PurgeCall purge);
int CleanQueue();

// ---------------------------------------------------------------------------
// Install (install.cpp)

// True when the DLL is in the system folder and the monitor is registered
// (newly or already). The DLL is opened once in the checked `programFolder`,
// checked on that handle and copied from it.
bool DeployMonitor(HANDLE programFolder);
int Install(const InstallOptions& options);

// ---------------------------------------------------------------------------
// The computer's and the monitor's machine (machine.cpp)

// The machine field of a PE image's header (IMAGE_FILE_MACHINE_AMD64,
// IMAGE_FILE_MACHINE_ARM64, ...) from its first bytes; 0 when they are no PE header.
USHORT PeMachineOf(const std::string& bytes);
// "x64", "ARM64", "x86", or the number ("0x01C4").
std::wstring MachineName(USHORT machine);
// GetNativeSystemInfo's PROCESSOR_ARCHITECTURE_* as a machine; 0 for others.
USHORT MachineOfProcessorArchitecture(WORD architecture);
// The computer's own machine, whatever this program is built for.
USHORT NativeMachine();

struct FileMachine {
    bool found;      // false only when the file does not exist
    USHORT machine;  // 0 when it could not be read or is no PE image
};
FileMachine ReadFileMachine(const std::wstring& path);
// The diag line's text for the installed and the shipped monitor DLL.
std::wstring MonitorMachinesText(const FileMachine& system32, const FileMachine& shipped);
