// What a committed job leaves for the editor: the .prn, the .json descriptor
// and the .ready marker, written in that order.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <regex>
#include <thread>

#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

std::wstring Doubled(const std::wstring& path) {
    std::wstring result;
    for (wchar_t c : path) {
        result += c;
        if (c == L'\\') result += L'\\';
    }
    return result;
}

std::string UtcStamp(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

class HandOffTest : public DataFolderTest {};

TEST_F(HandOffTest, DescriptorAndMarkerOfACommittedJob) {
    HANDLE port = nullptr;
    ASSERT_TRUE(Table().pfnOpenPortEx(nullptr, nullptr, const_cast<LPWSTR>(L"TARNWICK:"),
                                      const_cast<LPWSTR>(L"TARNWICK-PRINTER"), &port, nullptr));
    SYSTEMTIME before = {}, after = {};
    GetSystemTime(&before);
    ASSERT_TRUE(RunJob(port, 42, L"報告書 \"final\"\t\\1.pdf", std::string(18342, 'x')).ended);
    GetSystemTime(&after);
    const std::wstring base = static_cast<PortRecord*>(port)->jobBasePath;
    ASSERT_TRUE(Table().pfnClosePort(port));

    EXPECT_EQ(ReadFileBytes(base + L".ready"), "ok");
    const std::string json = ReadFileBytes(base + L".json");
    std::smatch created;
    ASSERT_TRUE(std::regex_search(json, created, std::regex("\"createdUtc\": \"([0-9T:.Z-]+)\"")));
    EXPECT_LE(UtcStamp(before), created[1].str());
    EXPECT_GE(UtcStamp(after), created[1].str());
    EXPECT_EQ(json, "{\n"
                    "  \"schema\": 1,\n"
                    "  \"jobId\": 42,\n"
                    "  \"printerName\": \"TARNWICK-PRINTER\",\n"
                    "  \"portName\": \"TARNWICK:\",\n"
                    "  \"documentName\": \"\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8 \\\"final\\\"\\t\\\\1.pdf\",\n"
                    "  \"userName\": \"\",\n"
                    "  \"machineName\": \"\",\n"
                    "  \"bytes\": 18342,\n"
                    "  \"createdUtc\": \"" + created[1].str() + "\",\n"
                    "  \"dataFile\": \"" + AsUtf8(Doubled(base + L".prn")) + "\"\n"
                    "}\n");
}

TEST_F(HandOffTest, JobInTheTempFolderPointsThere) {
    ASSERT_TRUE(IsFolder(DataFolder()) || CreateDirectoryW(DataFolder().c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(SpoolFolder(), "plain file"));
    const std::wstring temp = root_ + L"\\temp\\";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ScopedEnvironment tmp(L"TMP", temp);
    ScopedEnvironment tempVar(L"TEMP", temp);
    HANDLE port = OpenTestPort();
    ASSERT_TRUE(RunJob(port, 43, L"fallback", "data").ended);
    const std::wstring base = static_cast<PortRecord*>(port)->jobBasePath;
    ASSERT_TRUE(Table().pfnClosePort(port));
    ASSERT_EQ(base.rfind(temp + L"TarnwickPrinter\\job_", 0), 0u);
    EXPECT_EQ(ReadFileBytes(base + L".ready"), "ok");
    EXPECT_NE(ReadFileBytes(base + L".json").find("\"dataFile\": \"" + AsUtf8(Doubled(base + L".prn")) + "\"\n}\n"),
              std::string::npos);
}

TEST_F(HandOffTest, ReaderNeverSeesReadyBeforeTheRest) {
    constexpr int kJobs = 150;
    const std::string content(100000, 'r');
    std::atomic<bool> done{false};
    std::atomic<int> early{0}, seen{0};
    std::thread reader([&] {
        std::vector<std::wstring> checked;
        while (!done) {
            for (const std::wstring& name : ListFolder(SpoolFolder())) {
                if (name.size() < 6 || name.compare(name.size() - 6, 6, L".ready") != 0) continue;
                if (std::find(checked.begin(), checked.end(), name) != checked.end()) continue;
                checked.push_back(name);
                const std::wstring base = SpoolFolder() + L"\\" + name.substr(0, name.size() - 6);
                const std::string json = ReadFileBytes(base + L".json");
                if (ReadFileBytes(base + L".prn") != content || json.size() < 2 ||
                    json.compare(json.size() - 2, 2, "}\n") != 0) {
                    ++early;
                }
                ++seen;
            }
        }
    });
    HANDLE port = OpenTestPort();
    for (int i = 1; i <= kJobs; ++i) ASSERT_TRUE(RunJob(port, static_cast<DWORD>(i), L"order", content, 8192).ended);
    ASSERT_TRUE(Table().pfnClosePort(port));
    Sleep(200);
    done = true;
    reader.join();
    EXPECT_EQ(early.load(), 0);
    EXPECT_GT(seen.load(), 0);
}

TEST_F(HandOffTest, DescriptorThatCannotBeWrittenStillLeavesTheMarkerAndALaunch) {
    quiet_.reset();  // this test watches the launch request
    UniqueKey settings;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, settings.put(), nullptr),
              ERROR_SUCCESS);
    const DWORD off = 0;
    ASSERT_EQ(RegSetValueExW(settings.get(), L"AutoLaunch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&off), 4),
              ERROR_SUCCESS);

    HANDLE port = OpenTestPort();
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"no descriptor"), nullptr, nullptr};
    ASSERT_TRUE(Table().pfnStartDocPort(port, nullptr, 44, 1, reinterpret_cast<LPBYTE>(&doc)));
    const std::wstring base = static_cast<PortRecord*>(port)->jobBasePath;
    ASSERT_TRUE(CreateDirectoryW((base + L".json").c_str(), nullptr));
    BYTE data[3] = {1, 2, 3};
    ASSERT_TRUE(Table().pfnWritePort(port, data, 3, nullptr));
    EXPECT_TRUE(Table().pfnEndDocPort(port));
    ASSERT_TRUE(Table().pfnClosePort(port));
    RegDeleteValueW(settings.get(), L"AutoLaunch");

    EXPECT_TRUE(IsFolder(base + L".json"));
    EXPECT_EQ(ReadFileBytes(base + L".ready"), "ok");
    EXPECT_EQ(ReadFileBytes(base + L".prn").size(), 3u);
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(LogMessage(lines[lines.size() - 2]), "EndDocPort job=44 bytes=3 ok=1");
    EXPECT_EQ(LogMessage(lines.back()), "自動起動は無効に設定されています");
}

}  // namespace
