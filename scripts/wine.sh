# Wine prefixes of a run's own and their servers, for the scripts that start
# Wine (demo, bench, screenshots, the README suite). Source it from the
# repository root.

# A run keeps one server alive between its Wine programs. Should the run die
# without its trap (kill -9), the server and Wine's own programs still end this
# many seconds after the run's last program.
VQ_SERVER_LINGER=300

# vq_check_i386: stops, saying why in one sentence, where this host cannot
# start Wine's 32-bit programs (and provides the emulated path where it can).
vq_check_i386() { bash scripts/setup.sh --i386; }

# vq_run_dir BASE: makes VQ_RUN_DIR, a directory of this run's own under BASE,
# locked for as long as this shell or anything it started is alive, and
# removes those of earlier runs that nothing holds any more.
vq_run_dir() {
    local base=$1 old guard
    mkdir -p "$base"
    # One run at a time looks and creates, so that none takes another's
    # new directory, not yet locked, for a stale one.
    exec {guard}>"$base/.lock"
    flock "$guard"
    for old in "$base"/run.*; do
        [ -d "$old" ] || continue
        if flock -n "$old/lock" true 2>/dev/null; then
            WINEPREFIX=$old/prefix wineserver -k 2>/dev/null || true
            rm -rf "$old"
        fi
    done
    VQ_RUN_DIR=$(mktemp -d "$base/run.XXXXXX")
    exec {VQ_RUN_LOCK}>"$VQ_RUN_DIR/lock"
    flock -n "$VQ_RUN_LOCK"
    exec {guard}>&-
}

# vq_server_start: the persistent server of $WINEPREFIX.
vq_server_start() {
    mkdir -p "$WINEPREFIX"
    wineserver -p$VQ_SERVER_LINGER
}

# vq_server_stop: ends every Wine process of $WINEPREFIX and waits for the
# server, which saves the registry as it goes.
vq_server_stop() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}

# vq_on_exit COMMANDS: runs COMMANDS when the script ends, however it ends
# (done, failed, Ctrl-C, `timeout`, a hang-up).
vq_on_exit() {
    trap "$1" EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
}
