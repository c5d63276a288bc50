// Files of the monitor's only where they are meant to be. Folders (paths.cpp)
// and files are each checked on their open handle: a disk file or folder, no
// reparse point, whose final path is the intended path, and a file with one
// name only. Renames and deletes go through that checked handle, never
// through a path that could have been turned into a link meanwhile.
#include "portmon/monitor.h"

#include <winternl.h>

#include <climits>
#include <cstring>
#include <cwchar>

#include "common/unique_handle.h"

namespace {

constexpr DWORD kFinalPathChars = 1024;

// NtCreateFile's options and answers, spelt here: not every SDK's winternl.h has them.
constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIo = 0x00000020;  // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kOpenRequiringOplock = 0x00010000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kDispositionOpen = 1;
constexpr ULONG kDispositionCreate = 2;
constexpr ULONG kDispositionOpenIf = 3;
constexpr ULONG kFileRenameInformation = 10;
constexpr NTSTATUS kStatusNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kStatusCannotBreakOplock = static_cast<NTSTATUS>(0xC0000909);

}  // namespace

// Declared here as ntdll exports it: not every SDK's winternl.h has it.
extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass);

namespace {

// The errors CreateFileW reports for these, so that callers read them alike.
DWORD ErrorOf(NTSTATUS status) {
    switch (status) {
        case kStatusNameCollision:
            return ERROR_FILE_EXISTS;
        case kStatusFileIsADirectory:
            return ERROR_ACCESS_DENIED;
        case kStatusCannotBreakOplock:
            return kCannotBreakOplockError;
        default:
            return RtlNtStatusToDosError(status);
    }
}

// The one open of anything in the data folder: `name` below the open folder
// `parent`, or an NT path when `parent` is null. Identification only for a
// pipe's server; `options` add the reparse point opened as itself and the
// refusal to break another's oplock, unless `followLinks` (the trusted root).
HANDLE OpenEntry(HANDLE parent, const std::wstring& name, DWORD access, DWORD share, ULONG disposition,
                 ULONG options, bool followLinks = false) {
    if (name.size() > 0x7FFF) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    SECURITY_QUALITY_OF_SERVICE quality = {sizeof(quality), SecurityIdentification, SECURITY_STATIC_TRACKING, FALSE};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
    attributes.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io = {};
    HANDLE handle = nullptr;
    options |= kSynchronousIo | (followLinks ? 0 : kOpenReparsePoint | kOpenRequiringOplock);
    // Attributes are always asked for, as CreateFileW does: the handle checks read them.
    const NTSTATUS status = NtCreateFile(&handle, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr,
                                         FILE_ATTRIBUTE_NORMAL, share, disposition, options, nullptr, 0);
    if (status < 0) {
        SetLastError(ErrorOf(status));
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

struct FolderAndName {
    std::wstring folder;
    std::wstring name;
};
FolderAndName SplitPath(const std::wstring& path) {
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return {std::wstring(), path};
    return {path.substr(0, separator), path.substr(separator + 1)};
}

ULONG DispositionOf(DWORD disposition) {
    switch (disposition) {
        case CREATE_NEW:
            return kDispositionCreate;
        case OPEN_ALWAYS:
            return kDispositionOpenIf;
        default:
            return kDispositionOpen;
    }
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    const size_t length = wcslen(prefix);
    return text.size() >= length &&
           CompareStringOrdinal(text.data(), static_cast<int>(length), prefix, static_cast<int>(length), TRUE) ==
               CSTR_EQUAL;
}

// One spelling per place: no long-path prefix, backslashes only, no repeated
// or trailing separator. A UNC path keeps its two leading backslashes.
std::wstring ComparablePath(const std::wstring& path) {
    std::wstring text = path;
    if (StartsWith(text, L"\\\\?\\UNC\\") || StartsWith(text, L"\\??\\UNC\\")) {
        text = L"\\\\" + text.substr(8);
    } else if (StartsWith(text, L"\\\\?\\") || StartsWith(text, L"\\??\\")) {
        text = text.substr(4);
    }
    std::wstring result;
    result.reserve(text.size());
    const bool unc = text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]);
    for (size_t i = 0; i < text.size(); ++i) {
        const bool separator = IsSeparator(text[i]);
        const bool leadingUnc = unc && i == 1;
        if (separator && !leadingUnc && !result.empty() && result.back() == L'\\') continue;
        result += separator ? L'\\' : text[i];
    }
    while (result.size() > (unc ? 2u : 0u) && result.back() == L'\\') result.pop_back();
    return result;
}

std::wstring FinalPathOf(HANDLE handle, DWORD volumeName) {
    wchar_t buffer[kFinalPathChars] = {};
    const DWORD flags = FILE_NAME_NORMALIZED | volumeName;
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer, kFinalPathChars, flags);
    if (length == 0) return std::wstring();
    if (length < kFinalPathChars) return std::wstring(buffer, length);
    // Too small: `length` is the size needed, terminator included.
    std::wstring larger(length, L'\0');
    const DWORD again = GetFinalPathNameByHandleW(handle, &larger[0], length, flags);
    if (again == 0 || again >= length) return std::wstring();
    larger.resize(again);
    return larger;
}

}  // namespace

