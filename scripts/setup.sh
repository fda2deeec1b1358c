#!/usr/bin/env bash
# Installs what the build and the tests need, starting from a bare Debian 12
# (bash and apt), and makes sure this host can start Wine's 32-bit programs.
# Every make target runs it first; when everything is in place it is quick
# and says nothing.
#
#   bash scripts/setup.sh                 packages, then the 32-bit check
#   bash scripts/setup.sh --i386          the 32-bit check alone (the Wine scripts)
#   bash scripts/setup.sh --emulated CMD  set-up, then CMD with every i386 program
#                                         handed to qemu even where the kernel runs
#                                         them itself; undone when CMD ends
#                                         (VQ_EMULATE_I386=1 make TARGET uses it)
set -euo pipefail

say() { echo "setup: $*"; }
stop() { echo "setup: $*" >&2; exit 1; }

# ---------------------------------------------------------------------------
# Packages

packages=(
    make g++ time ca-certificates python3 cmake ninja-build
    # The commit's time is the build's time stamp; releases are built from HEAD.
    git
    g++-mingw-w64-i686 wine wine64 wine32:i386
    xvfb xauth x11-apps x11-utils imagemagick locales fonts-vlgothic
    # tools/icon.sh: the icon's drawing to PNG, then into an ICO.
    librsvg2-bin icoutils
    # Wine's own fonts (Tahoma, Marlett) for the screenshots' captions and buttons.
    fonts-wine
    # libFuzzer's runtime and llvm-cov are only recommended by clang, not pulled in by it.
    clang libclang-rt-dev llvm
    libgtest-dev libbenchmark-dev
    python3-pefile python3-pytest osslsigncode openssl
)

# The packages above that dpkg does not list as installed.
missing_packages() {
    # One dpkg-query for all: "name arch status" per package it knows (it
    # fails for those it has never seen, which are missing all the same).
    { dpkg-query -W -f='${Package} ${Architecture} ${db:Status-Status}\n' \
        "${packages[@]%%:*}" 2>/dev/null || true; } |
        awk -v want="${packages[*]}" -v native="$(dpkg --print-architecture)" '
            $3 == "installed" { have[$1 ":" $2] = 1 }
            END {
                n = split(want, w, " ")
                for (i = 1; i <= n; i++) {
                    p = w[i]
                    if (p ~ /:/) { if (!(p in have)) print p; continue }
                    if (!((p ":" native) in have) && !((p ":all") in have)) print p
                }
            }'
}

# The i386 security index can fail to download, leaving amd64 and i386 out of
# step; keeping the security suite below the main suite keeps both solvable.
prefs=$(mktemp)
trap 'rm -f "$prefs"' EXIT
printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$prefs"

apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -o Dir::Etc::Preferences="$prefs" "$@"; }

# need_root WHAT: stops unless root, saying WHAT needed it.
need_root() {
    [ "$EUID" -eq 0 ] ||
        stop "$1 needs root, and this is user $(id -un): run the same command once as root (for instance with sudo)."
}

# apt_install [-t SUITE] PACKAGE...: fetches the index, then installs.
apt_install() {
    local target=() log fetched=yes
    if [ "$1" = -t ]; then target=(-t "$2"); shift 2; fi
    log=$(mktemp)
    # apt-get update exits 0 when a source cannot be reached; its messages tell.
    apt_get update 2>&1 | tee "$log" || fetched=no
    grep -qE '^(Err:|E: |W: Failed to fetch|W: Some index files failed)' "$log" && fetched=no
    rm -f "$log"
    if [ $fetched = no ]; then
        # A part that failed (say one architecture's security index) may not
        # matter: go on only if what is needed can still be installed.
        apt_get install -s -y --no-install-recommends "${target[@]}" "$@" >/dev/null 2>&1 ||
            stop "the package index could not be fetched (apt-get update, see above), so $* cannot be installed: check the network and the sources in /etc/apt, then run the command again."
        say "the package index was fetched only in part (see above), but $* can still be installed"
    fi
    apt_get install -y --no-install-recommends "${target[@]}" "$@" ||
        stop "apt-get install $* failed (see above)."
}

