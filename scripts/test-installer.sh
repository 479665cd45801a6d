#!/usr/bin/env bash
# test-installer.sh BUILD_DIR SOURCE_DIR PART: the Windows Installer packages
# that modutil_add_installer makes, as an author makes them against the SDK,
# signed with a throwaway certificate. Three parts, each a test of its own
# (the installs in two Wine prefixes, side by side):
#   packages   builds them; every signature verifies
#   lifecycle  SETSHELL=user sets the shell and keeps the previous one, a
#              repair leaves a value the user changed by hand, a newer
#              version installs over the older one and keeps the setting, a
#              newer one that fails leaves the user on the shell they had,
#              the removal puts everything back, and a package whose core
#              fails its checks fails and leaves nothing
#   removals   removal puts back every Shell value that starts the
#              installation (one the user set with shellctl by hand after a
#              files-only install or beside SETSHELL=machine; from a folder
#              given as INSTALLDIR), and fails, keeping the files, where it
#              cannot
# The installs run only where this host runs the build's programs.
set -eu
build=$(realpath "$1") source=$2 part=$3
work=$build/installer-test
[ "$part" = packages ] || keep_work=1 # the packages part made them there
. "$source/scripts/lay-out-sdk.sh"
v1=$work/v1/sample-shell-1.0.0-$preset.msi v2=$work/v1/sample-shell-1.0.1-$preset.msi
bad=$work/bad/sample-shell-1.0.0-$preset.msi bad_upgrade=$work/bad/sample-shell-1.0.2-$preset.msi

if [ "$part" = packages ]; then
[ -f "$dist/sample-shell-1.0.0-$preset.msi" ] || { echo "make sdk wrote no sample-shell-1.0.0-$preset.msi"; exit 1; }

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
package "$work/v1" 1.0.1 # the same build: only the package is made again
# The sample shell whose core breaks the contract: its checks fail. As a
# first install, and as a newer version over a working one.
cp -r "$sdk/sample" "$work/broken"
# (It signals twice: a fault the checks see at once, with no wait.)
sed -i 's/SetEvent(readyEvent);/SetEvent(readyEvent); SetEvent(readyEvent); \/\/ twice/' "$work/broken/modcore.cpp"
grep -q '// twice' "$work/broken/modcore.cpp" || { echo "could not break the sample core"; exit 1; }
for version in 1.0.0 1.0.2; do
  cmake -S "$work/broken" -B "$work/bad" -G Ninja --toolchain "$toolchain" -DCMAKE_PREFIX_PATH="$sdk" \
        -DSAMPLE_INSTALLER=ON -DSAMPLE_VERSION=$version >/dev/null
  cmake --build "$work/bad" >/dev/null
done
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
echo "the packages are built and signed, every signature verifies"
exit 0
fi

for package in "$v1" "$v2" "$bad" "$bad_upgrade"; do
  [ -f "$package" ] || { echo "no $package: the installer_packages test makes it"; exit 1; }
done
wine=$(dirname "$0")/wine.sh
why=$("$wine" status "$preset")
if [ "$why" != ok ]; then
  echo "not installed: $why"
  exit 0
fi
run() { "$build/wine-run" "$@"; }
winpath() { echo "Z:${1//\//\\}"; }
winlogon='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
value() { # key name: a string value's text, exactly as stored (letters of any script), or nothing
  local file=$work/value-$part.reg
  rm -f "$file"
  run reg export "$1" "$(winpath "$file")" /y >/dev/null 2>&1 || return 0
  iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' | sed -n "s/^\"$2\"=\"\(.*\)\"$/\1/p" | head -1 | sed 's/\\\(.\)/\1/g'
}
entries() { # how many Apps & features entries the sample shell has
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | grep -ac 'DisplayName.*sample-shell' || true
}
expect() { # what, actual, wanted
  [ "$2" = "$3" ] || { echo "$1: '$2', not '$3'"; exit 1; }
}
installed="$(run cmd /c echo %ProgramFiles% | tr -d '\r')\\sample-shell"
ours="\"$installed\\shellwatch.exe\""
unix_installed=$(run winepath -u "$installed" 2>/dev/null | tr -d '\r')

