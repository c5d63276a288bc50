// "check": walks the chain that printing needs, one line per link, and tells
// a deployment tool by its exit code whether everything holds and, if not,
// which link is the first to break. It only reads; it needs no elevation.
#include "setup/setup.h"

#include <cstring>

#include "common/unique_handle.h"

namespace {

// A module loaded as a data file only (its resources), never run.
struct DataModuleTraits {
    using Value = HMODULE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { ::FreeLibrary(v); }
};
using UniqueDataModule = Unique<DataModuleTraits>;

constexpr DWORD kVersionResourceId = 1;  // VS_VERSION_INFO
constexpr DWORD kSettingBytes = 2048;

struct CheckLink {
    bool holds;
    std::wstring text;
};

std::wstring Broken(const std::wstring& text) {
    return L"[!] " + text;
}

bool ModuleFileVersion(HMODULE module, ULONGLONG& version) {
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kVersionResourceId), RT_VERSION);
    if (resource == nullptr) return false;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    return data != nullptr &&
           ReadFixedFileVersion(static_cast<const BYTE*>(data), SizeofResource(module, resource), version);
}

std::wstring DeployedMonitorPath() {
    return SystemDirectory() + L"\\" + kMonitorFileName;
}

CheckLink CheckProtectedPrint() {
    const ProtectedPrintState state = DecideProtectedPrint(ReadProtectedPrintValues());
    const std::wstring text = ProtectedPrintText(state);
    return {!state.on, state.on ? Broken(text) : text};
}

CheckLink CheckRegistration() {
    const std::vector<MonitorEntry> monitors = RegisteredMonitors();
    if (monitors.empty()) return {false, Broken(L"登録されていません")};
    return {true, L"あり (" + monitors.front().dll + L")"};
}

CheckLink CheckMonitorFile() {
    const std::wstring path = DeployedMonitorPath();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {false, Broken(L"ありません (" + path + L")")};
    }
    return {true, path};
}

CheckLink CheckMonitorVersion() {
    ULONGLONG shipped = 0;
    if (!ModuleFileVersion(nullptr, shipped)) return {false, Broken(L"このツールの版を読めません")};
    ULONGLONG deployed = 0;
    UniqueDataModule module(LoadLibraryExW(DeployedMonitorPath().c_str(), nullptr,
                                           LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module || !ModuleFileVersion(module.get(), deployed)) return {false, Broken(L"版を読めません")};
    if (deployed != shipped) {
        return {false, Broken(VersionText(deployed) + L" (このツールは " + VersionText(shipped) + L")")};
    }
    return {true, VersionText(deployed)};
}

std::wstring Joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) text += (text.empty() ? L"" : L", ") + name;
    return text;
}

CheckLink CheckPort() {
    const std::vector<std::wstring> ports = MonitorPorts();
    if (ports.empty()) return {false, Broken(L"スプーラが TWPortMon のポートを一覧にしていません")};
    return {true, Joined(ports)};
}

CheckLink CheckQueue() {
    const std::vector<std::wstring> queues = QueuesOnMonitorPorts();
    if (queues.empty()) return {false, Broken(L"TWPortMon のポートを使うプリンタがありません")};
    return {true, Joined(queues)};
}

CheckLink CheckDataFolders() {
    const std::wstring data = DataFolderPath();
    for (const std::wstring& folder : {data, data + L"\\Spool", data + L"\\Processed"}) {
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return {false, Broken(folder + L" がありません")};
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return {false, Broken(folder + L" はフォルダではありません")};
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return {false, Broken(folder + L" はリンクになっています")};
    }
    return {true, data};
}

RegistryText ReadSetting(HKEY key, const wchar_t* name) {
    RegistryText read;
    wchar_t data[kSettingBytes / sizeof(wchar_t) + 1] = {};
    DWORD size = kSettingBytes;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
        return read;
    }
    read.present = true;
    read.type = type;
    read.text = data;  // up to the first NUL, never past the buffer
    return read;
}

CheckLink CheckSettings() {
    EditorSettingsValues values;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) ==
        ERROR_SUCCESS) {
        values.keyFound = true;
        values.installDir = ReadSetting(key.get(), L"InstallDir");
        values.editorPath = ReadSetting(key.get(), L"EditorPath");
        DWORD number = 0;
        DWORD size = sizeof(number);
        DWORD type = REG_NONE;
        if (RegQueryValueExW(key.get(), L"AutoLaunch", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
            ERROR_FILE_NOT_FOUND) {
            values.autoLaunch.present = true;
            values.autoLaunch.type = type;
            values.autoLaunch.number = number;
        }
    }
    const std::wstring fault = SettingsFault(values);
    if (!fault.empty()) return {false, Broken(fault)};
    const bool on = !values.autoLaunch.present || values.autoLaunch.number != 0;
    return {true, values.editorPath.text + (on ? L" (自動起動 有効)" : L" (自動起動 無効)")};
}

