// The file that "/log:" names, where an installer keeps the tool's report
// (Windows Installer runs it without a console). The tool runs elevated, as
// SYSTEM under the installer, so it writes only into a folder that no one but
// administrators can change, and never through a link.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kAsItself =
    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::vector<wchar_t> buffer(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    return length > 0 && length < size ? std::wstring(buffer.data(), length) : std::wstring();
}

// The object is where it was meant to be, no link, of the kind expected, and
// no one but administrators can change it.
bool IsAdministratorsOnly(HANDLE object, const std::wstring& resolvedRoot, const std::wstring& below, bool folder,
                          const std::vector<std::wstring>& trusted) {
    bool isFolder = false;
    ObjectSecurity security;
    return IsIntendedObject(object, resolvedRoot, below, isFolder) && isFolder == folder &&
           ReadSecurity(object, security) && !LetsOthersWrite(security, trusted);
}

}  // namespace

UniqueHandle OpenSetupLog(const std::wstring& path) {
    const std::wstring full = FullPath(path);
    const std::wstring folder = ParentFolder(full);
    const std::wstring root = ParentFolder(folder);  // the folder's own place is taken as it is
    const std::wstring resolvedRoot = ResolvedFolder(root);
    const std::vector<std::wstring> trusted = TrustedAccounts();
    bool safe = !root.empty() && !resolvedRoot.empty();
    if (safe) {
        UniqueHandle checked(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                         OPEN_EXISTING, kAsItself, nullptr));
        if (!checked) {
            ReportLastError((L"/log:" + path).c_str());
            return UniqueHandle();
        }
        safe = IsAdministratorsOnly(checked.get(), resolvedRoot, folder.substr(root.size()), true, trusted);
    }
    if (safe) {
        UniqueHandle log(CreateFileW(full.c_str(), FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | SECURITY_SQOS_PRESENT |
                                         SECURITY_IDENTIFICATION,
                                     nullptr));
        if (!log) {
            ReportLastError((L"/log:" + path).c_str());
            return UniqueHandle();
        }
        const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
        if (IsAdministratorsOnly(log.get(), resolvedRoot, full.substr(root.size()), false, trusted)) return log;
        // One made just now somewhere it was not meant to be goes again, through this handle.
        FILE_DISPOSITION_INFO dispose = {TRUE};
        if (created) SetFileInformationByHandle(log.get(), FileDispositionInfo, &dispose, sizeof(dispose));
    }
    PrintLine(L"  [!] /log:%s は管理者以外も書き換えられるか、リンクになっているため、記録しません", path.c_str());
    return UniqueHandle();
}
