// The table as the spooler sees it: its shape, the port listing byte for
// byte, and every entry's answer to null pointers, wrong levels and bad handles.
#include <algorithm>
#include <cstring>

#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

void DeletePortsKey() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPortsKeyPath);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPortsKeyPath);
}

bool PortKeyExists(const std::wstring& name) {
    UniqueKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPortsKeyPath) + L"\\" + name).c_str(), 0,
                         KEY_READ, key.put()) == ERROR_SUCCESS;
}

void CreatePortSubkey(const std::wstring& name) {
    UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPortsKeyPath) + L"\\" + name).c_str(), 0,
                              nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
}

// The registry's own enumeration order of the Ports subkeys.
std::vector<std::wstring> RegistryPortOrder() {
    std::vector<std::wstring> names;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKeyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.push_back(name);
    }
    return names;
}

// A buffer whose last byte lies right before a page that may not be touched.
class GuardedBuffer {
public:
    GuardedBuffer() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    // Start of a region of `size` bytes that ends at the guard page, filled with 0xAB.
    BYTE* Ending(DWORD size) {
        std::memset(base_, 0xAB, page_);
        return base_ + page_ - size;
    }
    bool Untouched(DWORD size) const {
        return std::all_of(base_, base_ + page_ - size, [](BYTE b) { return b == 0xAB; });
    }

private:
    DWORD page_ = 0;
    BYTE* base_ = nullptr;
};

class TableTest : public DataFolderTest {};

TEST_F(TableTest, ShapeOfTheTable) {
    const MonitorTable& table = Table();
    EXPECT_EQ(table.cbSize, 184u);
    EXPECT_NE(table.pfnEnumPorts, nullptr);
    EXPECT_NE(table.pfnShutdown, nullptr);
    EXPECT_EQ(table.pfnSendRecvBidiDataFromPort, nullptr);
    EXPECT_EQ(table.pfnNotifyUsedPorts, nullptr);
    EXPECT_EQ(table.pfnNotifyUnusedPorts, nullptr);
    EXPECT_EQ(table.pfnPowerEvent, nullptr);
    ASSERT_NE(Monitor().monitor, nullptr);
    EXPECT_EQ(std::memcmp(Monitor().monitor, "TWMN", 4), 0);
}

