// Windows protected print mode (Windows 11 24H2 and later): while it is on,
// the spooler loads no port monitor but Windows' own, so TWPortMon can neither
// be registered nor print. Install refuses then; status, diag and check say so.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

RegistryDword ReadDword(HKEY key, const wchar_t* name) {
    RegistryDword read;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(value)) {
        read.present = true;
        read.value = value;
    }
    return read;
}

}  // namespace

ProtectedPrintState DecideProtectedPrint(const ProtectedPrintValues& values) {
    // The policy ("Configure Windows protected print") decides whenever it is
    // set: enabled turns the mode on, disabled leaves no restriction. Without
    // it, the mode as switched in Settings stands.
    if (values.policy.present) {
        return {values.policy.value != 0, kProtectedPrintPolicyValue, values.policy.value};
    }
    if (values.mode.present) return {values.mode.value != 0, kProtectedPrintModeValue, values.mode.value};
    return {false, nullptr, 0};
}

ProtectedPrintValues ReadProtectedPrintValues() {
    ProtectedPrintValues values;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProtectedPrintKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return values;
    }
    values.policy = ReadDword(key.get(), kProtectedPrintPolicyValue);
    values.mode = ReadDword(key.get(), kProtectedPrintModeValue);
    return values;
}

std::wstring ProtectedPrintText(const ProtectedPrintState& state) {
    if (!state.on) return L"オフ";
    wchar_t text[kLineUnits];
    FormatText(text, kLineUnits, L"オン (%s = %u)", state.valueName, state.value);
    return text;
}
