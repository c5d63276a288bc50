// The installer package the way administrators deploy it: msiexec installs it
// quietly, a document printed afterwards lands in the spool folder, a package
// of the next version replaces it, msiexec removes it, its properties become
// the install's options and are kept for upgrades, a failing install leaves
// nothing behind, a repair restores only the files, an upgrade takes the
// installation over and a failed removal puts it back. The steps build on
// each other and run in order. A failing first install leaves an installation
// made by hand standing, an upgrade keeps a launch switched off by hand, the
// installation folder stays below Program Files, and TWSetup.exe's report
// outlives removals and upgrades. The file properties of the deliverables are
// read back as Explorer shows them, and what Wine's msiexec cannot stage is
// read from the package's tables.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <map>
#include <set>

#include "common/format_text.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/spooler.h"

namespace {

using namespace tw_test;

// The options the package remembers for repairs, upgrades and rollbacks.
constexpr wchar_t kOptionsKey[] = L"SOFTWARE\\TARNWICK-PRINTER Installer";

// Explorer's file properties: the fixed version numbers, and the strings of
// the first translation.
std::map<std::string, std::string> FileProperties(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return {};
    std::map<std::string, std::string> properties;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) {
        auto text = [](DWORD high, DWORD low) {
            return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
                   std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
        };
        properties["(fixed) file version"] = text(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        properties["(fixed) product version"] = text(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    WORD* translation = nullptr;  // language, code page
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 4) {
        return properties;
    }
    for (const wchar_t* name : {L"FileDescription", L"FileVersion", L"OriginalFilename", L"ProductName",
                                L"ProductVersion"}) {
        wchar_t query[128] = {};
        FormatText(query, 128, L"\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], name);
        wchar_t* value = nullptr;
        if (VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&value), &length)) {
            properties[AsUtf8(name)] = AsUtf8(value);
        }
    }
    return properties;
}

TEST(FileProperties, BothDeliverablesCarryTheProjectVersion) {
    const std::string version = TW_VERSION;
    for (const auto& [file, description] : {std::pair{L"TWSetup.exe", L"TARNWICK-PRINTER セットアップ"},
                                            std::pair{L"TWPortMon.dll", L"TARNWICK-PRINTER ポートモニタ"}}) {
        const std::map<std::string, std::string> expected = {
            {"(fixed) file version", version + ".0"},
            {"(fixed) product version", version + ".0"},
            {"FileDescription", AsUtf8(description)},
            {"FileVersion", version},
            {"OriginalFilename", AsUtf8(file)},
            {"ProductName", "TARNWICK-PRINTER"},
            {"ProductVersion", version}};
        EXPECT_EQ(FileProperties(ModuleFolder() + L"\\" + file), expected) << AsUtf8(file);
    }
}

// A path of the build folder as Wine shows it.
std::wstring WindowsPath(const char* unixPath) {
    std::wstring path = L"Z:" + FromUtf8(unixPath);
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
}

// The installation folder, as the package makes it.
std::wstring InstallationFolder() {
    wchar_t programFiles[MAX_PATH] = {};
    GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    return std::wstring(programFiles) + L"\\TARNWICK-PRINTER";
}

struct MsiHandleTraits {
    using Value = MSIHANDLE;
    static Value Empty() noexcept { return 0; }
    static bool IsValid(Value v) noexcept { return v != 0; }
    static void Close(Value v) noexcept { MsiCloseHandle(v); }
};
using UniqueMsi = Unique<MsiHandleTraits>;

// Wine's msi sets no Program Files folder on ARM64 (Windows sets
// ProgramFiles64Folder there as on x64), so an installation goes below the
// drive's root. Sessions that only read the tables are given the folder.
#if defined(__aarch64__) || defined(_M_ARM64)
constexpr bool kNoProgramFilesInWinesMsi = true;
#else
constexpr bool kNoProgramFilesInWinesMsi = false;
#endif

// A session of a package that installs nothing, its folders resolved.
UniqueMsi OpenSession(const char* package) {
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    UniqueMsi session;
    MsiOpenPackageExW(WindowsPath(package).c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, session.put());
    if (kNoProgramFilesInWinesMsi) {
        const std::wstring folder = InstallationFolder();
        MsiSetPropertyW(session.get(), L"ProgramFiles64Folder", folder.substr(0, folder.rfind(L'\\') + 1).c_str());
    }
    for (const wchar_t* action : {L"CostInitialize", L"FileCost", L"CostFinalize"}) MsiDoActionW(session.get(), action);
    return session;
}

// A query's first two columns by the first, the second as the session formats
// it; of another database than the session's when given.
std::map<std::wstring, std::wstring> Query(MSIHANDLE session, const wchar_t* sql, MSIHANDLE database = 0) {
    std::map<std::wstring, std::wstring> rows;
    UniqueMsi active(database == 0 ? MsiGetActiveDatabase(session) : 0), view, record;
    MsiDatabaseOpenViewW(database == 0 ? active.get() : database, sql, view.put());
    MsiViewExecute(view.get(), 0);
    while (MsiViewFetch(view.get(), record.put()) == ERROR_SUCCESS) {
        wchar_t key[256] = {}, text[1024] = {}, formatted[1024] = {};
        DWORD keySize = 256, textSize = 1024, formattedSize = 1024;
        MsiRecordGetStringW(record.get(), 1, key, &keySize);
        MsiRecordGetStringW(record.get(), 2, text, &textSize);
        MsiRecordSetStringW(record.get(), 0, text);
        MsiFormatRecordW(session, record.get(), formatted, &formattedSize);
        rows[key] = formatted;
    }
    return rows;
}

// What Wine's msiexec cannot stage, evaluated as Windows evaluates it. Wine
// removes the older version of an upgrade at once and for good, without
// UPGRADINGPRODUCTCODE. On Windows that removal runs no uninstall, but goes
// inside the installation's transaction, before this version changes
// anything, and its rollback puts the older version back when the new one
// fails: the new one leaves its own rollback to it. A repair takes the
// remembered options, whatever its command line says.
TEST(PackageTables, UpgradeRollsBackToTheOlderVersionAndRepairKeepsTheOptions) {
    const struct {
        std::vector<std::pair<const wchar_t*, const wchar_t*>> properties;
        std::set<std::wstring> runs;
    } cases[] = {
        {{{L"WIX_UPGRADE_DETECTED", L"{0}"}}, {L"TwRememberDriver", L"TwInstall"}},
        {{{L"Installed", L"1"}, {L"REMOVE", L"ALL"}, {L"UPGRADINGPRODUCTCODE", L"{0}"}},
         {L"TwRememberDriver", L"TwRollbackUninstall"}},
        {{{L"Installed", L"1"}, {L"REINSTALL", L"ALL"}, {L"DRIVER", L"X"}}, {L"TwRememberDriver"}},
    };
    for (const auto& c : cases) {
        UniqueMsi session = OpenSession(TW_PACKAGE);
        auto conditions = Query(session.get(), L"SELECT `Action`, `Condition` FROM `InstallExecuteSequence`");
        for (const auto& [name, value] : c.properties) MsiSetPropertyW(session.get(), name, value);
        std::set<std::wstring> runs;
        for (const wchar_t* action :
             {L"TwRememberDriver", L"TwInstall", L"TwRollbackInstall", L"TwUninstall", L"TwRollbackUninstall"}) {
            if (MsiEvaluateConditionW(session.get(), conditions[action].c_str()) == MSICONDITION_TRUE) {
                runs.insert(action);
            }
        }
        EXPECT_EQ(runs, c.runs) << AsUtf8(c.properties[0].first);
    }
    auto sequence = Query(OpenSession(TW_PACKAGE).get(), L"SELECT `Action`, `Sequence` FROM `InstallExecuteSequence`");
    EXPECT_LT(std::stoi(sequence[L"InstallInitialize"]), std::stoi(sequence[L"RemoveExistingProducts"]));
    EXPECT_LT(std::stoi(sequence[L"RemoveExistingProducts"]), std::stoi(sequence[L"TwRollbackUninstall"]));
}

// Each package installs only on its own kind of computer, whose kind the
// package reads from the registry; a removal is never refused.
TEST(PackageTables, EachPackageInstallsOnlyOnItsOwnMachine) {
    const std::wstring machine = tw_test::kBuiltForMachine;
    const std::wstring other = machine == L"ARM64" ? L"AMD64" : L"ARM64";
    UniqueMsi session = OpenSession(TW_PACKAGE);
    auto conditions = Query(session.get(), L"SELECT `Description`, `Condition` FROM `LaunchCondition`");
    const std::wstring message = L"This TARNWICK-PRINTER package is for " + machine +
                                 L" Windows. Install TarnwickPrinter-" TW_VERSION L"-" TW_OTHER_ARCH L".msi on this computer.";
    ASSERT_EQ(conditions.count(message), 1u);
    const std::wstring condition = conditions[message];
    ASSERT_EQ(MsiDoActionW(session.get(), L"AppSearch"), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(MsiEvaluateConditionW(session.get(), condition.c_str()), MSICONDITION_TRUE);
    MsiSetPropertyW(session.get(), L"TW_NATIVE_ARCH", other.c_str());
    EXPECT_EQ(MsiEvaluateConditionW(session.get(), condition.c_str()), MSICONDITION_FALSE);
    MsiSetPropertyW(session.get(), L"Installed", L"1");
    EXPECT_EQ(MsiEvaluateConditionW(session.get(), condition.c_str()), MSICONDITION_TRUE);

    UniqueMsi summary;
    ASSERT_EQ(MsiGetSummaryInformationW(0, WindowsPath(TW_PACKAGE).c_str(), 0, summary.put()),
              static_cast<UINT>(ERROR_SUCCESS));
    wchar_t text[64] = {};
    DWORD size = 64;
    UINT type = 0;
    constexpr UINT kTemplate = 7;  // PID_TEMPLATE
    MsiSummaryInfoGetPropertyW(summary.get(), kTemplate, &type, nullptr, nullptr, text, &size);
    EXPECT_EQ(std::wstring(text), machine == L"ARM64" ? L"Arm64;1033" : L"x64;1033");
}

// TWSetup.exe's report, kept below the Windows folder, out of the package's files.
std::wstring ReportFile() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Logs\\TarnwickPrinter\\install.log";
}

// Every run of TWSetup.exe appends its report to the one install.log.
TEST(PackageTables, SetupKeepsItsReportBelowTheWindowsFolder) {
    auto commands = Query(OpenSession(TW_PACKAGE).get(), L"SELECT `Action`, `Target` FROM `CustomAction`");
    const std::wstring log = L" /log:\"" + ReportFile() + L"\"";
    for (const wchar_t* action : {L"TwInstall", L"TwUninstall", L"TwRollbackInstall", L"TwRollbackUninstall"}) {
        const std::wstring& line = commands[action];
        EXPECT_TRUE(line.size() > log.size() && line.substr(line.size() - log.size()) == log) << AsUtf8(line);
    }
}

// The installation folder, resolved from the command line or a transform, is
// one below Program Files; what only looks like one is refused. (A session
// that only reads the tables sets the resolved folder as CostFinalize would.)
TEST(PackageTables, InstallationFolderStaysBelowProgramFiles) {
    const std::pair<const wchar_t*, bool> cases[] = {  // folder, refused
        {L"C:\\Program Files\\TARNWICK-PRINTER\\", false}, {L"c:\\PROGRAM FILES\\Tools\\TW\\", false},
        {L"D:\\Apps\\TW\\", true}, {L"C:\\Program Files Evil\\", true}, {L"C:\\Program Files\\", true},
        {L"C:\\Program Files\\..\\Users\\Public\\", true}, {L"C:\\Program Files\\TW \\", true},
        {L"C:\\Program Files\\TW.\\", true}, {L"C:\\Program Files\\TW/../../Users/", true}};
    UniqueMsi session = OpenSession(TW_PACKAGE);
    const std::wstring condition =
        Query(session.get(), L"SELECT `Action`, `Condition` FROM `InstallExecuteSequence`")[L"TwRefuseFolder"];
    MsiSetPropertyW(session.get(), L"ProgramFiles64Folder", L"C:\\Program Files\\");
    for (const auto& [folder, refused] : cases) {
        MsiSetPropertyW(session.get(), L"INSTALLFOLDER", folder);
        EXPECT_EQ(MsiEvaluateConditionW(session.get(), condition.c_str()), refused ? MSICONDITION_TRUE : MSICONDITION_FALSE)
            << AsUtf8(folder);
    }
    MsiSetPropertyW(session.get(), L"Installed", L"1");  // a removal never is
    EXPECT_EQ(MsiEvaluateConditionW(session.get(), condition.c_str()), MSICONDITION_FALSE);
}

// A component code stands for one set of files: the two machines' packages,
// which hold different binaries, share none.
TEST(PackageTables, EachMachineHasComponentCodesOfItsOwn) {
    const wchar_t* query = L"SELECT `Component`, `ComponentId` FROM `Component`";
    UniqueMsi otherPackage;  // which no session on this machine opens
    MsiOpenDatabaseW(WindowsPath(TW_OTHER_PACKAGE).c_str(), MSIDBOPEN_READONLY, otherPackage.put());
    const auto own = Query(OpenSession(TW_PACKAGE).get(), query), other = Query(0, query, otherPackage.get());
    ASSERT_EQ(own.size(), 4u);
    ASSERT_EQ(other.size(), own.size());
    for (const auto& [name, code] : own) EXPECT_NE(other.at(name), code) << AsUtf8(name);
}

// The product codes of the package's versions installed now.
std::vector<std::wstring> InstalledProducts() {
    std::vector<std::wstring> products;
    wchar_t code[39] = {};
    while (MsiEnumRelatedProductsW(L"" TW_UPGRADE_CODE, 0, static_cast<DWORD>(products.size()), code) ==
           ERROR_SUCCESS) {
        products.push_back(code);
    }
    return products;
}

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = new std::wstring(MakeTempFolder(L"programdata"));
        programData_ = new ScopedEnvironment(L"ProgramData", *root_);
        // A clean machine, but for the driver that Windows would ship.
        RemoveInstallation();
        DeleteFileW(ReportFile().c_str());
        ASSERT_EQ(AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    static void TearDownTestSuite() {
        for (const std::wstring& product : InstalledProducts()) Msiexec(L"/x " + product + L" /qn");
        RemoveLeftovers();
        StopSpooler();
        delete programData_;
        RemoveTree(*root_);
        delete root_;
    }

    // What a failed step, or Wine's rolled-back removal, left behind.
    static void RemoveLeftovers() {
        RemoveInstallation();
        RemoveTree(Folder());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kOptionsKey, KEY_WOW64_64KEY, 0);
    }

