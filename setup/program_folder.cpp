// The folders the tool takes code from or writes its report to, checked from
// the volume root down. install copies TWPortMon.dll from its own folder into
// the system folder, where the spooler loads it as SYSTEM, and all three
// settings commands name the editor there, which the monitor starts in every
// printing user's session. Whoever may change that folder, or replace any
// folder above it, decides what runs: so the tool refuses such a folder. Each
// level is opened relative to the one above and checked on its handle, and
// what is taken from the last is opened through that handle.
#include "setup/setup.h"

#include <algorithm>
#include <cwchar>

#include "common/unique_handle.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kLevelAccess = READ_CONTROL | FILE_TRAVERSE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kUncPrefix[] = L"\\\\?\\UNC\\";

// The length of the volume root in a final path ("\\?\C:\", "\\?\UNC\server\share\"); 0 when unknown.
size_t VolumeRootLength(const std::wstring& path) {
    if (path.compare(0, wcslen(kUncPrefix), kUncPrefix) == 0) {
        const size_t server = path.find(L'\\', wcslen(kUncPrefix));
        if (server == std::wstring::npos) return 0;
        const size_t share = path.find(L'\\', server + 1);
        return share == std::wstring::npos ? path.size() : share + 1;
    }
    const size_t drive = wcslen(kLongPrefix);
    if (path.compare(0, drive, kLongPrefix) != 0 || path.size() < drive + 2 || path[drive + 1] != L':') return 0;
    return drive + 2 + (path.size() > drive + 2 ? 1 : 0);
}

// The path as a user would write it, for the messages.
std::wstring Plain(const std::wstring& path) {
    if (path.compare(0, wcslen(kUncPrefix), kUncPrefix) == 0) return L"\\\\" + path.substr(wcslen(kUncPrefix));
    if (path.compare(0, wcslen(kLongPrefix), kLongPrefix) == 0) return path.substr(wcslen(kLongPrefix));
    return path;
}

void ReportOpenFolder(const std::wstring& path) {
    PrintLine(L"  [!] %s は管理者以外も書き換えられるため、中止しました。Program Files の下に置いてください。",
              path.c_str());
}

}  // namespace

std::wstring FirstOpenLevel(const std::vector<FolderLevel>& levels, const std::vector<std::wstring>& trusted) {
    for (size_t i = 0; i < levels.size(); ++i) {
        const bool last = i + 1 == levels.size();
        if (!levels[i].read || (last ? LetsOthersWrite(levels[i].security, trusted)
                                     : LetsOthersReplace(levels[i].security, trusted))) {
            return levels[i].path;
        }
    }
    return std::wstring();
}

UniqueHandle WalkFolderChain(const std::wstring& folder, ReadSecurityCall read, std::vector<FolderLevel>& levels) {
    levels.clear();
    const std::wstring resolved = ResolvedFolder(folder);
    const size_t rootLength = VolumeRootLength(resolved);
    if (rootLength == 0) {
        levels.push_back({folder, false, {}});
        return UniqueHandle();
    }
    const std::wstring root = resolved.substr(0, rootLength);
    UniqueHandle level(CreateFileW(root.c_str(), kLevelAccess, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                   nullptr));
    const std::wstring resolvedRoot = level ? FinalPathOf(level.get()) : std::wstring();
    levels.push_back({Plain(root), false, {}});
    levels.back().read = level && read(level.get(), levels.back().security);
    size_t at = rootLength;
    while (levels.back().read && at < resolved.size()) {
        const size_t end = std::min(resolved.find(L'\\', at), resolved.size());
        const std::wstring name = resolved.substr(at, end - at);
        at = end + 1;
        if (name.empty()) continue;
        const std::wstring path = resolved.substr(0, end);
        UniqueHandle below;
        bool isFolder = false;
        levels.push_back({Plain(path), false, {}});
        if (OpenBelow(level.get(), name, kLevelAccess, BelowOpen::Folder, below) != ERROR_SUCCESS ||
            !IsIntendedObject(below.get(), resolvedRoot, path.substr(rootLength - 1), isFolder) || !isFolder) {
            return UniqueHandle();
        }
        level = std::move(below);
        levels.back().read = read(level.get(), levels.back().security);
    }
    return levels.back().read ? std::move(level) : UniqueHandle();
}

UniqueHandle OpenSafeFolder(const std::wstring& folder, ReadSecurityCall read, std::wstring& openLevel) {
    std::vector<FolderLevel> levels;
    UniqueHandle last = WalkFolderChain(folder, read, levels);
    openLevel = FirstOpenLevel(levels, TrustedAccounts());
    if (!openLevel.empty()) return UniqueHandle();
    return last;
}

bool IsSafeFileIn(HANDLE folder, const std::wstring& name, const std::wstring& path) {
    UniqueHandle file;
    const DWORD error = OpenBelow(folder, name, READ_CONTROL | FILE_READ_ATTRIBUTES, BelowOpen::File, file);
    if (error == ERROR_FILE_NOT_FOUND) return true;  // nothing there to take
    ObjectSecurity security;
    return error == ERROR_SUCCESS && IsIntendedFileBelow(file.get(), path, 1) && ReadSecurity(file.get(), security) &&
           !LetsOthersWrite(security, TrustedAccounts());
}

UniqueHandle OpenProgramFolder() {
    const std::wstring folder = ModuleDirectory();
    std::wstring openLevel;
    UniqueHandle checked = folder == L"." ? UniqueHandle() : OpenSafeFolder(folder, ReadSecurity, openLevel);
    // The files it takes from there, as they stand now (install checks the DLL again on the handle it copies from).
    for (const wchar_t* name : {kMonitorFileName, kEditorFileName}) {
        const std::wstring file = folder + L"\\" + name;
        if (checked && !IsSafeFileIn(checked.get(), name, file)) {
            checked.reset();
            openLevel = file;
        }
    }
    if (!checked) ReportOpenFolder(openLevel.empty() ? folder : openLevel);
    return checked;
}
