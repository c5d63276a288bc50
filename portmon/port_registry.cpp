// The port list lives in the registry: one empty subkey of the Ports key per
// port. It is read afresh on every request.
#include "portmon/monitor.h"

#include "common/unique_handle.h"

std::vector<std::wstring> ReadPortList() {
    std::vector<std::wstring> ports;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKeyPath, 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
        for (DWORD index = 0;; ++index) {
            wchar_t name[256] = {};
            DWORD length = 256;
            if (RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            if (name[0] != L'\0') ports.emplace_back(name);
        }
    }
    if (ports.empty()) ports.emplace_back(kDefaultPortName);
    return ports;
}

bool IsNestedPortName(const std::wstring& name) {
    return name.find(L'\\') != std::wstring::npos;
}

bool CreatePortKey(const std::wstring& name) {
    if (name.empty()) return false;
    UniqueKey ports;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, ports.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    UniqueKey port;
    return RegCreateKeyExW(ports.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                           nullptr, port.put(), nullptr) == ERROR_SUCCESS;
}

bool DeletePortKey(const std::wstring& name) {
    // An empty subkey name is the Ports key itself.
    if (name.empty()) return false;
    UniqueKey ports;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKeyPath, 0, KEY_WRITE, ports.put()) != ERROR_SUCCESS) {
        return false;
    }
    return RegDeleteKeyW(ports.get(), name.c_str()) == ERROR_SUCCESS;
}
