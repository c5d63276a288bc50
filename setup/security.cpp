// Who may change a file or folder, and the Users group's modify entry, worked
// out on plain lists of access entries; and those lists read from and written
// to open handles, so that nothing is looked up or propagated by path.
#include "setup/setup.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr wchar_t kCreatorOwnerSid[] = L"S-1-3-0";
constexpr wchar_t kCreatorGroupSid[] = L"S-1-3-1";
constexpr wchar_t kOwnerRightsSid[] = L"S-1-3-4";

// Rights that let their holder change what an object holds, or who may: for
// a folder, also adding files and subfolders and deleting what is in it.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                        WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr BYTE kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr size_t kMaskOffset = sizeof(ACE_HEADER);
constexpr size_t kSidOffset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);

struct GenericRight {
    ACCESS_MASK generic;
    ACCESS_MASK specific;
};
constexpr GenericRight kFileGenericRights[] = {
    {GENERIC_READ, FILE_GENERIC_READ},
    {GENERIC_WRITE, FILE_GENERIC_WRITE},
    {GENERIC_EXECUTE, FILE_GENERIC_EXECUTE},
    {GENERIC_ALL, FILE_ALL_ACCESS},
};

ACCESS_MASK MapGenericRights(ACCESS_MASK mask) {
    ACCESS_MASK mapped = mask;
    for (const GenericRight& right : kFileGenericRights) {
        if (mask & right.generic) mapped = (mapped & ~right.generic) | right.specific;
    }
    return mapped;
}

bool HasGenericRights(ACCESS_MASK mask) {
    return std::any_of(std::begin(kFileGenericRights), std::end(kFileGenericRights),
                       [mask](const GenericRight& right) { return (mask & right.generic) != 0; });
}

// Entries written from their fields alone; any other kind keeps its bytes.
bool IsPlainEntry(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE;
}

// Entries whose trustee follows the mask directly.
bool HasSidAfterMask(BYTE type) {
    return IsPlainEntry(type) || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE;
}

