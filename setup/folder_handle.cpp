// Folders reached through handles: a child opened or created relative to the
// open folder it belongs to, a folder listed through its own handle, an object
// renamed through its handle. A folder checked on a handle is then used only
// through that handle, so nobody can swap it for a link between the check and
// the use. (NtCreateFile with RootDirectory: Wine 8.0 supports it too.)
#include "setup/setup.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>

namespace {

// Not in every SDK's user-mode headers.
constexpr ULONG kOpenReparsePoint = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG kOpenForBackup = 0x00004000;     // FILE_OPEN_FOR_BACKUP_INTENT
constexpr ULONG kSynchronousIo = 0x00000020;     // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kDirectoryFile = 0x00000001;     // FILE_DIRECTORY_FILE
constexpr ULONG kNonDirectoryFile = 0x00000040;  // FILE_NON_DIRECTORY_FILE
constexpr ULONG_PTR kFileCreated = 2;            // FILE_CREATED
constexpr size_t kListingBytes = 64 * 1024;

// A name of one component: no separator, nothing that walks up.
bool IsOneComponent(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos &&
           name.size() * sizeof(wchar_t) < 0xFFFF;
}

}  // namespace

DWORD OpenBelow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, BelowOpen how, UniqueHandle& object,
                bool* created) {
    object.reset();
    if (created != nullptr) *created = false;
    if (parent == nullptr || !IsOneComponent(name)) return ERROR_INVALID_NAME;
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    // The object itself, never a link's target; a named pipe's server could only identify the caller.
    SECURITY_QUALITY_OF_SERVICE quality = {sizeof(quality), SecurityIdentification, SECURITY_STATIC_TRACKING, FALSE};
    attributes.SecurityQualityOfService = &quality;
    const bool folder = how != BelowOpen::File && how != BelowOpen::FileOrCreate;
    const bool create = how == BelowOpen::FolderOrCreate || how == BelowOpen::FileOrCreate;
    const ULONG disposition = how == BelowOpen::NewFolder ? FILE_CREATE : create ? FILE_OPEN_IF : FILE_OPEN;
    const ULONG options = kOpenReparsePoint | kOpenForBackup | kSynchronousIo |
                          (folder || how == BelowOpen::NewFolder ? kDirectoryFile : kNonDirectoryFile);
    IO_STATUS_BLOCK status = {};
    HANDLE opened = nullptr;
    const NTSTATUS result =
        NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition, options, nullptr, 0);
    if (result < 0) return RtlNtStatusToDosError(result);
    object.reset(opened);
    if (created != nullptr) *created = status.Information == kFileCreated;
    return ERROR_SUCCESS;
}

bool ListOpenFolder(HANDLE folder, std::vector<FolderItem>& items) {
    items.clear();
    std::vector<LONGLONG> buffer(kListingBytes / sizeof(LONGLONG));  // 8-byte aligned entries
    // The first call starts from the beginning, whatever was listed on the handle before.
    FILE_INFO_BY_HANDLE_CLASS kind = FileFullDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, kind, buffer.data(), kListingBytes)) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        kind = FileFullDirectoryInfo;
        size_t offset = 0;
        for (;;) {
            const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data()) + offset;
            FILE_FULL_DIR_INFO entry;
            constexpr size_t kHead = offsetof(FILE_FULL_DIR_INFO, FileName);
            if (offset + kHead > kListingBytes) return false;
            std::memcpy(&entry, bytes, kHead);
            if (offset + kHead + entry.FileNameLength > kListingBytes) return false;
            std::wstring name(entry.FileNameLength / sizeof(wchar_t), L'\0');
            std::memcpy(&name[0], bytes + kHead, name.size() * sizeof(wchar_t));
            if (name != L"." && name != L"..") items.push_back({name, entry.FileAttributes});
            if (entry.NextEntryOffset == 0) break;
            offset += entry.NextEntryOffset;
        }
    }
}

bool RenameOpenObject(HANDLE object, const std::wstring& fullPath) {
    // The full NT path: Wine refuses RootDirectory here, and a bare name would
    // land in the current directory.
    const std::wstring target = L"\\??\\" + fullPath;
    const size_t bytes = target.size() * sizeof(wchar_t);
    if (bytes > MAXDWORD / 2) return false;
    std::vector<BYTE> info(sizeof(FILE_RENAME_INFO) + bytes, 0);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(info.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(rename->FileName, target.c_str(), bytes);
    return SetFileInformationByHandle(object, FileRenameInfo, info.data(), static_cast<DWORD>(info.size())) != FALSE;
}
