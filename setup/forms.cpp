// Paper sizes registered as forms of the local print server: ISO A and B,
// JIS B, Japanese postcards and envelopes, North American sizes and a
// business card. Forms that exist already are counted and left as they are.
#include "setup/setup.h"

#include "common/unique_handle.h"

const PaperForm PaperFormTable[22] = {
    {L"A3", 297, 420},
    {L"A4", 210, 297},
    {L"A5", 148, 210},
    {L"A6", 105, 148},
    {L"B4 (JIS)", 257, 364},
    {L"B5 (JIS)", 182, 257},
    {L"B6 (JIS)", 128, 182},
    {L"A3 ノビ", 329, 483},
    {L"SRA3", 320, 450},
    {L"はがき", 100, 148},
    {L"往復はがき", 148, 200},
    {L"長形3号封筒", 120, 235},
    {L"長形4号封筒", 90, 205},
    {L"洋形長3号封筒", 120, 235},
    {L"角形2号封筒", 240, 332},
    {L"角形3号封筒", 216, 277},
    {L"Letter", 215.9, 279.4},
    {L"Legal", 215.9, 355.6},
    {L"Tabloid", 279.4, 431.8},
    {L"名刺 (91x55)", 91, 55},  // the one landscape sheet
    {L"B4 (ISO)", 250, 353},
    {L"B5 (ISO)", 176, 250},
};

namespace {

BOOL AddFormLevel1(HANDLE server, FORM_INFO_1W* form) {
    return Spooler().AddFormW(server, 1, reinterpret_cast<LPBYTE>(form));
}

}  // namespace

LONG FormMicrons(double millimetres) {
    // A product may land just below the whole number (1.005 * 1000 does): round, never truncate.
    return static_cast<LONG>(millimetres * 1000.0 + 0.5);
}

FORM_INFO_1W PaperFormRecord(const PaperForm& form) {
    FORM_INFO_1W record = {};
    record.Flags = FORM_USER;
    record.pName = const_cast<LPWSTR>(form.name);
    record.Size.cx = FormMicrons(form.widthMm);
    record.Size.cy = FormMicrons(form.heightMm);
    record.ImageableArea = {0, 0, record.Size.cx, record.Size.cy};
    return record;
}

FormOutcome ClassifyFormResult(BOOL added, DWORD error) {
    if (added) return FormOutcome::Added;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return FormOutcome::Existing;
    return FormOutcome::Failed;
}

FormCounts CountFormOutcomes(const std::vector<FormOutcome>& outcomes) {
    FormCounts counts;
    for (const FormOutcome outcome : outcomes) {
        switch (outcome) {
            case FormOutcome::Added: ++counts.added; break;
            case FormOutcome::Existing: ++counts.existing; break;
            case FormOutcome::Failed: ++counts.failed; break;
        }
    }
    return counts;
}

bool AddPaperFormsWith(AddFormCall addForm) {
    std::vector<FormOutcome> outcomes;
    {
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
        SpoolerPrinter server;
        if (!Spooler().OpenPrinterW(nullptr, server.put(), &defaults) || !server) {
            ReportLastError(L"OpenPrinter(print server)");
            return false;
        }
        for (const PaperForm& form : PaperFormTable) {
            FORM_INFO_1W record = PaperFormRecord(form);
            const BOOL added = addForm(server.get(), &record);
            const FormOutcome outcome = ClassifyFormResult(added, GetLastError());
            // The name only: the summary line tells how many.
            if (outcome == FormOutcome::Failed) PrintLine(L"  - フォーム追加失敗: %s", form.name);
            outcomes.push_back(outcome);
        }
    }
    const FormCounts counts = CountFormOutcomes(outcomes);
    PrintLine(L"  - 用紙サイズ: 新規 %d 件 / 既存 %d 件", counts.added, counts.existing);
    // Single forms that failed were named above; the server was there.
    return true;
}

bool AddPaperForms() {
    return AddPaperFormsWith(AddFormLevel1);
}