    static DWORD Msiexec(const std::wstring& arguments) {
        const ProcessResult result = RunProcess(L"msiexec " + arguments, 300000);
        EXPECT_TRUE(result.started);
        return result.exitCode;
    }
    static DWORD Install(const char* package, const std::wstring& properties = L"") {
        return Msiexec(L"/i \"" + WindowsPath(package) + L"\" /qn " + properties);
    }
    static DWORD Remove(const char* package) { return Msiexec(L"/x \"" + WindowsPath(package) + L"\" /qn"); }

    static std::wstring Folder() { return kNoProgramFilesInWinesMsi ? L"C:\\TARNWICK-PRINTER" : InstallationFolder(); }
    static std::wstring Data() { return *root_ + L"\\TarnwickPrinter"; }
    static std::wstring Spool() { return Data() + L"\\Spool"; }

    // Prints the bytes to the queue and finds them in a .prn of the spool folder.
    static void ExpectCaptured(const std::string& bytes) {
        ASSERT_NE(PrintRaw(kQueueName, L"package test.ps", bytes), 0u) << GetLastError();
        bool found = false;
        for (const std::wstring& name : ListFolder(Spool())) {
            found = found || (name.size() > 4 && name.substr(name.size() - 4) == L".prn" &&
                              ReadFileBytes(Spool() + L"\\" + name) == bytes);
        }
        EXPECT_TRUE(found) << "no .prn holds the printed bytes";
    }

