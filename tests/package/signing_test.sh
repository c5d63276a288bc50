#!/usr/bin/env bash
# tests/package/signing_test.sh SOURCE_DIR TWSetup.exe TWPortMon.dll ARCH
# Signing as the build does it, with a certificate chain made here and thrown
# away (a CA and a code-signing certificate it issued, in a PKCS#12 file): the
# deliverables are signed before they go into the package and the package
# after; each signature holds against the CA; the package carries the signed
# binaries, its rollback copy of TWSetup.exe included; a changed byte breaks
# a signature; half a configuration stops the build; none leaves the files as
# they were. No network here: a time stamp (TW_SIGN_TIMESTAMP_URL) is not tried.
set -euo pipefail
src=$1 setup=$2 monitor=$3 arch=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
quiet() { "$@" >log 2>&1 || { cat log >&2; return 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Throwaway Test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
quiet openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway Test Signer"
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
quiet openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out signer.pem -days 2 -extfile signer.ext
echo 'a throwaway password' >password
quiet openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile ca.pem -out signer.p12 -passout file:password

mkdir unsigned signed
cp "$setup" "$monitor" unsigned/
cp "$setup" "$monitor" signed/
sign() { cmake -DFILE="$1" -P "$src/cmake/sign.cmake"; }
verify() { osslsigncode verify -CAfile "$2" -in "$1" >verify.log 2>&1; }

# Without a certificate nothing changes; with half of one the build stops.
sign "$work/signed/TWSetup.exe" || fail "an unsigned build failed"
cmp -s unsigned/TWSetup.exe signed/TWSetup.exe || fail "signed without a certificate"
if TW_SIGN_PKCS12=$work/signer.p12 sign "$work/signed/TWSetup.exe" 2>/dev/null; then fail "signed without a password file"; fi
cmp -s unsigned/TWSetup.exe signed/TWSetup.exe || fail "changed without a password file"

export TW_SIGN_PKCS12=$work/signer.p12 TW_SIGN_PASSWORD_FILE=$work/password
for file in TWSetup.exe TWPortMon.dll; do
  quiet sign "$work/signed/$file" || fail "signing $file"
  verify "signed/$file" ca.pem || { cat verify.log >&2; fail "$file does not verify"; }
  grep -q 'SHA256' verify.log || fail "$file not signed with SHA-256"
done
# A changed byte in the code breaks the signature.
cp signed/TWSetup.exe tampered.exe
printf '\x5a' | dd of=tampered.exe bs=1 seek=4200 conv=notrunc status=none
if verify tampered.exe ca.pem; then fail "a changed TWSetup.exe still verifies"; fi

quiet cmake -DWIXL="$(command -v wixl)" -DMSIBUILD="$(command -v msibuild)" -DMSIINFO="$(command -v msiinfo)" \
  -DSOURCE="$src/installer/TarnwickPrinter.wxs" -DVERSION=1.0.0 -DPRODUCT_CODE=00000000-0000-0000-0000-000000000001 \
  -DUPGRADE_CODE=A52FCD03-F27B-43BE-9D0E-C7B0FFDC195A -DARCH="$arch" -DSETUP_EXE="$work/signed/TWSetup.exe" \
  -DMONITOR_DLL="$work/signed/TWPortMon.dll" -DOUTPUT="$work/package.msi" -DSIGN_SCRIPT="$src/cmake/sign.cmake" \
  -P "$src/installer/build_msi.cmake" || fail "building the signed package"
verify package.msi ca.pem || { cat verify.log >&2; fail "the package does not verify"; }
quiet msiextract -C extracted package.msi || fail "msiextract"
for file in TWSetup.exe TWPortMon.dll; do
  found=$(find extracted -name "$file" | head -n 1)
  cmp -s "signed/$file" "$found" || fail "the package holds another $file than the signed one"
done
msiinfo extract package.msi Binary.TWSetupForRollback >rollback.exe 2>log || fail "no rollback copy"
cmp -s signed/TWSetup.exe rollback.exe || fail "the rollback copy of TWSetup.exe is not the signed one"

[ $failures -eq 0 ] && echo "signing: all checks hold"
exit $((failures > 0))
