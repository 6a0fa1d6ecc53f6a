#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, when missing,
# and fetches the pristine Lua 5.4.2 release into the download cache.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev patch git python3
  lua5.4 python3-lz4 python3-pil qoi
  libgtest-dev libgmock-dev libbenchmark-dev
  libsdl2-dev libcurl4-openssl-dev liblz4-dev libgif-dev liblodepng-dev libqoi-dev xvfb xdotool
  ca-certificates dpkg-dev
  pngcheck
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

"$(dirname "$0")/fetch_lua.sh"
