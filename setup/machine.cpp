// The machine the monitor must be built for: the spooler is a native process
// and loads only a monitor of the computer's own kind (x64 or ARM64), even
// when this tool itself runs emulated.
#include "setup/setup.h"


#include <cstdint>

#include "common/unique_handle.h"

namespace {

constexpr size_t kDosHeaderBytes = 64;
constexpr size_t kPeOffsetField = 0x3C;

uint32_t ReadLittleEndian(const std::string& bytes, size_t offset, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    return value;
}

}  // namespace

USHORT PeMachineOf(const std::string& bytes) {
    if (bytes.size() < kDosHeaderBytes || bytes[0] != 'M' || bytes[1] != 'Z') return 0;
    const uint32_t peOffset = ReadLittleEndian(bytes, kPeOffsetField, 4);
    if (peOffset > bytes.size() || bytes.size() - peOffset < 6) return 0;
    if (bytes.compare(peOffset, 4, std::string("PE\0\0", 4)) != 0) return 0;
    return static_cast<USHORT>(ReadLittleEndian(bytes, peOffset + 4, 2));
}

std::wstring MachineName(USHORT machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_AMD64:
            return L"x64";
        case IMAGE_FILE_MACHINE_ARM64:
            return L"ARM64";
        case IMAGE_FILE_MACHINE_I386:
            return L"x86";
        default: {
            wchar_t text[16] = {};
            FormatText(text, 16, L"0x%04X", static_cast<unsigned>(machine));
            return text;
        }
    }
}

USHORT MachineOfProcessorArchitecture(WORD architecture) {
    switch (architecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return IMAGE_FILE_MACHINE_AMD64;
        case PROCESSOR_ARCHITECTURE_ARM64:
            return IMAGE_FILE_MACHINE_ARM64;
        case PROCESSOR_ARCHITECTURE_INTEL:
            return IMAGE_FILE_MACHINE_I386;
        default:
            return 0;
    }
}

std::wstring MonitorMachinesText(const FileMachine& system32, const FileMachine& shipped) {
    const auto text = [](const FileMachine& file) {
        if (!file.found) return std::wstring(L"ありません");
        return file.machine != 0 ? MachineName(file.machine) : std::wstring(L"不明");
    };
    return L"System32 " + text(system32) + L" / 配布物 " + text(shipped);
}

USHORT NativeMachine() {
    // An x64 program emulated on ARM64 gets x64 from GetNativeSystemInfo;
    // IsWow64Process2 (Windows 10 1709 and later) tells the truth.
    using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
        const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process2")));
        USHORT process = 0;
        USHORT native = 0;
        if (isWow64Process2 != nullptr && isWow64Process2(GetCurrentProcess(), &process, &native) && native != 0) {
            return native;
        }
    }
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return MachineOfProcessorArchitecture(info.wProcessorArchitecture);
}

FileMachine ReadFileMachine(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND, 0};
    // The PE header lies within the first pages of every image the linkers here write.
    std::string bytes(4096, '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr)) read = 0;
    bytes.resize(read);
    return {true, PeMachineOf(bytes)};
}