TEST_F(TableTest, InitializeWithoutHandleSlot) {
    using Init = MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE);
    auto init = reinterpret_cast<Init>(
        reinterpret_cast<void*>(GetProcAddress(Monitor().module, "InitializePrintMonitor2")));
    ASSERT_NE(init, nullptr);
    SetLastError(kErrorSentinel);
    EXPECT_EQ(init(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(TableTest, InitializeRecreatesTheDefaultPortAndFolders) {
    DeletePortsKey();
    using Init = MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE);
    auto init = reinterpret_cast<Init>(
        reinterpret_cast<void*>(GetProcAddress(Monitor().module, "InitializePrintMonitor2")));
    HANDLE monitor = nullptr;
    EXPECT_NE(init(nullptr, &monitor), nullptr);  // no MONITORINIT at all is accepted
    EXPECT_EQ(monitor, Monitor().monitor);
    EXPECT_TRUE(PortKeyExists(L"TARNWICK:"));
    EXPECT_TRUE(IsFolder(SpoolFolder()));
    ASSERT_FALSE(LogLines().empty());
    EXPECT_EQ(LogMessage(LogLines().back()), "InitializePrintMonitor2");
}

TEST_F(TableTest, EnumPortsArgumentChecks) {
    DWORD needed = kSentinel, returned = kSentinel;
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnEnumPorts(nullptr, nullptr, 1, nullptr, 0, nullptr, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Table().pfnEnumPorts(nullptr, nullptr, 1, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    for (DWORD level : {0u, 3u, 4u}) {
        needed = returned = kSentinel;
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnEnumPorts(nullptr, nullptr, level, nullptr, 0, &needed, &returned));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
        EXPECT_EQ(needed, 0u);
        EXPECT_EQ(returned, 0u);
    }
}

// Every size from 0 up to the needed one, at the very end of the accessible
// memory: too small fails and writes nothing, exact fills it to the last byte.
void CheckEnumPortsAtEverySize(DWORD level, const std::vector<std::wstring>& expected) {
    const DWORD structSize = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
    DWORD needed = kSentinel, returned = kSentinel;
    SetLastError(kErrorSentinel);
    ASSERT_FALSE(Table().pfnEnumPorts(nullptr, nullptr, level, nullptr, 12345, &needed, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, 0u);
    DWORD strings = 0;
    for (const auto& name : expected) {
        strings += static_cast<DWORD>(level == 1 ? (name.size() + 1) * 2 : 2 * name.size() + 66);
    }
    ASSERT_EQ(needed, expected.size() * structSize + strings);
    const DWORD total = needed;

    GuardedBuffer guard;
    for (DWORD size = 0; size < total; ++size) {
        BYTE* buffer = guard.Ending(size);
        needed = returned = kSentinel;
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnEnumPorts(nullptr, nullptr, level, buffer, size, &needed, &returned)) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(needed, total);
        EXPECT_EQ(returned, 0u);
        EXPECT_TRUE(guard.Untouched(0)) << "wrote into a buffer that was too small, size " << size;
    }

    BYTE* buffer = guard.Ending(total);
    needed = returned = kSentinel;
    ASSERT_TRUE(Table().pfnEnumPorts(nullptr, nullptr, level, buffer, total, &needed, &returned));
    EXPECT_EQ(needed, total);
    ASSERT_EQ(returned, expected.size());
    const BYTE* lowest = buffer + total;
    for (DWORD i = 0; i < returned; ++i) {
        if (level == 1) {
            const auto& info = reinterpret_cast<const PORT_INFO_1W*>(buffer)[i];
            EXPECT_EQ(info.pName, expected[i]);
            lowest = std::min(lowest, reinterpret_cast<const BYTE*>(info.pName));
        } else {
            const auto& info = reinterpret_cast<const PORT_INFO_2W*>(buffer)[i];
            EXPECT_EQ(std::wstring(info.pPortName), expected[i]);
            EXPECT_STREQ(info.pMonitorName, L"TWPortMon");
            EXPECT_STREQ(info.pDescription, L"TARNWICK-PRINTER Port");
            EXPECT_EQ(info.fPortType, static_cast<DWORD>(PORT_TYPE_WRITE));
            EXPECT_EQ(info.Reserved, 0u);
            for (const wchar_t* text : {info.pPortName, info.pMonitorName, info.pDescription}) {
                lowest = std::min(lowest, reinterpret_cast<const BYTE*>(text));
            }
        }
    }
    // The first port's name ends the buffer; the strings meet the array without a gap.
    const wchar_t* firstName = level == 1 ? reinterpret_cast<const PORT_INFO_1W*>(buffer)[0].pName
                                          : reinterpret_cast<const PORT_INFO_2W*>(buffer)[0].pPortName;
    EXPECT_EQ(reinterpret_cast<const BYTE*>(firstName) + (expected[0].size() + 1) * 2, buffer + total);
    EXPECT_EQ(lowest, buffer + returned * structSize);
}

TEST_F(TableTest, EnumPortsWithoutPortsKeyListsTheDefault) {
    DeletePortsKey();
    CheckEnumPortsAtEverySize(1, {L"TARNWICK:"});
    CheckEnumPortsAtEverySize(2, {L"TARNWICK:"});
}

TEST_F(TableTest, EnumPortsListsEveryPortSubkeyInRegistryOrder) {
    DeletePortsKey();
    CreatePortSubkey(L"TARNWICK:");
    CreatePortSubkey(L"LPT9:");
    CreatePortSubkey(L"A second port:");
    const std::vector<std::wstring> order = RegistryPortOrder();
    ASSERT_EQ(order.size(), 3u);
    CheckEnumPortsAtEverySize(1, order);
    CheckEnumPortsAtEverySize(2, order);
    DeletePortsKey();
    CreatePortSubkey(L"TARNWICK:");
}

TEST_F(TableTest, OpenAndClosePorts) {
    HANDLE port = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(kSentinel));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnOpenPort(nullptr, const_cast<LPWSTR>(L"TARNWICK:"), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(Table().pfnOpenPort(nullptr, nullptr, &port));
    EXPECT_EQ(LogMessage(LogLines().back()), "OpenPort TARNWICK:");
    EXPECT_TRUE(Table().pfnClosePort(port));

    // Any name opens, listed or not.
    ASSERT_TRUE(Table().pfnOpenPort(nullptr, const_cast<LPWSTR>(L"NOT-LISTED:"), &port));
    EXPECT_EQ(LogMessage(LogLines().back()), "OpenPort NOT-LISTED:");
    EXPECT_TRUE(Table().pfnClosePort(port));

    HANDLE ex = nullptr;
    ASSERT_TRUE(Table().pfnOpenPortEx(nullptr, nullptr, const_cast<LPWSTR>(L"TARNWICK:"),
                                      const_cast<LPWSTR>(L"TARNWICK-PRINTER"), &ex, nullptr));
    EXPECT_EQ(static_cast<PortRecord*>(ex)->printerName, L"TARNWICK-PRINTER");
    EXPECT_TRUE(Table().pfnClosePort(ex));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnOpenPortEx(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(TableTest, JobEntriesRefuseHandlesThatAreNotPorts) {
    // A record of the right size with the wrong signature.
    std::vector<BYTE> fake(sizeof(PortRecord), 0);
    std::memcpy(fake.data(), "XXXX", 4);
    // An Xcv handle carries the same signature as a port but is not one.
    HANDLE xcv = nullptr;
    ASSERT_TRUE(Table().pfnXcvOpenPort(nullptr, L",XcvMonitor TWPortMon", SERVER_ACCESS_ADMINISTER, &xcv));

    for (HANDLE handle : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(fake.data()), xcv}) {
        DWORD written = kSentinel;
        BYTE data[4] = {1, 2, 3, 4};
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnStartDocPort(handle, nullptr, 1, 1, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnWritePort(handle, data, 4, &written));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnEndDocPort(handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnClosePort(handle));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_TRUE(Table().pfnXcvClosePort(xcv));

    // A port that was closed: its signature is gone before its memory is.
    HANDLE port = OpenTestPort();
    ASSERT_TRUE(Table().pfnClosePort(port));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnEndDocPort(port));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnClosePort(port));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TableTest, ReadPortAndUnsupportedEntries) {
    HANDLE port = OpenTestPort();
    BYTE buffer[8];
    DWORD read = kSentinel;
    EXPECT_TRUE(Table().pfnReadPort(port, buffer, sizeof(buffer), &read));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(Table().pfnReadPort(port, buffer, sizeof(buffer), nullptr));

    DWORD returned = kSentinel;
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnGetPrinterDataFromPort(port, 0, nullptr, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(Table().pfnGetPrinterDataFromPort(nullptr, 0, nullptr, nullptr, 0, nullptr, 0, nullptr));

    EXPECT_TRUE(Table().pfnSetPortTimeOuts(port, nullptr, 0));

    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnAddPort(nullptr, nullptr, nullptr, const_cast<LPWSTR>(L"TWPortMon")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(Table().pfnClosePort(port));

    Table().pfnShutdown(Monitor().monitor);
    EXPECT_EQ(LogMessage(LogLines().back()), "Shutdown");
}

TEST_F(TableTest, AddPortExAndDeletePort) {
    SetLastError(kErrorSentinel);
    PORT_INFO_1W one = {const_cast<LPWSTR>(L"TW-ADDED:")};
    EXPECT_FALSE(Table().pfnAddPortEx(nullptr, nullptr, 3, reinterpret_cast<LPBYTE>(&one), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnAddPortEx(nullptr, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    PORT_INFO_2W two = {};
    two.pPortName = const_cast<LPWSTR>(L"");
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnAddPortEx(nullptr, nullptr, 2, reinterpret_cast<LPBYTE>(&two), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    two.pPortName = nullptr;
    EXPECT_FALSE(Table().pfnAddPortEx(nullptr, nullptr, 2, reinterpret_cast<LPBYTE>(&two), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A backslash would make nested keys.
    two.pPortName = const_cast<LPWSTR>(L"TW-ADDED:\\nested");
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnAddPortEx(nullptr, nullptr, 2, reinterpret_cast<LPBYTE>(&two), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(PortKeyExists(L"TW-ADDED:"));

    EXPECT_TRUE(Table().pfnAddPortEx(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(&one), nullptr));
    EXPECT_TRUE(PortKeyExists(L"TW-ADDED:"));
    two.pPortName = const_cast<LPWSTR>(L"TW-ADDED-2:");
    EXPECT_TRUE(Table().pfnAddPortEx(nullptr, nullptr, 2, reinterpret_cast<LPBYTE>(&two), nullptr));

    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnDeletePort(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnDeletePort(nullptr, nullptr, nullptr, const_cast<LPWSTR>(L"")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnDeletePort(nullptr, nullptr, nullptr, const_cast<LPWSTR>(L"TW-ADDED:\\x")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Table().pfnDeletePort(nullptr, nullptr, nullptr, const_cast<LPWSTR>(L"TW-ADDED:")));
    EXPECT_TRUE(Table().pfnDeletePort(nullptr, nullptr, nullptr, const_cast<LPWSTR>(L"TW-ADDED-2:")));
    EXPECT_FALSE(PortKeyExists(L"TW-ADDED:"));
    EXPECT_FALSE(Table().pfnDeletePort(nullptr, nullptr, nullptr, const_cast<LPWSTR>(L"TW-ADDED:")));
}

}  // namespace