struct CheckStep {
    const wchar_t* label;
    int exitCode;
    CheckLink (*run)();
};

// In the order printing depends on them: a mode that keeps every monitor out
// first, then the monitor, its port and queue, and what the monitor reads.
const CheckStep kCheckSteps[] = {
    {L"保護印刷モード", kExitCheckProtectedPrint, CheckProtectedPrint},
    {L"ポートモニタ登録", kExitCheckNotRegistered, CheckRegistration},
    {L"TWPortMon.dll", kExitCheckFileMissing, CheckMonitorFile},
    {L"TWPortMon.dll の版", kExitCheckFileVersion, CheckMonitorVersion},
    {L"ポート", kExitCheckPortMissing, CheckPort},
    {L"プリンタ", kExitCheckQueueMissing, CheckQueue},
    {L"データフォルダ", kExitCheckDataFolder, CheckDataFolders},
    {L"設定", kExitCheckSettings, CheckSettings},
};

}  // namespace

bool ReadFixedFileVersion(const BYTE* data, size_t size, ULONGLONG& version) {
    // VS_VERSIONINFO: three WORDs, the key "VS_VERSION_INFO" with its NUL,
    // padding to 32 bits, then the VS_FIXEDFILEINFO as its value.
    static const wchar_t kKey[] = L"VS_VERSION_INFO";
    constexpr size_t kKeyOffset = 6;
    constexpr size_t kValueOffset = (kKeyOffset + sizeof(kKey) + 3) & ~static_cast<size_t>(3);
    if (data == nullptr || size < kValueOffset + sizeof(VS_FIXEDFILEINFO)) return false;
    WORD valueLength = 0;
    memcpy(&valueLength, data + 2, sizeof(valueLength));
    if (valueLength < sizeof(VS_FIXEDFILEINFO) || memcmp(data + kKeyOffset, kKey, sizeof(kKey)) != 0) return false;
    VS_FIXEDFILEINFO info = {};
    memcpy(&info, data + kValueOffset, sizeof(info));
    if (info.dwSignature != 0xFEEF04BD) return false;
    version = (static_cast<ULONGLONG>(info.dwFileVersionMS) << 32) | info.dwFileVersionLS;
    return true;
}

std::wstring VersionText(ULONGLONG version) {
    wchar_t text[64];
    FormatText(text, 64, L"%u.%u.%u.%u", static_cast<unsigned>(version >> 48), static_cast<unsigned>((version >> 32) & 0xFFFF),
               static_cast<unsigned>((version >> 16) & 0xFFFF), static_cast<unsigned>(version & 0xFFFF));
    return text;
}

std::wstring SettingsFault(const EditorSettingsValues& values) {
    if (!values.keyFound) return std::wstring(L"HKLM\\") + kSettingsKeyPath + L" がありません";
    const RegistryText& dir = values.installDir;
    if (!dir.present || dir.type != REG_SZ || dir.text.empty()) return L"InstallDir がありません";
    const std::wstring editor = dir.text + L"\\" + kEditorFileName;
    const RegistryText& path = values.editorPath;
    // What the monitor starts after each job: the editor beside the tool that wrote InstallDir.
    if (!path.present || path.type != REG_SZ || !EqualsIgnoringAsciiCase(path.text, editor)) {
        return L"EditorPath が " + editor + L" ではありません";
    }
    if (values.autoLaunch.present && values.autoLaunch.type != REG_DWORD) return L"AutoLaunch が REG_DWORD ではありません";
    return std::wstring();
}

int RunCheck() {
    int exitCode = kExitSuccess;
    const wchar_t* firstBroken = nullptr;
    for (const CheckStep& step : kCheckSteps) {
        const CheckLink link = step.run();
        PrintLine(L"%s%s", ReportLabel(step.label).c_str(), link.text.c_str());
        if (!link.holds && exitCode == kExitSuccess) {
            exitCode = step.exitCode;
            firstBroken = step.label;
        }
    }
    if (firstBroken == nullptr) {
        PrintLine(L"印刷に必要なものはすべてそろっています。");
    } else {
        PrintLine(L"  [!] 最初に途切れているのは「%s」です (終了コード %d)", firstBroken, exitCode);
    }
    return exitCode;
}
