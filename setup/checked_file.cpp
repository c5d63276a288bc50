// Files in the data folder checked on their open handles. Any user may
// replace a file there with a link (or give it a second name, a hard link),
// so a file the elevated tool opens counts as its own only when the file
// system resolves the handle to the intended path and the file has one name.
// The folders above the data folder are the machine's and are taken as they
// are, whatever links an administrator may have made there.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr DWORD kFinalPathUnits = 1024;

// Repeated and trailing backslashes dropped, so that a root such as "D:\"
// followed by "\TarnwickPrinter" compares like any other. The leading two of
// a "\\?\" or UNC path stay.
std::wstring Comparable(const std::wstring& path) {
    std::wstring result;
    result.reserve(path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == L'\\' && i >= 2 && !result.empty() && result.back() == L'\\') continue;
        result += path[i];
    }
    while (result.size() > 2 && result.back() == L'\\') result.pop_back();
    return result;
}

}  // namespace

std::wstring ParentFolder(const std::wstring& path) {
    const size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

std::wstring FinalPathOf(HANDLE handle) {
    std::vector<wchar_t> buffer(kFinalPathUnits);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= buffer.size()) {  // too small: `length` is the size needed, terminator included
        buffer.resize(length);
        length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED);
        if (length >= buffer.size()) return std::wstring();
    }
    return std::wstring(buffer.data(), length);
}

std::wstring ResolvedFolder(const std::wstring& folder) {
    if (folder.empty()) return std::wstring();
    UniqueHandle handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle ? FinalPathOf(handle.get()) : std::wstring();
}

bool IsIntendedFile(HANDLE file, const std::wstring& resolvedRoot, const std::wstring& below) {
    FILE_STANDARD_INFO standard = {};
    if (resolvedRoot.empty() ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) ||
        standard.Directory || standard.NumberOfLinks != 1) {
        return false;
    }
    const std::wstring intended = Comparable(resolvedRoot + below);
    const std::wstring actual = Comparable(FinalPathOf(file));
    return !actual.empty() && intended.size() == actual.size() && intended.size() < 0x7FFFFFFF &&
           CompareStringOrdinal(intended.data(), static_cast<int>(intended.size()), actual.data(),
                                static_cast<int>(actual.size()), TRUE) == CSTR_EQUAL;
}

bool IsIntendedFileBelow(HANDLE file, const std::wstring& path, int levels) {
    std::wstring root = path;
    for (int i = 0; i < levels && !root.empty(); ++i) root = ParentFolder(root);
    if (root.empty()) return false;
    return IsIntendedFile(file, ResolvedFolder(root), path.substr(root.size()));
}
