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

std::wstring FindReparsePoint(const std::wstring& folder) {
    if (IsReparsePoint(folder)) return folder;
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
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) pending.push_back(path);
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
    // walk into a junction or link planted there and grant Users modify
    // rights on its target, so the grant waits until no link is left.
    const std::wstring link = FindReparsePoint(dataFolder);
    if (!link.empty()) {
        PrintLine(L"  [!] %s にリンクがあるため、権限の設定を見送ります", link.c_str());
    } else if (dataFolder.find(L'"') == std::wstring::npos) {
        // Applied again on every run. A quote in the path (no folder can have
        // one) would end the quoted argument early and hand the rest of the
        // path to icacls as options, so such a path is never granted anything.
        RunAndWait(SystemProgramPath(L"icacls.exe"), GrantUsersCommandLine(dataFolder), kGrantTimeoutMs);
    }
    PrintLine(L"  - データフォルダ: %s", dataFolder.c_str());
}
