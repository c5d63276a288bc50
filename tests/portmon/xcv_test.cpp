// The Xcv channel: commands in any letter case, port changes only with the
// server administration right, and input never read past its stated size.
#include <cstring>

#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

bool PortKeyExists(const std::wstring& name) {
    UniqueKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kPortsKeyPath) + L"\\" + name).c_str(), 0,
                         KEY_READ, key.put()) == ERROR_SUCCESS;
}

class XcvTest : public DataFolderTest {
protected:
    void SetUp() override {
        DataFolderTest::SetUp();
        ASSERT_TRUE(Table().pfnXcvOpenPort(Monitor().monitor, L",XcvMonitor TWPortMon",
                                           SERVER_ACCESS_ADMINISTER, &admin_));
        ASSERT_TRUE(Table().pfnXcvOpenPort(Monitor().monitor, L",XcvPort TARNWICK:", SERVER_ACCESS_ENUMERATE,
                                           &user_));
    }
    void TearDown() override {
        EXPECT_TRUE(Table().pfnXcvClosePort(admin_));
        EXPECT_TRUE(Table().pfnXcvClosePort(user_));
        DataFolderTest::TearDown();
    }

    DWORD Data(HANDLE xcv, const wchar_t* command, const void* input, DWORD inputBytes, void* output = nullptr,
               DWORD outputBytes = 0, DWORD* needed = nullptr) {
        return Table().pfnXcvDataPort(xcv, command, static_cast<PBYTE>(const_cast<void*>(input)), inputBytes,
                                      static_cast<PBYTE>(output), outputBytes, needed);
    }
    DWORD Name(HANDLE xcv, const wchar_t* command, const std::wstring& name) {
        return Data(xcv, command, name.c_str(), static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }

    HANDLE admin_ = nullptr;
    HANDLE user_ = nullptr;
};

TEST_F(XcvTest, OpenNeedsAHandleSlot) {
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnXcvOpenPort(nullptr, L"", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Table().pfnXcvClosePort(nullptr));
}

TEST_F(XcvTest, CommandsInAnyLetterCase) {
    for (const wchar_t* command : {L"PortIsValid", L"portisvalid", L"PORTISVALID"}) {
        DWORD needed = kSentinel;
        EXPECT_EQ(Data(user_, command, nullptr, 0, nullptr, 0, &needed), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(needed, 0u);
    }
    for (const wchar_t* command : {L"MonitorUI", L"monitorui", L"MONITORUI"}) {
        wchar_t output[4] = {L'x', L'x', L'x', L'x'};
        DWORD needed = kSentinel;
        EXPECT_EQ(Data(user_, command, nullptr, 0, output, sizeof(output), &needed),
                  static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(needed, 2u);
        EXPECT_EQ(output[0], L'\0');
        EXPECT_EQ(output[1], L'x');
    }
    ASSERT_EQ(Name(admin_, L"addport", L"TW-XCV-CASE:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(PortKeyExists(L"TW-XCV-CASE:"));
    EXPECT_EQ(Name(admin_, L"DELETEPORT", L"TW-XCV-CASE:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(PortKeyExists(L"TW-XCV-CASE:"));
}

TEST_F(XcvTest, UnknownOrMissingCommand) {
    DWORD needed = kSentinel;
    EXPECT_EQ(Data(admin_, nullptr, nullptr, 0, nullptr, 0, &needed), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(needed, 0u);
    needed = kSentinel;
    EXPECT_EQ(Data(admin_, L"ConfigurePort", nullptr, 0, nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(Data(admin_, L"AddPortX", nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(XcvTest, MonitorUiBufferSizes) {
    for (DWORD size : {0u, 1u}) {
        BYTE output[2] = {0xAB, 0xAB};
        DWORD needed = kSentinel;
        EXPECT_EQ(Data(user_, L"MonitorUI", nullptr, 0, output, size, &needed),
                  static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(needed, 2u);
        EXPECT_EQ(output[0], 0xAB);
    }
    DWORD needed = kSentinel;
    EXPECT_EQ(Data(user_, L"MonitorUI", nullptr, 0, nullptr, 2, &needed),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 2u);
    BYTE output[2] = {0xAB, 0xAB};
    EXPECT_EQ(Data(user_, L"MonitorUI", nullptr, 0, output, 2, nullptr), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(output[0], 0);
    EXPECT_EQ(output[1], 0);
}

TEST_F(XcvTest, AddAndDeletePortAsAdministrator) {
    EXPECT_EQ(Data(admin_, L"AddPort", nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Data(admin_, L"DeletePort", nullptr, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Name(admin_, L"AddPort", L"TW-XCV:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(PortKeyExists(L"TW-XCV:"));
    EXPECT_EQ(Name(admin_, L"AddPort", L"TW-XCV:"), static_cast<DWORD>(ERROR_SUCCESS));  // already there
    EXPECT_EQ(Name(admin_, L"DeletePort", L"TW-XCV:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Name(admin_, L"DeletePort", L"TW-XCV:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Name(admin_, L"AddPort", L""), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // An empty name would name the Ports key itself: refused as any failed delete is.
    EXPECT_EQ(Name(admin_, L"AddPort", L"TW-XCV-KEEP:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Name(admin_, L"DeletePort", L""), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(PortKeyExists(L"TW-XCV-KEEP:"));
    EXPECT_EQ(Name(admin_, L"DeletePort", L"TW-XCV-KEEP:"), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(XcvTest, PortChangesNeedTheAdministrationRight) {
    EXPECT_EQ(Name(user_, L"AddPort", L"TW-XCV-USER:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(PortKeyExists(L"TW-XCV-USER:"));
    ASSERT_EQ(Name(admin_, L"AddPort", L"TW-XCV-USER:"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Name(user_, L"DeletePort", L"TW-XCV-USER:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(PortKeyExists(L"TW-XCV-USER:"));
    // A handle that is not an Xcv record grants nothing.
    std::vector<BYTE> fake(64, 0);
    EXPECT_EQ(Name(fake.data(), L"DeletePort", L"TW-XCV-USER:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Name(nullptr, L"DeletePort", L"TW-XCV-USER:"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Name(admin_, L"DeletePort", L"TW-XCV-USER:"), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(XcvTest, NamesAreBoundedByTheInputSize) {
    const std::wstring name = L"TW-XCV-BOUND:";
    const DWORD withNull = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    // No terminating null inside the stated size, or an odd size.
    EXPECT_EQ(Data(admin_, L"AddPort", name.c_str(), withNull - 2), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Data(admin_, L"AddPort", name.c_str(), 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Data(admin_, L"AddPort", name.c_str(), withNull - 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Data(admin_, L"AddPort", name.c_str(), withNull + 1), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(PortKeyExists(name));
    // A backslash would create nested keys.
    EXPECT_EQ(Name(admin_, L"AddPort", L"TW-XCV-BOUND:\\inner"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Name(admin_, L"DeletePort", L"TW-XCV-BOUND:\\inner"), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(PortKeyExists(name));

    // Unterminated input that ends right before an inaccessible page: the
    // monitor must stop at the stated size instead of reading on.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    DWORD old = 0;
    VirtualProtect(base + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old);
    const DWORD bytes = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    BYTE* input = base + info.dwPageSize - bytes;
    std::memcpy(input, name.data(), bytes);
    EXPECT_EQ(Data(admin_, L"AddPort", input, bytes), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Data(admin_, L"DeletePort", input, bytes), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The same name with its null as the last accessible unit works.
    std::memcpy(input - 2, name.data(), bytes);
    std::memset(input - 2 + bytes, 0, 2);
    EXPECT_EQ(Data(admin_, L"AddPort", input - 2, bytes + 2), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Data(admin_, L"DeletePort", input - 2, bytes + 2), static_cast<DWORD>(ERROR_SUCCESS));
    VirtualFree(base, 0, MEM_RELEASE);
}

}  // namespace
