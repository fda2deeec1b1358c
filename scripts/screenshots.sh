#!/usr/bin/env bash
# Regenerates the README's pictures from the real build/windows/velquist.exe:
# docs/screenshots/{en,ja}-*.png, each message box cut from a Wine virtual
# desktop on a private X display (tools/icon.sh draws docs/icon.png).
# Run `make exe` first. Takes about half a minute. Look at the pictures before
# committing them: Wine draws them, and a bad moment shows in the picture only.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${VQ_SHOTS_ON_XVFB:-}" ]; then
    [ -f build/windows/velquist.exe ] || { echo "screenshots: run 'make exe' first" >&2; exit 1; }
    # rig.exe, which answers the boxes, is the README suite's.
    cmake --build build/windows --target rig >/dev/null || exit 1
    # Always a private display: never photograph a developer's own desktop.
    # xvfb-run cleans up only when it exits by itself: it ignores Ctrl-C,
    # `timeout` and a closed terminal, and the script under it takes them back.
    trap '' INT HUP TERM
    exec xvfb-run -a -s "-screen 0 1024x768x24" \
        env --default-signal=INT,HUP,TERM VQ_SHOTS_ON_XVFB=1 bash "$0" "$@"
fi

source tests/readme/lib.sh
vq_check_i386
out=docs/screenshots
# A prefix of this run's own (about 1 GB), removed afterwards.
vq_run_dir build/screenshots
work=$VQ_RUN_DIR
unset WINEPREFIX   # until vq_new_prefix sets this run's own
vq_on_exit 'vq_stop_prefix; rm -rf "$work"'
vq_new_prefix "$work/prefix" 480x200
mkdir -p "$out"

# The message each picture LANG-WHAT must show.
declare -A message=([question]=QUESTION [modified]=MODIFIED [failed]=FAILED [no-target]=NO_TARGET [already]=ALREADY)

# shoot NAME yesno|ok: waits for the box, checks its text, saves the box alone.
shoot() {
    local name=$1 buttons=$2 shown expected geometry
    expected=$(vq_text "${name%%-*}" "${message[${name#*-}]}")
    shown=$(vq_rig wait "$buttons" $VQ_BOX_WAIT) || { echo "screenshots: no box for $name" >&2; return 1; }
    if [ "$shown" != "$expected" ]; then
        echo "screenshots: $name shows '$shown', expected '$expected'" >&2
        return 1
    fi
    # xwininfo line: 0x.. "Velquist": ("velquist.exe" ...)  WxH+x+y  +absx+absy
    geometry=$(xwininfo -root -tree | awk '/"Velquist": \("velquist.exe"/ {
        split($(NF-1), s, "+"); split($NF, a, "+"); print s[1] "+" a[2] "+" a[3]; exit }')
    [ -n "$geometry" ] || { echo "screenshots: no X window for $name" >&2; return 1; }
    sleep 0.5   # let the box finish painting
    import -window root -crop "$geometry" +repage -strip \
        -define png:exclude-chunks=date,time "$out/$name.png"
    echo "screenshots: $out/$name.png ($geometry)"
}

# run_box EXPECTED-EXIT STEPS...: starts velquist.exe interactively, runs
# the steps (shoot or press calls), then checks its exit code.
run_box() {
    local expect=$1 pid rc=0; shift
    vq_wine "$VQ_EXE" & pid=$!
    while [ $# -gt 0 ]; do
        case $1 in
            shoot) shoot "$2" "$3"; shift 3 ;;
            press) vq_rig press "$2" $VQ_BOX_WAIT; shift 2 ;;
        esac
    done
    wait $pid || rc=$?
    [ $rc = "$expect" ] || { echo "screenshots: exit code $rc, expected $expect" >&2; return 1; }
}

for lang in en ja; do
    if [ $lang = en ]; then locale=C.UTF-8; else locale=ja_JP.UTF-8; fi
    # Every Wine process here, rig.exe too, runs in the one locale: a process
    # in another locale rewrites the prefix's font set-up for its own code
    # page, and a box drawn meanwhile shows empty squares for Japanese.
    export LC_ALL=$locale
    vq_seed_unquoted
    run_box 0 shoot $lang-question yesno press yes shoot $lang-modified ok press ok
    run_box 3 shoot $lang-already ok press ok
    # 106 from a lock held elsewhere: the simplest failure to set up.
    vq_seed_unquoted
    vq_hold_instance_mutex "$work"
    run_box 1 shoot $lang-failed ok press ok
    vq_release_instance_mutex "$work"
    vq_reg_clear
    run_box 2 shoot $lang-no-target ok press ok
done

