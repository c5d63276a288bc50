// What an installation leaves on the machine, read back for the whole-system
// and package tests, and a machine cleared of it.
#pragma once

#include <windows.h>

#include <string>

namespace tw_test {

inline constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\TARNWICK-PRINTER";
inline constexpr wchar_t kPortsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\TWPortMon\\Ports";

// Values of the settings key (64-bit view): a string, "(missing)" when
// there is none; a number, 0xFFFFFFFF when there is none.
std::wstring ReadSetting(const wchar_t* name);
DWORD ReadSettingNumber(const wchar_t* name);

bool KeyExists(const std::wstring& path, REGSAM view = 0);  // under HKLM
bool MonitorRegistered();                                   // TWPortMon in EnumMonitorsW
bool QueueExists();                                         // TARNWICK-PRINTER opens

// Deletes the queue, the monitor's registration, its DLL in the system
// folder and the settings key, whichever of them exist.
void RemoveInstallation();

}  // namespace tw_test
