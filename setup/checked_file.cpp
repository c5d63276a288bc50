// Files and folders checked on their open handles. Any user may replace one
// in the data folder with a link (or give a file a second name, a hard link),
// so an object the elevated tool opens counts as its own only when it is no
// reparse point, the file system resolves the handle to the intended path
// and, for a file, it has one name. The folders above are the machine's and
// are taken as they are, whatever links an administrator may have made there.
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

namespace {

bool IsAtIntendedPath(HANDLE object, const std::wstring& resolvedRoot, const std::wstring& below) {
    const std::wstring intended = Comparable(resolvedRoot + below);
    const std::wstring actual = Comparable(FinalPathOf(object));
    return !resolvedRoot.empty() && !actual.empty() && intended.size() == actual.size() &&
           intended.size() < 0x7FFFFFFF &&
           CompareStringOrdinal(intended.data(), static_cast<int>(intended.size()), actual.data(),
                                static_cast<int>(actual.size()), TRUE) == CSTR_EQUAL;
}

// The attributes of the object itself; a failed query is no evidence either way.
bool ShowsReparsePoint(HANDLE object) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    return GetFileInformationByHandleEx(object, FileAttributeTagInfo, &tag, sizeof(tag)) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool IsIntendedObject(HANDLE object, const std::wstring& resolvedRoot, const std::wstring& below, bool& isFolder) {
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(object, FileStandardInfo, &standard, sizeof(standard))) return false;
    isFolder = standard.Directory != FALSE;
    // A second name would share a file with a place outside. A folder's
    // count says nothing of that (Wine counts its subfolders in it).
    if (!isFolder && standard.NumberOfLinks != 1) return false;
    return !ShowsReparsePoint(object) && IsAtIntendedPath(object, resolvedRoot, below);
}

bool IsIntendedFile(HANDLE file, const std::wstring& resolvedRoot, const std::wstring& below) {
    bool isFolder = false;
    return IsIntendedObject(file, resolvedRoot, below, isFolder) && !isFolder;
}

bool IsLinkItself(HANDLE link, const std::wstring& resolvedRoot, const std::wstring& below) {
    return ShowsReparsePoint(link) && IsAtIntendedPath(link, resolvedRoot, below);
}

bool IsIntendedFileBelow(HANDLE file, const std::wstring& path, int levels) {
    std::wstring root = path;
    for (int i = 0; i < levels && !root.empty(); ++i) root = ParentFolder(root);
    if (root.empty()) return false;
    return IsIntendedFile(file, ResolvedFolder(root), path.substr(root.size()));
}