HANDLE OpenDataPath(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                    JobCallScope* call) {
    const ULONG kind = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 ? 0 : kNonDirectoryFile;
    const FolderAndName parts = SplitPath(path);
    if (HANDLE folder = call != nullptr ? call->KeptFolder(parts.folder) : nullptr) {
        return OpenEntry(folder, parts.name, access, share, DispositionOf(disposition), kind);
    }
    return OpenEntry(nullptr, RenameTargetName(path), access, share, DispositionOf(disposition), kind);
}

HANDLE OpenDataFolder(const std::wstring& path, bool create) {
    return OpenEntry(nullptr, RenameTargetName(path), FILE_READ_ATTRIBUTES | FILE_TRAVERSE, kShareAll,
                     create ? kDispositionOpenIf : kDispositionOpen, kDirectoryFile);
}

HANDLE ReopenDataFile(HANDLE file, DWORD access) {
    // An empty name below a file's handle names that file, as ReOpenFile does
    // (which takes no flag that refuses to break an oplock).
    return OpenEntry(file, std::wstring(), access, kShareAll, kDispositionOpen, kNonDirectoryFile);
}

bool IsBusyError(DWORD error) {
    return error == kCannotBreakOplockError || error == ERROR_SHARING_VIOLATION;
}

bool IsSamePath(const std::wstring& intended, const std::wstring& finalPath) {
    const std::wstring a = ComparablePath(intended);
    const std::wstring b = ComparablePath(finalPath);
    if (a.empty() || a.size() != b.size() || a.size() > static_cast<size_t>(INT_MAX)) return false;
    // Ordinal, ignoring case as the file system does.
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring TrustedRootOf(const std::wstring& path) {
    const size_t nameLength = wcslen(kDataFolderName);
    size_t end = path.size();
    while (end > 0) {
        while (end > 0 && IsSeparator(path[end - 1])) --end;
        size_t start = end;
        while (start > 0 && !IsSeparator(path[start - 1])) --start;
        if (end - start == nameLength && start > 0 &&
            CompareStringOrdinal(path.data() + start, static_cast<int>(nameLength), kDataFolderName,
                                 static_cast<int>(nameLength), TRUE) == CSTR_EQUAL) {
            return path.substr(0, start);
        }
        end = start;
    }
    return std::wstring();
}

std::wstring RenameTargetName(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\") || StartsWith(path, L"\\??\\")) return L"\\??\\" + path.substr(4);
    // The NT form takes the path literally, so it gets what every path-taking
    // call does first: forward slashes, doubled separators (a ProgramData value
    // ending in a backslash), "." and ".." made into one plain spelling.
    std::wstring full = path;
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed > 0) {
        std::wstring buffer(needed, L'\0');
        const DWORD length = GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
        if (length > 0 && length < needed) full.assign(buffer, 0, length);
    }
    if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) return L"\\??\\UNC\\" + full.substr(2);
    return L"\\??\\" + full;
}

std::wstring FinalPathOf(HANDLE handle) {
    return FinalPathOf(handle, VOLUME_NAME_DOS);
}