machine='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
saved() { # hive: what the installation saved of its Shell value
  run reg query "$1\Software\Brevant\Shell start-up\Installations" /s 2>/dev/null |
    sed -n 's/^ *PreviousShell *REG_[A-Z_]* *//p' | tr -d '\r'
}
msi() { # what, msiexec arguments...: runs it with a log, which it shows when it fails
  local what=$1 log=$work/$(tr ' ' - <<<"$1").log
  shift
  run msiexec "$@" /qn /l*v "$(winpath "$log")" || { cat "$log"; echo "$what failed"; exit 1; }
}
entry="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$(msiinfo export "$v1" Property | sed -n 's/^ProductCode\t\(.*\)/\1/p' | tr -d '\r')"
run reg add "$winlogon" /v Shell /d 'previous.exe -x' /f >/dev/null
for package in "$v2" "$v1"; do # a run before that stopped half-way
  run msiexec /x "$(winpath "$package")" /qn >/dev/null 2>&1 || true
done
run reg delete 'HKCU\Software\Brevant' /f >/dev/null 2>&1 || true # what other tests of the prefix left

if [ "$part" = lifecycle ]; then

msi "the install" /i "$(winpath "$v1")" SETSHELL=user
cp "$work/the-install.log" "$work/install.log"
[ -f "$unix_installed/launcher.exe" ] && [ -f "$unix_installed/modcore.dll" ] && [ -f "$unix_installed/shell.rc" ] ||
  { echo "files not in $unix_installed"; exit 1; }
expect "Shell after the install" "$(value "$winlogon" Shell)" "$ours"
expect "the saved previous shell" "$(saved HKCU)" "previous.exe -x"
expect "Apps & features entries" "$(entries)" 1
expect "the entry's version" "$(value "$entry" DisplayVersion)" 1.0.0
expect "the entry's publisher" "$(value "$entry" Publisher)" Brevant
grep -aq 'shellctl: Shell under HKEY_CURRENT_USER' "$work/install.log" || { echo "shellctl's words are not in the log"; exit 1; }
extras='HKLM\Software\Brevant\sample-shell extras'
{ run reg query "$extras" /v From /reg:64 || run reg query "$extras" /v From /reg:32; } 2>/dev/null | grep -aq "the author's own fragment" ||
  { echo "the author's own WiX fragment did not install its registry value"; exit 1; }

# A repair checks again, and never sets the shell over what the user chose since. (Wine's
# msiexec has no /f: a maintenance install with REINSTALL is the same repair.)
run reg add "$winlogon" /v Shell /d 'mine.exe' /f >/dev/null
msi "the repair" /i "$(winpath "$v1")" REINSTALL=ALL REINSTALLMODE=vomus
expect "Shell after a repair over a value set by hand" "$(value "$winlogon" Shell)" "mine.exe"
run reg add "$winlogon" /v Shell /d "$ours" /f >/dev/null

msi "the upgrade" /i "$(winpath "$v2")"
expect "Apps & features entries after the upgrade" "$(entries)" 1
expect "Shell after the upgrade" "$(value "$winlogon" Shell)" "$ours"
expect "the saved previous shell after the upgrade" "$(saved HKCU)" "previous.exe -x"

# A newer version whose checks fail: the upgrade fails, and the user keeps the shell they had.
# Windows' rollback restores the files the newer version overwrote; Wine's deletes them, and
# then the previous shell is put back: never a Shell value that names a missing file.
if run msiexec /i "$(winpath "$bad_upgrade")" /qn /l*v "$(winpath "$work/bad-upgrade.log")"; then
  echo "an upgrade whose core fails its checks installed"; exit 1
fi
if [ -f "$unix_installed/shellwatch.exe" ]; then
  expect "Shell after a failed upgrade" "$(value "$winlogon" Shell)" "$ours"
  expect "the saved previous shell after a failed upgrade" "$(saved HKCU)" "previous.exe -x"
else
  expect "Shell after a failed upgrade whose rollback took the files" "$(value "$winlogon" Shell)" "previous.exe -x"
  grep -aq 'shell setting: the rollback took the installation.s files' "$work/bad-upgrade.log" ||
    { echo "the log does not say why the shell was put back"; exit 1; }
  # The older version is still registered, its files gone: reinstall it, as a user would.
  msi "a reinstall after the failed upgrade" /i "$(winpath "$v2")" REINSTALL=ALL REINSTALLMODE=vomus
  run "$unix_installed/shellctl.exe" install >/dev/null || { echo "shellctl install by hand failed"; exit 1; }
fi

