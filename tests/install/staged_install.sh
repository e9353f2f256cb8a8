#!/usr/bin/env bash
# Installs the build tree into a staging folder (DESTDIR) and checks what a package or an
# administrator's "cmake --install" would put on a machine: the layout, the libraries'
# names and search paths, the user unit and the autostart file as their validators see
# them, a C program built against the installed headers and pkg-config files, and the
# installed agent (not the build tree's) setting up a family queue in the sandbox.
#
#   staged_install.sh BUILD_DIR PREFIX LIBDIR SYSCONFDIR SANDBOX PLUGIN
#
# PREFIX is absolute; LIBDIR is relative to it; SYSCONFDIR is the full configuration folder.
set -euo pipefail

build=$1
prefix=$2
libdir=$3
sysconfdir=$4
sandbox=$5
plugin=$6
here=$(cd "$(dirname "$0")" && pwd)

if [ "$prefix" = /usr ]; then
  echo "FAIL: the staged agent is checked in place of PREFIX; configure a prefix other than /usr"
  exit 1
fi

staging=$build/install-staging
rm -rf "$staging"
DESTDIR=$staging cmake --install "$build" >"$build/install-staging.log"
root=$staging$prefix
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# --- layout --------------------------------------------------------------------------------
layout=(
  "x bin/zelcups-agent"
  "x libexec/zelcups-agent"
  "x bin/zelcups-printer-address"
  "f share/zelcups-agent/Printer.svg"
  "f share/zelcups-agent/Printer.png"
  "f share/man/man1/zelcups-agent.1.gz"
  "f share/man/man1/zelcups-printer-address.1.gz"
  "f lib/systemd/user/zelcups-agent.service"
  "f $libdir/libzelcups-compat.so.1"
  "f $libdir/libCommonLib.so.1"
  "l $libdir/libzelcups-compat.so"
  "l $libdir/libCommonLib.so"
  "f $libdir/libzelcups_common.a"
  "f $libdir/libzelcups_info_bridge.a"
  "f $libdir/pkgconfig/zelcups-common.pc"
  "f $libdir/pkgconfig/zelcups-info.pc"
  "f include/zelcups-agent/zelcups_common.h"
  "f include/zelcups-agent/Info.h"
  "f include/zelcups-agent/CommonLib.h"
  "f include/zelcups-agent/CoreFoundation/CoreFoundation.h"
  "f include/zelcups-agent/Carbon/Carbon.h"
)
for language in en de fr ja; do
  layout+=("f share/locale/$language/LC_MESSAGES/zelcups-agent.mo")
done
for row in "${layout[@]}"; do
  kind=${row%% *}
  path=$root/${row#* }
  case "$kind" in
    x) [ -f "$path" ] && [ -x "$path" ] || fail "no program ${row#* }" ;;
    f) [ -f "$path" ] || fail "no file ${row#* }" ;;
    l) [ -L "$path" ] || fail "no link ${row#* }" ;;
  esac
done
autostart=$staging$sysconfdir/xdg/autostart/zelcups-agent.desktop
[ -f "$autostart" ] || fail "no autostart file $sysconfdir/xdg/autostart/zelcups-agent.desktop"
# Nothing of the tests and nothing of the build tree's private folders is installed.
stray=$(find "$staging" \( -name '*.dylib' -o -name '*test*' -o -name '*.o' \) -print)
[ -z "$stray" ] || fail "test or build files installed: $stray"

# --- libraries -----------------------------------------------------------------------------
for library in libzelcups-compat.so.1 libCommonLib.so.1; do
  soname=$(readelf -d "$root/$libdir/$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "$library" ] || fail "$library has SONAME '$soname'"
  exported=$(nm -D --defined-only "$root/$libdir/$library" | grep -ci testing || true)
  [ "$exported" -eq 0 ] || fail "$library exports $exported names of test code"
done
# What the session starts blocks the quit signals before any loader runs: it has none.
if readelf -l "$root/bin/zelcups-agent" | grep -q INTERP; then
  fail "bin/zelcups-agent needs a dynamic loader"
fi
for program in libexec/zelcups-agent bin/zelcups-printer-address; do
  if readelf -d "$root/$program" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "$program searches the build tree for libraries"
  fi
  # Each of this project's libraries that it needs comes from the installation.
  ours=$(ldd "$root/$program" | grep -E 'libzelcups-compat|libCommonLib' || true)
  if [ -z "$ours" ] || grep -v "=> $root/" <<<"$ours"; then
    fail "$program does not load the installed libraries: $ours"
  fi
done

# --- the user unit and the autostart file --------------------------------------------------
unit=$root/lib/systemd/user/zelcups-agent.service
for line in "ExecStart=$prefix/bin/zelcups-agent" "PartOf=graphical-session.target" \
  "After=graphical-session.target" "WantedBy=graphical-session.target" \
  "Restart=on-failure" "Slice=background.slice"; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
for line in "Exec=$prefix/bin/zelcups-agent" "NoDisplay=true" "X-systemd-skip=true" \
  "X-GNOME-Autostart-enabled=true"; do
  grep -qxF "$line" "$autostart" || fail "the autostart file lacks $line"
done
# The validator checks the unit as installed: the staged prefix takes the place of PREFIX
# in a private mount namespace, so that its program and its manual page are found there.
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
verify=$(bwrap --dev-bind / / --ro-bind "$root" "$prefix" --setenv XDG_RUNTIME_DIR "$runtime" \
  --setenv MANPATH "$prefix/share/man:" \
  systemd-analyze verify --user "$prefix/lib/systemd/user/zelcups-agent.service" 2>&1) ||
  fail "systemd-analyze verify --user failed"
[ -z "$verify" ] || fail "systemd-analyze verify --user reports: $verify"
validate=$(desktop-file-validate "$autostart" 2>&1) || fail "desktop-file-validate failed"
[ -z "$validate" ] || fail "desktop-file-validate reports: $validate"

# --- a C program against the installed development files ----------------------------------
flags=$(pkg-config --with-path="$root/$libdir/pkgconfig" --define-variable=prefix="$root" \
  --cflags --libs zelcups-common zelcups-info)
# shellcheck disable=SC2086 # flags are words
if cc -std=c11 -Wall -Wextra -Werror -pedantic -o "$staging/link_check" "$here/link_check.c" \
  $flags -Wl,-rpath,"$root/$libdir"; then
  "$staging/link_check" "$(dirname "$(dirname "$plugin")")" || fail "the C program failed"
else
  fail "a C program does not build against the installed headers and pkg-config files"
fi

# --- the installed agent sets up a family queue --------------------------------------------
"$sandbox" --plugin "$plugin" /usr/bin/python3 "$here/queue_road.py" \
  --agent "$root/bin/zelcups-agent" || fail "the installed agent's queue road"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "PASS: staged installation (${#layout[@]} layout rows, unit and autostart valid)"
