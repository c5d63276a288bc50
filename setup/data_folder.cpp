// The shared data folder under ProgramData, with Spool and Processed, where
// the monitor writes jobs and the editor picks them up. The built-in Users
// group gets modify rights on it, so the editor can move and delete jobs.
//
// Any user may change what lies below it, and any user may have made
// something at its names before the first install. So every object gets its
// rights through a handle that was opened without following a link and
// checked first, and nothing is ever set or propagated by path.
#include "setup/setup.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "common/unique_handle.h"

namespace {

constexpr size_t kRootValueUnits = 260;  // a usable root has 1 to 259 units
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The object itself: a junction or link is not followed, a folder opens too,
// and a named pipe's server could only identify the caller.
constexpr DWORD kAsItself =
    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD kGrantAccess = READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES;

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

namespace {

// Privileges enabled until the end of the scope, then put back as they were.
class ScopedPrivileges {
public:
    explicit ScopedPrivileges(std::initializer_list<const wchar_t*> names) {
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.put())) return;
        constexpr size_t kFirst = offsetof(TOKEN_PRIVILEGES, Privileges);
        std::vector<BYTE> wanted(kFirst + names.size() * sizeof(LUID_AND_ATTRIBUTES), 0);
        DWORD count = 0;
        for (const wchar_t* name : names) {
            LUID_AND_ATTRIBUTES privilege = {};
            if (!LookupPrivilegeValueW(nullptr, name, &privilege.Luid)) continue;
            privilege.Attributes = SE_PRIVILEGE_ENABLED;
            std::memcpy(&wanted[kFirst + count++ * sizeof(privilege)], &privilege, sizeof(privilege));
        }
        std::memcpy(wanted.data(), &count, sizeof(count));
        previous_.assign(wanted.size(), 0);
        DWORD size = 0;
        if (!AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data()),
                                   static_cast<DWORD>(previous_.size()),
                                   reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()), &size)) {
            previous_.clear();
        }
    }
    ~ScopedPrivileges() {
        if (previous_.empty()) return;
        AdjustTokenPrivileges(token_.get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()), 0, nullptr,
                              nullptr);
    }
    ScopedPrivileges(const ScopedPrivileges&) = delete;
    ScopedPrivileges& operator=(const ScopedPrivileges&) = delete;

private:
    UniqueHandle token_;
    std::vector<BYTE> previous_;
};

struct Walk {
    const DataFolderCalls& calls;
    std::wstring root;  // the ProgramData root: the machine's, taken as it is
    std::wstring resolvedRoot;
    std::vector<std::wstring> trusted;
    std::vector<std::wstring> folders;  // the data folder, Spool and Processed
};

void SkipLinked(const std::wstring& path) {
    PrintLine(L"  [!] %s にリンクがあるため、権限の設定を見送ります", path.c_str());
}

enum class Opened { Checked, Missing, Refused };

// Opens what stands at `path` as itself and checks it on the handle: no
// link, exactly where it was meant to be, a file with one name.
Opened OpenChecked(const Walk& walk, const std::wstring& path, DWORD access, UniqueHandle& object, bool& isFolder) {
    object.reset(CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr));
    if (!object) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME
                   ? Opened::Missing
                   : Opened::Refused;
    }
    if (IsIntendedObject(object.get(), walk.resolvedRoot, path.substr(walk.root.size()), isFolder)) {
        return Opened::Checked;
    }
    object.reset();
    return Opened::Refused;
}

// A junction or link that a user put where one of the three folders belongs
// is deleted as itself, through a handle opened without following it, and a
// real folder is made in its place. Nothing is deleted through a handle that
// is the link's target (every handle is, under Wine): that link stays.
void TakeBackLink(const Walk& walk, const std::wstring& path) {
    if (!IsReparsePoint(path)) return;
    {
        UniqueHandle link(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      kAsItself, nullptr));
        FILE_DISPOSITION_INFO dispose = {TRUE};
        if (!link || !IsLinkItself(link.get(), walk.resolvedRoot, path.substr(walk.root.size())) ||
            !SetFileInformationByHandle(link.get(), FileDispositionInfo, &dispose, sizeof(dispose))) {
            return;
        }
    }  // the link goes as its handle closes
    if (CreateDirectoryW(path.c_str(), nullptr)) PrintLine(L"  - %s を作り直しました (リンクでした)", path.c_str());
}

