// The installer package the way administrators deploy it: msiexec installs it
// quietly, a document printed afterwards lands in the spool folder, a package
// of the next version replaces it, msiexec removes it, its properties become
// the install's options, and a failing install leaves nothing behind. The
// steps build on each other and run in order. The file properties of the
// deliverables are read back as Explorer shows them.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <strsafe.h>

#include <map>

#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/spooler.h"

namespace {

using namespace tw_test;

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
        StringCchPrintfW(query, 128, L"\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], name);
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
        ASSERT_EQ(AddPostScriptDriver(), static_cast<DWORD>(ERROR_SUCCESS));
    }
    static void TearDownTestSuite() {
        for (const std::wstring& product : InstalledProducts()) Msiexec(L"/x " + product + L" /qn");
        StopSpooler();
        delete programData_;
        RemoveTree(*root_);
        delete root_;
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

    static std::wstring Folder() {
        wchar_t programFiles[MAX_PATH] = {};
        GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
        return std::wstring(programFiles) + L"\\TARNWICK-PRINTER";
    }
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

    // Nothing of the package is on the machine but the data folder.
    static void ExpectNothingInstalled() {
        EXPECT_TRUE(InstalledProducts().empty());
        EXPECT_FALSE(PathExists(Folder()));
        EXPECT_FALSE(QueueExists());
        EXPECT_FALSE(MonitorRegistered());
        EXPECT_FALSE(KeyExists(kPortsKey));
        EXPECT_FALSE(PathExists(SystemFolder() + L"\\TWPortMon.dll"));
        EXPECT_FALSE(KeyExists(kSettingsKey, KEY_WOW64_64KEY));
    }

    static std::wstring* root_;
    static ScopedEnvironment* programData_;
};

std::wstring* Package::root_ = nullptr;
ScopedEnvironment* Package::programData_ = nullptr;

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

TEST_F(Package, Step3_NextVersionReplacesIt) {
    ASSERT_EQ(Install(TW_NEXT_PACKAGE), 0u);

    EXPECT_EQ(InstalledProducts().size(), 1u);
    EXPECT_EQ(FileProperties(Folder() + L"\\TWSetup.exe")["FileVersion"], TW_NEXT_VERSION);
    EXPECT_EQ(FileProperties(SystemFolder() + L"\\TWPortMon.dll")["FileVersion"], TW_NEXT_VERSION);
    ExpectCaptured("%!PS-Adobe-3.0\n%%Title: printed after the upgrade\nshowpage\n");
}

TEST_F(Package, Step4_RemovalKeepsTheDataFolder) {
    ASSERT_EQ(Remove(TW_NEXT_PACKAGE), 0u);

    ExpectNothingInstalled();
    EXPECT_EQ(ListFolder(Spool()).size(), 6u);  // both jobs: .prn, .json, .ready
}

TEST_F(Package, Step5_PropertiesBecomeInstallOptions) {
    ASSERT_EQ(Install(TW_PACKAGE, L"NOPRINTER=1 NOAUTOLAUNCH=1 PORT=TWPACKAGE:"), 0u);

    EXPECT_FALSE(QueueExists());
    EXPECT_EQ(ReadSettingNumber(L"AutoLaunch"), 0u);
    EXPECT_TRUE(KeyExists(std::wstring(kPortsKey) + L"\\TWPACKAGE:"));
    EXPECT_EQ(Remove(TW_PACKAGE), 0u);
}

TEST_F(Package, Step6_FailingInstallLeavesNothing) {
    // install exits 3: no queue on a driver that cannot be installed.
    EXPECT_NE(Install(TW_PACKAGE, L"DRIVER=\"TW No Such Driver\""), 0u);

    ExpectNothingInstalled();
}

}  // namespace
