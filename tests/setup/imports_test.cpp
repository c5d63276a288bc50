// The built TWSetup.exe names no DLL that Windows would look for beside it:
// its import tables hold KnownDLLs only, which Windows maps from the system
// directory whatever lies in the program's folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "tests/support/files.h"

namespace {

// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of
// Windows 10 22H2 and Windows 11, and ntdll.dll, which the kernel maps first.
const std::set<std::string> kKnownDlls = {
    "advapi32.dll", "clbcatq.dll",  "combase.dll",  "comdlg32.dll", "coml2.dll",    "difxapi.dll",
    "gdi32.dll",    "gdiplus.dll",  "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",
    "msvcrt.dll",   "normaliz.dll", "nsi.dll",      "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",   "sechost.dll",  "setupapi.dll", "shcore.dll",   "shell32.dll",  "shlwapi.dll",
    "user32.dll",   "wldap32.dll",  "wow64.dll",    "wow64cpu.dll", "wow64win.dll", "ws2_32.dll",
    "ntdll.dll",
};

template <typename T>
bool ReadAt(const std::string& image, size_t offset, T& value) {
    if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return true;
}

// The DLL names of the import and the delay-import tables, lower case;
// "(unreadable)" when the file is no PE32+ image that can be followed.
std::vector<std::string> ImportedDlls(const std::string& image) {
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS64 nt = {};
    if (!ReadAt(image, 0, dos) || !ReadAt(image, dos.e_lfanew, nt) || nt.Signature != IMAGE_NT_SIGNATURE ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        return {"(unreadable)"};
    }
    const size_t sections =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    const auto fileOffset = [&](DWORD rva, size_t& offset) {
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section = {};
            if (!ReadAt(image, sections + i * sizeof(section), section)) return false;
            const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (rva >= section.VirtualAddress && rva - section.VirtualAddress < size) {
                offset = section.PointerToRawData + (rva - section.VirtualAddress);
                return true;
            }
        }
        return false;
    };
    const auto nameAt = [&](DWORD rva, std::vector<std::string>& names) {
        size_t offset = 0;
        if (!fileOffset(rva, offset) || offset >= image.size()) return false;
        std::string name(image.c_str() + offset);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(tolower(c)); });
        names.push_back(name);
        return true;
    };
    std::vector<std::string> names;
    // Each table is a list of descriptors that ends with one whose name is 0.
    const struct {
        int directory;
        size_t descriptorSize;
        size_t nameField;
    } tables[] = {
        {IMAGE_DIRECTORY_ENTRY_IMPORT, sizeof(IMAGE_IMPORT_DESCRIPTOR), offsetof(IMAGE_IMPORT_DESCRIPTOR, Name)},
        {IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT, sizeof(IMAGE_DELAYLOAD_DESCRIPTOR),
         offsetof(IMAGE_DELAYLOAD_DESCRIPTOR, DllNameRVA)},
    };
    for (const auto& table : tables) {
        const IMAGE_DATA_DIRECTORY& directory = nt.OptionalHeader.DataDirectory[table.directory];
        size_t offset = 0;
        if (directory.VirtualAddress == 0) continue;
        if (!fileOffset(directory.VirtualAddress, offset)) return {"(unreadable)"};
        for (;; offset += table.descriptorSize) {
            DWORD name = 0;
            if (!ReadAt(image, offset + table.nameField, name)) return {"(unreadable)"};
            if (name == 0) break;
            if (!nameAt(name, names)) return {"(unreadable)"};
        }
    }
    return names;
}

TEST(Imports, TheSetupToolImportsKnownDllsOnly) {
    const std::vector<std::string> dlls = ImportedDlls(tw_test::ReadFileBytes(tw_test::ModuleFolder() + L"\\TWSetup.exe"));
    ASSERT_FALSE(dlls.empty());
    for (const std::string& dll : dlls) EXPECT_EQ(kKnownDlls.count(dll), 1u) << dll << " is no KnownDLL";
    // The monitor, which the spooler loads from the system directory, keeps its import of the spooler's DLL.
    const std::vector<std::string> monitor =
        ImportedDlls(tw_test::ReadFileBytes(tw_test::ModuleFolder() + L"\\TWPortMon.dll"));
    EXPECT_NE(std::find(monitor.begin(), monitor.end(), "winspool.drv"), monitor.end());
}

}  // namespace