    // Nothing of the package is on the machine but the data folder (and
    // TWSetup.exe's report of a failed install).
    static void ExpectNothingInstalled() {
        EXPECT_TRUE(InstalledProducts().empty());
        for (const std::wstring& name : ListFolder(Folder())) EXPECT_EQ(name, L"install.log");
        EXPECT_FALSE(KeyExists(kOptionsKey, KEY_WOW64_64KEY));
        EXPECT_FALSE(QueueExists());
        EXPECT_FALSE(MonitorRegistered());
        EXPECT_FALSE(KeyExists(kPortsKey));
        EXPECT_FALSE(PathExists(SystemFolder() + L"\\TWPortMon.dll"));
        EXPECT_FALSE(KeyExists(kSettingsKey, KEY_WOW64_64KEY));
    }

    // The queue's comment, which an administrator may change (first, when given).
    static std::wstring QueueComment(const wchar_t* change = nullptr) {
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        UniquePrinter printer;
        DWORD needed = 0;
        if (!OpenPrinterW(const_cast<LPWSTR>(kQueueName), printer.put(), &defaults)) return L"(no queue)";
        GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed + sizeof(PRINTER_INFO_2W));
        auto& info = *reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
        if (!GetPrinterW(printer.get(), 2, buffer.data(), needed, &needed)) return L"(unreadable)";
        info.pComment = change != nullptr ? const_cast<LPWSTR>(change) : info.pComment;
        info.pSecurityDescriptor = nullptr;
        if (change != nullptr && !SetPrinterW(printer.get(), 2, buffer.data(), 0)) return L"(unchanged)";
        return info.pComment != nullptr ? info.pComment : L"";
    }

    static std::wstring* root_;
    static ScopedEnvironment* programData_;
};

