#!/usr/bin/env bash
# Runs the README's examples for real: build/windows/velquist.exe under Wine,
# its message boxes read and answered by rig.exe. Fails when the tool's real
# output differs from what README.md says: the reg query transcripts, the table
# of values, the exit-code table (messages and codes) and the batch file; and
# that `make demo` shows the planted program start before the repair.
# Expects `make test SUITES=readme` to have built velquist.exe and the helpers.
set -uo pipefail
cd "$(dirname "$0")/../.."

if [ -z "${VQ_README_ON_XVFB:-}" ]; then
    # Message boxes need a display: a private one, in CI and on a desktop alike.
    # xvfb-run ends its X server and removes its folder only when it exits by
    # itself, so it ignores Ctrl-C, `timeout` and a closed terminal; the script
    # under it takes them back (a shell cannot trap what it was started
    # ignoring) and ends its prefix on them.
    trap '' INT HUP TERM
    exec xvfb-run -a -s "-screen 0 1024x768x24" \
        env --default-signal=INT,HUP,TERM VQ_README_ON_XVFB=1 bash "$0" "$@"
fi

source tests/readme/lib.sh
unset WINEPREFIX  # set below, to this run's own prefix
vq_check_i386 || { echo "0 passed, 1 failed"; exit 1; }
# A prefix of this run's own: another `make test` in the same checkout must
# not pull it away mid-run.
vq_run_dir build/readme
work=$VQ_RUN_DIR
vq_on_exit 'vq_stop_prefix; rm -rf "$work"'
passed=0
failed=0

readme() { python3 tests/readme/readme.py README.md "$@"; }

