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

namespace {
const wchar_t* const kSettingNames[] = {L"InstallDir", L"EditorPath", L"AutoLaunch"};
}  // namespace

SettingsSnapshot TakeSettingsSnapshot() {
    SettingsSnapshot snapshot;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return snapshot;
    }
    snapshot.keyExisted = true;
    for (const wchar_t* name : kSettingNames) {
        SettingsSnapshot::Value value{name, false, REG_NONE, {}};
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
            value.data.resize(size);
            value.present = RegQueryValueExW(key.get(), name, nullptr, &value.type,
                                             size ? value.data.data() : nullptr, &size) == ERROR_SUCCESS;
            value.data.resize(size);
        }
        snapshot.values.push_back(std::move(value));
    }
    return snapshot;
}

void RestoreSettings(const SettingsSnapshot& before) {
    bool restored = true;
    if (!before.keyExisted) {
        const LONG deleted = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_WOW64_64KEY, 0);
        restored = deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
    } else {
        UniqueKey key;
        restored = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                 key.put()) == ERROR_SUCCESS;
        for (const SettingsSnapshot::Value& value : before.values) {
            if (!restored) break;
            const LONG status =
                value.present ? RegSetValueExW(key.get(), value.name, 0, value.type,
                                               value.data.empty() ? nullptr : value.data.data(),
                                               static_cast<DWORD>(value.data.size()))
                              : RegDeleteValueW(key.get(), value.name);
            restored = status == ERROR_SUCCESS || (!value.present && status == ERROR_FILE_NOT_FOUND);
        }
    }
    if (restored) {
        PrintLine(L"  - 編集アプリの設定をインストール前の状態に戻しました");
    } else {
        PrintLine(L"  [!] 編集アプリの設定をインストール前の状態に戻せませんでした");
    }
}
