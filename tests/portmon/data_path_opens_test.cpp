// Every file the monitor opens in the data folder is opened so that a named
// pipe planted there learns no more than who opened it. Wine gives a pipe's
// server full impersonation whatever the client asked for, so the DLL's own
// CreateFileW import is recorded instead, through every kind of open a job
// and a log rotation make.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

struct RecordedOpen {
    std::wstring path;
    DWORD flags;
};
std::mutex g_mutex;
std::vector<RecordedOpen> g_opens;
decltype(&CreateFileW) g_createFile = nullptr;

HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE pattern) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_opens.push_back({path != nullptr ? path : L"", flags});
    }
    return g_createFile(path, access, share, security, disposition, flags, pattern);
}

// Points the module's import of `function` at `replacement`; returns what it pointed at.
void* ReplaceImport(HMODULE module, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name;
         ++dll) {
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection);
            void* original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
            return original;
        }
    }
    return nullptr;
}

class DataPathOpens : public DataFolderTest {
protected:
    void SetUp() override {
        DataFolderTest::SetUp();
        g_createFile = reinterpret_cast<decltype(&CreateFileW)>(
            ReplaceImport(Monitor().module, "CreateFileW", reinterpret_cast<void*>(&RecordingCreateFile)));
        ASSERT_NE(g_createFile, nullptr) << "the monitor imports no CreateFileW";
    }
    void TearDown() override {
        ReplaceImport(Monitor().module, "CreateFileW", reinterpret_cast<void*>(g_createFile));
        DataFolderTest::TearDown();
    }
};

TEST_F(DataPathOpens, EveryOpenInTheDataFolderOnlyLetsAPipeIdentifyTheMonitor) {
    // A log due for rotation with an old generation to delete, and a .prn of
    // the job's name to replace: every kind of open the monitor makes there.
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(LogPath(), std::string(1048577, 'a')));
    ASSERT_TRUE(WriteFileBytes(LogPath() + L".old", "older"));
    HANDLE port = OpenTestPort();
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"opens"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port, nullptr, 5, 1, reinterpret_cast<LPBYTE>(&doc)));
    const std::wstring base = static_cast<PortRecord*>(port)->jobBasePath;
    ASSERT_TRUE(WriteFileBytes(base + L".prn", "an earlier job"));
    BYTE data[4] = {'d', 'a', 't', 'a'};
    ASSERT_TRUE(Table().pfnWritePort(port, data, 4, nullptr));
    ASSERT_TRUE(Table().pfnEndDocPort(port));
    ASSERT_TRUE(Table().pfnClosePort(port));

    std::vector<std::wstring> opened;
    for (const RecordedOpen& open : g_opens) {
        if (open.path.rfind(DataFolder(), 0) != 0) continue;
        opened.push_back(open.path);
        EXPECT_EQ(open.flags & (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | SECURITY_CONTEXT_TRACKING |
                                SECURITY_EFFECTIVE_ONLY | SECURITY_DELEGATION),
                  static_cast<DWORD>(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION))
            << AsUtf8(open.path);
    }
    for (const std::wstring& expected : {base + L".part", base + L".prn", base + L".json", base + L".ready",
                                         LogPath(), LogPath() + L".old"}) {
        EXPECT_NE(std::find(opened.begin(), opened.end(), expected), opened.end()) << AsUtf8(expected);
    }
}

}  // namespace