# check WHAT EXPECTED ACTUAL
check() {
    if [ "$2" == "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /'
    fi
}

give_up() {
    echo "readme: $1"
    echo "$passed passed, $((failed + 1)) failed"
    exit 1
}

[ -f "$VQ_EXE" ] && vq_have_helpers || give_up "no $VQ_EXE or no helpers in $VQ_BIN: run 'make test SUITES=readme' first"
vq_new_prefix "$work/prefix" || give_up "cannot create a Wine prefix"
drive_c=$WINEPREFIX/drive_c

# to_bat FILE: stdin with CR LF line ends, as cmd expects.
to_bat() { sed 's/\r*$/\r/' >"$1"; }

# Lines of cmd's output without CRs, trailing blanks and blank lines.
tidy() { tr -d '\r' | sed 's/[[:space:]]*$//' | grep -v '^$'; }

# ---------------------------------------------------------------------------
# The before/after transcripts: seeded from "before", checked against both.

run_transcript() {
    { printf '@echo off\ncd /d C:\\\n'; readme commands "$1"; } | to_bat "$drive_c/transcript.bat"
    vq_wine cmd /c 'C:\transcript.bat' 2>&1 | tidy
}

cp "$VQ_EXE" "$drive_c/velquist.exe"
vq_reg_clear
while IFS=$'\t' read -r view key name type data; do
    [ "$view" = - ] && view=
    vq_reg_set "$key" "$name" "$type" "$data" "$view" || give_up "cannot seed $key $name"
done < <(readme seed before)
check "transcript 'before' is what reg query shows" "$(readme output before)" "$(run_transcript before)"
check "transcript 'after' is what velquist.exe /s does" "$(readme output after)" "$(run_transcript after)"

# ---------------------------------------------------------------------------
# The table of values: each one in ImagePath, one silent run.

backticked() { sed -n 's/^[^`]*`\([^`]*\)`.*/\1/p' <<<"$1"; }

while IFS=$'\t' read -r found after; do
    value=$(backticked "$found")
    vq_reg_clear
    vq_reg_set "$VQ_SERVICE" ImagePath REG_EXPAND_SZ "$value"
    rc=0; vq_wine "$VQ_EXE" /s || rc=$?
    if [[ $after == unchanged* ]]; then
        check "value '$value': exit code" "$(sed -n 's/.*exit code \([0-9]\).*/\1/p' <<<"$after")" "$rc"
        check "value '$value': left as it was" "$value" "$(vq_reg_data "$VQ_SERVICE" ImagePath)"
    else
        check "value '$value': exit code" 0 "$rc"
        check "value '$value': repaired" "$(backticked "$after")" "$(vq_reg_data "$VQ_SERVICE" ImagePath)"
    fi
done < <(readme table repairs)

# The stored forms the README describes, in ImagePath: a REG_MULTI_SZ value
# keeps only its first string; values it cannot read give "nothing there".
long_value="C:\\Program Files\\$(printf 'x%.0s' $(seq 280)).exe"
while IFS='|' read -r type data code after; do
    vq_reg_clear
    vq_reg_set "$VQ_SERVICE" ImagePath "$type" "$data"
    rc=0; vq_wine "$VQ_EXE" /s || rc=$?
    check "stored as $type (${data:0:40}...): exit code" "$code" "$rc"
    shown=$(vq_wine reg query "$VQ_SERVICE" /v ImagePath 2>/dev/null | tr -d '\r' |
            sed -n 's/^    ImagePath    //p')
    check "stored as $type (${data:0:40}...): afterwards" "$after" "$shown"
done <<EOF
REG_MULTI_SZ|C:\Program Files\A B\svc.exe -k x\0second string|0|REG_EXPAND_SZ    "C:\Program Files\A B\svc.exe" -k x
REG_BINARY|43003a005c00|2|REG_BINARY    43003A005C00
REG_SZ|$long_value|2|REG_SZ    $long_value
EOF

# ---------------------------------------------------------------------------
# The exit-code table: for each row, the situation it describes, run
# interactively (message and code) and, but for 4, silently (code alone).

vq_seed_quoted() {
    vq_reg_clear
    vq_reg_set "$VQ_SERVICE" ImagePath REG_EXPAND_SZ '"C:\Program Files\Example Driver\exdrvsvc.exe" -service'
}

# interactive ANSWER: runs velquist.exe with no switch; answers its question
# with ANSWER (none: expects no question), reads and closes the outcome box.
# Sets rc and shown (the outcome's text, empty when none came up).
interactive() {
    local pid question
    vq_wine "$VQ_EXE" & pid=$!
    if [ -n "$1" ]; then
        question=$(vq_rig wait yesno $VQ_BOX_WAIT)
        check "question text" "$(vq_text en QUESTION)" "$question"
        vq_rig press "$1" $VQ_BOX_WAIT
    fi
    shown=
    # After No there is no outcome box: the program's own exit shows that
    # none came (one that did would keep it from exiting, and vq_wine's
    # bound would end it with another code).
    if [ "$1" != no ] && shown=$(vq_rig wait ok $VQ_BOX_WAIT); then
        vq_rig press ok $VQ_BOX_WAIT
    fi
    rc=0; wait $pid || rc=$?
}

unquoted_service='C:\Program Files\Example Driver\exdrvsvc.exe -service'
quoted_service='"C:\Program Files\Example Driver\exdrvsvc.exe" -service'

while IFS=$'\t' read -r code meaning message action; do
    expected=${message%% (*}
    [ "$expected" = "—" ] && expected=
    answer= value=
    case $code in
        0) vq_seed_unquoted; answer=yes; value=$quoted_service ;;
        1) vq_seed_unquoted; vq_hold_instance_mutex "$work" || give_up "cannot hold the mutex"
           value=$unquoted_service ;;
        2) vq_reg_clear ;;
        3) vq_seed_quoted; value=$quoted_service ;;
        4) vq_seed_unquoted; answer=no; value=$unquoted_service ;;
        *) check "exit-code table row" "0 to 4" "$code"; continue ;;
    esac
    interactive "$answer"
    check "exit code $code: interactive run's message" "$expected" "$shown"
    check "exit code $code: interactive run's code" "$code" "$rc"
    check "exit code $code: ImagePath afterwards" "$value" "$(vq_reg_data "$VQ_SERVICE" ImagePath)"
    if [ "$code" != 4 ]; then
        [ "$code" = 0 ] && vq_seed_unquoted
        rc=0; vq_wine "$VQ_EXE" /s || rc=$?
        check "exit code $code: silent run's code" "$code" "$rc"
    fi
    [ "$code" = 1 ] && vq_release_instance_mutex "$work"
done < <(readme table exit-codes)

# One run at a time: a silent run while another waits at its question fails
# at once and changes nothing.
# timed_silent_run: rc and took_ms of one `velquist.exe /s`, Wine start included.
timed_silent_run() {
    local start
    start=$(date +%s%N)
    rc=0; vq_wine "$VQ_EXE" /s || rc=$?
    took_ms=$((($(date +%s%N) - start) / 1000000))
}
# A run that meets no lock, for what a Wine start costs on this host
# (emulated, or under load).
vq_reg_clear
timed_silent_run
base_ms=$took_ms
vq_seed_unquoted
vq_wine "$VQ_EXE" & first=$!
vq_rig wait yesno $VQ_BOX_WAIT >/dev/null
timed_silent_run
check "second run while the first asks: code" 1 "$rc"
# A run that waited for the lock for ever would end only by vq_wine's bound
# (another code, above); this bound catches a wait with a time-out of its own.
# Twice a run without the lock, plus 3 s, leaves room for a slow host's noise.
limit_ms=$((2 * base_ms + 3000))
check "second run while the first asks: fails at once" yes \
    "$([ $took_ms -lt $limit_ms ] && echo yes || echo "no, ${took_ms} ms (limit ${limit_ms} ms)")"
check "second run while the first asks: nothing written" "$unquoted_service" "$(vq_reg_data "$VQ_SERVICE" ImagePath)"
vq_rig press no $VQ_BOX_WAIT
rc=0; wait $first || rc=$?
check "first run, answered No: code" 4 "$rc"

