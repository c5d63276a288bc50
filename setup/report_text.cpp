// What the status and diagnostic reports decide about their text: columns,
// state and status words, spool counts, the log's tail, a job's line.
#include "setup/setup.h"

#define STRSAFE_NO_DEPRECATE

namespace {

struct BitWord {
    DWORD bit;
    const wchar_t* word;
};

const BitWord kPrinterStatusWords[] = {
    {0x00000001, L" 一時停止"},  // PRINTER_STATUS_PAUSED
    {0x00000002, L" エラー"},    // PRINTER_STATUS_ERROR
    {0x00000080, L" オフライン"},  // PRINTER_STATUS_OFFLINE
    {0x00001000, L" 使用不可"},  // PRINTER_STATUS_NOT_AVAILABLE
    {0x00100000, L" 要操作"},    // PRINTER_STATUS_USER_INTERVENTION
};

const BitWord kPrinterAttributeWords[] = {
    {0x00000400, L" オフラインで作業"},  // PRINTER_ATTRIBUTE_WORK_OFFLINE
    {0x00000100, L"  ★印刷後にドキュメントを残す (これが原因でジョブが溜まります)"},  // KEEPPRINTEDJOBS
    {0x00000001, L" キュー"},  // PRINTER_ATTRIBUTE_QUEUED
};

const BitWord kJobStatusWords[] = {
    {0x00000008, L" スプール中"},    // JOB_STATUS_SPOOLING
    {0x00000010, L" 印刷中"},        // JOB_STATUS_PRINTING
    {0x00000002, L" エラー"},        // JOB_STATUS_ERROR
    {0x00000200, L" ポートで停止"},  // JOB_STATUS_BLOCKED_DEVQ
};

const wchar_t* Word(const BitWord* table, size_t index, DWORD value) {
    return (value & table[index].bit) ? table[index].word : L"";
}

template <size_t N>
std::wstring Words(const BitWord (&table)[N], DWORD value) {
    std::wstring words;
    for (size_t i = 0; i < N; ++i) words += Word(table, i, value);
    return words;
}

bool IsWide(wchar_t unit) {
    return (unit >= 0x1100 && unit <= 0x115F) || (unit >= 0x2E80 && unit <= 0xA4CF) ||
           (unit >= 0xAC00 && unit <= 0xD7A3) || (unit >= 0xF900 && unit <= 0xFAFF) ||
           (unit >= 0xFE30 && unit <= 0xFE4F) || (unit >= 0xFF00 && unit <= 0xFF60) ||
           (unit >= 0xFFE0 && unit <= 0xFFE6);
}

const wchar_t* OrEmpty(const wchar_t* text) {
    return text != nullptr ? text : L"";
}

}  // namespace

size_t DisplayColumns(const std::wstring& text) {
    size_t columns = 0;
    for (const wchar_t unit : text) columns += IsWide(unit) ? 2 : 1;
    return columns;
}

std::wstring PadLabel(const std::wstring& label, size_t columns) {
    const size_t used = DisplayColumns(label);
    return used >= columns ? label : label + std::wstring(columns - used, L' ');
}

std::wstring ReportLabel(const std::wstring& label) {
    return PadLabel(label, 20) + L": ";
}

std::wstring FileLabel(const std::wstring& label) {
    return PadLabel(label, 24);
}

std::wstring ServiceStateWord(DWORD state) {
    switch (state) {
        case SERVICE_RUNNING: return L"実行中";
        case SERVICE_STOPPED: return L"停止";
        case SERVICE_START_PENDING: return L"開始中";
        case SERVICE_STOP_PENDING: return L"停止中";
        default: return L"その他";
    }
}

std::wstring PrinterStatusWords(DWORD status) {
    return Words(kPrinterStatusWords, status);
}

std::wstring PrinterAttributeWords(DWORD attributes) {
    return Words(kPrinterAttributeWords, attributes);
}

std::wstring JobStatusWords(DWORD status) {
    return Words(kJobStatusWords, status);
}

std::wstring FormatJobLine(const JOB_INFO_2W& job) {
    wchar_t line[kLineUnits] = {};
    // A blank always stands before the status text, also when there is none.
    FormatText(line, kLineUnits, L"  #%u %s / %s / %u ページ中 %u / %u バイト / Status=0x%08X%s%s%s%s %s",
                     job.JobId, OrEmpty(job.pDocument), OrEmpty(job.pUserName), job.TotalPages, job.PagesPrinted,
                     job.Size, job.Status, Word(kJobStatusWords, 0, job.Status), Word(kJobStatusWords, 1, job.Status),
                     Word(kJobStatusWords, 2, job.Status), Word(kJobStatusWords, 3, job.Status),
                     OrEmpty(job.pStatus));
    line[kLineUnits - 1] = L'\0';
    return line;
}

SpoolCounts CountSpoolFiles(const std::vector<std::wstring>& names) {
    SpoolCounts counts;
    for (const std::wstring& name : names) {
        const size_t dot = name.find_last_of(L'.');
        if (dot == std::wstring::npos) continue;
        const std::wstring extension = name.substr(dot);
        if (_wcsicmp(extension.c_str(), L".prn") == 0) ++counts.prn;
        if (_wcsicmp(extension.c_str(), L".ready") == 0) ++counts.ready;
        if (_wcsicmp(extension.c_str(), L".part") == 0) ++counts.part;
    }
    return counts;
}

std::vector<std::wstring> LogTailLines(const std::string& bytes, size_t maximum) {
    std::wstring text;
    if (!bytes.empty() && bytes.size() <= static_cast<size_t>(INT_MAX)) {
        // Malformed bytes (a character cut at the window's start) become U+FFFD.
        const int size = static_cast<int>(bytes.size());
        const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
        if (units > 0) {
            text.resize(static_cast<size_t>(units));
            MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, &text[0], units);
        }
    }
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L'\n', start);
        std::wstring piece = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        while (!piece.empty() && piece.back() == L'\r') piece.pop_back();
        if (!piece.empty()) lines.push_back(piece);
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    if (lines.size() > maximum) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(maximum));
    return lines;
}

WindowsVersion ReadWindowsVersion(RtlGetVersionFunction rtlGetVersion) {
    // A size of 284 bytes asks for the extended record; it gets one that size,
    // so the service pack fields it fills in land inside the buffer.
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the extended version record");
    LONG status = -1;
    if (rtlGetVersion != nullptr) status = rtlGetVersion(reinterpret_cast<OSVERSIONINFOW*>(&info));
    WindowsVersion version;
    version.major = info.dwMajorVersion;
    version.minor = info.dwMinorVersion;
    version.build = status == 0 ? info.dwBuildNumber : 0;
    return version;
}