bool IsGrant(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

bool IsObjectEntry(BYTE type) {
    return (type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE) ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

bool Contains(const std::vector<std::wstring>& list, const std::wstring& item) {
    return !item.empty() && std::find(list.begin(), list.end(), item) != list.end();
}

bool SameEntry(const AccessEntry& a, const AccessEntry& b) {
    return a.type == b.type && a.flags == b.flags && a.mask == b.mask && !a.sid.empty() && a.sid == b.sid;
}

// A parent's entry as a child inherits it, with the child's flags, trustee and rights.
AccessEntry InheritedFrom(const AccessEntry& parent, BYTE flags, const std::wstring& sid, ACCESS_MASK mask) {
    AccessEntry entry = parent;
    entry.flags = static_cast<BYTE>(flags | INHERITED_ACE);
    entry.sid = sid;
    entry.mask = mask;
    if (IsPlainEntry(entry.type)) {
        entry.stored.clear();  // written anew from the fields
    } else if (entry.stored.size() >= kSidOffset) {
        entry.stored[1] = entry.flags;
        std::memcpy(&entry.stored[kMaskOffset], &mask, sizeof(mask));
    }
    return entry;
}

std::wstring SidText(PSID sid) {
    wchar_t* text = nullptr;
    if (sid == nullptr || !IsValidSid(sid) || !ConvertSidToStringSidW(sid, &text)) return std::wstring();
    UniqueLocal owner(text);
    return text;
}

UniqueLocal SidFromText(const std::wstring& text) {
    PSID sid = nullptr;
    if (text.empty() || !ConvertStringSidToSidW(text.c_str(), &sid)) return UniqueLocal();
    return UniqueLocal(sid);
}

std::vector<BYTE> PlainEntryBytes(const AccessEntry& entry) {
    const UniqueLocal sid = SidFromText(entry.sid);
    if (!sid || !IsPlainEntry(entry.type)) return {};
    const DWORD sidLength = GetLengthSid(sid.get());
    std::vector<BYTE> bytes(kSidOffset + sidLength, 0);
    ACE_HEADER header = {entry.type, entry.flags, static_cast<WORD>(bytes.size())};
    std::memcpy(bytes.data(), &header, sizeof(header));
    std::memcpy(&bytes[kMaskOffset], &entry.mask, sizeof(entry.mask));
    std::memcpy(&bytes[kSidOffset], sid.get(), sidLength);
    return bytes;
}

bool BuildAcl(const std::vector<AccessEntry>& entries, std::vector<BYTE>& acl) {
    std::vector<std::vector<BYTE>> pieces;
    size_t size = sizeof(ACL);
    DWORD revision = ACL_REVISION;
    for (const AccessEntry& entry : entries) {
        pieces.push_back(entry.stored.empty() ? PlainEntryBytes(entry) : entry.stored);
        if (pieces.back().empty()) return false;
        size += pieces.back().size();
        if (IsObjectEntry(entry.type)) revision = ACL_REVISION_DS;
    }
    if (size > MAXWORD) return false;
    acl.assign(size, 0);
    PACL list = reinterpret_cast<PACL>(acl.data());
    if (!InitializeAcl(list, static_cast<DWORD>(size), revision)) return false;
    for (std::vector<BYTE>& piece : pieces) {
        if (!AddAce(list, revision, MAXDWORD, piece.data(), static_cast<DWORD>(piece.size()))) return false;
    }
    return true;
}

AccessEntry EntryOf(const BYTE* bytes, WORD size) {
    AccessEntry entry;
    entry.stored.assign(bytes, bytes + size);
    entry.type = bytes[0];
    entry.flags = bytes[1];
    if (size >= kSidOffset) std::memcpy(&entry.mask, bytes + kMaskOffset, sizeof(entry.mask));
    if (HasSidAfterMask(entry.type) && size > kSidOffset) {
        const PSID sid = const_cast<BYTE*>(bytes + kSidOffset);
        if (IsValidSid(sid) && kSidOffset + GetLengthSid(sid) <= size) entry.sid = SidText(sid);
    }
    return entry;
}

}  // namespace

AccessEntry UsersModifyEntry(UsersEntry kind) {
    AccessEntry entry;
    entry.mask = kModifyRights;
    entry.sid = kUsersSid;
    switch (kind) {
        case UsersEntry::OnFolder: entry.mask = kFolderUseRights; break;
        case UsersEntry::InsideDataFolder: entry.flags = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | NO_PROPAGATE_INHERIT_ACE; break;
        case UsersEntry::InsideWorkFolder: entry.flags = kInheritFlags | INHERIT_ONLY_ACE; break;
        case UsersEntry::InheritedByFolder: entry.flags = kInheritFlags | INHERITED_ACE; break;
        case UsersEntry::InheritedByFile: entry.flags = INHERITED_ACE; break;
    }
    return entry;
}

std::vector<AccessEntry> WithUsersEntry(const std::vector<AccessEntry>& dacl, UsersEntry kind) {
    const AccessEntry users = UsersModifyEntry(kind);
    std::vector<AccessEntry> result;
    for (const AccessEntry& entry : dacl) {
        if (!SameEntry(entry, users)) result.push_back(entry);
    }
    // Explicit entries come before inherited ones; an inherited one goes last.
    auto place = result.end();
    if (!(users.flags & INHERITED_ACE)) {
        place = std::find_if(result.begin(), result.end(),
                             [](const AccessEntry& entry) { return (entry.flags & INHERITED_ACE) != 0; });
    }
    result.insert(place, users);
    return result;
}

std::vector<AccessEntry> InheritedEntries(const std::vector<AccessEntry>& parentDacl, bool isFolder,
                                          const std::wstring& owner, const std::wstring& group) {
    std::vector<AccessEntry> inherited;
    for (const AccessEntry& entry : parentDacl) {
        const bool toFolders = (entry.flags & CONTAINER_INHERIT_ACE) != 0;
        const bool toFiles = (entry.flags & OBJECT_INHERIT_ACE) != 0;
        // Whether it applies to the child itself, and whether the child hands it on.
        const bool applies = isFolder ? toFolders : toFiles;
        const bool handsOn = isFolder && (toFolders || toFiles) && !(entry.flags & NO_PROPAGATE_INHERIT_ACE);
        if (!applies && !handsOn) continue;
        const BYTE onward = entry.flags & kInheritFlags;
        const bool creator = entry.sid == kCreatorOwnerSid || entry.sid == kCreatorGroupSid;
        if (applies && handsOn && !creator && !HasGenericRights(entry.mask)) {
            inherited.push_back(InheritedFrom(entry, onward, entry.sid, entry.mask));
            continue;
        }
        // Otherwise split, as Windows does: what applies names the real
        // trustee and rights, what is handed on stays as it was, inherit-only.
        if (applies) {
            const std::wstring sid =
                entry.sid == kCreatorOwnerSid ? owner : entry.sid == kCreatorGroupSid ? group : entry.sid;
            if (!sid.empty() || !IsPlainEntry(entry.type)) {
                inherited.push_back(InheritedFrom(entry, 0, sid, MapGenericRights(entry.mask)));
            }
        }
        if (handsOn) inherited.push_back(InheritedFrom(entry, onward | INHERIT_ONLY_ACE, entry.sid, entry.mask));
    }
    return inherited;
}

ObjectSecurity DesignedSecurity(const std::vector<AccessEntry>& parentDacl, const std::wstring& group,
                                FolderRole role) {
    ObjectSecurity folder;
    folder.owner = kAdministratorsSid;
    folder.group = group;
    folder.daclControl = SE_DACL_AUTO_INHERITED;  // inheritance on again, should anyone have blocked it
    folder.dacl = InheritedEntries(parentDacl, true, kAdministratorsSid, group);
    folder.dacl = WithUsersEntry(folder.dacl, UsersEntry::OnFolder);
    folder.dacl = WithUsersEntry(folder.dacl, role == FolderRole::Data ? UsersEntry::InsideDataFolder
                                                                       : UsersEntry::InsideWorkFolder);
    return folder;
}

bool IsTrustedOwner(const std::wstring& owner, const std::vector<std::wstring>& trusted) {
    return Contains(trusted, owner);
}

namespace {

// The owner is not trusted, there is no DACL, or an entry that applies to the
// object itself gives one of `rights` to anyone else.
bool GrantsOthers(const ObjectSecurity& security, const std::vector<std::wstring>& trusted, ACCESS_MASK rights) {
    if (!IsTrustedOwner(security.owner, trusted) || !security.hasDacl) return true;
    for (const AccessEntry& entry : security.dacl) {
        if ((entry.flags & INHERIT_ONLY_ACE) || !IsGrant(entry.type) || !(entry.mask & rights)) continue;
        // These stand for the owner, trusted by now.
        if (entry.sid == kOwnerRightsSid || entry.sid == kCreatorOwnerSid || Contains(trusted, entry.sid)) continue;
        return true;
    }
    return false;
}

}  // namespace

bool LetsOthersWrite(const ObjectSecurity& security, const std::vector<std::wstring>& trusted) {
    return GrantsOthers(security, trusted, kChangingRights);
}

bool LetsOthersTakeOver(const ObjectSecurity& security, const std::vector<std::wstring>& trusted) {
    return GrantsOthers(security, trusted, WRITE_DAC | WRITE_OWNER | GENERIC_ALL);
}

bool LetsOthersReplace(const ObjectSecurity& security, const std::vector<std::wstring>& trusted) {
    return GrantsOthers(security, trusted, DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL);
}

std::vector<std::wstring> TrustedAccounts() {
    std::vector<std::wstring> accounts = {kAdministratorsSid, kSystemSid, kTrustedInstallerSid};
    // An elevated process runs for an administrator: what that account owns
    // (Wine shows every file as the user's) is an administrator's.
    if (!IsProcessElevated()) return accounts;
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return accounts;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size, 0);
    if (size >= sizeof(TOKEN_USER) && GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
        const std::wstring sid = SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
        if (!sid.empty()) accounts.push_back(sid);
    }
    return accounts;
}

