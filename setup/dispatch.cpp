// The command line: the command, the install options, the usage text, the
// elevation check and the one table of commands. Each later command only adds
// a row to kCommands.
#include "setup/setup.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

namespace {

// The editor is named in the folder the tool runs from: never one anyone else may change.
int RunAutoLaunchOn(const InstallOptions&) {
    if (!OpenProgramFolder()) return kExitFailure;
    // A failure to write is reported by its own line; the exit code stays 0.
    WriteEditorSettings(true);
    return kExitSuccess;
}

int RunAutoLaunchOff(const InstallOptions&) {
    if (!OpenProgramFolder()) return kExitFailure;
    WriteEditorSettings(false);
    return kExitSuccess;
}

int RunInstall(const InstallOptions& options) {
    return Install(options);
}

int RunUninstall(const InstallOptions&) {
    return Uninstall();
}

int RunStatus(const InstallOptions&) {
    return ShowStatus();
}

int RunDiag(const InstallOptions&) {
    return RunDiagnostics();
}

int RunCheckCommand(const InstallOptions&) {
    return RunCheck();
}

// A spooler left stopped is a failure the caller must be able to see.
int RunSpoolerRestart(const InstallOptions&) {
    return RestartSpooler() ? kExitSuccess : kExitFailure;
}

int RunPrinter(const InstallOptions& options) {
    return CreatePrinterQueue(options.driver, options.port) ? kExitSuccess : kExitPrinterFailed;
}

int RunAddForms(const InstallOptions&) {
    return AddPaperForms() ? kExitSuccess : kExitFormsFailed;
}

int RunCleanQueue(const InstallOptions&) {
    return CleanQueue();
}

int RunList(const InstallOptions&) {
    ListInstalledDrivers();
    ListPorts();
    return kExitSuccess;
}

// Commands are compared exactly, case-sensitive, over the whole argument.
constexpr CommandEntry kCommands[] = {
    {L"install", true, RunInstall},
    {L"autolaunch", true, RunAutoLaunchOn},
    {L"noautolaunch", true, RunAutoLaunchOff},
    {L"uninstall", true, RunUninstall},
    {L"status", false, RunStatus},
    {L"diag", false, RunDiag},
    {L"check", false, RunCheckCommand},
    {L"spooler", true, RunSpoolerRestart},
    {L"printer", true, RunPrinter},
    {L"addforms", true, RunAddForms},
    {L"cleanqueue", true, RunCleanQueue},
    {L"list", false, RunList},
};

constexpr const wchar_t* kHelpCommands[] = {L"", L"/?", L"-h", L"--help"};

// Value options: the text after the prefix, unchanged (it may be empty or hold ':' and '=').
struct ValueOption {
    const wchar_t* prefix;
    std::wstring InstallOptions::*field;
};
constexpr ValueOption kValueOptions[] = {
    {L"/driver:", &InstallOptions::driver},
    {L"--driver=", &InstallOptions::driver},
    {L"/port:", &InstallOptions::port},
    {L"--port=", &InstallOptions::port},
    {L"/log:", &InstallOptions::log},
};

// Flags: the whole argument, without regard to the case of ASCII letters.
struct FlagOption {
    const wchar_t* name;
    bool InstallOptions::*field;
};
constexpr FlagOption kFlagOptions[] = {
    {L"/noprinter", &InstallOptions::noprinter},
    {L"--noprinter", &InstallOptions::noprinter},
    {L"/noautolaunch", &InstallOptions::noautolaunch},
    {L"--noautolaunch", &InstallOptions::noautolaunch},
};

// Descriptions start at the 51st character of their line.
constexpr size_t kUsageDescriptionColumn = 50;
struct UsageRow {
    const wchar_t* command;
    const wchar_t* description;  // null: the line is the command part alone
};
constexpr UsageRow kUsage[] = {
    {L"TWSetup.exe install   [/driver:\"...\"] [/port:TARNWICK:] [/noprinter] [/noautolaunch]", nullptr},
    {L"TWSetup.exe autolaunch", L"印刷時の自動起動を有効化"},
    {L"TWSetup.exe noautolaunch", L"印刷時の自動起動を無効化"},
    {L"TWSetup.exe printer   [/driver:...] [/port:...]", L"プリンタだけ作成"},
    {L"TWSetup.exe uninstall", nullptr},
    {L"TWSetup.exe addforms", L"用紙サイズだけ登録"},
    {L"TWSetup.exe status", L"状態を表示"},
    {L"TWSetup.exe diag", L"詳しい診断を表示 (不具合の切り分け用)"},
    {L"TWSetup.exe check", L"印刷に必要なものがそろっているか確かめる (終了コードで答える)"},
    {L"TWSetup.exe spooler", L"スプーラを再起動して詰まりを解消"},
    {L"TWSetup.exe cleanqueue", L"残ったジョブを消し、印刷済みを残さない設定にする"},
    {L"TWSetup.exe list", L"ドライバとポートを一覧表示"},
};

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

wchar_t AsciiLower(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

void ApplyOption(const std::wstring& argument, InstallOptions& options) {
    for (const ValueOption& option : kValueOptions) {
        if (StartsWith(argument, option.prefix)) {
            options.*option.field = argument.substr(wcslen(option.prefix));
            return;
        }
    }
    for (const FlagOption& option : kFlagOptions) {
        if (EqualsIgnoringAsciiCase(argument, option.name)) {
            options.*option.field = true;
            return;
        }
    }
    // Anything else is ignored without a message.
}

}  // namespace

bool EqualsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

SetupRequest ParseCommandLine(const std::vector<std::wstring>& arguments) {
    SetupRequest request;
    if (arguments.size() > 1) request.command = arguments[1];
    // The command is never an option: "/noprinter install" names the command "/noprinter".
    for (size_t i = 2; i < arguments.size(); ++i) ApplyOption(arguments[i], request.options);
    return request;
}

const CommandEntry* FindCommand(const std::wstring& command) {
    for (const CommandEntry& entry : kCommands) {
        if (command == entry.name) return &entry;
    }
    return nullptr;
}

bool IsHelpCommand(const std::wstring& command) {
    return std::any_of(std::begin(kHelpCommands), std::end(kHelpCommands),
                       [&](const wchar_t* help) { return command == help; });
}

bool CommandNeedsElevation(const std::wstring& command) {
    if (IsHelpCommand(command)) return false;
    const CommandEntry* entry = FindCommand(command);
    return entry == nullptr || entry->needsElevation;
}

std::vector<std::wstring> UsageLines() {
    std::vector<std::wstring> lines;
    for (const UsageRow& row : kUsage) {
        std::wstring line = row.command;
        if (row.description != nullptr) {
            if (line.size() < kUsageDescriptionColumn) line.resize(kUsageDescriptionColumn, L' ');
            line += row.description;
        }
        lines.push_back(line);
    }
    return lines;
}

int RunSetup(const std::vector<std::wstring>& arguments, ElevationQuery isElevated) {
    const SetupRequest request = ParseCommandLine(arguments);
    // First, so that the file gets every line, the refusals too.
    UniqueHandle log;
    if (!request.options.log.empty()) log = OpenSetupLog(request.options.log);
    const ScopedPrintLog logging(log.get());

    if (IsHelpCommand(request.command)) {
        for (const std::wstring& line : UsageLines()) PrintLine(L"%s", line.c_str());
        return kExitFailure;
    }
    // Before the command is recognised: a non-elevated process learns nothing more.
    if (CommandNeedsElevation(request.command) && (isElevated == nullptr || !isElevated())) {
        PrintLine(L"[!] 管理者として実行してください。");
        return kExitFailure;
    }
    const CommandEntry* entry = FindCommand(request.command);
    if (entry == nullptr) {
        PrintLine(L"不明なコマンド: %s", request.command.c_str());
        return kExitFailure;
    }
    return entry->handler(request.options);
}