namespace {

// Anything but a disk file (a pipe, a device), a reparse point, the other
// kind, and whatever could not be asked, is refused before any path counts.
bool IsPlainEntry(const FileFacts& facts, EntryKind kind) {
    if (facts.type != FILE_TYPE_DISK || !facts.standardKnown || facts.reparsePoint) return false;
    // A folder's link count under Wine counts its subfolders: only a file's is checked.
    return kind == EntryKind::File ? !facts.directory && facts.links == 1 : facts.directory;
}

}  // namespace

bool IsIntendedFileFrom(const std::wstring& intendedPath, const FileFacts& facts, EntryKind kind) {
    if (!IsPlainEntry(facts, kind)) return false;
    const std::wstring root = TrustedRootOf(intendedPath);
    const std::wstring below = root.empty() ? std::wstring() : intendedPath.substr(root.size());
    if (!facts.dosPath.empty()) {
        if (IsSamePath(intendedPath, facts.dosPath)) return true;
        // Only the root may be spelt otherwise (a short name, a link an administrator made).
        if (root.empty()) return false;
        if (!facts.rootDosPath.empty()) return IsSamePath(facts.rootDosPath + L"\\" + below, facts.dosPath);
    }
    if (!root.empty() && !facts.ntPath.empty() && !facts.rootNtPath.empty()) {
        return IsSamePath(facts.rootNtPath + L"\\" + below, facts.ntPath);
    }
    // No final path showed the file where it belongs.
    return false;
}

bool IsIntendedFile(HANDLE file, const std::wstring& intendedPath, EntryKind kind) {
    FileFacts facts;
    facts.type = GetFileType(file);
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag))) {
        facts.reparsePoint = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    FILE_STANDARD_INFO standard = {};
    // FileStandardInfo rather than GetFileInformationByHandle: the same link
    // count without the volume query, which is slow (notably under Wine).
    if (GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) {
        facts.standardKnown = true;
        facts.links = standard.NumberOfLinks;
        facts.directory = standard.Directory != FALSE;
    }
    // Refused before the costlier path queries when what is known already says so.
    if (!IsPlainEntry(facts, kind)) return false;
    facts.dosPath = FinalPathOf(file, VOLUME_NAME_DOS);
    if (!facts.dosPath.empty() && IsSamePath(intendedPath, facts.dosPath)) return true;

    // Resolve the root alone and compare below it; a volume without a drive
    // letter (a RAM disk, a volume mounted into a folder) has no DOS name at
    // all, and is compared by its NT device name instead.
    const std::wstring root = TrustedRootOf(intendedPath);
    if (!root.empty()) {
        // The root is the machine's, taken as it is: a link there is followed.
        UniqueHandle rootHandle(OpenEntry(nullptr, RenameTargetName(root), FILE_READ_ATTRIBUTES, kShareAll,
                                          kDispositionOpen, kDirectoryFile, true));
        if (rootHandle) {
            if (!facts.dosPath.empty()) facts.rootDosPath = FinalPathOf(rootHandle.get(), VOLUME_NAME_DOS);
            if (facts.dosPath.empty() || facts.rootDosPath.empty()) {
                facts.ntPath = FinalPathOf(file, VOLUME_NAME_NT);
                facts.rootNtPath = FinalPathOf(rootHandle.get(), VOLUME_NAME_NT);
            }
        }
    }
    return IsIntendedFileFrom(intendedPath, facts, kind);
}

