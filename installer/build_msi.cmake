# cmake -DWIXL=... -DMSIBUILD=... -DMSIINFO=... -DSOURCE=TarnwickPrinter.wxs
#       -DVERSION=1.2.3 -DPRODUCT_CODE=... -DUPGRADE_CODE=... -DARCH=x64|arm64
#       -DSETUP_EXE=... -DMONITOR_DLL=... -DOUTPUT=TarnwickPrinter-1.2.3-x64.msi
#       [-DSCRIPT=more.cmake] [-DSIGN_SCRIPT=sign.cmake] -P build_msi.cmake
# Builds the package with wixl (0.101), then corrects with msibuild what wixl
# cannot write itself, and signs it through SIGN_SCRIPT (when the
# administrator named a certificate, see cmake/sign.cmake).
get_filename_component(folder ${OUTPUT} DIRECTORY)
set(work ${OUTPUT}.partial)
file(REMOVE ${work})

macro(check what)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed:\n${output}")
  endif()
endmacro()

# msibuild -q QUERY on the package being built. (A query goes in a variable:
# the semicolons of a value would split a CMake argument list.)
function(update query)
  execute_process(COMMAND ${MSIBUILD} ${work} -q "${query}" RESULT_VARIABLE result
    OUTPUT_VARIABLE output ERROR_VARIABLE output)
  check("${query}")
endfunction()

# wixl finds a source file only by a path relative to its working directory.
file(RELATIVE_PATH setup ${folder} ${SETUP_EXE})
file(RELATIVE_PATH monitor ${folder} ${MONITOR_DLL})
if(ARCH STREQUAL "arm64")
  set(native ARM64)
  set(machine ARM64)
  set(other x64)
else()
  set(native AMD64)
  set(machine x64)
  set(other arm64)
endif()
# Each machine's package has component codes of its own: a component code
# stands for one set of files, and the two packages hold different binaries.
set(guids "")
foreach(component SetupProgram PortMonitor RememberedOptions ReportFolder)
  string(UUID guid NAMESPACE ${UPGRADE_CODE} NAME "TARNWICK-PRINTER component ${component} ${ARCH}" TYPE SHA1 UPPER)
  list(APPEND guids -D ${component}Guid=${guid})
endforeach()
# wixl knows no ARM64: the package is built as x64 (64-bit components,
# ProgramFiles64Folder), and its template names ARM64 below.
execute_process(COMMAND ${WIXL} --arch x64 -D Version=${VERSION}
    -D ProductCode=${PRODUCT_CODE} -D UpgradeCode=${UPGRADE_CODE}
    -D NativeArch=${native} -D PackageMachine=${machine} -D OtherPackageArch=${other}
    -D SetupExe=${setup} -D MonitorDll=${monitor} ${guids} -o ${work} ${SOURCE}
  WORKING_DIRECTORY ${folder} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
check(wixl)
if(ARCH STREQUAL "arm64")
  execute_process(COMMAND ${MSIBUILD} ${work} -s "TARNWICK-PRINTER virtual printer" "TARNWICK-PRINTER" "Arm64;1033"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  check("msibuild -s")
endif()

# wixl knows no rollback actions (it writes Execute="rollback" as an immediate
# action) and runs no program from the Binary table. The rollback of the
# install runs the copy of TWSetup.exe stored in the package: type 2 (program
# from the Binary table) + 0x40 (exit code ignored) + 0x100 (rollback only)
# + 0x400 (deferred) + 0x800 (no impersonation). The rollback of the
# uninstall runs the installed one: type 18 (program among the files) with
# the same flags.
update("UPDATE `CustomAction` SET `Type` = 3394, `Source` = 'TWSetupForRollback' WHERE `Action` = 'TwRollbackInstall'")
update("UPDATE `CustomAction` SET `Type` = 3410 WHERE `Action` = 'TwRollbackUninstall'")
# Nor error actions (type 19: the installation stops with the message in
# Target); the .wxs writes the refusal of a folder as a property action.
update("UPDATE `CustomAction` SET `Type` = 19, `Source` = '' WHERE `Action` = 'TwRefuseFolder'")

# wixl ends a registry key with a backslash, ignores the key's removal at
# uninstall ('*': created at install, deleted with its values at uninstall)
# and knows no RemoveFile: an install.log that earlier versions kept in the
# installation folder goes with the files, so that the folder goes too.
set(options_key "SOFTWARE\\TARNWICK-PRINTER Installer")
update("UPDATE `Registry` SET `Key` = '${options_key}' WHERE `Component_` = 'RememberedOptions'")
update("INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('RememberedOptionsKey', 2, '${options_key}', '*', 'RememberedOptions')")
update("INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('InstallLog', 'SetupProgram', 'install.log', 'INSTALLFOLDER', 2)")

# wixl leaves the files' versions out of the File table.
update("UPDATE `File` SET `Version` = '${VERSION}.0' WHERE `File` = 'TWSetup.exe' OR `File` = 'TWPortMon.dll'")

# The properties of the command line reach the elevated part of a per-machine
# installation only when they are listed as secure; wixl lists only its own.
execute_process(COMMAND ${MSIINFO} export ${work} Property RESULT_VARIABLE result
  OUTPUT_VARIABLE output ERROR_VARIABLE output)
check("msiinfo export")
if(NOT output MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
  message(FATAL_ERROR "wixl wrote no SecureCustomProperties:\n${output}")
endif()
update("UPDATE `Property` SET `Value` = '${CMAKE_MATCH_1};DRIVER;PORT;NOPRINTER;NOAUTOLAUNCH' WHERE `Property` = 'SecureCustomProperties'")

if(SCRIPT)
  include(${SCRIPT})
endif()

if(SIGN_SCRIPT)
  set(FILE ${work})
  include(${SIGN_SCRIPT})
endif()

file(RENAME ${work} ${OUTPUT})
