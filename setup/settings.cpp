// The editor settings under HKLM\SOFTWARE\TARNWICK-PRINTER (64-bit view):
// where the editor is and whether the monitor starts it after each job.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

// Strings are stored with their terminating NUL.
LONG SetStringValue(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

bool WriteEditorSettings(bool autoLaunch) {
    const std::wstring installDir = ModuleDirectory();
    const std::wstring editorPath = installDir + L"\\" + kEditorFileName;

    {
        UniqueKey key;
        const LONG created = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_WRITE | KEY_WOW64_64KEY,
                                             nullptr, key.put(), nullptr);
        if (created != ERROR_SUCCESS) {
            ReportRegistryError(created, L"RegCreateKeyEx(SOFTWARE\\TARNWICK-PRINTER)");
            return false;
        }

        // Written one by one, in this order; the monitor may read them meanwhile.
        const DWORD autoLaunchValue = autoLaunch ? 1 : 0;
        const struct {
            const wchar_t* label;
            LONG status;
        } writes[] = {
            {L"RegSetValueEx(InstallDir)", SetStringValue(key.get(), L"InstallDir", installDir)},
            {L"RegSetValueEx(EditorPath)", SetStringValue(key.get(), L"EditorPath", editorPath)},
            {L"RegSetValueEx(AutoLaunch)",
             RegSetValueExW(key.get(), L"AutoLaunch", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&autoLaunchValue), sizeof(autoLaunchValue))},
        };
        bool written = true;
        for (const auto& write : writes) {
            if (write.status != ERROR_SUCCESS) {
                ReportRegistryError(write.status, write.label);
                written = false;
            }
        }
        if (!written) return false;
    }

    // A missing editor is only a warning: the values name where it belongs.
    if (GetFileAttributesW(editorPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PrintLine(L"  [!] %s が見つかりません。自動起動は動きません。", editorPath.c_str());
    } else {
        PrintLine(L"  - 編集アプリ: %s (自動起動 %s)", editorPath.c_str(), autoLaunch ? L"有効" : L"無効");
    }
    return true;
}
