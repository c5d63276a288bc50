// The shared data folder under ProgramData, with Spool and Processed, where
// the monitor writes jobs and the editor picks them up. The built-in Users
// group may modify what is inside the three folders, so the editor can move
// and delete jobs, but not delete or rename the folders themselves.
//
// Any user may change what lies below them, and any user may have made
// something at their names before the first install. So each folder is
// opened relative to its parent's checked handle, a planted one is moved
// aside before anything is made in it, every object gets its rights through a
// handle that was checked first, each folder is listed through its own
// handle, and nothing is ever set or propagated by path.
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
constexpr int kMoveAsideAttempts = 100;

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
};

// The three folders: taken, moved aside, given their security, listed.
constexpr ACCESS_MASK kFolderAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

void SkipLinked(const std::wstring& path) {
    PrintLine(L"  [!] %s にリンクがあるため、権限の設定を見送ります", path.c_str());
}

enum class Opened { Checked, Missing, Refused };

// Opens (or makes) `name` in the open folder `parent` as itself and checks it
// on the handle: no link, exactly where it was meant to be, a file with one name.
Opened OpenCheckedBelow(const Walk& walk, HANDLE parent, const std::wstring& path, ACCESS_MASK access, BelowOpen how,
                        UniqueHandle& object, bool& isFolder, bool* created = nullptr) {
    const DWORD error = OpenBelow(parent, path.substr(path.find_last_of(L'\\') + 1), access, how, object, created);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Opened::Missing : Opened::Refused;
    }
    if (IsIntendedObject(object.get(), walk.resolvedRoot, path.substr(walk.root.size()), isFolder)) {
        return Opened::Checked;
    }
    object.reset();
    return Opened::Refused;
}

// A junction or link that a user put where one of the three folders belongs
// is deleted as itself, through a handle opened without following it. Nothing
// is deleted through a handle that is the link's target (every handle is,
// under Wine): that link stays. True when one was deleted.
bool TakeBackLink(const Walk& walk, const std::wstring& path) {
    if (!IsReparsePoint(path)) return false;
    UniqueHandle link(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  kAsItself, nullptr));
    FILE_DISPOSITION_INFO dispose = {TRUE};
    return link && IsLinkItself(link.get(), walk.resolvedRoot, path.substr(walk.root.size())) &&
           SetFileInformationByHandle(link.get(), FileDispositionInfo, &dispose, sizeof(dispose));
}  // the link goes as its handle closes

