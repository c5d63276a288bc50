// A full volume under the data folder, for real: a 1 MiB tmpfs mounted by the
// host (the tests run as root, as CI does). A failed block is never half in
// the .part, so the spooler's retry of it makes the job byte for byte; a
// descriptor or marker that cannot be written is not left behind; and the
// next job after space returns works.
#include <algorithm>
#include <random>

#include "common/unique_handle.h"
#include "tests/portmon/monitor_fixture.h"

namespace {

using namespace tw_test;

constexpr DWORD kBlock = 64 * 1024;

std::string Block(unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(kBlock, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

class DiskFullTest : public DataFolderTest {
protected:
    void SetUp() override {
        DataFolderTest::SetUp();
        // Outside the prefix: a mount left behind by a crash must not stop the next run.
        unixVolume_ = "/tmp/tw-full-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(RunHostShell("mkdir -p " + unixVolume_ + " && mount -t tmpfs -o size=1m tmpfs " + unixVolume_))
            << "cannot mount a 1 MiB tmpfs at " << unixVolume_ << " (mounting needs root)";
        mounted_ = true;
        volume_ = L"Z:" + FromUtf8(unixVolume_);
        for (wchar_t& c : volume_) {
            if (c == L'/') c = L'\\';
        }
        programData_ = std::make_unique<ScopedEnvironment>(L"ProgramData", volume_);
        port_ = OpenTestPort();
    }
    void TearDown() override {
        if (port_ != nullptr) Table().pfnClosePort(port_);
        programData_.reset();
        if (mounted_) EXPECT_TRUE(RunHostShell("umount " + unixVolume_ + " && rmdir " + unixVolume_));
        DataFolderTest::TearDown();
    }

    std::wstring Spool() const { return volume_ + L"\\TarnwickPrinter\\Spool"; }
    // Takes space (all that is left, at most `bytes`), in pages; Free() gives it back.
    void Fill(size_t bytes = SIZE_MAX) {
        UniqueHandle filler(CreateFileW((volume_ + L"\\filler").c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                                        0, nullptr));
        ASSERT_TRUE(filler.valid());
        const std::string page(4096, 'f');
        DWORD written = 0;
        for (size_t taken = 0; taken < bytes; taken += 4096) {
            if (!WriteFile(filler.get(), page.data(), 4096, &written, nullptr) || written != 4096) break;
        }
    }
    void Free() { ASSERT_TRUE(DeleteFileW((volume_ + L"\\filler").c_str())); }

    void Start(DWORD jobId) {
        DOC_INFO_1W doc = {const_cast<LPWSTR>(L"full"), nullptr, nullptr};
        ASSERT_TRUE(Table().pfnStartDocPort(port_, nullptr, jobId, 1, reinterpret_cast<LPBYTE>(&doc)));
    }
    BOOL Write(const std::string& block, DWORD* written) {
        *written = kSentinel;
        return Table().pfnWritePort(port_, reinterpret_cast<LPBYTE>(const_cast<char*>(block.data())),
                                    static_cast<DWORD>(block.size()), written);
    }
    std::wstring Base() const { return static_cast<PortRecord*>(port_)->jobBasePath; }
    // Writes blocks into a volume that fills up until one is refused; returns
    // what was accepted before it, and the refused block in `refused`.
    std::string WriteUntilRefused(std::string& refused) {
        std::string accepted;
        for (unsigned i = 0; i < 20 && refused.empty(); ++i) {
            const std::string block = Block(i);
            DWORD written = 0;
            SetLastError(kErrorSentinel);
            if (Write(block, &written)) {
                EXPECT_EQ(written, kBlock);
                accepted += block;
            } else {
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
                EXPECT_EQ(written, 0u);
                refused = block;
            }
        }
        EXPECT_FALSE(refused.empty()) << "the volume never filled";
        return accepted;
    }

    std::string unixVolume_;
    std::wstring volume_;
    bool mounted_ = false;
    std::unique_ptr<ScopedEnvironment> programData_;
    HANDLE port_ = nullptr;
};

TEST_F(DiskFullTest, FailedBlocksAreRetriedIntoAnExactJob) {
    DebugOutputRecorder debug;
    Fill(256 * 1024);
    Start(1);
    std::string failed;
    const std::string accepted = WriteUntilRefused(failed);
    ASSERT_FALSE(failed.empty());
    const std::wstring part = Base() + L".part";
    EXPECT_EQ(ReadFileBytes(part), accepted);  // no piece of the failed block

    DWORD written = 0;
    EXPECT_FALSE(Write(failed, &written));  // still full: the spooler retries later
    EXPECT_EQ(ReadFileBytes(part), accepted);
    const std::string message = DebugLine(L"スプールファイルに書き込めません: " + part + L" (err=112)");
    const std::vector<std::string> lines = debug.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), message), 1);  // the job's first failed block only

    Free();
    ASSERT_TRUE(Write(failed, &written));
    EXPECT_EQ(written, kBlock);
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(ReadFileBytes(Base() + L".prn"), accepted + failed);
    EXPECT_EQ(ReadFileBytes(Base() + L".ready"), "ok");
}

TEST_F(DiskFullTest, JobEndedAfterARefusedBlockIsKeptUnannounced) {
    // The spooler gives up on the block (the user deleted the job, say): the data is known to be short.
    Fill(256 * 1024);
    Start(4);
    std::string refused;
    const std::string accepted = WriteUntilRefused(refused);
    Free();
    SetLastError(kErrorSentinel);
    EXPECT_FALSE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    const std::wstring base = Base();
    EXPECT_EQ(ReadFileBytes(base + L".part"), accepted);
    for (const wchar_t* extension : {L".prn", L".json", L".ready"}) EXPECT_FALSE(PathExists(base + extension));
    const std::vector<std::string> lines = SplitLines(ReadFileBytes(volume_ + L"\\TarnwickPrinter\\portmon.log"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(LogMessage(lines.back()), "EndDocPort job=4 bytes=" + std::to_string(accepted.size()) + " ok=0");
}

TEST_F(DiskFullTest, UnwrittenDescriptorAndMarkerAreNotLeftBehind) {
    Start(2);
    DWORD written = 0;
    const std::string block = Block(7);
    ASSERT_TRUE(Write(block, &written));
    Fill();
    ASSERT_TRUE(Table().pfnEndDocPort(port_));  // committed: a rename takes no space
    const std::wstring base = Base();
    EXPECT_EQ(ReadFileBytes(base + L".prn"), block);
    EXPECT_FALSE(PathExists(base + L".json"));
    EXPECT_FALSE(PathExists(base + L".ready"));
    EXPECT_FALSE(PathExists(base + L".part"));

    // Space returns: the next job is whole again.
    Free();
    Start(3);
    ASSERT_TRUE(Write(block, &written));
    ASSERT_TRUE(Table().pfnEndDocPort(port_));
    EXPECT_EQ(ReadFileBytes(Base() + L".prn"), block);
    EXPECT_EQ(ReadFileBytes(Base() + L".ready"), "ok");
    EXPECT_NE(ReadFileBytes(Base() + L".json").find("\"jobId\": 3,"), std::string::npos);
}

}  // namespace
