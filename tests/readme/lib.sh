# Shared by tests/readme/run.sh and scripts/screenshots.sh: a private Wine
# prefix, the two small helper programs, and the registry values velquist.exe
# looks after. Source it from the repository root.

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
VQ_EXE=build/windows/velquist.exe
# probe.exe and rig.exe, which `make test SUITES=readme` builds (suite-readme).
VQ_BIN=build/windows/tests/readme

# vq_fact NAME: what the tests expect, from tests/oracle/facts.py.
vq_fact() { vq_facts 'print(getattr(facts, sys.argv[1]))' "$1"; }
# vq_text en|ja NAME: a message of velquist.exe in that language (NAME: QUESTION, FAILED, ...).
vq_text() { vq_facts 'print(facts.TEXTS[sys.argv[1]][getattr(facts, sys.argv[2])])' "$1" "$2"; }
vq_facts() {
    PYTHONDONTWRITEBYTECODE=1 PYTHONIOENCODING=utf-8 PYTHONPATH=tests/oracle python3 -c "import sys, facts; $1" "${@:2}"
}
VQ_UNINSTALL="HKLM\\$(vq_fact UNINSTALL)"
VQ_SERVICE="HKLM\\$(vq_fact SERVICE)"
VQ_INSTANCE_MUTEX=$(vq_fact INSTANCE_MUTEX)

source scripts/wine.sh

# Every Wine call is bounded: a message box nobody answers must not hang CI.
# Generous, as one call is a whole Wine start on a slow or emulating host.
vq_wine() { timeout 120 wine "$@"; }
# How long rig.exe waits for a box to come up; its velquist.exe may be
# starting still, and a box that never comes fails the check anyway.
VQ_BOX_WAIT=60

# vq_have_helpers: both helpers are built.
vq_have_helpers() { [ -f "$VQ_BIN/probe.exe" ] && [ -f "$VQ_BIN/rig.exe" ]; }

# vq_new_prefix DIR [DESKTOP]: a fresh 64-bit prefix with its own wineserver
# kept alive (see scripts/wine.sh); DESKTOP (e.g. 480x200) puts every window on
# a Wine virtual desktop of that size, which draws frames and captions without
# a window manager.
vq_new_prefix() {
    export WINEPREFIX=$PWD/$1
    [ -n "${WINEPREFIX%/}" ] && [ "$WINEPREFIX" != / ] || return 1
    rm -rf "$WINEPREFIX"
    vq_server_start || return 1
    # Bounds a hang, not a speed: a first boot takes minutes on a slow host.
    timeout 600 wineboot -i >/dev/null 2>&1 || return 1
    if [ -n "${2:-}" ]; then
        # Wine's own fonts (Tahoma, and Marlett for the caption's close button)
        # are not picked up from the package's folder by this Wine build.
        if [ -d /usr/share/wine/fonts ]; then
            cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" || return 1
        fi
        vq_wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null &&
        vq_wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$2" /f >/dev/null ||
            return 1
        # The desktop setting is read when the first window opens: start afresh.
        vq_server_stop
        vq_server_start || return 1
    fi
    vq_wine wineboot >/dev/null 2>&1 || true
}

vq_stop_prefix() { vq_server_stop; }

# Removes both keys in both registry views.
vq_reg_clear() {
    local key view
    for key in "$VQ_UNINSTALL" "$VQ_SERVICE"; do
        for view in /reg:32 /reg:64; do
            vq_wine reg delete "$key" /f $view >/dev/null 2>&1 || true
        done
    done
}

# vq_reg_set KEY NAME TYPE DATA [VIEW]
vq_reg_set() {
    vq_wine reg add "$1" /v "$2" /t "$3" /d "$4" /f ${5:-} >/dev/null
}

# vq_reg_data KEY NAME [VIEW]: the value's data as `reg query` shows it.
vq_reg_data() {
    vq_wine reg query "$1" /v "$2" ${3:-} 2>/dev/null | tr -d '\r' |
        sed -n "s/^    $2    REG_[A-Z_]*    //p"
}

# The state shown in the README: an uninstall entry that a 64-bit installer
# wrote (so only in the 64-bit view) and a service, both unquoted.
vq_seed_unquoted() {
    vq_reg_clear
    vq_reg_set "$VQ_UNINSTALL" UninstallString REG_SZ \
        'C:\Program Files\Example Driver\setup.exe -uninstall' /reg:64 &&
    vq_reg_set "$VQ_UNINSTALL" DisplayIcon REG_SZ \
        'C:\Program Files\Example Driver\setup.exe,0' /reg:64 &&
    vq_reg_set "$VQ_SERVICE" ImagePath REG_EXPAND_SZ \
        'C:\Program Files\Example Driver\exdrvsvc.exe -service'
}

# vq_rig ARGS...: the helper that reads and answers velquist's message boxes.
vq_rig() { vq_wine "$VQ_BIN/rig.exe" "$@"; }

# vq_hold_instance_mutex STATEDIR: holds velquist's session mutex from another
# process until vq_release_instance_mutex; returns once it is held.
vq_hold_instance_mutex() {
    local dir=$1 i
    rm -f "$dir/held" "$dir/release"
    vq_rig hold "$VQ_INSTANCE_MUTEX" "$(winepath -w "$dir/held")" "$(winepath -w "$dir/release")" &
    VQ_HOLDER=$!
    # Ends as soon as the holder reports the mutex held or dies; the bound
    # only stops a hang (a Wine start can take many seconds on a slow host).
    for i in $(seq 1200); do
        [ -e "$dir/held" ] && return 0
        kill -0 $VQ_HOLDER 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

vq_release_instance_mutex() {
    touch "$1/release"
    wait $VQ_HOLDER 2>/dev/null || true
}
