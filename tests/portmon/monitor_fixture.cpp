#include "tests/portmon/monitor_fixture.h"

#include <cstring>
#include <mutex>
#include <regex>

namespace tw_test {

const LoadedMonitor& Monitor() {
    static const LoadedMonitor loaded = [] {
        LoadedMonitor result;
        const std::wstring path = ModuleFolder() + L"\\TWPortMon.dll";
        result.module = LoadLibraryW(path.c_str());
        if (result.module == nullptr) return result;
        using Init = MONITOR2*(WINAPI*)(MONITORINIT*, PHANDLE);
        auto init = reinterpret_cast<Init>(
            reinterpret_cast<void*>(GetProcAddress(result.module, "InitializePrintMonitor2")));
        if (init == nullptr) return result;
        MONITORINIT monitorInit = {};
        monitorInit.cbSize = sizeof(monitorInit);
        result.table = reinterpret_cast<const MonitorTable*>(init(&monitorInit, &result.monitor));
        return result;
    }();
    return loaded;
}

QuietLaunches::QuietLaunches()
    : event_(CreateEventW(nullptr, TRUE, FALSE, kRunningEventName)) {}

QuietLaunches::~QuietLaunches() {
    if (event_ != nullptr) CloseHandle(event_);
}

void DataFolderTest::SetUp() {
    ASSERT_NE(Monitor().table, nullptr) << "TWPortMon.dll did not load beside the test";
    if (quietLaunches_) quiet_ = std::make_unique<QuietLaunches>();
    root_ = MakeTempFolder(L"pd");
    ASSERT_FALSE(root_.empty());
    programData_ = std::make_unique<ScopedEnvironment>(L"ProgramData", root_);
}

void DataFolderTest::TearDown() {
    quiet_.reset();
    programData_.reset();
    RemoveTree(root_);
}

std::vector<std::string> DataFolderTest::LogLines() const {
    std::vector<std::string> lines;
    const std::string bytes = LogBytes();
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

HANDLE OpenTestPort(const wchar_t* name) {
    HANDLE port = nullptr;
    EXPECT_TRUE(Table().pfnOpenPort(Monitor().monitor, const_cast<LPWSTR>(name), &port));
    return port;
}

JobOutcome RunJob(HANDLE port, DWORD jobId, const wchar_t* document, const std::string& data,
                  size_t blockSize) {
    JobOutcome outcome;
    DOC_INFO_1W doc = {const_cast<LPWSTR>(document), nullptr, const_cast<LPWSTR>(L"RAW")};
    outcome.started = Table().pfnStartDocPort(port, nullptr, jobId, 1, reinterpret_cast<LPBYTE>(&doc));
    for (size_t offset = 0; offset < data.size(); offset += blockSize) {
        const DWORD size = static_cast<DWORD>(std::min(blockSize, data.size() - offset));
        DWORD written = kSentinel;
        if (Table().pfnWritePort(port, reinterpret_cast<LPBYTE>(const_cast<char*>(data.data() + offset)),
                                 size, &written)) {
            outcome.written += written;
        }
    }
    outcome.ended = Table().pfnEndDocPort(port);
    return outcome;
}

bool WaitForLogMessage(const std::wstring& logPath, const std::string& prefix, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        const std::string bytes = ReadFileBytes(logPath);
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find("\r\n", start);
            if (end == std::string::npos) end = bytes.size();
            if (LogMessage(bytes.substr(start, end - start)).rfind(prefix, 0) == 0) return true;
            start = end + 2;
        }
        Sleep(50);
    } while (GetTickCount64() < deadline);
    return false;
}

std::string LogMessage(const std::string& line) {
    const size_t pid = line.find("[pid ");
    if (pid == std::string::npos) return std::string();
    const size_t close = line.find("]  ", pid);
    return close == std::string::npos ? std::string() : line.substr(close + 3);
}

bool IsLogLine(const std::string& line) {
    static const std::regex layout(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}  \[pid \d+\]  [^\r\n]*$)");
    return std::regex_match(line, layout);
}

std::string DebugLine(const std::wstring& message) {
    const std::wstring line = L"[TWPortMon] " + message;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr,
                                          nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), &result[0], bytes, nullptr, nullptr);
    return result;
}

namespace {

std::mutex g_debugMutex;
std::vector<std::string> g_debugOutputs;

LONG CALLBACK RecordDebugOutput(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2) {
        const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        std::lock_guard<std::mutex> hold(g_debugMutex);
        if (text != nullptr) g_debugOutputs.emplace_back(text, strnlen(text, static_cast<size_t>(record.ExceptionInformation[0])));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

DebugOutputRecorder::DebugOutputRecorder() {
    std::lock_guard<std::mutex> hold(g_debugMutex);
    g_debugOutputs.clear();
    handler_ = AddVectoredExceptionHandler(1, &RecordDebugOutput);
}

DebugOutputRecorder::~DebugOutputRecorder() {
    RemoveVectoredExceptionHandler(handler_);
}

std::vector<std::string> DebugOutputRecorder::Lines() const {
    std::string text;
    for (const std::string& output : Outputs()) text += output;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::vector<std::string> DebugOutputRecorder::Outputs() const {
    std::lock_guard<std::mutex> hold(g_debugMutex);
    return g_debugOutputs;
}

}  // namespace tw_test
