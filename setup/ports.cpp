// What the spooler offers as ports: one look at its list, no retry.
#include "setup/setup.h"

#include <winspool.h>

#include "setup/enumerate.h"

bool IsPortListed(const std::wstring& port) {
    const SpoolerList list = EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumPortsW(nullptr, 1, buffer, size, needed, returned);
    });
    const auto* ports = list.Records<PORT_INFO_1W>();
    for (DWORD i = 0; i < list.count; ++i) {
        if (ports[i].pName != nullptr && EqualsIgnoringAsciiCase(ports[i].pName, port)) return true;
    }
    return false;
}
