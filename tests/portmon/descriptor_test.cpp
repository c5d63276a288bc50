// The job descriptor is the one data interface with the editor: its text is
// fixed to the byte.
#include <gtest/gtest.h>

#include <algorithm>

#include "portmon/monitor.h"
#include "tests/support/files.h"

namespace {

PortRecord ExampleJob() {
    PortRecord port = {};
    port.jobId = 42;
    port.printerName = L"TARNWICK-PRINTER";
    port.portName = L"TARNWICK:";
    port.documentName = L"Report.pdf";
    port.userName = L"taro";
    port.machineName = L"PC01";
    port.bytesWritten = 18342;
    return port;
}

TEST(JobDescriptor, ExampleJobByteForByte) {
    const std::string text = ToUtf8(JobDescriptorText(
        ExampleJob(), L"C:\\ProgramData\\TarnwickPrinter\\Spool\\job_20250131_090507_042_42.prn",
        tw_test::MakeTime(2025, 1, 31, 0, 5, 8, 311)));
    EXPECT_EQ(text,
              "{\n"
              "  \"schema\": 1,\n"
              "  \"jobId\": 42,\n"
              "  \"printerName\": \"TARNWICK-PRINTER\",\n"
              "  \"portName\": \"TARNWICK:\",\n"
              "  \"documentName\": \"Report.pdf\",\n"
              "  \"userName\": \"taro\",\n"
              "  \"machineName\": \"PC01\",\n"
              "  \"bytes\": 18342,\n"
              "  \"createdUtc\": \"2025-01-31T00:05:08.311Z\",\n"
              "  \"dataFile\": \"C:\\\\ProgramData\\\\TarnwickPrinter\\\\Spool\\\\job_20250131_090507_042_42.prn\"\n"
              "}\n");
}

TEST(JobDescriptor, EmptyNamesZeroIdAndLargeSizes) {
    PortRecord port = {};
    port.jobId = 0;
    port.bytesWritten = 5000000000ull;
    port.documentName = L"報告書.pdf";
    const std::string text = ToUtf8(JobDescriptorText(port, L"D:\\Temp\\TarnwickPrinter\\job_x.prn",
                                                      tw_test::MakeTime(2025, 12, 31, 23, 59, 59, 999)));
    EXPECT_NE(text.find("  \"jobId\": 0,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"printerName\": \"\",\n"), std::string::npos);
    EXPECT_NE(text.find("  \"userName\": \"\",\n"), std::string::npos);
    EXPECT_NE(text.find("  \"bytes\": 5000000000,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"documentName\": \"\xE5\xA0\xB1\xE5\x91\x8A\xE6\x9B\xB8.pdf\",\n"), std::string::npos);
    EXPECT_NE(text.find("  \"createdUtc\": \"2025-12-31T23:59:59.999Z\",\n"), std::string::npos);
    EXPECT_NE(text.find("  \"dataFile\": \"D:\\\\Temp\\\\TarnwickPrinter\\\\job_x.prn\"\n}\n"), std::string::npos);
    EXPECT_EQ(text.front(), '{');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 12);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(JobDescriptor, Escaping) {
    EXPECT_EQ(JsonEscape(L"a\"b\\c"), L"a\\\"b\\\\c");
    EXPECT_EQ(JsonEscape(L"tab\there\nnext\rend"), L"tab\\there\\nnext\\rend");
    EXPECT_EQ(JsonEscape(std::wstring(L"\x01") + L"\x08\x0C\x1B\x1F"), L"\\u0001\\u0008\\u000C\\u001B\\u001F");
    EXPECT_EQ(JsonEscape(std::wstring(1, L'\0')), L"\\u0000");
    // Forward slash, DEL, non-ASCII and lone surrogates pass unchanged.
    EXPECT_EQ(JsonEscape(L"a/b\x7F\x65E5\xD800"), L"a/b\x7F\x65E5\xD800");
    EXPECT_EQ(JsonEscape(L""), L"");
}

}  // namespace
