// Every open the monitor makes in the data folder lets a named pipe planted
// there learn no more than who opened it, opens a reparse point as itself, and
// never waits for another user's oplock to be broken. Wine gives a pipe's
// server full impersonation whatever the client asked for and grants no
// oplocks, so the DLL's own NtCreateFile import is recorded instead, through
// every kind of open a job and a log rotation make, and made to answer
// "cannot break oplock" where a user's oplock would stand.
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "tests/portmon/monitor_fixture.h"
#include "tests/support/imports.h"

namespace {

using namespace tw_test;

constexpr ULONG kOpenRequiringOplock = 0x00010000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr NTSTATUS kCannotBreakOplock = static_cast<NTSTATUS>(0xC0000909);

struct RecordedOpen {
    std::wstring name;  // as given: an NT path, or a name below `relative`
    bool relative;
    ULONG options;
    SECURITY_IMPERSONATION_LEVEL level;  // SecurityAnonymous when no quality of service was given
};
std::mutex g_mutex;
std::vector<RecordedOpen> g_opens;
// Where an oplock of another user's stands: opens of a name ending so, or
// (with `g_busyReopen`) a reopen of a held file for DELETE, answer at once
// that it cannot be broken.
std::wstring g_busySuffix;
bool g_busyReopen = false;
decltype(&NtCreateFile) g_createFile = nullptr;
// Paths whose attributes were read by path, with whatever identity the caller has.
std::vector<std::wstring> g_probes;
decltype(&GetFileAttributesW) g_getAttributes = nullptr;

DWORD WINAPI RecordingGetAttributes(LPCWSTR path) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_probes.push_back(path != nullptr ? path : L"");
    }
    return g_getAttributes(path);
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return !suffix.empty() && text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

NTSTATUS NTAPI RecordingCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                   PIO_STATUS_BLOCK io, PLARGE_INTEGER allocation, ULONG fileAttributes,
                                   ULONG share, ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    RecordedOpen open = {};
    if (attributes->ObjectName != nullptr && attributes->ObjectName->Buffer != nullptr) {
        open.name.assign(attributes->ObjectName->Buffer, attributes->ObjectName->Length / sizeof(wchar_t));
    }
    open.relative = attributes->RootDirectory != nullptr;
    open.options = options;
    const auto* quality = static_cast<const SECURITY_QUALITY_OF_SERVICE*>(attributes->SecurityQualityOfService);
    open.level = quality != nullptr ? quality->ImpersonationLevel : SecurityAnonymous;
    bool busy = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_opens.push_back(open);
        busy = EndsWith(open.name, g_busySuffix) ||
               (g_busyReopen && open.relative && open.name.empty() && (access & DELETE) != 0);
    }
    // A real open asking for the file's data or for deletion would break the oplock.
    if (busy && (options & kOpenRequiringOplock) != 0) return kCannotBreakOplock;
    return g_createFile(handle, access, attributes, io, allocation, fileAttributes, share, disposition, options,
                        ea, eaLength);
}

class DataPathOpens : public DataFolderTest {
protected:
    void SetUp() override {
        DataFolderTest::SetUp();
        g_opens.clear();
        g_probes.clear();
        g_busySuffix.clear();
        g_busyReopen = false;
        g_createFile = reinterpret_cast<decltype(&NtCreateFile)>(
            ReplaceImport(Monitor().module, "NtCreateFile", reinterpret_cast<void*>(&RecordingCreateFile)));
        ASSERT_NE(g_createFile, nullptr) << "the monitor imports no NtCreateFile";
        g_getAttributes = reinterpret_cast<decltype(&GetFileAttributesW)>(ReplaceImport(
            Monitor().module, "GetFileAttributesW", reinterpret_cast<void*>(&RecordingGetAttributes)));
        ASSERT_NE(g_getAttributes, nullptr);
    }
    void TearDown() override {
        ReplaceImport(Monitor().module, "NtCreateFile", reinterpret_cast<void*>(g_createFile));
        if (g_getAttributes != nullptr) {
            ReplaceImport(Monitor().module, "GetFileAttributesW", reinterpret_cast<void*>(g_getAttributes));
        }
        DataFolderTest::TearDown();
    }
    // A path as the monitor names it to NtCreateFile.
    static std::wstring NtName(const std::wstring& path) { return L"\\??\\" + path; }
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const std::string& line : LogLines()) messages.push_back(LogMessage(line));
        return messages;
    }
};