std::wstring* Package::root_ = nullptr;
ScopedEnvironment* Package::programData_ = nullptr;

// Refused by its launch condition, or by Windows Installer itself where it
// cannot run the package's machine at all (an ARM64 package on x64).
TEST_F(Package, Step0_PackageOfTheOtherMachineIsRefused) {
    EXPECT_NE(Install(TW_OTHER_PACKAGE), 0u);
    ExpectNothingInstalled();
}

TEST_F(Package, Step1_QuietInstallPutsEverythingInPlace) {
    ASSERT_EQ(Install(TW_PACKAGE), 0u);

    for (const wchar_t* file : {L"TWSetup.exe", L"TWPortMon.dll"}) {
        EXPECT_EQ(ReadFileBytes(Folder() + L"\\" + file), ReadFileBytes(ModuleFolder() + L"\\" + file)) << AsUtf8(file);
    }
    // The monitor looks for the editor beside the installed files.
    EXPECT_EQ(ReadSetting(L"EditorPath"), Folder() + L"\\TARNWICK-PRINTER.exe");
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 1u);
    EXPECT_TRUE(KeyExists(std::wstring(kPortsKey) + L"\\TARNWICK:"));

    const ProcessResult status = RunProcess(L"\"" + Folder() + L"\\TWSetup.exe\" status");
    EXPECT_EQ(status.exitCode, 0u);
    EXPECT_EQ(SplitLines(status.output), Utf8Lines({L"プリンタ TARNWICK-PRINTER : あり",
                                                    L"ポートモニタ TWPortMon : あり (TWPortMon.dll)",
                                                    L"データフォルダ : " + Data()}));
}

