#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian 12 machine.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-win32 >/dev/null || need+=(g++-mingw-w64-i686)
command -v wine >/dev/null || need+=(wine)
[ -e /usr/lib/wine/wine ] || [ -e /usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so ] || need+=(wine32:i386)
command -v wine64 >/dev/null || [ -e /usr/lib/wine/wine64 ] || need+=(wine64)
command -v xvfb-run >/dev/null || need+=(xvfb xauth)
command -v python3 >/dev/null || need+=(python3)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v clang++ >/dev/null || need+=(clang)
# libFuzzer's runtime and llvm-cov are only recommended by clang, not pulled in by it.
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-dev)
command -v llvm-cov >/dev/null || need+=(llvm)
[ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || need+=(libgtest-dev)
[ -e /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$' || need+=(locales)
fc-list 2>/dev/null | grep -qi vlgothic || need+=(fonts-vlgothic)
command -v convert >/dev/null && convert -version 2>/dev/null | grep -q ImageMagick || need+=(imagemagick)
command -v xwd >/dev/null || need+=(x11-apps)
command -v xwininfo >/dev/null || need+=(x11-utils)
# Wine's own fonts (Tahoma, Marlett) for the screenshots' captions and buttons.
[ -e /usr/share/wine/fonts/marlett.ttf ] || need+=(fonts-wine)
command -v python3 >/dev/null || need+=(python3)
# Releases: signing, certificate checks, and the PE reader of the release test
# (a Debian module, so it is Debian's python3 that has it).
command -v osslsigncode >/dev/null || need+=(osslsigncode)
command -v openssl >/dev/null || need+=(openssl)
/usr/bin/python3 -c 'import pefile' 2>/dev/null || need+=(python3-pefile)

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  # The i386 security index can fail to download, leaving amd64 and i386 out of step;
  # keeping the security suite below the main suite keeps both arches solvable.
  prefs=$(mktemp)
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$prefs"
  apt-get update -o Dir::Etc::Preferences="$prefs" || true
  apt-get install -y --no-install-recommends -o Dir::Etc::Preferences="$prefs" "${need[@]}"
  rm -f "$prefs"
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP.utf8$'; then
  sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
  grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen >/dev/null
fi