TEST_F(DataPathOpens, EveryOpenInTheDataFolderOnlyLetsAPipeIdentifyTheMonitor) {
    // A log due for rotation with an old generation to delete, a .prn of the
    // job's name to replace, and a spool folder still to be made: every kind
    // of open the monitor makes there.
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

    std::vector<std::wstring> opened;  // NT paths, and names below a folder's handle
    size_t reopened = 0;
    for (const RecordedOpen& open : g_opens) {
        EXPECT_EQ(open.level, SecurityIdentification) << AsUtf8(open.name);
        // The trusted root alone is opened as it stands, links followed.
        if (!open.relative && open.name.rfind(NtName(DataFolder()), 0) != 0) continue;
        opened.push_back(open.name);
        if (open.relative && open.name.empty()) ++reopened;
        EXPECT_EQ(open.options & (kOpenRequiringOplock | kOpenReparsePoint), kOpenRequiringOplock | kOpenReparsePoint)
            << AsUtf8(open.name);
    }
    // A job's files are opened below the spool folder's checked handle, the
    // log by its path (checked on its handle all the same).
    const auto seen = [&opened](const std::wstring& name) {
        return std::find(opened.begin(), opened.end(), name) != opened.end();
    };
    for (const wchar_t* extension : {L".part", L".prn", L".json", L".ready"}) {
        EXPECT_TRUE(seen(base.substr(base.find_last_of(L'\\') + 1) + extension)) << AsUtf8(extension);
    }
    for (const std::wstring& expected : {LogPath(), LogPath() + L".old", SpoolFolder()}) {
        EXPECT_TRUE(seen(NtName(expected))) << AsUtf8(expected);
    }
    // The holds, renames and deletes through handles: the .part's, the log's.
    EXPECT_GE(reopened, 4u);
    // Nothing in the data folder is probed by path, as LocalSystem.
    for (const std::wstring& probe : g_probes) EXPECT_NE(probe.rfind(DataFolder(), 0), 0u) << AsUtf8(probe);
}

TEST_F(DataPathOpens, AnOplockAtTheLogDropsTheLineAtOnceAndCountsIt) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(LogPath(), ""));
    g_busySuffix = L"\\portmon.log";
    Table().pfnShutdown(Monitor().monitor);
    Table().pfnShutdown(Monitor().monitor);
    EXPECT_EQ(LogBytes(), "");

    g_busySuffix.clear();
    Table().pfnShutdown(Monitor().monitor);
    wchar_t dropped[64];
    FormatText(dropped, 64, kBusyLogDropsFormat, 2u);
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{AsUtf8(dropped), "Shutdown"}));
}

TEST_F(DataPathOpens, AnOplockOnAJobsFilesLeavesAnUnannouncedPartAtOnce) {
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    struct Case {
        const char* what;
        bool reopen;         // the commit's reopen of the held .part for DELETE
        const wchar_t* pre;  // a file another user made of the job's name, oplocked
    };
    for (const Case& c : {Case{"the .part itself", true, nullptr}, Case{"an earlier .prn", false, L".prn"}}) {
        SCOPED_TRACE(c.what);
        HANDLE port = OpenTestPort();
        DOC_INFO_1W doc = {const_cast<LPWSTR>(L"held"), nullptr, nullptr};
        ASSERT_TRUE(Table().pfnStartDocPort(port, nullptr, 6, 1, reinterpret_cast<LPBYTE>(&doc)));
        const std::wstring base = static_cast<PortRecord*>(port)->jobBasePath;
        BYTE data[4] = {'k', 'e', 'p', 't'};
        ASSERT_TRUE(Table().pfnWritePort(port, data, 4, nullptr));
        if (c.pre != nullptr) {
            ASSERT_TRUE(WriteFileBytes(base + c.pre, "theirs"));
            g_busySuffix = c.pre;
        }
        g_busyReopen = c.reopen;
        SetLastError(kErrorSentinel);
        EXPECT_FALSE(Table().pfnEndDocPort(port));
        EXPECT_EQ(GetLastError(), kCannotBreakOplockError);
        g_busySuffix.clear();
        g_busyReopen = false;
        ASSERT_TRUE(Table().pfnClosePort(port));

        EXPECT_EQ(ReadFileBytes(base + L".part"), "kept");
        if (c.pre != nullptr) {
            EXPECT_EQ(ReadFileBytes(base + L".prn"), "theirs");
        } else {
            EXPECT_FALSE(PathExists(base + L".prn"));
        }
        for (const wchar_t* extension : {L".json", L".ready"}) EXPECT_FALSE(PathExists(base + extension));
        const std::vector<std::string> messages = LogMessages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[messages.size() - 2],
                  AsUtf8(L"スプールファイルを確定できません: " + base + L".part → " + base + L".prn (err=802)"));
        EXPECT_EQ(messages.back(), "EndDocPort job=6 bytes=4 ok=0");
    }
}

}  // namespace
