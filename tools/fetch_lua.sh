#!/usr/bin/env bash
# Puts the pristine Lua 5.4.2 release tarball into the download cache and
# checks its hash. Debian keeps that exact file as the orig tarball of its
# lua5.4 5.4.2-2 source package, so apt fetches it through a private source
# list (the machine's own apt set-up is left untouched).
set -euo pipefail

sha=11570d97e9d7303c0a59567ed1ac7c648340cd0db10d5fd594c09223ef2f524f
cache="${KESTRUNE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrune}"
tarball="$cache/lua5.4_5.4.2.orig.tar.gz"

if [ -f "$tarball" ] && echo "$sha  $tarball" | sha256sum -c --status; then
  echo "$tarball"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sources" "$work/lists/partial"
cat > "$work/sources/lua-src.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bullseye
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/sources"
          -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update >&2
(cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only lua5.4=5.4.2-2 >&2)

if ! echo "$sha  $work/lua5.4_5.4.2.orig.tar.gz" | sha256sum -c --status; then
  echo "fetch_lua: the downloaded Lua tarball does not have the expected sha256" >&2
  exit 1
fi
mv "$work/lua5.4_5.4.2.orig.tar.gz" "$tarball"
echo "$tarball"