install_packages() {
    local need
    need=$(missing_packages | tr '\n' ' ')
    need=${need% }
    [ -n "$need" ] || return 0
    need_root "Installing $need"
    say "installing $need"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # shellcheck disable=SC2086  # a list of package names
    apt_install $need
}

setup_locales() {
    locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' && return 0
    need_root "Generating the ja_JP.UTF-8 locale"
    sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
    grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen >/dev/null
}

# ---------------------------------------------------------------------------
# 32-bit programs. Wine starts every 32-bit Windows program through its i386
# loader, a Linux i386 executable. A kernel without IA-32 emulation refuses it
# ("Exec format error"); binfmt_misc can hand such files to qemu instead.

loader=/usr/lib/wine/wine
binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386
# i386 ELF executables and shared objects (e_machine 3). Debian's qemu packages
# register no such entry on amd64, so it is ours.
magic_hex=7f454c4601010100000000000000000002000300
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# The entry made for hosts that need it (the name the README's undo uses).
entry=qemu-i386
# Bookworm's own qemu 7.2 takes about 50 s of CPU to start each 32-bit Wine
# process; the backports' 10 takes about 0.4 s.
qemu_major_needed=10

# How this host starts the loader: "native", "qemu MAJOR.MINOR..." (an emulator
# answers QEMU_VERSION instead of running it), "refused: Exec format error"
# (the kernel will not run i386 code) or "broken: MESSAGE" (something else).
probe_loader() {
    local out rc=0
    out=$(QEMU_VERSION=1 "$loader" --version 2>&1) || rc=$?
    case $rc:$out in
        0:wine-*) echo native ;;
        0:"qemu-i386 version "*) out=${out#qemu-i386 version }; echo "qemu ${out%% *}" ;;
        *"Exec format error"*) echo "refused: Exec format error" ;;
        *) echo "broken: $(head -1 <<<"$out")" ;;
    esac
}

qemu_installed_major() {
    [ -x "$qemu" ] || { echo 0; return; }
    "$qemu" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9]*\).*/\1/p' | grep . || echo 0
}

