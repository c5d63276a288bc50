// Several ports capturing at once from separate threads, as the spooler does:
// every job's bytes exact, every log line whole, none lost across a rotation.
#include <map>
#include <random>
#include <thread>

#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

constexpr int kPorts = 6;
constexpr int kJobsPerPort = 60;

std::string JobContent(DWORD jobId) {
    std::mt19937 random(jobId);
    std::string bytes(1 + random() % 20000, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

class ConcurrencyTest : public DataFolderTest {};

TEST_F(ConcurrencyTest, PortsCaptureInParallelAcrossALogRotation) {
    // Start just below the rotation threshold so the run crosses it.
    ASSERT_TRUE(CreateDirectoryW(DataFolder().c_str(), nullptr));
    const std::string filler = "2025-01-01 00:00:00.000  [pid 1]  filler\r\n";
    std::string prefill;
    while (prefill.size() + filler.size() < 1048576 - 20000) prefill += filler;
    ASSERT_TRUE(WriteFileBytes(LogPath(), prefill));
    const size_t fillerLines = prefill.size() / filler.size();

    std::vector<std::thread> threads;
    std::vector<int> failures(kPorts, 0);
    for (int t = 0; t < kPorts; ++t) {
        threads.emplace_back([t, &failures] {
            HANDLE port = nullptr;
            const std::wstring name = L"PARALLEL" + std::to_wstring(t) + L":";
            if (!Table().pfnOpenPort(nullptr, const_cast<LPWSTR>(name.c_str()), &port)) {
                ++failures[t];
                return;
            }
            std::mt19937 random(static_cast<unsigned>(t));
            for (int j = 0; j < kJobsPerPort; ++j) {
                const DWORD jobId = static_cast<DWORD>(t * 1000 + j + 1);
                const std::string content = JobContent(jobId);
                const JobOutcome outcome = RunJob(port, jobId, L"parallel", content, 1 + random() % 4096);
                if (!outcome.started || !outcome.ended || outcome.written != content.size()) ++failures[t];
            }
            Table().pfnClosePort(port);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kPorts; ++t) EXPECT_EQ(failures[t], 0) << "port " << t;

    std::map<DWORD, std::wstring> files;
    for (const std::wstring& name : SpoolFiles()) {
        if (name.substr(name.size() - 4) != L".prn") continue;
        const size_t idStart = name.find_last_of(L'_') + 1;
        files[static_cast<DWORD>(std::stoul(name.substr(idStart)))] = name;
    }
    ASSERT_EQ(files.size(), static_cast<size_t>(kPorts * kJobsPerPort));
    ASSERT_EQ(SpoolFiles().size(), 3 * files.size());  // each with its .json and .ready
    for (const auto& entry : files) {
        EXPECT_EQ(ReadFileBytes(SpoolFolder() + L"\\" + entry.second), JobContent(entry.first))
            << "job " << entry.first;
    }

    ASSERT_TRUE(PathExists(LogPath() + L".old")) << "the run should have crossed a rotation";
    std::string all = ReadFileBytes(LogPath() + L".old") + LogBytes();
    size_t lines = 0, starts = 0, ends = 0, fillers = 0;
    size_t begin = 0;
    while (begin < all.size()) {
        const size_t end = all.find("\r\n", begin);
        ASSERT_NE(end, std::string::npos) << "a line without its CR LF";
        const std::string line = all.substr(begin, end - begin);
        ASSERT_TRUE(IsLogLine(line)) << "torn line: " << line;
        const std::string message = LogMessage(line);
        if (message.rfind("StartDocPort ", 0) == 0) ++starts;
        if (message.rfind("EndDocPort ", 0) == 0) ++ends;
        if (message == "filler") ++fillers;
        ++lines;
        begin = end + 2;
    }
    EXPECT_EQ(fillers, fillerLines);
    EXPECT_EQ(starts, static_cast<size_t>(kPorts * kJobsPerPort));
    EXPECT_EQ(ends, static_cast<size_t>(kPorts * kJobsPerPort));
}

}  // namespace
