// The decisions about rights as plain functions of plain data: the Users
// entry, what a folder inherits, a planted folder taken back, who else may
// write, and which queues keep the monitor's ports.
#include <gtest/gtest.h>

#include "setup/setup.h"
#include "tests/support/files.h"

namespace {

constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
constexpr wchar_t kAuthenticatedUsers[] = L"S-1-5-11";
constexpr wchar_t kCreatorOwner[] = L"S-1-3-0";
constexpr BYTE kOICI = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

AccessEntry Allow(BYTE flags, ACCESS_MASK mask, const std::wstring& sid) {
    return {ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid, {}};
}
AccessEntry Deny(BYTE flags, ACCESS_MASK mask, const std::wstring& sid) {
    return {ACCESS_DENIED_ACE_TYPE, flags, mask, sid, {}};
}

// One line per entry, to compare lists and to read a failure.
std::vector<std::string> Text(const std::vector<AccessEntry>& entries) {
    std::vector<std::string> lines;
    for (const AccessEntry& e : entries) {
        char line[160];
        snprintf(line, sizeof(line), "%u %02X %08lX %ls", e.type, e.flags, static_cast<unsigned long>(e.mask),
                 e.sid.c_str());
        lines.push_back(line);
    }
    return lines;
}

const std::vector<std::wstring> kTrusted = {kAdministratorsSid, kSystemSid, kTrustedInstallerSid};

TEST(UsersEntry, ExplicitBeforeInheritedOnceOnly) {
    const std::vector<AccessEntry> dacl = {Deny(0, FILE_WRITE_DATA, kUser), Allow(kOICI, FILE_ALL_ACCESS, kSystemSid),
                                           Allow(kOICI | INHERITED_ACE, FILE_ALL_ACCESS, kAdministratorsSid)};
    const std::vector<AccessEntry> once = WithUsersEntry(dacl, UsersEntry::OnFolder);
    EXPECT_EQ(Text(once), Text({dacl[0], dacl[1], Allow(0, kFolderUseRights, kUsersSid), dacl[2]}));
    EXPECT_EQ(Text(WithUsersEntry(once, UsersEntry::OnFolder)), Text(once)) << "a second run adds nothing";

    // Below the three folders the entry is what inheritance leaves there, and
    // an entry of the Users group with other rights stays as it is.
    const std::vector<AccessEntry> file = {Allow(INHERITED_ACE, FILE_GENERIC_READ, kUsersSid)};
    EXPECT_EQ(Text(WithUsersEntry(file, UsersEntry::InheritedByFile)),
              Text({file[0], Allow(INHERITED_ACE, kModifyRights, kUsersSid)}));
    EXPECT_EQ(Text(WithUsersEntry({}, UsersEntry::InheritedByFolder)),
              Text({Allow(kOICI | INHERITED_ACE, kModifyRights, kUsersSid)}));
}

// A folder made in ProgramData, as Windows sets up ProgramData's rights.
TEST(Inheritance, WhatAFolderAndAFileTakeFromTheirParent) {
    const std::vector<AccessEntry> parent = {
        Allow(kOICI, FILE_ALL_ACCESS, kSystemSid),
        Allow(kOICI | INHERIT_ONLY_ACE, GENERIC_ALL, kCreatorOwner),
        Allow(CONTAINER_INHERIT_ACE, FILE_WRITE_DATA | FILE_APPEND_DATA, kUsersSid),
        Allow(OBJECT_INHERIT_ACE, FILE_GENERIC_READ, kAuthenticatedUsers),
        Allow(kOICI | NO_PROPAGATE_INHERIT_ACE, GENERIC_READ, kUser),
        Allow(0, FILE_ALL_ACCESS, kUser),  // the parent's own
    };
    EXPECT_EQ(Text(InheritedEntries(parent, true, kAdministratorsSid, kSystemSid)),
              Text({
                  Allow(kOICI | INHERITED_ACE, FILE_ALL_ACCESS, kSystemSid),
                  Allow(INHERITED_ACE, FILE_ALL_ACCESS, kAdministratorsSid),  // CREATOR OWNER, for the owner
                  Allow(kOICI | INHERIT_ONLY_ACE | INHERITED_ACE, GENERIC_ALL, kCreatorOwner),
                  Allow(CONTAINER_INHERIT_ACE | INHERITED_ACE, FILE_WRITE_DATA | FILE_APPEND_DATA, kUsersSid),
                  Allow(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE, FILE_GENERIC_READ, kAuthenticatedUsers),
                  Allow(INHERITED_ACE, FILE_GENERIC_READ, kUser),  // not handed on further
              }));
    EXPECT_EQ(Text(InheritedEntries(parent, false, kUser, kSystemSid)),
              Text({
                  Allow(INHERITED_ACE, FILE_ALL_ACCESS, kSystemSid),
                  Allow(INHERITED_ACE, FILE_ALL_ACCESS, kUser),
                  Allow(INHERITED_ACE, FILE_GENERIC_READ, kAuthenticatedUsers),
                  Allow(INHERITED_ACE, FILE_GENERIC_READ, kUser),
              }));
}

// Whatever the folder held (a user's entries, blocked inheritance), the
// three folders get only what they inherit and the Users entries of their role.
TEST(Designed, TheThreeFoldersKeepNothingButTheirDesign) {
    const std::vector<AccessEntry> parent = {Allow(kOICI, FILE_ALL_ACCESS, kSystemSid),
                                             Allow(kOICI | INHERIT_ONLY_ACE, FILE_ALL_ACCESS, kCreatorOwner)};
    const ObjectSecurity data = DesignedSecurity(parent, kSystemSid, FolderRole::Data);
    EXPECT_EQ(data.owner, kAdministratorsSid);
    EXPECT_EQ(data.daclControl, SE_DACL_AUTO_INHERITED) << "no longer protected from inheritance";
    const std::vector<AccessEntry> inherited = {
        Allow(kOICI | INHERITED_ACE, FILE_ALL_ACCESS, kSystemSid),
        Allow(INHERITED_ACE, FILE_ALL_ACCESS, kAdministratorsSid),
        Allow(kOICI | INHERIT_ONLY_ACE | INHERITED_ACE, FILE_ALL_ACCESS, kCreatorOwner),
    };
    std::vector<AccessEntry> expected = {
        Allow(0, kFolderUseRights, kUsersSid),
        Allow(OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | NO_PROPAGATE_INHERIT_ACE, kModifyRights, kUsersSid)};
    expected.insert(expected.end(), inherited.begin(), inherited.end());
    EXPECT_EQ(Text(data.dacl), Text(expected));
    const ObjectSecurity spool = DesignedSecurity(parent, kSystemSid, FolderRole::Work);
    expected[1] = Allow(kOICI | INHERIT_ONLY_ACE, kModifyRights, kUsersSid);
    EXPECT_EQ(Text(spool.dacl), Text(expected));
}

// Users may list and add in the three folders and change what they hold,
// but nothing lets them delete, rename or re-grant one of the folders, not
// even Spool through what it inherits from the data folder.
TEST(Designed, NoUserCanReplaceTheThreeFolders) {
    const std::vector<AccessEntry> programData = {
        Allow(kOICI, FILE_ALL_ACCESS, kSystemSid), Allow(kOICI, FILE_ALL_ACCESS, kAdministratorsSid),
        Allow(kOICI | INHERIT_ONLY_ACE, GENERIC_ALL, kCreatorOwner),
        Allow(kOICI, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, kUsersSid),
        Allow(CONTAINER_INHERIT_ACE, FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES,
              kUsersSid)};
    const ObjectSecurity data = DesignedSecurity(programData, kSystemSid, FolderRole::Data);
    const ObjectSecurity spool = DesignedSecurity(data.dacl, kSystemSid, FolderRole::Work);
    for (const ObjectSecurity* folder : {&data, &spool}) {
        EXPECT_FALSE(LetsOthersReplace(*folder, kTrusted));
        EXPECT_FALSE(LetsOthersTakeOver(*folder, kTrusted));
        EXPECT_TRUE(LetsOthersWrite(*folder, kTrusted)) << "Users add files and folders";
    }
    // What is inside is theirs to change: a job in Spool, a folder below it, a file in the data folder.
    const ObjectSecurity job = {kSystemSid, L"", true, 0, InheritedEntries(spool.dacl, false, kSystemSid, L"")};
    const ObjectSecurity below = {kSystemSid, L"", true, 0, InheritedEntries(spool.dacl, true, kSystemSid, L"")};
    const ObjectSecurity log = {kSystemSid, L"", true, 0, InheritedEntries(data.dacl, false, kSystemSid, L"")};
    for (const ObjectSecurity* inside : {&job, &below, &log}) EXPECT_TRUE(LetsOthersReplace(*inside, kTrusted));
}

// Who owns an object and which entries apply to it decide whether anyone
// but administrators may change it, take it over, or replace what is below it.
TEST(OthersWrite, OwnerAndEntriesThatApplyDecide) {
    const struct {
        const char* name;
        std::wstring owner;
        bool hasDacl;
        std::vector<AccessEntry> dacl;
        bool othersWrite, takeOver, replace;
    } cases[] = {
        {"administrators, SYSTEM, TrustedInstaller", kTrustedInstallerSid, true,
         {Allow(kOICI, FILE_ALL_ACCESS, kAdministratorsSid), Allow(kOICI, GENERIC_ALL, kSystemSid),
          Allow(0, FILE_ALL_ACCESS, kTrustedInstallerSid), Allow(kOICI, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, kUsersSid)},
         false, false, false},
        {"a user's own folder", kUser, true, {Allow(0, FILE_GENERIC_READ, kUsersSid)}, true, true, true},
        {"no owner read", L"", true, {}, true, true, true},
        {"no DACL", kAdministratorsSid, false, {}, true, true, true},
        {"Authenticated Users modify (C:\\Tools)", kAdministratorsSid, true,
         {Allow(kOICI | INHERITED_ACE, kModifyRights, kAuthenticatedUsers)}, true, false, true},
        {"append (a subfolder) only, as on C:\\", kAdministratorsSid, true, {Allow(0, FILE_APPEND_DATA, kUsersSid)},
         true, false, false},
        {"delete only", kAdministratorsSid, true, {Allow(0, DELETE, kUser)}, true, false, true},
        {"delete what it holds", kAdministratorsSid, true, {Allow(0, FILE_DELETE_CHILD, kUser)}, true, false, true},
        {"re-grant", kAdministratorsSid, true, {Allow(0, WRITE_DAC, kUser)}, true, true, true},
        {"take ownership", kAdministratorsSid, true, {Allow(0, WRITE_OWNER, kUser)}, true, true, true},
        {"generic write", kAdministratorsSid, true, {Allow(0, GENERIC_WRITE, kUsersSid)}, true, false, false},
        {"for what is below only", kAdministratorsSid, true, {Allow(kOICI | INHERIT_ONLY_ACE, kModifyRights, kUsersSid)},
         false, false, false},
        {"a deny grants nothing", kAdministratorsSid, true, {Deny(0, FILE_ALL_ACCESS, kUsersSid)}, false, false, false},
        {"OWNER RIGHTS of a trusted owner", kSystemSid, true, {Allow(0, FILE_ALL_ACCESS, L"S-1-3-4")}, false, false,
         false},
    };
    for (const auto& c : cases) {
        const ObjectSecurity security = {c.owner, L"", c.hasDacl, 0, c.dacl};
        EXPECT_EQ(LetsOthersWrite(security, kTrusted), c.othersWrite) << c.name;
        EXPECT_EQ(LetsOthersTakeOver(security, kTrusted), c.takeOver) << c.name;
        EXPECT_EQ(LetsOthersReplace(security, kTrusted), c.replace) << c.name;
        EXPECT_EQ(IsTrustedOwner(c.owner, kTrusted), c.owner != kUser && !c.owner.empty()) << c.name;
    }
    const ObjectSecurity own = {kUser, L"", true, 0, {Allow(0, FILE_ALL_ACCESS, kUser)}};
    EXPECT_FALSE(LetsOthersWrite(own, {kAdministratorsSid, kUser})) << "the administrator running the tool";
}

// The tool's folder and every folder above it: the first level from the
// volume root down that lets anyone else put something in place of the
// levels below, or for the last change what is in it, is the one refused.
const ObjectSecurity kWindowsRoot = {kTrustedInstallerSid, L"", true, 0,
                                     {Allow(kOICI, FILE_ALL_ACCESS, kAdministratorsSid),
                                      Allow(kOICI | INHERIT_ONLY_ACE, kModifyRights, kAuthenticatedUsers),
                                      Allow(0, FILE_APPEND_DATA, kAuthenticatedUsers)}};
const ObjectSecurity kClosed = {kAdministratorsSid, L"", true, 0, {Allow(kOICI, FILE_ALL_ACCESS, kSystemSid)}};
const ObjectSecurity kDeletable = {kAdministratorsSid, L"", true, 0, {Allow(0, DELETE, kUsersSid)}};

TEST(FolderChain, FirstLevelThatLetsOthersIn) {
    const ObjectSecurity addOnly = {kAdministratorsSid, L"", true, 0, {Allow(0, FILE_WRITE_DATA, kUsersSid)}};
    const ObjectSecurity owned = {kUser, L"", true, 0, {}};
    const struct {
        const char* name;
        std::vector<FolderLevel> levels;
        std::wstring refused;
    } cases[] = {
        {"Program Files on a Windows root", {{L"C:\\", true, kWindowsRoot}, {L"C:\\PF", true, kClosed}, {L"C:\\PF\\TW", true, kClosed}}, L""},
        {"users may add files to the folder itself", {{L"C:\\", true, kClosed}, {L"C:\\TW", true, addOnly}}, L"C:\\TW"},
        {"users may add to a folder above", {{L"C:\\", true, kClosed}, {L"C:\\A", true, addOnly}, {L"C:\\A\\TW", true, kClosed}}, L""},
        {"a folder above can be renamed", {{L"D:\\", true, kClosed}, {L"D:\\A", true, kDeletable}, {L"D:\\A\\TW", true, kClosed}}, L"D:\\A"},
        {"a user owns the root", {{L"D:\\", true, owned}, {L"D:\\TW", true, kClosed}}, L"D:\\"},
        {"a level that could not be read", {{L"C:\\", true, kClosed}, {L"C:\\TW", false, {}}}, L"C:\\TW"},
    };
    for (const auto& c : cases) EXPECT_EQ(FirstOpenLevel(c.levels, kTrusted), c.refused) << c.name;
}

// The walk reads each level, from the volume root down, through the call it
// is given (here: the volume root as Windows sets it, and Users allowed to
// delete the folder "open"): the real folders, their security staged.
bool ReadAsWindowsWould(HANDLE object, ObjectSecurity& security) {
    const std::wstring path = FinalPathOf(object);
    const bool open = path.size() > 5 && path.substr(path.size() - 5) == L"\\open";
    security = path.size() <= 7 ? kWindowsRoot : open ? kDeletable : kClosed;
    return true;
}

TEST(FolderChain, EachLevelFromTheVolumeRootReadThroughTheCall) {
    const std::wstring folder = tw_test::MakeTempFolder(L"chain");
    const std::wstring below = folder + L"\\open\\tw";
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\open").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(below.c_str(), nullptr));
    std::vector<FolderLevel> levels;
    EXPECT_TRUE(WalkFolderChain(below, ReadAsWindowsWould, levels).valid());
    ASSERT_GE(levels.size(), 3u);
    EXPECT_EQ(levels.front().path, below.substr(0, 3));
    EXPECT_EQ(levels.back().path, below);
    std::wstring refused;
    EXPECT_FALSE(OpenSafeFolder(below, ReadAsWindowsWould, refused).valid());
    EXPECT_EQ(refused, folder + L"\\open");
    EXPECT_TRUE(OpenSafeFolder(folder, ReadAsWindowsWould, refused).valid()) << "the levels above are closed";
    tw_test::RemoveTree(folder);
}

TEST(Uninstall, QueuesThatKeepTheMonitorsPorts) {
    const std::vector<QueuePorts> queues = {
        {L"TARNWICK-PRINTER", L"TARNWICK:"}, {L"Own copy", L"tarnwick:"}, {L"Pooled", L"LPT1:, TW2:"},
        {L"Other", L"LPT1:"},                {L"Blank", L""},
    };
    EXPECT_EQ(QueuesOnPorts(queues, {L"TARNWICK:", L"TW2:"}),
              (std::vector<std::wstring>{L"TARNWICK-PRINTER", L"Own copy", L"Pooled"}));
    EXPECT_EQ(QueuesOnPorts(queues, {}), std::vector<std::wstring>{});
}

}  // namespace