# Installs qemu-user-static from bookworm-backports, adding that suite (on the
# main suite's mirror) to apt's sources when it is not there.
install_qemu() {
    local mirror list=/etc/apt/sources.list.d/bookworm-backports.list sources
    if ! grep -rqsE '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        # The main suite's mirror, from one-line or deb822 sources.
        sources=$(find /etc/apt/sources.list /etc/apt/sources.list.d/ -maxdepth 1 -type f \
                      \( -name '*.list' -o -name '*.sources' \) 2>/dev/null || true)
        # shellcheck disable=SC2086  # file names without blanks
        mirror=$([ -z "$sources" ] || awk '
            /^deb / && $3 == "bookworm" { print $2; exit }
            /^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri { print uri; exit }
            /^$/ { uri = "" }' $sources || true)
        echo "deb ${mirror:-http://deb.debian.org/debian} bookworm-backports main" >"$list"
        say "added $list for a qemu that starts Wine's 32-bit programs quickly"
    fi
    apt_install -t bookworm-backports qemu-user-static
    [ "$(qemu_installed_major)" -ge $qemu_major_needed ] ||
        stop "bookworm-backports gave qemu-i386 $(qemu_installed_major), not $qemu_major_needed or later: check the sources in /etc/apt."
}

mount_binfmt() {
    [ -e $binfmt/register ] && return 0
    mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null ||
        stop "binfmt_misc, which hands i386 programs to qemu, is not available here (mounting it on $binfmt failed): use a kernel with IA-32 emulation (ia32_emulation=1) or with binfmt_misc."
}

# register NAME: hands i386 executables to qemu. F opens qemu now, so the entry
# keeps working in other mount namespaces, and keeps the binary that was
# installed at this moment.
register() {
    [ -e "$binfmt/$1" ] && echo -1 >"$binfmt/$1"
    printf ':%s:M::%s:%s:%s:F\n' "$1" "$magic" "$mask" "$qemu" >$binfmt/register
}

# What every make target does: nothing where the loader starts (natively or
# through a recent qemu); else provides the emulated path, or stops saying why.
ensure_i386() {
    [ -e "$loader" ] || stop "Wine's 32-bit loader $loader is missing: run make (as root) to install it."
    local how major e
    how=$(probe_loader)
    case $how in
        native) return 0 ;;
        qemu*)
            major=${how#qemu }; major=${major%%.*}
            [ "$major" -ge $qemu_major_needed ] && return 0
            need_root "Wine's 32-bit programs start through qemu $major here (about a minute each); replacing it with qemu $qemu_major_needed"
            install_qemu
            # The kernel keeps the qemu it opened at registration: register
            # again every entry for i386 files, so that they use the new one.
            for e in "$binfmt"/*; do
                grep -qx "magic $magic_hex" "$e" 2>/dev/null && register "$(basename "$e")"
            done
            how=$(probe_loader)
            [ "$how" = native ] || [ "${how%%.*}" = "qemu $qemu_major_needed" ] ||
                stop "Wine's 32-bit loader starts as '$how' even after qemu was replaced and registered again."
            say "Wine's 32-bit programs ran through qemu $major (about a minute each), so qemu was upgraded and registered again: they now run through $how."
            return 0 ;;
    esac
    [ "${how%%:*}" = refused ] || stop "Wine's 32-bit loader $loader does not start: ${how#broken: }"
    [ "$EUID" -eq 0 ] ||
        stop "this kernel refuses 32-bit programs (${how#refused: }), which Wine needs for velquist.exe, and handing them to qemu needs root: run the same command once as root (for instance with sudo), or boot with ia32_emulation=1."
    [ "$(qemu_installed_major)" -ge $qemu_major_needed ] || install_qemu
    mount_binfmt
    register $entry
    how=$(probe_loader)
    [ "${how%% *}" = qemu ] || stop "Wine's 32-bit loader does not start even through qemu ($how)."
    say "this kernel refuses 32-bit programs, so binfmt_misc now hands them to $how (each Wine start about 0.4 s slower; undone at reboot or by: echo -1 > $binfmt/$entry)."
}

# --emulated CMD...: an entry of this run's own, so that undoing it never takes
# away one that the host or another run needs.
run_emulated() {
    local e pid how
    own=velquist-i386-$$   # global: the EXIT trap reads it
    need_root "Forcing the emulated path (registering qemu with binfmt_misc)"
    [ "$(qemu_installed_major)" -ge $qemu_major_needed ] || install_qemu
    mount_binfmt
    # Entries of forced runs that were killed before they could undo them.
    for e in "$binfmt"/velquist-i386-*; do
        [ -e "$e" ] || continue
        pid=${e##*-}
        kill -0 "$pid" 2>/dev/null || echo -1 >"$e"
    done
    trap 'rm -f "$prefs"; [ -e "$binfmt/$own" ] && echo -1 >"$binfmt/$own"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    register "$own"
    how=$(probe_loader)
    [ "${how%% *}" = qemu ] || stop "Wine's 32-bit loader does not start through qemu even when forced ($how)."
    say "VQ_EMULATE_I386: every i386 program runs through $how until this run ends (binfmt_misc entry $own, removed then)."
    "$@"
}

case ${1:-} in
    --i386) ensure_i386 ;;
    --emulated) shift; install_packages; setup_locales; run_emulated "$@" ;;
    "") install_packages; setup_locales; ensure_i386 ;;
    *) stop "unknown argument $1 (see the top of $0)" ;;
esac