TEST_F(Package, Step2_PrintedJobLandsInTheSpoolFolder) {
    ExpectCaptured("%!PS-Adobe-3.0\n%%Title: installed from the package\nshowpage\n");
}

// The launch, switched off by hand, stays off through the upgrade.
TEST_F(Package, Step3_NextVersionReplacesIt) {
    ASSERT_EQ(RunProcess(L"\"" + Folder() + L"\\TWSetup.exe\" noautolaunch").exitCode, 0u);
    ASSERT_EQ(Install(TW_NEXT_PACKAGE), 0u);

    EXPECT_EQ(InstalledProducts().size(), 1u);
    EXPECT_EQ(FileProperties(Folder() + L"\\TWSetup.exe")["FileVersion"], TW_NEXT_VERSION);
    EXPECT_EQ(FileProperties(SystemFolder() + L"\\TWPortMon.dll")["FileVersion"], TW_NEXT_VERSION);
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u);
    ExpectCaptured("%!PS-Adobe-3.0\n%%Title: printed after the upgrade\nshowpage\n");
}

TEST_F(Package, Step4_RemovalKeepsTheDataFolder) {
    ASSERT_EQ(Remove(TW_NEXT_PACKAGE), 0u);

    ExpectNothingInstalled();
    EXPECT_FALSE(PathExists(Folder()));
    EXPECT_EQ(ListFolder(Spool()).size(), 6u);  // both jobs: .prn, .json, .ready
    // Install, upgrade (under Wine also the older version's uninstall), removal.
    std::vector<std::string> runs;  // each run's heading
    for (const std::string& line : SplitLines(ReadFileBytes(ReportFile()))) {
        if (line.rfind("== ", 0) == 0) runs.push_back(line);
    }
    const std::wstring install = L"== TARNWICK-PRINTER インストール ==", uninstall = L"== TARNWICK-PRINTER アンインストール ==";
    EXPECT_EQ(runs, Utf8Lines({install, uninstall, install, uninstall}));
}

