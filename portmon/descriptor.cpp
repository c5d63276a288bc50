// The end of a committed job on disk: the .json descriptor that tells the
// editor what the job is, then the .ready marker that hands it over. A reader
// keys on .ready: once it exists, the .prn is complete and closed.
#include "portmon/monitor.h"

#define STRSAFE_NO_DEPRECATE

#include "common/unique_handle.h"

namespace {

void AppendLine(std::wstring& text, const wchar_t* key, const std::wstring& value, bool last = false) {
    text += L"  \"";
    text += key;
    text += L"\": ";
    text += value;
    text += last ? L"\n" : L",\n";
}

std::wstring Quoted(const std::wstring& value) {
    return L"\"" + JsonEscape(value) + L"\"";
}

}  // namespace

std::wstring JsonEscape(const std::wstring& value) {
    std::wstring escaped;
    escaped.reserve(value.size());
    for (const wchar_t unit : value) {
        switch (unit) {
            case L'\t': escaped += L"\\t"; break;
            case L'\n': escaped += L"\\n"; break;
            case L'\r': escaped += L"\\r"; break;
            case L'"': escaped += L"\\\""; break;
            case L'\\': escaped += L"\\\\"; break;
            default:
                if (unit < 0x20) {
                    wchar_t code[8] = {};
                    FormatText(code, 8, L"\\u%04X", static_cast<unsigned>(unit));
                    escaped += code;
                } else {
                    escaped += unit;
                }
        }
    }
    return escaped;
}

std::wstring JobDescriptorText(const PortRecord& port, const std::wstring& prnPath,
                               const SYSTEMTIME& createdUtc) {
    wchar_t created[64] = {};
    FormatText(created, 64, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", createdUtc.wYear,
                     createdUtc.wMonth, createdUtc.wDay, createdUtc.wHour, createdUtc.wMinute,
                     createdUtc.wSecond, createdUtc.wMilliseconds);
    std::wstring text = L"{\n";
    AppendLine(text, L"schema", L"1");
    AppendLine(text, L"jobId", std::to_wstring(port.jobId));
    AppendLine(text, L"printerName", Quoted(port.printerName));
    AppendLine(text, L"portName", Quoted(port.portName));
    AppendLine(text, L"documentName", Quoted(port.documentName));
    AppendLine(text, L"userName", Quoted(port.userName));
    AppendLine(text, L"machineName", Quoted(port.machineName));
    AppendLine(text, L"bytes", std::to_wstring(port.bytesWritten));
    AppendLine(text, L"createdUtc", std::wstring(L"\"") + created + L"\"");
    AppendLine(text, L"dataFile", Quoted(prnPath), true);
    text += L"}\n";
    return text;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes, JobCallScope* call) {
    HANDLE file = CreateJobFile(path, call);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    if (bytes.empty() ||
        (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size())) {
        CloseHandle(file);
        return true;
    }
    // A full volume: no half-written descriptor or empty marker is left for a reader to find.
    DiscardFile(file);
    return false;
}

void WriteJobDescriptor(const PortRecord& port, const std::wstring& jsonPath, const std::wstring& prnPath,
                        JobCallScope* call) {
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    // Written in place under its final name; the .ready marker is the commit point.
    WriteWholeFile(jsonPath, ToUtf8(JobDescriptorText(port, prnPath, now)), call);
}

void WriteReadyMarker(const std::wstring& readyPath, JobCallScope* call) {
    WriteWholeFile(readyPath, "ok", call);
}
