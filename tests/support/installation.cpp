#include "tests/support/installation.h"

#include <winspool.h>

#include <vector>

#include "common/unique_handle.h"
#include "tests/support/files.h"
#include "tests/support/spooler.h"

namespace tw_test {

std::wstring ReadSetting(const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value,
                     &size) != ERROR_SUCCESS) {
        return L"(missing)";
    }
    return value;
}

DWORD ReadSettingNumber(const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, name, RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr,
                     &value, &size) != ERROR_SUCCESS) {
        return 0xFFFFFFFF;
    }
    return value;
}

bool KeyExists(const std::wstring& path, REGSAM view) {
    UniqueKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

bool MonitorRegistered() {
    DWORD needed = 0, count = 0;
    EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count);
    if (needed == 0) return false;
    std::vector<BYTE> buffer(needed);
    if (!EnumMonitorsW(nullptr, 2, buffer.data(), needed, &needed, &count)) return false;
    const auto* monitors = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (monitors[i].pName != nullptr && _wcsicmp(monitors[i].pName, L"TWPortMon") == 0) return true;
    }
    return false;
}

bool QueueExists() {
    UniquePrinter printer;
    return OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), nullptr) != FALSE;
}

void RemoveInstallation() {
    DeleteQueue();
    RemoveMonitor();
    DeleteFileW((SystemFolder() + L"\\TWPortMon.dll").c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
}

}  // namespace tw_test