# ---------------------------------------------------------------------------
# The batch file, run by Wine's cmd from a folder with a blank in its name.

setup_dir="$drive_c/Program Files/Velquist Setup"
mkdir -p "$setup_dir"
readme block cmd | to_bat "$setup_dir/install-step.bat"
cp "$VQ_EXE" "$setup_dir/velquist.exe"

# batch SITUATION VELQUIST-CODE BATCH-CODE
batch() {
    local rc_file=$work/batch.rc
    out=$( (vq_wine cmd /c 'C:\Program Files\Velquist Setup\install-step.bat'; echo $? >"$rc_file") 2>&1 | tidy)
    check "batch file, $1: output" "velquist.exe /s exited with $2" "$out"
    check "batch file, $1: its exit code" "$3" "$(cat "$rc_file")"
}

vq_seed_unquoted
batch "values to repair" 0 0
check "batch file: values repaired" "$quoted_service" "$(vq_reg_data "$VQ_SERVICE" ImagePath)"
batch "values already repaired" 3 0
vq_reg_clear
batch "no values" 2 0
vq_seed_unquoted
vq_hold_instance_mutex "$work" || give_up "cannot hold the mutex"
batch "another run holding the lock" 1 1
vq_release_instance_mutex "$work"

# The silent switch as the README states it: exactly the whole rest of the
# command line. Called directly from a batch file, so nothing rewrites it.
while IFS='|' read -r args expect; do
    vq_seed_unquoted
    printf '@echo off\n"%%~dp0velquist.exe" %s\nexit /b %%ERRORLEVEL%%\n' "$args" |
        to_bat "$setup_dir/switch.bat"
    if [ "$expect" = silent ]; then
        rc=0; vq_wine cmd /c 'C:\Program Files\Velquist Setup\switch.bat' >/dev/null 2>&1 || rc=$?
        check "switch '$args': silent, repaired" 0 "$rc"
    else
        vq_wine cmd /c 'C:\Program Files\Velquist Setup\switch.bat' >/dev/null 2>&1 & pid=$!
        question=$(vq_rig wait yesno $VQ_BOX_WAIT) || question="(no question)"
        check "switch '$args': interactive, asks" "$(vq_text en QUESTION)" "$question"
        vq_rig press no $VQ_BOX_WAIT
        rc=0; wait $pid || rc=$?
        check "switch '$args': interactive, answered No" 4 "$rc"
    fi
done <<'EOF'
/s|silent
-S|silent
/s |asks
"/s"|asks
/s /x|asks
--s|asks
/silent|asks
EOF

# What command line the program really gets: probe.exe in velquist.exe's
# place records it. The README's batch file must pass exactly "/s"; the
# quirks it warns about must be real.
cp "$VQ_BIN/probe.exe" "$setup_dir/velquist.exe"
export VQ_PROBE_OUT='C:\probe.txt'
probe_file=$drive_c/probe.txt

rm -f "$probe_file"
batch "probe in velquist.exe's place" 7 0
check "batch file passes exactly /s" "[/s]" "$( [ -f "$probe_file" ] && cat "$probe_file" || echo "(not run)")"

while IFS='|' read -r line expected; do
    rm -f "$probe_file"
    printf '@echo off\n%s\n' "$line" | to_bat "$setup_dir/quirk.bat"
    vq_wine cmd /c 'C:\Program Files\Velquist Setup\quirk.bat' >/dev/null 2>&1
    got=$( [ -f "$probe_file" ] && cat "$probe_file" || echo "(not run)")
    check "cmd quirk: $line" "$expected" "$got"
done <<'EOF'
start "" /wait "%~dp0velquist.exe" /s |[/s]
"%~dp0velquist.exe" /s |[/s ]
"%~dp0velquist.exe" "/s"|["/s"]
start /wait "%~dp0velquist.exe" /s|(not run)
EOF

# ---------------------------------------------------------------------------
# The demo that the README's first command runs: the service manager starts
# the planted C:\Program.exe before the repair and the real program after it.

demo_out=$(bash scripts/demo.sh 2>&1) || give_up "scripts/demo.sh failed: $demo_out"
# demo_section TITLE: the lines of the demo's section of that title.
demo_section() { sed -n "/^== $1\$/,/^== /p" <<<"$demo_out" | grep '^  the '; }
check "demo: the planted program runs before the repair" \
    '  the PLANTED program C:\Program.exe ran, with the command line: C:\Program Files\Example Driver\vedsvc.exe -k netsvcs' \
    "$(demo_section 'Before the repair: the service manager starts the service')"
check "demo: the real program runs after it, with its arguments" \
    '  the real program C:\Program Files\Example Driver\vedsvc.exe ran, with the arguments: -k netsvcs' \
    "$(demo_section 'After the repair: the service manager starts the service again')"

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
