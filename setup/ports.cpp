// What the spooler offers as ports: one look at its list, no retry.
#include "setup/setup.h"

#include <winspool.h>

bool IsPortListed(const std::wstring& port) {
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
    if (needed == 0) return false;

    std::vector<BYTE> buffer(needed, 0);
    if (!EnumPortsW(nullptr, 1, buffer.data(), needed, &needed, &returned)) return false;
    const auto* ports = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < returned; ++i) {
        if (ports[i].pName != nullptr && EqualsIgnoringAsciiCase(ports[i].pName, port)) {
            return true;
        }
    }
    return false;
}