msi "the removal" /x "$(winpath "$v2")"
expect "Shell after the removal" "$(value "$winlogon" Shell)" "previous.exe -x"
expect "Apps & features entries after the removal" "$(entries)" 0
[ ! -e "$unix_installed" ] || { echo "$unix_installed is left"; exit 1; }
for key in 'HKLM\Software\Brevant\sample-shell' 'HKCU\Software\Brevant\Shell start-up'; do
  run reg query "$key" >/dev/null 2>&1 && { echo "$key is left"; exit 1; }
done

if run msiexec /i "$(winpath "$bad")" /qn SETSHELL=user /l*v "$(winpath "$work/bad.log")"; then
  echo "a package whose core fails its checks installed"; exit 1
fi
grep -aq 'shellctl: .*black screen' "$work/bad.log" || { echo "the log does not say why"; exit 1; }
expect "Shell after the failed install" "$(value "$winlogon" Shell)" "previous.exe -x"
expect "Apps & features entries after the failed install" "$(entries)" 0
[ ! -e "$unix_installed" ] || { echo "the failed install left $unix_installed"; exit 1; }
run reg delete "$winlogon" /v Shell /f >/dev/null
echo "installs, repair, upgrades, a removal and failures all leave a shell that starts"
exit 0
fi

# The files only; the user makes it their shell by hand, as the README says: removal puts that back.
msi "a files-only install" /i "$(winpath "$v1")"
run "$unix_installed/shellctl.exe" install >/dev/null || { echo "shellctl install by hand failed"; exit 1; }
msi "the removal after shellctl by hand" /x "$(winpath "$v1")"
expect "Shell after removing what the user set by hand" "$(value "$winlogon" Shell)" "previous.exe -x"

# SETSHELL=machine, and the user's own beside it: both put back.
run reg add "$machine" /v Shell /d 'machine-previous.exe' /f >/dev/null
msi "a machine install" /i "$(winpath "$v1")" SETSHELL=machine
run "$unix_installed/shellctl.exe" install >/dev/null || { echo "shellctl install by hand failed"; exit 1; }
expect "the machine's Shell after the install" "$(value "$machine" Shell)" "$ours"
msi "the machine removal" /x "$(winpath "$v1")"
expect "the user's Shell after the machine removal" "$(value "$winlogon" Shell)" "previous.exe -x"
expect "the machine's Shell after the machine removal" "$(value "$machine" Shell)" "machine-previous.exe"
run reg add "$machine" /v Shell /d 'explorer.exe' /f >/dev/null

# The user may not write their Winlogon key: the removal fails, saying why, and keeps the files.
msi "a user install" /i "$(winpath "$v1")" SETSHELL=user
keyacl=$build/bin/fixtures/keyacl.exe key='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
acl=$(run "$keyacl" get "$key" | tr -d '\r')
run "$keyacl" set "$key" 'D:P(A;;KR;;;WD)'
removed=0
run msiexec /x "$(winpath "$v1")" /qn /l*v "$(winpath "$work/locked.log")" && removed=1
run "$keyacl" set "$key" "$acl"
[ $removed = 0 ] || { echo "the removal went on though the user's Shell could not be put back"; exit 1; }
grep -aq 'shell setting: cannot put Shell back under HKEY_CURRENT_USER.*Access denied' "$work/locked.log" ||
  { echo "the log does not say why the removal failed"; exit 1; }
[ -f "$unix_installed/shellwatch.exe" ] || { echo "the failed removal took the files"; exit 1; }
expect "Shell after the failed removal" "$(value "$winlogon" Shell)" "$ours"
msi "the removal once the key is writable" /x "$(winpath "$v1")"
expect "Shell after the removal" "$(value "$winlogon" Shell)" "previous.exe -x"

# A folder of the administrator's choosing, with blanks and letters outside any one code page:
# remembered, shown as the install location, and its shellctl is the one removal finds.
custom='C:\Мои программы\shell é-1'
msi "an install into a folder of its own" /i "$(winpath "$v1")" SETSHELL=user INSTALLDIR="$custom"
expect "Shell after an install into $custom" "$(value "$winlogon" Shell)" "\"$custom\\shellwatch.exe\""
expect "the entry's install location" "$(value "$entry" InstallLocation)" "$custom\\"
msi "the removal from a folder of its own" /x "$(winpath "$v1")"
expect "Shell after the removal from $custom" "$(value "$winlogon" Shell)" "previous.exe -x"

run reg delete "$winlogon" /v Shell /f >/dev/null
echo "removals put back every Shell value that starts the installation, or fail keeping the files"
