# Run by build_msi.cmake on the next version's package for the tests: with
# TW_FAIL_REMOVAL set, its removal fails right after the uninstall (TWSetup.exe
# /? exits with 1; type 18 + 0x400 deferred + 0x800 no impersonation), so the
# removal rolls back.
update("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('TwFailRemoval', 3090, 'TWSetup.exe', '/?')")
update("INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('TwFailRemoval', 'TW_FAIL_REMOVAL', 3495)")