bool ReadSecurity(HANDLE object, ObjectSecurity& security) {
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        &group, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    UniqueLocal held(descriptor);
    security = ObjectSecurity();
    security.owner = SidText(owner);
    security.group = SidText(group);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        security.daclControl = control & (SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED);
    }
    security.hasDacl = dacl != nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return false;
        const auto* bytes = static_cast<const BYTE*>(ace);
        security.dacl.push_back(EntryOf(bytes, static_cast<const ACE_HEADER*>(ace)->AceSize));
    }
    return !security.owner.empty();
}

bool WriteSecurity(HANDLE object, const ObjectSecurity& security, SECURITY_INFORMATION what, SetSecurityCall set) {
    SECURITY_DESCRIPTOR descriptor = {};
    if (set == nullptr || !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) return false;
    UniqueLocal owner;
    if (what & OWNER_SECURITY_INFORMATION) {
        owner = SidFromText(security.owner);
        if (!owner || !SetSecurityDescriptorOwner(&descriptor, owner.get(), FALSE)) return false;
    }
    std::vector<BYTE> acl;
    // No label: the default, whatever integrity a planter gave the object.
    ACL noLabel = {};
    if ((what & LABEL_SECURITY_INFORMATION) &&
        (!InitializeAcl(&noLabel, sizeof(noLabel), ACL_REVISION) ||
         !SetSecurityDescriptorSacl(&descriptor, TRUE, &noLabel, FALSE))) {
        return false;
    }
    if (what & DACL_SECURITY_INFORMATION) {
        if (!BuildAcl(security.dacl, acl) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE) ||
            !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED,
                                          security.daclControl)) {
            return false;
        }
    }
    return set(object, what, &descriptor) != FALSE;
}

bool PathLetsOthersWrite(const std::wstring& path) {
    UniqueHandle object(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                    nullptr));
    ObjectSecurity security;
    return object && ReadSecurity(object.get(), security) && LetsOthersWrite(security, TrustedAccounts());
}

void WarnIfOthersCanWrite(const std::wstring& folder, const std::vector<std::wstring>& files) {
    if (PathLetsOthersWrite(folder) || std::any_of(files.begin(), files.end(), PathLetsOthersWrite)) {
        PrintLine(L"  [!] %s は管理者以外も書き換えられます。Program Files の下に置いてください。", folder.c_str());
    }
}
