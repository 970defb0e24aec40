#!/usr/bin/env bash
# Runs the Windows build of the installer (build/windows/package) under Wine, on a private Wine
# prefix whose registry is made to look like Windows Server 2022: install_excl.exe, then
# install_nonexcl.exe, then uninst.exe, each silent with the debug file and full verbosity.
# Prints each run's exit code and its last lines, the service Parameters values left in Wine's
# registry after each run, and keeps everything under build/wine (logs, debug files).
#
#   scripts/wine-installer.sh            # needs wine64 (apt-get install --no-install-recommends wine64)
#
# Wine has no Plug and Play manager nor kernel drivers of ours: the registry steps run against
# Wine's real registry; what the SetupAPI steps report there is recorded, not judged.
#
# With Debian 12's Wine 8.0 (prefix set to win2008r2, ProductName "Windows Server 2022
# Datacenter", CurrentVersion 6.3): the version check passes (code 22), the package check and
# every registry value are written as in Windows; the removal of earlier devices stops the run
# ("Failed to uninstall devices"), because two of Wine's own System-class devices have a driver
# key without "MatchingDeviceId". With -t (no removal step) the tape bus device is created and
# UpdateDriverForPlugAndPlayDevices reports success (a second run finds the device and creates no
# other), then CM_Locate_DevNode for the root fails and the run stops at the rescan. The
# uninstaller stops at its device removal for the same reason as the installer.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/wine
package=$root/build/windows/package

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=$(dpkg -L wine64 2>/dev/null | grep -E '/wine64$' | head -n 1)
[ -n "$wine" ] && [ -x "$wine" ] || { echo "wine-installer: wine64 is not installed" >&2; exit 2; }
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=$(command -v wineserver || echo wineserver)

if [ ! -f "$package/Installer.dll" ]; then
  (cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows -j2 --target installer_package) || exit 2
fi

mkdir -p "$out"
export WINEPREFIX=$out/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
run_wine() { timeout 300 "$wine" "$@"; }

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-installer: creating the prefix (first run takes a while)"
  run_wine wineboot --init >/dev/null 2>&1
fi
# A server edition: the product type comes from the Windows version Wine plays.
run_wine winecfg /v win2008r2 >/dev/null 2>&1
cv='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion'
run_wine reg add "$cv" /v ProductName /t REG_SZ /d "Windows Server 2022 Datacenter" /f >/dev/null 2>&1
run_wine reg add "$cv" /v CurrentVersion /t REG_SZ /d "6.3" /f >/dev/null 2>&1
run_wine reg add "$cv" /v CurrentBuildNumber /t REG_SZ /d "20348" /f >/dev/null 2>&1

# Every run starts without the services' keys of an earlier run.
for svc in vorkachgr vorkatape vorkacbus vorkatbus vorkacflt vorkatflt; do
  run_wine reg delete "HKLM\\System\\CurrentControlSet\\Services\\$svc" /f >/dev/null 2>&1
done

work=$WINEPREFIX/drive_c/vorka
rm -rf "$work"
mkdir -p "$work"
cp -r "$package"/. "$work"/

show_params() {
  for svc in vorkachgr vorkatape vorkacbus vorkatbus vorkacflt vorkatflt; do
    values=$(run_wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$svc\\Parameters" 2>/dev/null |
             tr -d '\r' | awk '/REG_DWORD/ { printf " %s=%s", $1, $3 }')
    [ -n "$values" ] && echo "    $svc:$values"
  done
}

status=0
# -t skips the removal of earlier devices, so the bus and binding steps run too.
for step in "install_excl.exe -s -d -v:3" "install_excl.exe -s -d -v:3 -t" "install_nonexcl.exe -s -d -v:3 -t" \
            "uninst.exe -s -d -v:3"; do
  set -- $step
  prog=$1
  shift
  log=$out/${prog%.exe}$(echo "$*" | tr -d ' :-').log
  (cd "$work" && run_wine "$prog" "$@" >"$log" 2>&1)
  rc=$?
  # The programs return the export's result: -1 shows as 255.
  echo "== $prog $*: exit code $rc"
  tr -d '\r' <"$log" | grep -E '^(ERR|SUC):' | sed 's/^/    /' | head -n 40
  echo "  Parameters values now:"
  show_params
  cp "$work"/debug.txt "${log%.log}-debug.txt" 2>/dev/null
  cp "$work"/uninst_debug.txt "$out/uninst-debug.txt" 2>/dev/null
done
"$server" -k 2>/dev/null
echo "wine-installer: logs and debug files in $out"
exit $status