bool IsLinkedName(const std::wstring& path) {
    UniqueHandle entry(OpenDataPath(path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    return entry && !IsIntendedFile(entry.get(), path, EntryKind::Folder) && !IsIntendedFile(entry.get(), path);
}

UniqueHandle HoldFile(HANDLE file) {
    // Attributes only, sharing everything: this handle never stands in anyone's way.
    return UniqueHandle(ReopenDataFile(file, FILE_READ_ATTRIBUTES));
}

bool DeleteHeldFile(HANDLE held) {
    UniqueHandle deleter(ReopenDataFile(held, DELETE));
    return deleter && DeleteByHandle(deleter.get());
}

bool DiscardFile(HANDLE& file) {
    UniqueHandle held = HoldFile(file);
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    return held && DeleteHeldFile(held.get());
}

CheckedOpen OpenCheckedFile(const std::wstring& path, DWORD access, DWORD share, bool existingFirst,
                            JobCallScope* call) {
    CheckedOpen result;
    for (int attempt = 0; attempt < 2 && result.handle == INVALID_HANDLE_VALUE; ++attempt) {
        const bool create = (attempt == 0) != existingFirst;
        result.handle =
            OpenDataPath(path, access, share, create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, call);
        if (result.handle != INVALID_HANDLE_VALUE) {
            result.created = create;
            break;
        }
        result.error = GetLastError();
        // A name that leads to a folder elsewhere is refused as any link is; a plain folder just fails.
        if (result.error == ERROR_ACCESS_DENIED && IsLinkedName(path)) {
            result.refused = true;
            result.error = kRefusedLinkError;
            return result;
        }
        // Only "already there" after a create, or "not there" after an open, is worth the other try.
        if (result.error != (create ? ERROR_FILE_EXISTS : ERROR_FILE_NOT_FOUND)) return result;
    }
    if (result.handle == INVALID_HANDLE_VALUE) return result;

    if (!IsIntendedFile(result.handle, path)) {
        // A file this call created where it does not belong is removed again.
        if (result.created) {
            DiscardFile(result.handle);
        } else {
            CloseHandle(result.handle);
            result.handle = INVALID_HANDLE_VALUE;
        }
        result.refused = true;
        result.error = kRefusedLinkError;
    }
    return result;
}

bool DeleteByHandle(HANDLE file) {
    // Brace-initialised: the member's name, DeleteFile, is also a macro of windows.h.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

RenameOutcome RenameHeldFile(HANDLE held, const std::wstring& newPath, DWORD& error, JobCallScope* call) {
    // Below the call's checked folder when it keeps it; else the full NT path
    // (Wine's SetFileInformationByHandle refuses a RootDirectory, its
    // NtSetInformationFile takes one).
    const FolderAndName parts = SplitPath(newPath);
    HANDLE folder = call != nullptr ? call->KeptFolder(parts.folder) : nullptr;
    const std::wstring target = folder != nullptr ? parts.name : RenameTargetName(newPath);
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    if (nameBytes > MAXDWORD - sizeof(FILE_RENAME_INFO)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return RenameOutcome::Failed;
    }
    // Delete access for this one rename only, reopened through the held handle.
    UniqueHandle renamer(ReopenDataFile(held, DELETE | FILE_READ_ATTRIBUTES));
    if (!renamer) {
        error = GetLastError();
        return RenameOutcome::Failed;
    }
    // FileName is the record's last member; the name runs on past it.
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->RootDirectory = folder;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.data(), nameBytes);
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status = NtSetInformationFile(renamer.get(), &io, info, static_cast<ULONG>(buffer.size()),
                                                 static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation));
    if (status < 0) {
        error = ErrorOf(status);
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameOutcome::TargetExists
                                                                          : RenameOutcome::Failed;
    }
    // Checked on the handle that renamed it: under Wine another handle keeps the old name.
    if (!IsIntendedFile(renamer.get(), newPath)) {
        DeleteByHandle(renamer.get());
        error = kRefusedLinkError;
        return RenameOutcome::Refused;
    }
    return RenameOutcome::Done;
}

RemovalOutcome RemoveCheckedFile(const std::wstring& path, DWORD& error, JobCallScope* call) {
    UniqueHandle file(
        OpenDataPath(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, call));
    if (!file) {
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return RemovalOutcome::Missing;
        // A folder is never replaced, as a replacing rename refuses it (access denied); one
        // that leads elsewhere is refused.
        if (error == ERROR_ACCESS_DENIED && IsLinkedName(path)) return RemovalOutcome::Refused;
        return RemovalOutcome::Failed;
    }
    if (!IsIntendedFile(file.get(), path)) return RemovalOutcome::Refused;
    if (!DeleteByHandle(file.get())) {
        error = GetLastError();
        return RemovalOutcome::Failed;
    }
    return RemovalOutcome::Removed;
}
