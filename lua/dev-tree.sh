#!/usr/bin/env bash
# Gives a developer an editable Lua tree with our series applied, and turns the
# commits made in it back into the series.
#
#   lua/dev-tree.sh open DIR   pristine release in DIR as a git repo: one commit
#                              "release" and one commit per patch of lua/patches
#   lua/dev-tree.sh save DIR   rewrites lua/patches from the commits after "release"
#                              (one patch per commit, named after its subject)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
series="$here/patches"
cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { sed -n '2,9p' "$0"; exit 2; }

git_in() { git -C "$dir" -c user.name=kestrune -c user.email=dev@kestrune.invalid "$@"; }

case "$cmd" in
open)
  [ ! -e "$dir" ] || { echo "$dir exists already" >&2; exit 1; }
  tarball=$("$here/../tools/fetch_lua.sh")
  mkdir -p "$dir"
  tar xzf "$tarball" -C "$dir" --strip-components=1
  git_in init -q
  git_in add -A
  git_in commit -q -m release
  git_in tag release
  for p in "$series"/*.patch; do
    [ -e "$p" ] || continue
    git_in am -q --keep-cr "$p"
  done
  echo "$dir: release + $(git_in rev-list --count release..HEAD) patches"
  ;;
save)
  tmp=$(mktemp -d)
  git_in format-patch -q --zero-commit --no-signature --no-stat -o "$tmp" release..HEAD
  rm -f "$series"/*.patch
  mkdir -p "$series"
  mv "$tmp"/*.patch "$series"/ 2>/dev/null || true
  rmdir "$tmp"
  ls "$series"
  ;;
*)
  sed -n '2,9p' "$0"; exit 2 ;;
esac
