// Protected print mode decided from its registry values, as install, status,
// diag and check read them.
#include <gtest/gtest.h>

#include "setup/setup.h"

namespace {

TEST(ProtectedPrint, ThePolicyDecidesWhenSetAndTheSettingOtherwise) {
    const RegistryDword unset, off{true, 0}, on{true, 1};
    const struct {
        ProtectedPrintValues values;
        const wchar_t* text;
    } cases[] = {
        {{unset, unset}, L"オフ"},
        {{on, off}, L"オン (WindowsProtectedPrintGroupPolicyState = 1)"},
        {{unset, on}, L"オン (WindowsProtectedPrintMode = 1)"},
        {{off, on}, L"オフ"},  // a disabled policy leaves no restriction, whatever Settings held
    };
    for (const auto& c : cases) EXPECT_EQ(ProtectedPrintText(DecideProtectedPrint(c.values)), c.text);
}

}  // namespace
