// Files of the monitor's only where they are meant to be. Folders are checked
// by path, level by level (paths.cpp); each file is checked on its open handle:
// its final path must be the intended path and it must have one name only.
// Renames and deletes go through that checked handle, never through a path
// that could have been turned into a link meanwhile.
#include "portmon/monitor.h"

#include <climits>
#include <cstring>
#include <cwchar>

#include "common/unique_handle.h"

namespace {

constexpr DWORD kFinalPathChars = 1024;

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

bool IsPlainSingleFile(HANDLE file) {
    FILE_STANDARD_INFO standard = {};
    // FileStandardInfo rather than GetFileInformationByHandle: the same link
    // count without the volume query, which is slow (notably under Wine).
    if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard))) return false;
    return standard.NumberOfLinks == 1 && !standard.Directory;
}

}  // namespace

bool IsLinkAttributes(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return L"\\??\\UNC\\" + path.substr(2);
    return L"\\??\\" + path;
}

std::wstring FinalPathOf(HANDLE handle) {
    wchar_t buffer[kFinalPathChars] = {};
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer, kFinalPathChars, FILE_NAME_NORMALIZED);
    if (length == 0) return std::wstring();
    if (length < kFinalPathChars) return std::wstring(buffer, length);
    // Too small: `length` is the size needed, terminator included.
    std::wstring larger(length, L'\0');
    const DWORD again = GetFinalPathNameByHandleW(handle, &larger[0], length, FILE_NAME_NORMALIZED);
    if (again == 0 || again >= length) return std::wstring();
    larger.resize(again);
    return larger;
}

bool IsIntendedFile(HANDLE file, const std::wstring& intendedPath) {
    if (!IsPlainSingleFile(file)) return false;
    const std::wstring finalPath = FinalPathOf(file);
    if (finalPath.empty()) return false;
    if (IsSamePath(intendedPath, finalPath)) return true;

    // The root may be spelt differently from how the file system resolves it
    // (a short name, a link an administrator made): resolve the root alone.
    const std::wstring root = TrustedRootOf(intendedPath);
    if (root.empty()) return false;
    UniqueHandle rootHandle(CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!rootHandle) return false;
    const std::wstring rootFinal = FinalPathOf(rootHandle.get());
    return !rootFinal.empty() && IsSamePath(rootFinal + L"\\" + intendedPath.substr(root.size()), finalPath);
}

CheckedOpen OpenCheckedFile(const std::wstring& path, DWORD access, DWORD share, bool existingFirst) {
    CheckedOpen result;
    for (int attempt = 0; attempt < 2 && result.handle == INVALID_HANDLE_VALUE; ++attempt) {
        const bool create = (attempt == 0) != existingFirst;
        // A file created here gets DELETE access, so that it can be removed
        // again should it turn out to lie outside its folder.
        result.handle = CreateFileW(path.c_str(), create ? access | DELETE : access, share, nullptr,
                                    create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (result.handle != INVALID_HANDLE_VALUE) {
            result.created = create;
            break;
        }
        result.error = GetLastError();
        // Only "already there" after a create, or "not there" after an open, is worth the other try.
        if (result.error != (create ? ERROR_FILE_EXISTS : ERROR_FILE_NOT_FOUND)) return result;
    }
    if (result.handle == INVALID_HANDLE_VALUE) return result;

    if (!IsIntendedFile(result.handle, path)) {
        if (result.created) DeleteByHandle(result.handle);
        CloseHandle(result.handle);
        result.handle = INVALID_HANDLE_VALUE;
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

RenameOutcome RenameCheckedFile(HANDLE file, const std::wstring& newPath, DWORD& error) {
    const std::wstring target = RenameTargetName(newPath);
    const size_t nameBytes = target.size() * sizeof(wchar_t);
    if (nameBytes > MAXDWORD - sizeof(FILE_RENAME_INFO)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return RenameOutcome::Failed;
    }
    // FileName is the record's last member; the name runs on past it.
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, target.data(), nameBytes);
    if (!SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) {
        error = GetLastError();
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameOutcome::TargetExists
                                                                          : RenameOutcome::Failed;
    }
    if (!IsIntendedFile(file, newPath)) {
        DeleteByHandle(file);
        error = kRefusedLinkError;
        return RenameOutcome::Refused;
    }
    return RenameOutcome::Done;
}

RemovalOutcome RemoveCheckedFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RemovalOutcome::Missing
                                                                              : RemovalOutcome::Failed;
    }
    if (IsLinkAttributes(attributes)) return RemovalOutcome::Refused;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemovalOutcome::Failed;
    UniqueHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return RemovalOutcome::Failed;
    if (!IsIntendedFile(file.get(), path)) return RemovalOutcome::Refused;
    return DeleteByHandle(file.get()) ? RemovalOutcome::Removed : RemovalOutcome::Failed;
}
