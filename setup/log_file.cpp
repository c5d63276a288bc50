// The file that "/log:" names, where an installer keeps the tool's report
// (Windows Installer runs it without a console). The tool runs elevated, as
// SYSTEM under the installer, so it writes only into a folder that no one but
// administrators can change, below folders no one else can replace, and never
// through a link.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

std::wstring FullPath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return std::wstring();
    std::vector<wchar_t> buffer(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
    return length > 0 && length < size ? std::wstring(buffer.data(), length) : std::wstring();
}

}  // namespace

UniqueHandle OpenSetupLog(const std::wstring& path) {
    const std::wstring full = FullPath(path);
    const std::wstring folder = ParentFolder(full);
    if (ResolvedFolder(folder).empty()) {
        ReportLastError((L"/log:" + path).c_str());
        return UniqueHandle();
    }
    // Every level from the volume root down, each checked on its handle; the
    // log is opened relative to the last.
    std::wstring openLevel;
    const UniqueHandle checked = OpenSafeFolder(folder, ReadSecurity, openLevel);
    if (checked) {
        UniqueHandle log;
        bool created = false;
        const DWORD opened = OpenBelow(checked.get(), full.substr(folder.size() + 1),
                                       FILE_APPEND_DATA | READ_CONTROL | FILE_READ_ATTRIBUTES | DELETE,
                                       BelowOpen::FileOrCreate, log, &created);
        if (opened != ERROR_SUCCESS) {
            SetLastError(opened);
            ReportLastError((L"/log:" + path).c_str());
            return UniqueHandle();
        }
        ObjectSecurity security;
        if (IsIntendedFileBelow(log.get(), full, 1) && ReadSecurity(log.get(), security) &&
            !LetsOthersWrite(security, TrustedAccounts())) {
            return log;
        }
        // One made just now somewhere it was not meant to be goes again, through this handle.
        FILE_DISPOSITION_INFO dispose = {TRUE};
        if (created) SetFileInformationByHandle(log.get(), FileDispositionInfo, &dispose, sizeof(dispose));
    }
    PrintLine(L"  [!] /log:%s は管理者以外も書き換えられるか、リンクになっているため、記録しません", path.c_str());
    return UniqueHandle();
}
