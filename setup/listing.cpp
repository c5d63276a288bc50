// The printer drivers installed on the machine and the ports the spooler
// offers: what /driver: and /port: name. The "list" command prints both;
// printer creation prints one when its driver or port is not there.
#include "setup/listing.h"

#include "setup/setup.h"

namespace {

// Records of one type; the names are printed as the spooler returns them,
// unsorted, and the heading counts the records without a name too.
template <typename Record>
void PrintListing(const SpoolerList& list, const wchar_t* heading, const wchar_t* notListed) {
    // No size at all is said in parentheses; a second call that fails prints nothing.
    if (list.state == SpoolerList::State::NoSize) PrintLine(L"%s", notListed);
    if (list.state != SpoolerList::State::Listed) return;
    PrintLine(heading, list.count);
    // Never past the buffer, whatever count came with it.
    const Record* records = list.Records<Record>();
    const size_t fits = list.buffer.size() / sizeof(Record);
    for (size_t i = 0; i < list.count && i < fits; ++i) {
        if (records[i].pName != nullptr) PrintLine(L"     %s", records[i].pName);
    }
}

}  // namespace

SpoolerList EnumerateDrivers() {
    return EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumPrinterDriversW(nullptr, nullptr, 2, buffer, size, needed, returned);
    });
}

SpoolerList EnumeratePorts() {
    return EnumerateSpooler([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Spooler().EnumPortsW(nullptr, 1, buffer, size, needed, returned);
    });
}

void PrintDriverListing(const SpoolerList& drivers) {
    PrintListing<DRIVER_INFO_2W>(drivers, L"  -- インストール済みドライバ (%u) --",
                                 L"  (インストール済みドライバを列挙できませんでした)");
}

void PrintPortListing(const SpoolerList& ports) {
    PrintListing<PORT_INFO_1W>(ports, L"  -- 利用可能なポート (%u) --", L"  (ポートを列挙できませんでした)");
}

void ListInstalledDrivers() {
    PrintDriverListing(EnumerateDrivers());
}

void ListPorts() {
    PrintPortListing(EnumeratePorts());
}
