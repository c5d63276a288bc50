// The queue work's decisions with plain data: listings of enumeration
// results, the printui command line, the forms and what AddFormW's results
// mean, the keep-printed-jobs change.
#include <gtest/gtest.h>

#include <set>

#include "setup/listing.h"
#include "setup/setup.h"
#include "tests/support/files.h"
#include "tests/support/output.h"

namespace {

using tw_test::AsUtf8;

std::string Printed(void (*print)(const SpoolerList&), const SpoolerList& list) {
    tw_test::StdoutCapture capture;
    print(list);
    return capture.Finish();
}

TEST(Listing, WhatEachEnumerationResultPrints) {
    SpoolerList unsized;
    EXPECT_EQ(Printed(PrintDriverListing, unsized), AsUtf8(L"  (インストール済みドライバを列挙できませんでした)\r\n"));
    EXPECT_EQ(Printed(PrintPortListing, unsized), AsUtf8(L"  (ポートを列挙できませんでした)\r\n"));
    SpoolerList unread;  // sized, then the second call failed
    unread.state = SpoolerList::State::Failed;
    EXPECT_EQ(Printed(PrintPortListing, unread), "");
    EXPECT_EQ(Printed(PrintDriverListing, unread), "");

    // Records in the order given; one without a name counts but is not printed.
    PORT_INFO_1W ports[] = {{const_cast<LPWSTR>(L"LPT1:")}, {nullptr}, {const_cast<LPWSTR>(L"TARNWICK:")}};
    SpoolerList read;
    read.state = SpoolerList::State::Listed;
    read.count = 3;
    read.buffer.assign(reinterpret_cast<BYTE*>(ports), reinterpret_cast<BYTE*>(ports) + sizeof(ports));
    EXPECT_EQ(Printed(PrintPortListing, read), AsUtf8(L"  -- 利用可能なポート (3) --\r\n     LPT1:\r\n     TARNWICK:\r\n"));
    read.count = 0;
    EXPECT_EQ(Printed(PrintDriverListing, read), AsUtf8(L"  -- インストール済みドライバ (0) --\r\n"));
}

TEST(Driver, PrintuiCommandLine) {
    EXPECT_EQ(DriverInstallCommandLine(L"Microsoft PS Class Driver", L"C:\\Windows", L"x64"),
              L"rundll32.exe printui.dll,PrintUIEntry /ia /q /m \"Microsoft PS Class Driver\" /h \"x64\" "
              L"/v \"Type 3 - User Mode\" /f \"C:\\Windows\\inf\\ntprint.inf\"");
    // A name that would end its quotes early is never handed on.
    EXPECT_EQ(DriverInstallCommandLine(L"X\" /q \"Y", L"C:\\Windows", L"x64"), L"");
    EXPECT_EQ(DriverInstallCommandLine(L"X\\", L"C:\\Windows", L"x64"), L"");
    EXPECT_NE(DriverInstallCommandLine(L"A\\B", L"C:\\Windows", L"x64"), L"");
}

TEST(Forms, SizesInThousandthsOfAMillimetre) {
    EXPECT_EQ(FormMicrons(215.9), 215900);
    EXPECT_EQ(FormMicrons(279.4), 279400);
    EXPECT_EQ(FormMicrons(1.005), 1005);  // 1.005 * 1000 lands just below 1005
    std::set<std::wstring> names;
    for (const PaperForm& form : PaperFormTable) {
        names.insert(form.name);
        const FORM_INFO_1W record = PaperFormRecord(form);
        EXPECT_EQ(record.Flags, static_cast<DWORD>(FORM_USER));
        EXPECT_EQ(record.ImageableArea.left, 0);
        EXPECT_EQ(record.ImageableArea.top, 0);
        EXPECT_EQ(record.ImageableArea.right, record.Size.cx);
        EXPECT_EQ(record.ImageableArea.bottom, record.Size.cy);
        // Only the business card is wider than high.
        EXPECT_EQ(record.Size.cx > record.Size.cy, form.name == std::wstring(L"名刺 (91x55)")) << form.name;
    }
    EXPECT_EQ(names.size(), 22u);
    const FORM_INFO_1W card = PaperFormRecord(PaperFormTable[19]);
    EXPECT_EQ(card.Size.cx, 91000);
    EXPECT_EQ(card.Size.cy, 55000);
}

TEST(Forms, WhatAnAddFormResultMeans) {
    EXPECT_EQ(ClassifyFormResult(TRUE, ERROR_FILE_EXISTS), FormOutcome::Added);
    EXPECT_EQ(ClassifyFormResult(FALSE, ERROR_FILE_EXISTS), FormOutcome::Existing);
    EXPECT_EQ(ClassifyFormResult(FALSE, ERROR_ALREADY_EXISTS), FormOutcome::Existing);
    EXPECT_EQ(ClassifyFormResult(FALSE, ERROR_INVALID_PARAMETER), FormOutcome::Failed);
}

TEST(KeepPrintedJobs, OnlyThatBitChangesAndTheSecurityIsLeftOut) {
    DEVMODEW devMode = {};
    PRINTER_INFO_2W printer = {};
    printer.Attributes = 0xFFFFFFFF;
    printer.pDevMode = &devMode;
    printer.pSecurityDescriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(&devMode);
    EXPECT_TRUE(ClearKeepPrintedJobs(printer));
    EXPECT_EQ(printer.Attributes, 0xFFFFFEFFu);
    EXPECT_EQ(printer.pSecurityDescriptor, nullptr);
    EXPECT_EQ(printer.pDevMode, &devMode);
    EXPECT_FALSE(ClearKeepPrintedJobs(printer));  // already off: nothing to write
}

}  // namespace
