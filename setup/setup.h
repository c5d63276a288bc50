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

// ---------------------------------------------------------------------------
// Command line and dispatch (dispatch.cpp)

struct InstallOptions {
    std::wstring driver = kDefaultDriverName;
    std::wstring port = kDefaultPortName;
    bool noprinter = false;
    bool noautolaunch = false;
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
// Console output (console.cpp)

inline constexpr size_t kLineUnits = 1024;  // a formatted line carries at most 1023 units

// UTF-16 to a console, UTF-8 bytes (no byte order mark) to anything else.
void WriteConsoleText(const wchar_t* text);
// Printf-style with the Windows convention (%s is a wide string), then CR LF.
void PrintLine(const wchar_t* format, ...);
// "  [!] label : (0x%08X) system text" for the calling thread's last-error code.
void ReportLastError(const wchar_t* label);
// The same report for a registry call's returned status.
void ReportRegistryError(LONG status, const wchar_t* label);

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
// Data folder (data_folder.cpp)

// The data folder for the values of "ProgramData" and "ALLUSERSPROFILE" as
// the environment holds them (empty when unset).
std::wstring ChooseDataFolder(const std::wstring& programData, const std::wstring& allUsersProfile);
std::wstring DataFolderPath();
// True when the path is a folder afterwards; creates missing parents first.
bool CreateFolderChain(const std::wstring& path);
bool IsReparsePoint(const std::wstring& path);
// The first file or folder at or below `folder` that is a junction or a link
// (which is never followed), or a file with more than one name (a hard link),
// or empty when there is none. A file that cannot be checked counts as one.
std::wstring FindReparsePoint(const std::wstring& folder);
// The command line that gives the built-in Users group modify rights on the folder.
std::wstring GrantUsersCommandLine(const std::wstring& folder);
// Creates the data, spool and processed folders and grants the Users group
// modify rights; prints one line.
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
// True when the open file is a file with exactly one name whose final path is
// `resolvedRoot` (from ResolvedFolder) followed by `below` (the rest of the
// intended path, beginning with a backslash), ignoring case.
bool IsIntendedFile(HANDLE file, const std::wstring& resolvedRoot, const std::wstring& below);
// IsIntendedFile for a file `levels` folders below the folder taken as it is
// (1: the file's own folder is that root).
bool IsIntendedFileBelow(HANDLE file, const std::wstring& path, int levels);

// ---------------------------------------------------------------------------
// Editor settings (settings.cpp)

// Writes InstallDir, EditorPath and AutoLaunch; false when they could not be written.
bool WriteEditorSettings(bool autoLaunch);

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

int ShowStatus();
int RunDiagnostics();
void ReportFile(const std::wstring& label, const std::wstring& path);
void ReportPrinter();
void ReportJobs();
void ReportSpoolFolder();
void PrintLogTail(const std::wstring& path, size_t maximumLines);
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

// True when the DLL is in the system folder and the monitor is registered (newly or already).
bool DeployMonitor();
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
