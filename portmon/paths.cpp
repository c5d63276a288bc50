// Where the shared data lives, and folders made on demand. Every path is
// worked out afresh, so a folder deleted while the spooler runs comes back
// with the next job or log line.
#include "portmon/monitor.h"

namespace {

constexpr DWORD kPathBuffer = 260;

// A root spelt with or without its trailing separator is the same root.
bool SameRoot(const std::wstring& a, const std::wstring& b) {
    size_t lengthA = a.size(), lengthB = b.size();
    while (lengthA > 0 && (a[lengthA - 1] == L'\\' || a[lengthA - 1] == L'/')) --lengthA;
    while (lengthB > 0 && (b[lengthB - 1] == L'\\' || b[lengthB - 1] == L'/')) --lengthB;
    return lengthA == lengthB && a.compare(0, lengthA, b, 0, lengthB) == 0;
}

}  // namespace

bool JobCallScope::HasWalked(const std::wstring& root, const std::wstring& folder) const {
    for (const Walked& entry : walked_) {
        if (entry.folder == folder && SameRoot(entry.root, root)) return true;
    }
    return false;
}

void JobCallScope::RecordWalked(const std::wstring& root, const std::wstring& folder) {
    try {
        if (!HasWalked(root, folder)) walked_.push_back({root, folder});
    } catch (...) {
        // Out of memory: the folder is simply walked again.
    }
}

HANDLE JobCallScope::KeptLog(const std::wstring& path) const {
    return log_ && path == logPath_ ? log_.get() : nullptr;
}

void JobCallScope::KeepLog(const std::wstring& path, UniqueHandle log) {
    try {
        logPath_ = path;
        log_ = std::move(log);
    } catch (...) {
        // Out of memory: the log is closed, and the next line opens it again.
    }
}

void JobCallScope::DropLog() {
    log_.reset();
}

HANDLE JobCallScope::KeptFolder(const std::wstring& folder) const {
    for (const KeptFolderHandle& kept : folders_) {
        if (kept.folder == folder) return kept.handle.get();
    }
    return nullptr;
}

void JobCallScope::KeepFolder(const std::wstring& folder, UniqueHandle handle) {
    try {
        for (KeptFolderHandle& kept : folders_) {
            if (kept.folder == folder) {
                kept.handle = std::move(handle);
                return;
            }
        }
        folders_.push_back({folder, std::move(handle)});
    } catch (...) {
        // Out of memory: the folder's files are opened by path, and checked as ever.
    }
}

std::wstring ReadEnvironmentValue(const wchar_t* name) {
    wchar_t buffer[kPathBuffer] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, kPathBuffer);
    if (length == 0 || length >= kPathBuffer) return std::wstring();
    return std::wstring(buffer, length);
}

std::wstring ChooseProgramDataRoot(const std::wstring& programData,
                                   const std::wstring& allUsersProfile,
                                   const std::wstring& windowsDirectory) {
    if (!programData.empty()) return programData;
    if (!allUsersProfile.empty()) return allUsersProfile;
    if (windowsDirectory.size() < 3) return L"C:\\ProgramData";
    return windowsDirectory.substr(0, 3) + L"ProgramData";
}

std::wstring GetProgramDataRoot() {
    std::wstring windowsDirectory;
    wchar_t buffer[kPathBuffer] = {};
    const UINT length = GetWindowsDirectoryW(buffer, kPathBuffer);
    if (length > 0 && length < kPathBuffer) windowsDirectory.assign(buffer, length);
    return ChooseProgramDataRoot(ReadEnvironmentValue(L"ProgramData"),
                                 ReadEnvironmentValue(L"ALLUSERSPROFILE"), windowsDirectory);
}

