# shellcheck shell=bash
# Sourced by the scripts that make a new Debian root of a supported release: the release
# this machine runs, the way to the archive this machine uses, and the one way to make
# and enter such a root.

# The releases the project supports, newest first.
readonly RELEASE_SUITES=(trixie bookworm)

# release_name SUITE: how people call it, e.g. "Debian 13 (trixie)".
release_name() {
  case $1 in
    bookworm) echo "Debian 12 (bookworm)" ;;
    trixie) echo "Debian 13 (trixie)" ;;
    *) echo "Debian $1" ;;
  esac
}

# host_suite: the codename of the release this machine runs, from /etc/os-release.
host_suite() {
  (
    # shellcheck disable=SC1091 # the host's own file
    . /etc/os-release
    echo "${VERSION_CODENAME:-unknown}"
  )
}

# check_suite SUITE: fails with a line unless SUITE is a supported release.
check_suite() {
  local s
  for s in "${RELEASE_SUITES[@]}"; do
    [ "$1" = "$s" ] && return 0
  done
  echo "${0##*/}: unsupported release '$1' (supported: ${RELEASE_SUITES[*]})" >&2
  return 1
}

# host_archives: the Debian archive and the security archive this machine's apt reaches
# (its mirror included), one a line; a new root then reaches what the host reaches.
host_archives() {
  local uris archive security
  uris=$({
    sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
    sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
  } | tr ' ' '\n' | grep -E '/debian(-security)?/?$' || true)
  archive=$(grep -v -- '-security' <<<"$uris" | head -n 1)
  security=$(grep -- '-security' <<<"$uris" | head -n 1)
  [ -n "$archive" ] || { echo "${0##*/}: no Debian archive in this machine's apt sources" >&2; return 1; }
  echo "${archive%/}"
  echo "${security:-${archive%/}-security}"
}

# host_apt_options: the host's apt proxy settings as mmdebstrap --aptopt arguments, one a
# line, so that a root made here downloads the way the host does.
host_apt_options() {
  apt-config dump 2>/dev/null | grep -E '^Acquire::(https?|ftp)::Proxy' | sed 's/^/--aptopt=/' || true
}

# make_release_root SUITE ROOT [PACKAGE,...]: a minimal root of SUITE in ROOT, from the
# host's archives, with apt, sudo and the packages named; its log in ROOT.log.
make_release_root() {
  local suite=$1 root=$2 include=${3:+,$3} archive security
  check_suite "$suite" || return 1
  command -v mmdebstrap >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap \
      >/dev/null || return 1
  { read -r archive && read -r security; } < <(host_archives) || return 1
  local -a options
  mapfile -t options < <(host_apt_options)
  rm -rf "$root"
  mkdir -p "$(dirname "$root")"
  mmdebstrap --variant=minbase --include="ca-certificates,sudo$include" "${options[@]}" \
    "$suite" "$root" \
    "deb $archive $suite main" \
    "deb $archive $suite-updates main" \
    "deb $security $suite-security main" >"$root.log" 2>&1 ||
    { tail -n 30 "$root.log" >&2; echo "${0##*/}: could not make a $suite root" >&2; return 1; }
  # What an installed machine has and a bare root lacks.
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
}

# copy_checkout ROOT DIR: the checkout's files (tracked and new, not ignored, as they are
# in the work tree) into ROOT/DIR.
copy_checkout() {
  local root=$1 dir=$2 top
  top=$(git rev-parse --show-toplevel) || return 1
  rm -rf "${root:?}/$dir"
  mkdir -p "$root/$dir"
  (cd "$top" && git ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"
  done | tar -c --null -T - -f -) | tar -x -C "$root/$dir"
}

# in_release_root ROOT DIR COMMAND: COMMAND (a shell command line) in ROOT, in DIR, as
# root, with the environment of a fresh login and private mounts that end with it.
in_release_root() {
  local root=$1 dir=$2 command=$3
  unshare -m --propagation private bash -c '
    root=$1
    mount --bind "$root" "$root" && mount --make-private "$root" &&
      mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
      mount --make-rslave "$root/dev" && mount --rbind /sys "$root/sys" &&
      mount --make-rslave "$root/sys" && mount -t tmpfs tmpfs "$root/tmp" || exit 2
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 CI="${CI:-}" \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c "cd \"\$1\" && $3" in-root "$2"' in-release-root "$root" "$dir" "$command"
}