// A folder outside Program Files is refused before anything changes; one
// below it is taken. (Before Step9: Wine's rolled-back removal leaves the
// components registered to a product it no longer lists, and a later
// removal keeps them.)
TEST_F(Package, Step4a_InstallationFolderOnlyBelowProgramFiles) {
    // On another drive, beside the package: outside Program Files in either
    // machine's prefix (the table test above covers the look-alikes).
    const std::wstring package = WindowsPath(TW_PACKAGE);
    const std::wstring refused = package.substr(0, package.rfind(L'\\')) + L"\\TW Refused";
    EXPECT_NE(Install(TW_PACKAGE, L"INSTALLFOLDER=\"" + refused + L"\""), 0u);
    ExpectNothingInstalled();
    EXPECT_FALSE(PathExists(refused));

    const std::wstring allowed = InstallationFolder() + L" Other";
    ASSERT_EQ(Install(TW_PACKAGE, L"INSTALLFOLDER=\"" + allowed + L"\""), 0u);
    EXPECT_EQ(ReadSetting(L"EditorPath"), allowed + L"\\TARNWICK-PRINTER.exe");
    // Wine's msiexec resolves the folder of a removal from the tables alone
    // (Windows from where the components are installed): it is given again.
    EXPECT_EQ(Msiexec(L"/x \"" + WindowsPath(TW_PACKAGE) + L"\" /qn INSTALLFOLDER=\"" + allowed + L"\""), 0u);
    ExpectNothingInstalled();
    EXPECT_FALSE(PathExists(allowed));
}

TEST_F(Package, Step5_PropertiesBecomeInstallOptionsAndStayForUpgrades) {
    ASSERT_EQ(Install(TW_PACKAGE, L"NOPRINTER=1 NOAUTOLAUNCH=1 PORT=TWPACKAGE:"), 0u);
    for (const bool upgraded : {false, true}) {
        if (upgraded) ASSERT_EQ(Install(TW_NEXT_PACKAGE), 0u);  // without properties
        EXPECT_FALSE(QueueExists()) << upgraded;
        EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u) << upgraded;
        EXPECT_TRUE(KeyExists(std::wstring(kPortsKey) + L"\\TWPACKAGE:")) << upgraded;
    }
    EXPECT_EQ(Remove(TW_NEXT_PACKAGE), 0u);
}

TEST_F(Package, Step6_FailingInstallLeavesNothing) {
    // install exits 3: no queue on a driver that cannot be installed.
    EXPECT_NE(Install(TW_PACKAGE, L"DRIVER=\"TW No Such Driver\""), 0u);

    ExpectNothingInstalled();
}

