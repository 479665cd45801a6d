#!/usr/bin/env bash
# test-installer.sh BUILD_DIR SOURCE_DIR: the Windows Installer packages that
# modutil_add_installer makes, as an author makes them against the SDK, signed
# with a throwaway certificate: every signature verifies; then, where this
# host runs the build's programs, silent installs under Wine: SETSHELL=user
# sets the shell and keeps the previous one, a newer version installs over
# the older one and keeps the setting, the removal puts everything back, and
# a package whose core fails its checks fails and leaves nothing.
set -eu
build=$(realpath "$1") source=$2
work=$build/installer-test
. "$source/scripts/lay-out-sdk.sh"
[ -f "$work/dist/sample-shell-1.0.0-$preset.msi" ] || { echo "make sdk wrote no sample-shell-1.0.0-$preset.msi"; exit 1; }

# A certificate of this run only: its key never leaves the build directory.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Shell start-up test signer" \
        -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
package() { # build directory, version, [extra cmake arguments]
  cmake -S "$sdk/sample" -B "$1" -G Ninja --toolchain "$toolchain" -DCMAKE_PREFIX_PATH="$sdk" \
        -DSAMPLE_INSTALLER=ON -DSAMPLE_VERSION="$2" \
        -DMODUTIL_SIGN_CERT="$work/cert.pem" -DMODUTIL_SIGN_KEY="$work/key.pem" "${@:3}" >/dev/null
  cmake --build "$1" >/dev/null
}
package "$work/v1" 1.0.0
package "$work/v2" 1.0.1
# The sample shell whose core breaks the contract: its checks fail.
cp -r "$sdk/sample" "$work/broken"
sed -i 's/PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);/\/\/ no queue/' "$work/broken/modcore.cpp"
grep -q '// no queue' "$work/broken/modcore.cpp" || { echo "could not break the sample core"; exit 1; }
cmake -S "$work/broken" -B "$work/bad" -G Ninja --toolchain "$toolchain" -DCMAKE_PREFIX_PATH="$sdk" \
      -DSAMPLE_INSTALLER=ON >/dev/null
cmake --build "$work/bad" >/dev/null
v1=$work/v1/sample-shell-1.0.0-$preset.msi v2=$work/v2/sample-shell-1.0.1-$preset.msi
bad=$work/bad/sample-shell-1.0.0-$preset.msi

verify() { # file
  osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1 || { echo "no valid signature: $1"; exit 1; }
}
verify "$v1"
mkdir -p "$work/extracted"
(cd "$work/extracted" && msiextract "$v1" >/dev/null)
count=0
while IFS= read -r -d '' binary; do
  verify "$binary"
  count=$((count + 1))
done < <(find "$work/extracted" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
[ "$count" = 8 ] || { echo "the package holds $count binaries, not 8"; exit 1; }
verify "$work/v1/sample-shell-msi/files/shellctl-action.dll"
find "$work/extracted" -name '*.pdb' | grep -q . && { echo "a PDB went into the package"; exit 1; }

wine=$(dirname "$0")/wine.sh
why=$("$wine" status "$preset")
if [ "$why" != ok ]; then
  echo "the packages are built and signed, every signature verifies; not installed: $why"
  exit 0
fi
run() { "$build/wine-run" "$@"; }
winpath() { echo "Z:${1//\//\\}"; }
winlogon='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
value() { # key name: the value's data, or nothing
  run reg query "$1" /v "$2" 2>/dev/null | sed -n "s/^ *$2 *REG_[A-Z_]* *//p" | tr -d '\r'
}
entries() { # how many Apps & features entries the sample shell has
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | grep -c 'DisplayName.*sample-shell' || true
}
expect() { # what, actual, wanted
  [ "$2" = "$3" ] || { echo "$1: '$2', not '$3'"; exit 1; }
}
installed="$(run cmd /c echo %ProgramFiles% | tr -d '\r')\\sample-shell"
ours="\"$installed\\shellwatch.exe\""
unix_installed=$(run winepath -u "$installed" 2>/dev/null | tr -d '\r')

run reg add "$winlogon" /v Shell /d 'previous.exe -x' /f >/dev/null
run msiexec /x "$(winpath "$v2")" /qn >/dev/null 2>&1 || true # a run before that stopped half-way

run msiexec /i "$(winpath "$v1")" /qn SETSHELL=user /l*v "$(winpath "$work/install.log")" ||
  { cat "$work/install.log"; echo "the install failed"; exit 1; }
[ -f "$unix_installed/launcher.exe" ] && [ -f "$unix_installed/modcore.dll" ] && [ -f "$unix_installed/shell.rc" ] ||
  { echo "files not in $unix_installed"; exit 1; }
expect "Shell after the install" "$(value "$winlogon" Shell)" "$ours"
expect "the saved previous shell" "$(value 'HKCU\Software\Brevant\Shell start-up' PreviousShell)" "previous.exe -x"
expect "Apps & features entries" "$(entries)" 1
uninstall=$(run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
            grep -A20 'DisplayName.*sample-shell')
grep -q 'DisplayVersion *REG_SZ *1.0.0$' <<<"$uninstall" && grep -q 'Publisher *REG_SZ *Brevant$' <<<"$uninstall" ||
  { echo "$uninstall"; echo "the entry lacks the version or the publisher"; exit 1; }
grep -q 'shellctl: Shell under HKEY_CURRENT_USER' "$work/install.log" || { echo "shellctl's words are not in the log"; exit 1; }

run msiexec /i "$(winpath "$v2")" /qn || { echo "the upgrade failed"; exit 1; }
expect "Apps & features entries after the upgrade" "$(entries)" 1
expect "Shell after the upgrade" "$(value "$winlogon" Shell)" "$ours"
expect "the saved previous shell after the upgrade" "$(value 'HKCU\Software\Brevant\Shell start-up' PreviousShell)" \
       "previous.exe -x"

run msiexec /x "$(winpath "$v2")" /qn || { echo "the removal failed"; exit 1; }
expect "Shell after the removal" "$(value "$winlogon" Shell)" "previous.exe -x"
expect "Apps & features entries after the removal" "$(entries)" 0
[ ! -e "$unix_installed" ] || { echo "$unix_installed is left"; exit 1; }
for key in 'HKLM\Software\Brevant\sample-shell' 'HKCU\Software\Brevant\Shell start-up'; do
  run reg query "$key" >/dev/null 2>&1 && { echo "$key is left"; exit 1; }
done

if run msiexec /i "$(winpath "$bad")" /qn SETSHELL=user /l*v "$(winpath "$work/bad.log")"; then
  echo "a package whose core fails its checks installed"; exit 1
fi
grep -q 'shellctl: .*black screen' "$work/bad.log" || { echo "the log does not say why"; exit 1; }
expect "Shell after the failed install" "$(value "$winlogon" Shell)" "previous.exe -x"
expect "Apps & features entries after the failed install" "$(entries)" 0
[ ! -e "$unix_installed" ] || { echo "the failed install left $unix_installed"; exit 1; }
run reg delete "$winlogon" /v Shell /f >/dev/null
echo "the packages are signed; install with SETSHELL=user, upgrade, removal and a failing install all hold"
