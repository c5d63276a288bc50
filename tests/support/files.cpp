#include "tests/support/files.h"

#include <algorithm>
#include <atomic>

#include "common/unique_handle.h"

namespace tw_test {

std::wstring ModuleFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L'\\'));
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring MakeTempFolder(const std::wstring& tag) {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    for (;;) {
        const std::wstring path = std::wstring(temp) + L"tw-" + tag + L"-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(counter++);
        if (CreateDirectoryW(path.c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return std::wstring();
    }
}

void RemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const std::wstring& name : ListFolder(path)) RemoveTree(path + L"\\" + name);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadFileBytes(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &written, nullptr) &&
                             written == bytes.size());
}

std::vector<std::wstring> ListFolder(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data = {};
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::string Quoted(const std::string& unixPath) {
    return "'" + unixPath + "'";
}

}  // namespace

// The Unix path of a Windows path, from Wine; empty elsewhere. The last
// component need not exist.
std::string UnixPathOf(const std::wstring& path) {
    using ToUnix = char*(CDECL*)(LPCWSTR);
    const auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix == nullptr) return std::string();
    const size_t separator = path.find_last_of(L'\\');
    char* parent = toUnix(path.substr(0, separator).c_str());
    if (parent == nullptr) return std::string();
    const std::string result = std::string(parent) + "/" + AsUtf8(path.substr(separator + 1));
    HeapFree(GetProcessHeap(), 0, parent);
    return result;
}

// Runs a shell command of the host (Unix) system and waits for it. Wine starts
// host programs detached, without a handle to wait on, so the command leaves a
// marker file saying how it ended.
bool RunHostShell(const std::string& command) {
    const std::wstring folder = MakeTempFolder(L"host");
    const std::wstring marker = folder + L"\\ended";
    const std::string unixMarker = UnixPathOf(marker);
    if (unixMarker.empty()) return false;
    std::wstring commandLine = L"Z:\\bin\\sh -c \"" +
                               FromUtf8("(" + command + ") && echo ok > '" + unixMarker + "' || echo failed > '" +
                                        unixMarker + "'") +
                               L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::string ended;
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        if (info.hProcess != nullptr) CloseHandle(info.hProcess);
        if (info.hThread != nullptr) CloseHandle(info.hThread);
        for (int i = 0; i < 400 && ended.find('\n') == std::string::npos; ++i) {
            Sleep(25);
            ended = ReadFileBytes(marker);
        }
    }
    RemoveTree(folder);
    return ended == "ok\n";
}

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target) {
    const std::string unixLink = UnixPathOf(link);
    const std::string unixTarget = UnixPathOf(target);
    return !unixLink.empty() && !unixTarget.empty() && RunHostShell("ln -s " + Quoted(unixTarget) + " " + Quoted(unixLink));
}

bool MakeFifo(const std::wstring& path) {
    const std::string unixPath = UnixPathOf(path);
    return !unixPath.empty() && RunHostShell("mkfifo " + Quoted(unixPath));
}

bool RemoveWithoutFollowing(const std::wstring& path) {
    const std::string unixPath = UnixPathOf(path);
    return !unixPath.empty() && RunHostShell("rm -rf " + Quoted(unixPath));
}

std::string AsUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], bytes,
                        nullptr, nullptr);
    return result;
}

SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms) {
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    return t;
}

std::vector<std::string> SplitLines(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find("\r\n", start);
        if (end == std::string::npos) end = output.size();
        lines.push_back(output.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> Utf8Lines(std::initializer_list<std::wstring> lines) {
    std::vector<std::string> result;
    for (const std::wstring& line : lines) result.push_back(AsUtf8(line));
    return result;
}

std::wstring FromUtf8(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                          nullptr, 0);
    std::wstring result(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &result[0], units);
    return result;
}

ScopedEnvironment::ScopedEnvironment(const std::wstring& name, const std::wstring* value)
    : name_(name), hadOld_(false) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name.c_str(), buffer, 32768);
    if (length > 0 && length < 32768) {
        old_.assign(buffer, length);
        hadOld_ = true;
    }
    SetEnvironmentVariableW(name.c_str(), value != nullptr ? value->c_str() : nullptr);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), hadOld_ ? old_.c_str() : nullptr);
}