// Windows removes the older version of an upgrade with UPGRADINGPRODUCTCODE
// set (Wine's msiexec sets nothing, so the test passes it): the removal
// leaves the installation as it stands, and the new version's install takes
// it over, the queue as the administrator left it, the monitor brought up to date.
TEST_F(Package, Step7_UpgradeTakesTheInstallationOver) {
    ASSERT_EQ(Install(TW_PACKAGE, L"NOAUTOLAUNCH=1"), 0u);
    const std::wstring changed = L"changed by the administrator";
    ASSERT_EQ(QueueComment(changed.c_str()), changed);
    const std::wstring next =
        Query(OpenSession(TW_NEXT_PACKAGE).get(), L"SELECT `Property`, `Value` FROM `Property`")[L"ProductCode"];
    ASSERT_EQ(Msiexec(L"/x \"" + WindowsPath(TW_PACKAGE) + L"\" /qn UPGRADINGPRODUCTCODE=" + next), 0u);
    EXPECT_TRUE(InstalledProducts().empty());
    EXPECT_TRUE(MonitorRegistered());
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u);

    ASSERT_EQ(Install(TW_NEXT_PACKAGE, L"NOAUTOLAUNCH=1"), 0u);
    EXPECT_EQ(QueueComment(), changed);
    EXPECT_EQ(FileProperties(SystemFolder() + L"\\TWPortMon.dll")["FileVersion"], TW_NEXT_VERSION);
    ExpectCaptured("%!PS-Adobe-3.0\n%%Title: printed on the queue taken over\nshowpage\n");
}

TEST_F(Package, Step8_RepairRestoresTheFilesAndRunsNoInstall) {
    // install would write this value again, uninstall delete it.
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"InstallDir", REG_SZ, L"unchanged", 20), 0);
    ASSERT_TRUE(DeleteFileW((Folder() + L"\\TWPortMon.dll").c_str()));
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    // What msiexec /fa calls (Wine's msiexec /fa hands it the package's path and fails).
    EXPECT_EQ(MsiReinstallProductW(products[0].c_str(), REINSTALLMODE_FILEREPLACE), 0u);

    EXPECT_EQ(FileProperties(Folder() + L"\\TWPortMon.dll")["FileVersion"], TW_NEXT_VERSION);
    EXPECT_EQ(ReadSetting(L"InstallDir"), L"unchanged");
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u);
}

// The next version's package for the tests fails its removal right after
// TWSetup.exe uninstall when TW_FAIL_REMOVAL is set: the rollback installs
// again, with the options the package remembers.
TEST_F(Package, Step9_FailedRemovalPutsTheInstallationBack) {
    EXPECT_NE(Msiexec(L"/x \"" + WindowsPath(TW_NEXT_PACKAGE) + L"\" /qn TW_FAIL_REMOVAL=1"), 0u);

    // (Wine's rollback also drops the product's registration, which Windows keeps.)
    EXPECT_TRUE(PathExists(Folder() + L"\\TWSetup.exe"));
    EXPECT_TRUE(MonitorRegistered());
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u);
    ExpectCaptured("%!PS-Adobe-3.0\n%%Title: printed after a failed removal\nshowpage\n");
}

// An installation made by hand has no product: the package's first install
// takes it over, and when that fails its rollback leaves it standing.
TEST_F(Package, Step10_FailedFirstInstallLeavesAnInstallationMadeByHand) {
    RemoveLeftovers();
    ASSERT_EQ(RunProcess(L"\"" + ModuleFolder() + L"\\TWSetup.exe\" install /noprinter /noautolaunch").exitCode, 0u);
    ASSERT_TRUE(InstalledProducts().empty());
    const std::wstring editorByHand = ReadSetting(L"EditorPath");

    EXPECT_NE(Install(TW_PACKAGE, L"DRIVER=\"TW No Such Driver\""), 0u);
    EXPECT_TRUE(InstalledProducts().empty());
    EXPECT_TRUE(MonitorRegistered());
    EXPECT_TRUE(PathExists(SystemFolder() + L"\\TWPortMon.dll"));
    EXPECT_TRUE(KeyExists(kPortsKey));
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u);
    EXPECT_EQ(ReadSetting(L"EditorPath"), editorByHand);
    RemoveLeftovers();
}

}  // namespace