bool EnsureDirectory(const std::wstring& path) {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;

    // A separator at index 3 or later has a parent worth creating; C:\ never is.
    const size_t separator = path.find_last_of(L"\\/");
    if (separator != std::wstring::npos && separator >= 3) EnsureDirectory(path.substr(0, separator));

    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring GetDataFolder() {
    return GetProgramDataRoot() + L"\\" + kDataFolderName;
}

FolderState PrepareFolderChain(const std::wstring& root, const std::wstring& folder, std::wstring& refused,
                               JobCallScope* call) {
    // Each level is opened as itself and checked on its handle: a disk folder,
    // no reparse point, whose final path lies where the level's path says.
    size_t next = folder.size();
    if (!root.empty() && folder.size() > root.size() && folder.compare(0, root.size(), root) == 0) {
        next = root.size();
        while (next < folder.size() && (folder[next] == L'\\' || folder[next] == L'/')) ++next;
        next = folder.find_first_of(L"\\/", next);
        if (next == std::wstring::npos) next = folder.size();
    }
    if (call != nullptr && call->HasWalked(root, folder)) return FolderState::Ready;
    const auto recordLevels = [&](size_t end) {
        while (call != nullptr) {
            call->RecordWalked(root, folder.substr(0, end));
            if (end >= folder.size()) return;
            end = folder.find_first_of(L"\\/", end + 1);
            if (end == std::wstring::npos) end = folder.size();
        }
    };
    // The usual case, in one open: the whole chain is there, and the final
    // path of its last level shows that no level above it leads elsewhere.
    {
        UniqueHandle whole(OpenDataFolder(folder, false));
        if (whole && IsIntendedFile(whole.get(), folder, EntryKind::Folder)) {
            recordLevels(next);
            if (call != nullptr) call->KeepFolder(folder, std::move(whole));
            return FolderState::Ready;
        }
    }
    bool first = true;
    for (;;) {
        const std::wstring level = folder.substr(0, next);
        UniqueHandle handle(OpenDataFolder(level, true));
        if (!handle && first && !root.empty() && GetLastError() == ERROR_PATH_NOT_FOUND && EnsureDirectory(root)) {
            handle.reset(OpenDataFolder(level, true));
        }
        if (!handle) {
            // A plain file in place of the last level is left for the file's own open to fail in.
            if (GetLastError() == ERROR_DIRECTORY && next >= folder.size()) return FolderState::Ready;
            return FolderState::Unusable;
        }
        if (!IsIntendedFile(handle.get(), level, EntryKind::Folder)) {
            refused = level;
            return FolderState::Link;
        }
        // A level found plain spares the call's later walks.
        if (call != nullptr) call->RecordWalked(root, level);
        if (next >= folder.size()) {
            if (call != nullptr) call->KeepFolder(folder, std::move(handle));
            return FolderState::Ready;
        }
        first = false;
        next = folder.find_first_of(L"\\/", next + 1);
        if (next == std::wstring::npos) next = folder.size();
    }
}

std::wstring GetSpoolFolder(bool* refused, JobCallScope* call) {
    const std::wstring root = GetProgramDataRoot();
    const std::wstring spoolFolder = root + L"\\" + kDataFolderName + L"\\" + kSpoolFolderName;
    std::wstring link;
    if (PrepareFolderChain(root, spoolFolder, link, call) == FolderState::Link) {
        MonitorLogIn(call, kLinkRefusedFormat, link.c_str());
        if (refused != nullptr) *refused = true;
    }
    return spoolFolder;
}

std::wstring PrepareTempFallbackFolder(JobCallScope* call) {
    wchar_t buffer[kPathBuffer] = {};
    const DWORD length = GetTempPathW(kPathBuffer, buffer);
    if (length == 0 || length >= kPathBuffer) return std::wstring();
    // The temporary path already ends in a backslash.
    const std::wstring temp(buffer, length);
    const std::wstring folder = temp + kDataFolderName;
    std::wstring link;
    switch (PrepareFolderChain(temp, folder, link, call)) {
        case FolderState::Ready:
            return folder;
        case FolderState::Link:
            MonitorLogIn(call, kLinkRefusedFormat, link.c_str());
            return std::wstring();
        case FolderState::Unusable:
            break;
    }
    return std::wstring();
}
