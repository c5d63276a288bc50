# cmake -DFILE=<.exe, .dll or .msi> -P sign.cmake   (or include()d with FILE set)
# Signs FILE in place (Authenticode, SHA-256, with Debian's osslsigncode) when
# the administrator names a certificate in the environment of the build:
#   TW_SIGN_PKCS12          the PKCS#12 file: code-signing certificate, its key, its chain
#   TW_SIGN_PASSWORD_FILE   a file holding the PKCS#12 file's password
#   TW_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamping server, so that
#                           the signature outlives the certificate
# Without the first two FILE stays unsigned (scripts/release.sh says so);
# with only one of them the build stops rather than ship unsigned files.
set(tw_sign_pkcs12 "$ENV{TW_SIGN_PKCS12}")
set(tw_sign_password "$ENV{TW_SIGN_PASSWORD_FILE}")
set(tw_sign_timestamp "$ENV{TW_SIGN_TIMESTAMP_URL}")
if(tw_sign_pkcs12 STREQUAL "" AND tw_sign_password STREQUAL "")
  return()
endif()
if(tw_sign_pkcs12 STREQUAL "" OR tw_sign_password STREQUAL "")
  message(FATAL_ERROR "Signing needs both TW_SIGN_PKCS12 and TW_SIGN_PASSWORD_FILE")
endif()
find_program(TW_OSSLSIGNCODE osslsigncode)
if(NOT TW_OSSLSIGNCODE)
  message(FATAL_ERROR "Signing needs osslsigncode (scripts/deps.sh installs it)")
endif()
set(tw_sign_options)
if(NOT tw_sign_timestamp STREQUAL "")
  set(tw_sign_options -ts ${tw_sign_timestamp})
endif()
# osslsigncode writes a new file: the signed one replaces FILE only once complete.
file(REMOVE ${FILE}.signed)
execute_process(COMMAND ${TW_OSSLSIGNCODE} sign -pkcs12 ${tw_sign_pkcs12} -readpass ${tw_sign_password}
    -h sha256 -n TARNWICK-PRINTER ${tw_sign_options} -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE tw_sign_result OUTPUT_VARIABLE tw_sign_output ERROR_VARIABLE tw_sign_output)
if(NOT tw_sign_result EQUAL 0)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "Signing ${FILE} failed:\n${tw_sign_output}")
endif()
file(RENAME ${FILE}.signed ${FILE})
