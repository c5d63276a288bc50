// The machine checks as plain functions: a PE header's machine field, the
// names the driver installation and the reports use.
#include <gtest/gtest.h>

#include "setup/setup.h"

namespace {

// A DOS header whose e_lfanew points at `peOffset`, then "PE\0\0" and the machine there.
std::string Image(USHORT machine, uint32_t peOffset = 0x80, const char* signature = "PE\0\0") {
    std::string bytes(peOffset + 24, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i) bytes[0x3C + i] = static_cast<char>((peOffset >> (8 * i)) & 0xFF);
    if (peOffset + 6 <= bytes.size()) {
        bytes.replace(peOffset, 4, signature, 4);
        bytes[peOffset + 4] = static_cast<char>(machine & 0xFF);
        bytes[peOffset + 5] = static_cast<char>(machine >> 8);
    }
    return bytes;
}

TEST(Machine, ReadFromThePeHeader) {
    EXPECT_EQ(PeMachineOf(Image(IMAGE_FILE_MACHINE_ARM64)), IMAGE_FILE_MACHINE_ARM64);
    EXPECT_EQ(PeMachineOf(Image(IMAGE_FILE_MACHINE_AMD64, 0x40)), IMAGE_FILE_MACHINE_AMD64);
    // Not a PE image: no answer, never a read past the bytes.
    const struct {
        const char* what;
        std::string bytes;
    } bad[] = {
        {"empty", ""},
        {"shorter than a DOS header", Image(IMAGE_FILE_MACHINE_AMD64).substr(0, 63)},
        {"no MZ", "XY" + Image(IMAGE_FILE_MACHINE_AMD64).substr(2)},
        {"no PE signature", Image(IMAGE_FILE_MACHINE_AMD64, 0x80, "NE\0\0")},
        {"header cut after the signature", Image(IMAGE_FILE_MACHINE_AMD64).substr(0, 0x80 + 5)},
        {"e_lfanew past the end", Image(IMAGE_FILE_MACHINE_AMD64).replace(0x3C, 4, "\xF0\xFF\xFF\xFF", 4)},
    };
    for (const auto& image : bad) EXPECT_EQ(PeMachineOf(image.bytes), 0) << image.what;
}

TEST(Machine, NamesForPrintuiAndTheReports) {
    EXPECT_EQ(MachineName(IMAGE_FILE_MACHINE_AMD64), L"x64");
    EXPECT_EQ(MachineName(IMAGE_FILE_MACHINE_ARM64), L"ARM64");
    EXPECT_EQ(MachineName(0x01C4), L"0x01C4");
    EXPECT_EQ(MachineOfProcessorArchitecture(PROCESSOR_ARCHITECTURE_AMD64), IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(MachineOfProcessorArchitecture(PROCESSOR_ARCHITECTURE_ARM64), IMAGE_FILE_MACHINE_ARM64);
    EXPECT_EQ(MachineOfProcessorArchitecture(PROCESSOR_ARCHITECTURE_UNKNOWN), 0);

    EXPECT_EQ(MonitorMachinesText({true, IMAGE_FILE_MACHINE_ARM64}, {true, IMAGE_FILE_MACHINE_AMD64}),
              L"System32 ARM64 / 配布物 x64");
    EXPECT_EQ(MonitorMachinesText({false, 0}, {true, 0}), L"System32 ありません / 配布物 不明");

    EXPECT_EQ(DriverInstallCommandLine(L"Microsoft PS Class Driver", L"C:\\Windows", L"ARM64"),
              L"rundll32.exe printui.dll,PrintUIEntry /ia /q /m \"Microsoft PS Class Driver\" /h \"ARM64\" "
              L"/v \"Type 3 - User Mode\" /f \"C:\\Windows\\inf\\ntprint.inf\"");
}

}  // namespace
