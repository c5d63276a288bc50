// Where the shared data lives, and folders made on demand. Every path is
// worked out afresh, so a folder deleted while the spooler runs comes back
// with the next job or log line.
#include "portmon/monitor.h"

namespace {

constexpr DWORD kPathBuffer = 260;

}  // namespace

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

std::wstring GetSpoolFolder() {
    const std::wstring dataFolder = GetDataFolder();
    EnsureDirectory(dataFolder);
    const std::wstring spoolFolder = dataFolder + L"\\" + kSpoolFolderName;
    EnsureDirectory(spoolFolder);
    return spoolFolder;
}

std::wstring PrepareTempFallbackFolder() {
    wchar_t buffer[kPathBuffer] = {};
    const DWORD length = GetTempPathW(kPathBuffer, buffer);
    if (length == 0 || length >= kPathBuffer) return std::wstring();
    // The temporary path already ends in a backslash.
    const std::wstring folder = std::wstring(buffer, length) + kDataFolderName;
    if (!EnsureDirectory(folder)) return std::wstring();
    return folder;
}
