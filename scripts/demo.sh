#!/usr/bin/env bash
# Shows velquist.exe at work: a fresh 64-bit Wine prefix with the three target
# values seeded unquoted (the service created through Wine's service manager),
# the service started before the repair (a program planted at C:\Program.exe
# runs in its place), one silent run, the values before and after, the exit
# code, and the service started again (now the real program runs). Needs
# `make exe` and the recorder (`make demo` builds both); needs no display
# (silent mode shows no box).
set -euo pipefail
cd "$(dirname "$0")/.."

exe=build/windows/velquist.exe
recorder=build/windows/tests/consumers/recorder.exe
for f in "$exe" "$recorder"; do
    [ -f "$f" ] || { echo "demo: $f is missing; run 'make demo'" >&2; exit 2; }
done

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

# A recorder stands at C:\Program.exe, where Windows looks first for the
# unquoted service path, and at the real service program; each copy notes its
# starts in <copy>.rec.
drive_c=$WINEPREFIX/drive_c
planted='C:\Program.exe'
real='C:\Program Files\Example Driver\vedsvc.exe'
planted_rec=$drive_c/Program.exe.rec
real_rec="$drive_c/Program Files/Example Driver/vedsvc.exe.rec"

# start_service: `sc start VedOvedavu`, then which recorder ran and how. The
# output goes to a file: the service processes inherit a pipe and keep it open.
start_service() {
    local rc=0 file
    rm -f "$planted_rec" "$real_rec"
    echo "C:\>sc start VedOvedavu"
    WINEDEBUG=-all,err+sc wine sc start VedOvedavu >"$VQ_RUN_DIR/sc.out" 2>&1 || rc=$?
    grep -o 'failed to start service.*' "$VQ_RUN_DIR/sc.out" | sed 's/^/  sc: /' || true
    echo "sc exit code $rc"
    for file in "$planted_rec" "$real_rec"; do
        [ -f "$file" ] || continue
        python3 -c '
import json, sys
planted = sys.argv[2]
for line in open(sys.argv[1]):
    r = json.loads(line)
    if r["exe"].lower() == planted.lower():
        print("  the PLANTED program %s ran, with the command line: %s" % (r["exe"], r["cmdline"]))
    else:
        print("  the real program %s ran, with the arguments: %s" % (r["exe"], " ".join(r["argv"][1:])))
' "$file" "$planted"
    done
    [ -f "$planted_rec" ] || [ -f "$real_rec" ] || echo "  neither program ran"
}

section "A fresh 64-bit Wine prefix in $VQ_RUN_DIR/prefix (removed afterwards)"
vq_server_start
wine wineboot -i >/dev/null 2>&1
# The service manager left by the prefix's first boot does not see services
# created afterwards (sc start: error 1060); a fresh one does.
vq_server_stop
vq_server_start
mkdir -p "$drive_c/Program Files/Example Driver"
cp "$recorder" "$drive_c/Program.exe"
cp "$recorder" "$drive_c/Program Files/Example Driver/vedsvc.exe"
echo "ready; a program planted at $planted, the real service program at $real."

section "Seeded: three unquoted paths with a blank in them"
echo "UninstallString exists only in the 64-bit view; DisplayIcon only in the 32-bit view,"
echo "which is the default view of the 32-bit program; ImagePath sits in the service key."
echo "The service is created through the service manager (sc create), its ImagePath then"
echo "stored as REG_EXPAND_SZ, as an installer writes it."
wine reg add "$uninstall" /v UninstallString /t REG_SZ /reg:64 /f \
    /d 'C:\Program Files\Example Driver\setup.exe -uninstall' >/dev/null
wine reg add "$uninstall" /v DisplayIcon /t REG_SZ /reg:32 /f \
    /d 'C:\Program Files\Example Driver\setup.exe,0' >/dev/null
wine sc create VedOvedavu binpath= 'C:\Program Files\Example Driver\vedsvc.exe -k netsvcs' \
    >"$VQ_RUN_DIR/sc.out" 2>&1 || { cat "$VQ_RUN_DIR/sc.out"; echo "demo: sc create failed" >&2; exit 1; }
wine reg add "$service" /v ImagePath /t REG_EXPAND_SZ /reg:64 /f \
    /d 'C:\Program Files\Example Driver\vedsvc.exe -k netsvcs' >/dev/null
echo
show_all

section "Before the repair: the service manager starts the service"
start_service

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

section "After the repair: the service manager starts the service again"
# Wine's service manager reads ImagePath only when it starts, so it is
# restarted first, as a reboot would restart Windows' own.
echo "(restarting Wine's service manager first: it reads ImagePath only when it starts)"
vq_server_stop
vq_server_start
start_service
echo
exit 0