ScopedSystemStandIn::ScopedSystemStandIn(const std::wstring& programName, DWORD sleepMs)
    : program_(programName), target_(SystemFolder() + L"\\" + programName), ready_(false) {
    folder_ = MakeTempFolder(L"standin");
    saved_ = folder_ + L"\\original.exe";
    recordFile_ = std::make_unique<ScopedEnvironment>(L"TW_RECORD_FILE", folder_ + L"\\recorded.txt");
    programsFile_ = std::make_unique<ScopedEnvironment>(L"TW_RECORD_PROGRAMS", folder_ + L"\\programs.txt");
    foldersFile_ = std::make_unique<ScopedEnvironment>(L"TW_RECORD_FOLDERS", folder_ + L"\\folders.txt");
    const std::wstring sleep = std::to_wstring(sleepMs);
    sleepMs_ = std::make_unique<ScopedEnvironment>(L"TW_RECORD_SLEEP_MS", sleepMs > 0 ? &sleep : nullptr);
    hadOriginal_ = PathExists(target_);
    if (hadOriginal_ && !CopyFileW(target_.c_str(), saved_.c_str(), FALSE)) return;
    if (!CopyFileW((ModuleFolder() + L"\\twrecord.exe").c_str(), target_.c_str(), FALSE)) return;
    // Wine runs its own built-in program whatever file lies in the system
    // folder; the override in the registry reaches the processes started from
    // here on (WINEDLLOVERRIDES changed at run time would not).
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        overrides_.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    const wchar_t native[] = L"native";
    ready_ = RegSetValueExW(overrides_.get(), programName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(native),
                            sizeof(native)) == ERROR_SUCCESS;
}

ScopedSystemStandIn::~ScopedSystemStandIn() {
    if (overrides_) RegDeleteValueW(overrides_.get(), program_.c_str());
    if (hadOriginal_) {
        CopyFileW(saved_.c_str(), target_.c_str(), FALSE);
    } else {
        DeleteFileW(target_.c_str());
    }
    sleepMs_.reset();
    foldersFile_.reset();
    programsFile_.reset();
    recordFile_.reset();
    RemoveTree(folder_);
}

std::string ScopedSystemStandIn::Recorded() const {
    return ReadFileBytes(folder_ + L"\\recorded.txt");
}

std::string ScopedSystemStandIn::Programs() const {
    return ReadFileBytes(folder_ + L"\\programs.txt");
}

std::string ScopedSystemStandIn::Folders() const {
    return ReadFileBytes(folder_ + L"\\folders.txt");
}

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, HANDLE token,
                         const wchar_t* currentFolder) {
    ProcessResult result;
    const std::wstring folder = MakeTempFolder(L"run");
    const std::wstring outPath = folder + L"\\stdout.bin";
    const std::wstring errPath = folder + L"\\stderr.bin";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    {
        UniqueHandle out(CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        UniqueHandle err(CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        UniqueHandle in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in.get();
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        PROCESS_INFORMATION info = {};
        std::wstring writable = commandLine;
        const BOOL created =
            token != nullptr
                ? CreateProcessAsUserW(token, nullptr, &writable[0], nullptr, nullptr, TRUE,
                                       CREATE_NO_WINDOW, nullptr, currentFolder, &startup, &info)
                : CreateProcessW(nullptr, &writable[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                 nullptr, currentFolder, &startup, &info);
        if (created) {
            result.started = true;
            UniqueHandle process(info.hProcess);
            UniqueHandle thread(info.hThread);
            WaitForSingleObject(process.get(), timeoutMs);
            GetExitCodeProcess(process.get(), &result.exitCode);
        }
    }
    result.output = ReadFileBytes(outPath);
    result.errors = ReadFileBytes(errPath);
    RemoveTree(folder);
    return result;
}

}  // namespace tw_test
