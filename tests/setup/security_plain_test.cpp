// The decisions about rights as plain functions of plain data: the Users
// entry, what a folder inherits, a planted folder taken back, who else may
// write, and which queues keep the monitor's ports.
#include <gtest/gtest.h>

#include "setup/setup.h"

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
    const std::vector<AccessEntry> once = WithUsersEntry(dacl, UsersEntry::Explicit);
    EXPECT_EQ(Text(once), Text({dacl[0], dacl[1], Allow(kOICI, kModifyRights, kUsersSid), dacl[2]}));
    EXPECT_EQ(Text(WithUsersEntry(once, UsersEntry::Explicit)), Text(once)) << "a second run adds nothing";

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

// A user made the folder before the first install, owns it, blocked
// inheritance and gave themselves and everyone full control, marking one
// entry inherited: all of it goes.
TEST(Reclaim, PlantedFolderKeepsNothingOfTheUsers) {
    const std::vector<AccessEntry> parent = {Allow(kOICI, FILE_ALL_ACCESS, kSystemSid),
                                             Allow(kOICI | INHERIT_ONLY_ACE, FILE_ALL_ACCESS, kCreatorOwner)};
    const ObjectSecurity reclaimed = ReclaimedFolder(parent, kSystemSid);
    EXPECT_EQ(reclaimed.owner, kAdministratorsSid);
    EXPECT_EQ(reclaimed.daclControl, SE_DACL_AUTO_INHERITED) << "no longer protected from inheritance";
    EXPECT_EQ(Text(reclaimed.dacl), Text({
                                        Allow(kOICI, kModifyRights, kUsersSid),
                                        Allow(kOICI | INHERITED_ACE, FILE_ALL_ACCESS, kSystemSid),
                                        Allow(INHERITED_ACE, FILE_ALL_ACCESS, kAdministratorsSid),
                                        Allow(kOICI | INHERIT_ONLY_ACE | INHERITED_ACE, FILE_ALL_ACCESS, kCreatorOwner),
                                    }));
}

// Who owns an object and which entries apply to it decide whether anyone
// but administrators may change it.
TEST(OthersWrite, OwnerAndEntriesThatApplyDecide) {
    const struct {
        const char* name;
        std::wstring owner;
        bool hasDacl;
        std::vector<AccessEntry> dacl;
        bool othersWrite;
    } cases[] = {
        {"administrators, SYSTEM, TrustedInstaller", kTrustedInstallerSid, true,
         {Allow(kOICI, FILE_ALL_ACCESS, kAdministratorsSid), Allow(kOICI, GENERIC_ALL, kSystemSid),
          Allow(0, FILE_ALL_ACCESS, kTrustedInstallerSid), Allow(kOICI, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, kUsersSid)},
         false},
        {"a user's own folder", kUser, true, {Allow(0, FILE_GENERIC_READ, kUsersSid)}, true},
        {"no owner read", L"", true, {}, true},
        {"no DACL", kAdministratorsSid, false, {}, true},
        {"Authenticated Users modify (C:\\Tools)", kAdministratorsSid, true,
         {Allow(kOICI | INHERITED_ACE, kModifyRights, kAuthenticatedUsers)}, true},
        {"append (a subfolder) only", kAdministratorsSid, true, {Allow(0, FILE_APPEND_DATA, kUsersSid)}, true},
        {"delete only", kAdministratorsSid, true, {Allow(0, DELETE, kUser)}, true},
        {"generic write", kAdministratorsSid, true, {Allow(0, GENERIC_WRITE, kUsersSid)}, true},
        {"for what is below only", kAdministratorsSid, true, {Allow(kOICI | INHERIT_ONLY_ACE, kModifyRights, kUsersSid)},
         false},
        {"a deny grants nothing", kAdministratorsSid, true, {Deny(0, FILE_ALL_ACCESS, kUsersSid)}, false},
        {"OWNER RIGHTS of a trusted owner", kSystemSid, true, {Allow(0, FILE_ALL_ACCESS, L"S-1-3-4")}, false},
    };
    for (const auto& c : cases) {
        const ObjectSecurity security = {c.owner, L"", c.hasDacl, 0, c.dacl};
        EXPECT_EQ(LetsOthersWrite(security, kTrusted), c.othersWrite) << c.name;
        EXPECT_EQ(IsTrustedOwner(c.owner, kTrusted), c.owner != kUser && !c.owner.empty()) << c.name;
    }
    const ObjectSecurity own = {kUser, L"", true, 0, {Allow(0, FILE_ALL_ACCESS, kUser)}};
    EXPECT_FALSE(LetsOthersWrite(own, {kAdministratorsSid, kUser})) << "the administrator running the tool";
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