bool IsOneOf(const std::vector<std::wstring>& paths, const std::wstring& path) {
    for (const std::wstring& candidate : paths) {
        if (candidate.size() == path.size() && path.size() < 0x7FFFFFFF &&
            CompareStringOrdinal(candidate.data(), static_cast<int>(candidate.size()), path.data(),
                                 static_cast<int>(path.size()), TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

// The data folder, Spool or Processed gets the Users entry explicitly; one
// that a user owns is taken back first. `parentDacl` is what its parent's
// DACL is now (null when unknown: then it is not taken back). Gives the
// folder's security as set; false when it was skipped.
bool GrantFolder(const Walk& walk, const std::wstring& path, const std::vector<AccessEntry>* parentDacl,
                 ObjectSecurity& security) {
    UniqueHandle folder;
    bool isFolder = false;
    const Opened opened = OpenChecked(walk, path, kGrantAccess | WRITE_OWNER, folder, isFolder);
    if (opened == Opened::Missing) return false;  // could not be made; nothing to give rights on
    if (opened == Opened::Refused || !isFolder || !ReadSecurity(folder.get(), security)) {
        SkipLinked(path);
        return false;
    }
    if (!IsTrustedOwner(security.owner, walk.trusted)) {
        if (parentDacl == nullptr) {
            SkipLinked(path);
            return false;
        }
        security = ReclaimedFolder(*parentDacl, security.group);
        if (!WriteSecurity(folder.get(), security, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                           walk.calls.setSecurity)) {
            ReportLastError(path.c_str());
            return false;
        }
        PrintLine(L"  - %s の所有者を Administrators に戻しました", path.c_str());
        return true;
    }
    // Without a DACL everyone may do everything there already.
    if (security.hasDacl) {
        security.dacl = WithUsersEntry(security.dacl, UsersEntry::Explicit);
        if (!WriteSecurity(folder.get(), security, DACL_SECURITY_INFORMATION, walk.calls.setSecurity)) {
            ReportLastError(path.c_str());
        }
    }
    return true;
}

// What lies below: each object opened as itself and checked between its
// listing and the change, then given the Users entry as inheritance would.
// One that fails its check is named and not entered; the rest still get theirs.
void GrantBelow(const Walk& walk, std::vector<std::wstring> pending) {
    // A stack, not recursion: any user can make the tree as deep as they like.
    while (!pending.empty()) {
        const std::wstring folder = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW entry = {};
        UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
        if (!find) continue;
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (IsOneOf(walk.folders, path)) continue;  // Spool and Processed have a turn of their own
            if (walk.calls.beforeOpen != nullptr) walk.calls.beforeOpen(path);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                SkipLinked(path);
                continue;
            }
            UniqueHandle object;
            bool isFolder = false;
            const Opened opened = OpenChecked(walk, path, kGrantAccess, object, isFolder);
            if (opened == Opened::Missing) continue;  // gone meanwhile
            if (opened == Opened::Refused) {
                SkipLinked(path);
                continue;
            }
            // Protected from inheritance, an object takes nothing from above;
            // without a DACL everyone may do everything there already.
            ObjectSecurity security;
            if (ReadSecurity(object.get(), security) && security.hasDacl &&
                !(security.daclControl & SE_DACL_PROTECTED)) {
                security.dacl = WithUsersEntry(security.dacl, isFolder ? UsersEntry::InheritedByFolder
                                                                       : UsersEntry::InheritedByFile);
                WriteSecurity(object.get(), security, DACL_SECURITY_INFORMATION, walk.calls.setSecurity);
            }
            if (isFolder) pending.push_back(path);
        } while (FindNextFileW(find.get(), &entry));
    }
}

bool ReadFolderDacl(const std::wstring& folder, std::vector<AccessEntry>& dacl) {
    UniqueHandle handle(CreateFileW(folder.c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ObjectSecurity security;
    if (!handle || !ReadSecurity(handle.get(), security) || !security.hasDacl) return false;
    dacl = security.dacl;
    return true;
}

}  // namespace

void PrepareDataFolderWith(const DataFolderCalls& calls) {
    const std::wstring dataFolder = DataFolderPath();
    const std::wstring root = ParentFolder(dataFolder);
    const Walk walk{calls, root, ResolvedFolder(root), TrustedAccounts(),
                    {dataFolder, dataFolder + L"\\Spool", dataFolder + L"\\Processed"}};

    TakeBackLink(walk, dataFolder);
    CreateFolderChain(dataFolder);
    // Nothing is made inside whatever a link that stayed points at.
    if (!IsReparsePoint(dataFolder)) {
        for (size_t i = 1; i < walk.folders.size(); ++i) {
            TakeBackLink(walk, walk.folders[i]);
            CreateFolderChain(walk.folders[i]);
        }
    }

    // Applied again on every run.
    std::vector<std::wstring> granted;
    {
        // A folder a user planted may leave the administrators no rights at
        // all; these let them open it, take it and set its rights.
        ScopedPrivileges privileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME});
        std::vector<AccessEntry> rootDacl;
        const bool rootKnown = ReadFolderDacl(root, rootDacl);
        ObjectSecurity data;
        if (GrantFolder(walk, dataFolder, rootKnown ? &rootDacl : nullptr, data)) {
            granted.push_back(dataFolder);
            for (size_t i = 1; i < walk.folders.size(); ++i) {
                ObjectSecurity folder;
                if (GrantFolder(walk, walk.folders[i], data.hasDacl ? &data.dacl : nullptr, folder)) {
                    granted.push_back(walk.folders[i]);
                }
            }
        }
    }
    GrantBelow(walk, granted);
    PrintLine(L"  - データフォルダ: %s", dataFolder.c_str());
}

void PrepareDataFolder() {
    PrepareDataFolderWith(DataFolderCalls());
}