// A name beside `path` that nothing has yet: "<name>.moved-<date>-<time>[-n]".
// The folder goes there through its handle, with whatever handles its
// planter still holds on it; the administrator finds it there.
std::wstring MoveAside(HANDLE folder, const std::wstring& path) {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t stamp[32];
    FormatText(stamp, 32, L".moved-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond);
    for (int attempt = 1; attempt <= kMoveAsideAttempts; ++attempt) {
        wchar_t suffix[16] = L"";
        if (attempt > 1) FormatText(suffix, 16, L"-%d", attempt);
        const std::wstring aside = path + stamp + suffix;
        if (RenameOpenObject(folder, aside)) return aside;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    return std::wstring();
}

// The data folder, Spool or Processed, opened or made relative to its
// parent's checked handle. One that a user made, or that lets anyone else
// take it over, is moved aside and made anew before anything is made in it.
// Each then gets its designed security through its handle: owner, DACL and
// no integrity label. Gives the handle and the security set; an empty handle
// when it was skipped.
UniqueHandle TakeFolder(const Walk& walk, HANDLE parent, const std::wstring& path,
                        const std::vector<AccessEntry>& parentDacl, FolderRole role, ObjectSecurity& security) {
    const bool wasLink = TakeBackLink(walk, path);
    UniqueHandle folder;
    bool isFolder = false;
    bool created = false;
    Opened opened =
        OpenCheckedBelow(walk, parent, path, kFolderAccess, BelowOpen::FolderOrCreate, folder, isFolder, &created);
    if (opened == Opened::Checked && !ReadSecurity(folder.get(), security)) opened = Opened::Refused;
    if (opened == Opened::Checked && !created && LetsOthersTakeOver(security, walk.trusted)) {
        const std::wstring aside = MoveAside(folder.get(), path);
        if (aside.empty()) {
            ReportLastError(path.c_str());
            return UniqueHandle();
        }
        PrintLine(L"  - %s は管理者以外のものだったため %s に移し、作り直しました", path.c_str(), aside.c_str());
        opened = OpenCheckedBelow(walk, parent, path, kFolderAccess, BelowOpen::NewFolder, folder, isFolder, &created);
        if (opened == Opened::Checked && !ReadSecurity(folder.get(), security)) opened = Opened::Refused;
    } else if (opened == Opened::Checked && wasLink && created) {
        PrintLine(L"  - %s を作り直しました (リンクでした)", path.c_str());
    }
    if (opened == Opened::Missing) return UniqueHandle();  // could not be made; nothing to give rights on
    if (opened == Opened::Refused) {
        SkipLinked(path);
        return UniqueHandle();
    }
    security = DesignedSecurity(parentDacl, security.group, role);
    if (!WriteSecurity(folder.get(), security,
                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                       walk.calls.setSecurity)) {
        ReportLastError(path.c_str());
        return UniqueHandle();
    }
    return folder;
}

struct Pending {
    UniqueHandle folder;  // checked, and listed through this very handle
    std::wstring path;
    bool isDataFolder;
};

// What lies below: each object opened relative to its folder's handle as
// itself and checked, then given the Users entry as inheritance would. One
// that fails its check is named and not entered; the rest still get theirs.
// The data folder hands the entry on to its files only, so its subfolders
// (Spool and Processed have a turn of their own) are not entered.
void GrantBelow(const Walk& walk, std::vector<Pending> pending) {
    // A stack, not recursion: any user can make the tree as deep as they like.
    while (!pending.empty()) {
        const Pending current = std::move(pending.back());
        pending.pop_back();
        std::vector<FolderItem> items;
        if (!ListOpenFolder(current.folder.get(), items)) continue;
        for (const FolderItem& item : items) {
            const bool listedAsFolder = (item.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (current.isDataFolder && listedAsFolder) continue;
            const std::wstring path = current.path + L"\\" + item.name;
            if (walk.calls.beforeOpen != nullptr) walk.calls.beforeOpen(path);
            if (item.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                SkipLinked(path);
                continue;
            }
            UniqueHandle object;
            bool isFolder = false;
            const Opened opened = OpenCheckedBelow(
                walk, current.folder.get(), path,
                READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES | (listedAsFolder ? FILE_LIST_DIRECTORY : 0),
                listedAsFolder ? BelowOpen::Folder : BelowOpen::File, object, isFolder);
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
            if (isFolder) pending.push_back({std::move(object), path, false});
        }
    }
}

}  // namespace

void PrepareDataFolderWith(const DataFolderCalls& calls) {
    const std::wstring dataFolder = DataFolderPath();
    const std::wstring root = ParentFolder(dataFolder);
    const Walk walk{calls, root, ResolvedFolder(root), TrustedAccounts()};

    // Applied again on every run. A folder a user planted may leave the
    // administrators no rights at all; these let them open it, move it aside
    // and set its rights.
    ScopedPrivileges privileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME});
    CreateFolderChain(root);
    UniqueHandle rootFolder(CreateFileW(root.c_str(), READ_CONTROL | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShareAll,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ObjectSecurity rootSecurity;
    std::vector<Pending> granted;
    if (rootFolder && ReadSecurity(rootFolder.get(), rootSecurity) && rootSecurity.hasDacl) {
        ObjectSecurity data;
        UniqueHandle dataHandle =
            TakeFolder(walk, rootFolder.get(), dataFolder, rootSecurity.dacl, FolderRole::Data, data);
        if (dataHandle) {
            for (const wchar_t* name : {L"Spool", L"Processed"}) {
                const std::wstring path = dataFolder + L"\\" + name;
                ObjectSecurity work;
                UniqueHandle folder = TakeFolder(walk, dataHandle.get(), path, data.dacl, FolderRole::Work, work);
                if (folder) granted.push_back({std::move(folder), path, false});
            }
            granted.push_back({std::move(dataHandle), dataFolder, true});
        }
    } else {
        SkipLinked(dataFolder);
    }
    GrantBelow(walk, std::move(granted));
    PrintLine(L"  - データフォルダ: %s", dataFolder.c_str());
}

void PrepareDataFolder() {
    PrepareDataFolderWith(DataFolderCalls());
}
