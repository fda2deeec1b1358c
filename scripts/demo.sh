#!/usr/bin/env bash
# Shows velquist.exe at work: a fresh 64-bit Wine prefix with the three target
# values seeded unquoted, one silent run, the values before and after, and the
# exit code. Needs `make exe`; needs no display (silent mode shows no box).
set -euo pipefail
cd "$(dirname "$0")/.."

exe=build/windows/velquist.exe
[ -f "$exe" ] || { echo "demo: $exe is missing; run 'make exe' first" >&2; exit 2; }

source scripts/wine.sh
vq_check_i386
# A prefix of this run's own, removed at the end: a second demo in this
# checkout, or one interrupted before, changes nothing here.
vq_run_dir build/demo
export WINEPREFIX="$PWD/$VQ_RUN_DIR/prefix" WINEARCH=win64
vq_on_exit 'vq_server_stop; rm -rf "$VQ_RUN_DIR"'
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

uninstall='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\RADADIRorUzavovazo'
service='HKLM\SYSTEM\CurrentControlSet\Services\VedOvedavu'

section() { printf '\n== %s\n' "$*"; }

# One value as reg.exe reports it ("name    type    data"), or "(absent)".
show() {
    local view=$1 key=$2 name=$3 line type data
    line=$(wine reg query "$key" /v "$name" /reg:"$view" 2>/dev/null | tr -d '\r' |
           grep -m1 "^    $name    ") || true
    if [ -z "$line" ]; then
        printf '  %-7s %-16s (absent)\n' "$view-bit" "$name"
        return
    fi
    line=${line#"    $name    "}
    type=${line%%"    "*}
    data=${line#"$type"}
    printf '  %-7s %-16s %-14s %s\n' "$view-bit" "$name" "$type" "${data#"    "}"
}

show_all() {
    echo "$uninstall"
    for view in 32 64; do show "$view" "$uninstall" UninstallString; done
    for view in 32 64; do show "$view" "$uninstall" DisplayIcon; done
    echo "$service   (one key that both views share)"
    for view in 32 64; do show "$view" "$service" ImagePath; done
}

section "A fresh 64-bit Wine prefix in $VQ_RUN_DIR/prefix (removed afterwards)"
vq_server_start
wine wineboot -i >/dev/null 2>&1
echo "ready."

section "Seeded: three unquoted paths with a blank in them"
echo "UninstallString exists only in the 64-bit view; DisplayIcon only in the 32-bit view,"
echo "which is the default view of the 32-bit program; ImagePath sits in the service key."
wine reg add "$uninstall" /v UninstallString /t REG_SZ /reg:64 /f \
    /d 'C:\Program Files\Example Driver\setup.exe -uninstall' >/dev/null
wine reg add "$uninstall" /v DisplayIcon /t REG_SZ /reg:32 /f \
    /d 'C:\Program Files\Example Driver\setup.exe,0' >/dev/null
wine reg add "$service" /v ImagePath /t REG_EXPAND_SZ /reg:64 /f \
    /d 'C:\Program Files\Example Driver\vedsvc.exe -k netsvcs' >/dev/null
echo
show_all

section "Running: wine $exe /s"
set +e
wine "$exe" /s
code=$?
set -e
case $code in
    0) meaning="modified: at least one value repaired, none failed" ;;
    1) meaning="failed: a lock was held or a value could not be written" ;;
    2) meaning="no target: none of the values was found" ;;
    3) meaning="already modified: nothing needed quotes" ;;
    4) meaning="declined by the user" ;;
    *) meaning="not an exit code of velquist" ;;
esac
echo "exit code $code ($meaning)"

section "After the run: each path quoted in the view where it was found"
show_all
echo
exit 0
