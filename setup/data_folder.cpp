// The shared data folder under ProgramData, with Spool and Processed, where
// the monitor writes jobs and the editor picks them up. The built-in Users
// group gets modify rights on it, so the editor can move and delete jobs.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr size_t kRootValueUnits = 260;  // a usable root has 1 to 259 units
constexpr DWORD kGrantTimeoutMs = 120000;

// The variable's whole value; empty when it is unset or empty.
std::wstring EnvironmentValue(const wchar_t* name) {
    std::vector<wchar_t> buffer(kRootValueUnits);
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return std::wstring();
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(length);  // asks again: the value may have changed meanwhile
    }
}

bool IsUsableRoot(const std::wstring& value) {
    return !value.empty() && value.size() < kRootValueUnits;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

// A file below the data folder that icacls /T may change: one name only, and
// resolved to where it stands (under Wine a Unix link to a file shows no
// reparse point, but resolves elsewhere). One that vanished meanwhile is no
// concern; one that cannot be checked otherwise counts as a link.
bool IsOwnFileEntry(const std::wstring& path, const std::wstring& resolvedRoot, size_t rootLength) {
    UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                  nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    return IsIntendedFile(file.get(), resolvedRoot, path.substr(rootLength));
}

}  // namespace

std::wstring FindReparsePoint(const std::wstring& folder) {
    if (IsReparsePoint(folder)) return folder;
    // Files are checked on a handle against the folder above `folder`, taken as it is.
    const std::wstring root = ParentFolder(folder);
    const std::wstring resolvedRoot = ResolvedFolder(root);
    // A stack, not recursion: any user can make the tree as deep as they like.
    std::vector<std::wstring> pending = {folder};
    while (!pending.empty()) {
        const std::wstring current = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW entry = {};
        UniqueFind find(FindFirstFileW((current + L"\\*").c_str(), &entry));
        if (!find) continue;
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = current + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return path;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(path);
            } else if (!IsOwnFileEntry(path, resolvedRoot, root.size())) {
                return path;
            }
        } while (FindNextFileW(find.get(), &entry));
    }
    return std::wstring();
}

std::wstring ChooseDataFolder(const std::wstring& programData, const std::wstring& allUsersProfile) {
    std::wstring root = L"C:\\ProgramData";
    if (IsUsableRoot(programData)) {
        root = programData;
    } else if (IsUsableRoot(allUsersProfile)) {
        root = allUsersProfile;
    }
    return root + L"\\" + kDataFolderName;
}

std::wstring DataFolderPath() {
    return ChooseDataFolder(EnvironmentValue(L"ProgramData"), EnvironmentValue(L"ALLUSERSPROFILE"));
}

bool CreateFolderChain(const std::wstring& path) {
    // Walk up to the nearest folder that exists, then create downward. A
    // separator before index 3 ends the walk, so a drive root such as "C:" is
    // never attempted. A loop, not recursion: a path of thousands of
    // separators must not exhaust the stack.
    std::vector<size_t> missing;  // lengths of the missing prefixes, the whole path first
    size_t length = path.size();
    for (;;) {
        if (IsFolder(path.substr(0, length))) break;
        missing.push_back(length);
        const size_t separator = length == 0 ? std::wstring::npos : path.find_last_of(L"\\/", length - 1);
        if (separator == std::wstring::npos || separator < 3) break;
        length = separator;
    }
    if (missing.empty()) return true;

    // The parents' results do not matter; only the path itself answers.
    for (size_t i = missing.size(); i-- > 1;) {
        CreateDirectoryW(path.substr(0, missing[i]).c_str(), nullptr);
    }
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    // Made meanwhile by someone else counts; a plain file of that name is no folder.
    return GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(path);
}

std::wstring GrantUsersCommandLine(const std::wstring& folder) {
    // *S-1-5-32-545 is the built-in Users group by its SID, whatever the system's language.
    return L"icacls.exe \"" + folder + L"\" /grant *S-1-5-32-545:(OI)(CI)M /T /C /Q";
}

void PrepareDataFolder() {
    const std::wstring dataFolder = DataFolderPath();
    CreateFolderChain(dataFolder);
    // Nothing is made inside whatever a planted link points at.
    if (!IsReparsePoint(dataFolder)) {
        CreateFolderChain(dataFolder + L"\\Spool");
        CreateFolderChain(dataFolder + L"\\Processed");
    }

    // Any user may change what lies below the data folder. icacls /T would
    // walk into a junction or link planted there, or reach a file that shares
    // its data with one outside (a hard link), and grant Users modify rights
    // on what lies outside; so the grant waits until no link is left.
    const std::wstring link = FindReparsePoint(dataFolder);
    if (!link.empty()) {
        PrintLine(L"  [!] %s にリンクがあるため、権限の設定を見送ります", link.c_str());
    } else if (dataFolder.find(L'"') != std::wstring::npos) {
        // A quote would end the quoted argument early and hand the rest of
        // the path to icacls as options (no folder can have one).
        PrintLine(L"  [!] %s はコマンドラインに渡せないため、権限の設定を見送ります", dataFolder.c_str());
    } else {
        // Applied again on every run.
        RunAndWait(SystemProgramPath(L"icacls.exe"), GrantUsersCommandLine(dataFolder), kGrantTimeoutMs);
    }
    PrintLine(L"  - データフォルダ: %s", dataFolder.c_str());
}
