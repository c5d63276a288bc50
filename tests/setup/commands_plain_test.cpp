// The decisions of check, install and uninstall over plain data: protected
// print mode from its registry values, the pending deletions install drops,
// the version resource, and the editor settings as install writes them.
#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/support/files.h"

namespace {

TEST(ProtectedPrint, ThePolicyDecidesWhenSetAndTheSettingOtherwise) {
    const RegistryDword unset, off{true, 0}, on{true, 1};
    const struct {
        ProtectedPrintValues values;
        bool on;
        const wchar_t* text;
    } cases[] = {
        {{unset, unset}, false, L"オフ"},
        {{on, unset}, true, L"オン (WindowsProtectedPrintGroupPolicyState = 1)"},
        {{unset, on}, true, L"オン (WindowsProtectedPrintMode = 1)"},
        {{unset, off}, false, L"オフ"},
        // A disabled policy leaves no restriction, whatever Settings held.
        {{off, on}, false, L"オフ"},
        {{on, off}, true, L"オン (WindowsProtectedPrintGroupPolicyState = 1)"},
    };
    for (const auto& c : cases) {
        const ProtectedPrintState state = DecideProtectedPrint(c.values);
        EXPECT_EQ(state.on, c.on) << tw_test::AsUtf8(c.text);
        EXPECT_EQ(ProtectedPrintText(state), c.text);
    }
}

TEST(PendingOperations, OnlyTheEntriesNamingTheDestinationGo) {
    const std::wstring ours = L"C:\\Windows\\system32\\TWPortMon.dll";
    using Names = std::vector<std::wstring>;
    const struct {
        const char* name;
        Names before;
        size_t dropped;
        Names after;
    } cases[] = {
        {"our deletion among others",
         {L"\\??\\C:\\a.tmp", L"", L"\\??\\" + ours, L"", L"\\??\\C:\\b.old", L"\\??\\C:\\b.dll"},
         1, {L"\\??\\C:\\a.tmp", L"", L"\\??\\C:\\b.old", L"\\??\\C:\\b.dll"}},
        {"another letter case", {L"\\??\\c:\\windows\\SYSTEM32\\twportmon.DLL", L""}, 1, {}},
        {"a file moved onto ours, replacing it", {L"\\??\\C:\\x.tmp", L"!\\??\\" + ours}, 1, {}},
        {"a name that only begins like ours", {L"\\??\\" + ours + L".old", L""}, 0, {L"\\??\\" + ours + L".old", L""}},
    };
    for (const auto& c : cases) {
        Names names = SplitPendingOperations(JoinPendingOperations(c.before));
        EXPECT_EQ(names, c.before) << c.name;
        EXPECT_EQ(DropPendingOperationsOn(names, ours), c.dropped) << c.name;
        EXPECT_EQ(names, c.after) << c.name;
    }
    // As MoveFileEx writes it: each name ended, a deletion's target empty, the list ended once more.
    const wchar_t raw[] = L"\\??\\C:\\a\0\0\\??\\C:\\b\0\\??\\C:\\c\0\0";
    const std::wstring stored(raw, sizeof(raw) / sizeof(raw[0]) - 1);
    EXPECT_EQ(SplitPendingOperations(stored), (Names{L"\\??\\C:\\a", L"", L"\\??\\C:\\b", L"\\??\\C:\\c"}));
    EXPECT_EQ(JoinPendingOperations(SplitPendingOperations(stored)), stored);
    // A list cut short keeps its pairs: a lone source is read as a deletion.
    EXPECT_EQ(JoinPendingOperations({L"A"}), std::wstring(L"A\0\0\0", 4));
}

// The version resource as the resource compiler lays it out.
std::string VersionResource(DWORD ms, DWORD ls, DWORD signature = 0xFEEF04BD) {
    std::string bytes(40 + sizeof(VS_FIXEDFILEINFO), '\0');
    const WORD lengths[3] = {static_cast<WORD>(bytes.size()), sizeof(VS_FIXEDFILEINFO), 0};
    memcpy(&bytes[0], lengths, sizeof(lengths));
    memcpy(&bytes[6], L"VS_VERSION_INFO", 32);
    VS_FIXEDFILEINFO info = {};
    info.dwSignature = signature;
    info.dwFileVersionMS = ms;
    info.dwFileVersionLS = ls;
    memcpy(&bytes[40], &info, sizeof(info));
    return bytes;
}

TEST(MonitorVersion, ReadFromTheFixedPartOfTheResource) {
    const std::string good = VersionResource(0x00010002, 0x00030004);
    ULONGLONG version = 0;
    ASSERT_TRUE(ReadFixedFileVersion(reinterpret_cast<const BYTE*>(good.data()), good.size(), version));
    EXPECT_EQ(VersionText(version), L"1.2.3.4");
    std::string otherKey = good;
    otherKey[6] = 'W';
    const std::string bad[] = {good.substr(0, good.size() - 1), otherKey, VersionResource(1, 2, 0xFEEF04BE), ""};
    for (const std::string& bytes : bad) {
        EXPECT_FALSE(ReadFixedFileVersion(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), version));
    }
}

TEST(CheckSettings, AsInstallWritesThem) {
    const RegistryText dir{true, REG_SZ, L"C:\\Program Files\\TARNWICK-PRINTER", 0};
    const RegistryText editor{true, REG_SZ, L"C:\\Program Files\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe", 0};
    const RegistryText on{true, REG_DWORD, L"", 1}, missing;
    const struct {
        EditorSettingsValues values;
        const wchar_t* fault;
    } cases[] = {
        {{true, dir, editor, on}, L""},
        {{true, dir, editor, missing}, L""},  // missing means on
        {{false, dir, editor, on}, L"HKLM\\SOFTWARE\\TARNWICK-PRINTER がありません"},
        {{true, missing, editor, on}, L"InstallDir がありません"},
        {{true, {true, REG_EXPAND_SZ, dir.text, 0}, editor, on}, L"InstallDir がありません"},
        {{true, dir, {true, REG_SZ, L"C:\\Users\\alice\\TARNWICK-PRINTER.exe", 0}, on},
         L"EditorPath が C:\\Program Files\\TARNWICK-PRINTER\\TARNWICK-PRINTER.exe ではありません"},
        {{true, dir, editor, {true, REG_SZ, L"1", 0}}, L"AutoLaunch が REG_DWORD ではありません"},
    };
    for (const auto& c : cases) EXPECT_EQ(SettingsFault(c.values), c.fault) << tw_test::AsUtf8(c.fault);
}

}  // namespace
