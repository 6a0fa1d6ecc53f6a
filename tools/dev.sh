#!/usr/bin/env bash
# Developer entry point.
#   tools/dev.sh demo    install what is missing, build (optimised), pack the demo
#                        userland and run the system on it (headless without a display)
#   tools/dev.sh test    install what is missing, build the sanitised tree with the fuzz
#                        targets and the optimised tree with the benchmarks, run
#                        everything; ends with CTest's summary
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=${KESTRUNE_JOBS:-$(nproc)}  # KESTRUNE_JOBS caps build and test jobs on a shared machine

configure() {  # dir, build type, extra cmake args...
  local dir=$1 type=$2
  shift 2
  cmake -G Ninja -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
}

case "${1:-}" in
demo)
  "$top/tools/setup.sh"
  configure "$top/build-release" Release -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=OFF
  ninja -C "$top/build-release" kestrune kvt_pack
  demo="$top/build-release/demo"
  mkdir -p "$demo"
  "$top/build-release/kvt_pack" "$demo/sysrom.dat" --name "" --system "$top/tests/userland/system"
  ln -sf ../kestrune "$demo/kestrune"
  args=()
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || args=(-x)
  exec "$demo/kestrune" "${args[@]}"
  ;;
test)
  "$top/tools/setup.sh"
  # Benchmarks in the optimised tree, each run briefly so none of them rots.
  configure "$top/build-release" Release -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=ON
  ninja -C "$top/build-release" -j "$jobs"
  (cd "$top/build-release" && ctest -L bench --output-on-failure -j "$jobs")
  # The threaded suites under ThreadSanitizer.
  configure "$top/build-tsan" Tsan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DKESTRUNE_BENCH=OFF
  ninja -C "$top/build-tsan" -j "$jobs" kestrune_tests
  (cd "$top/build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest -L tsan --output-on-failure -j "$jobs")
  # Everything else in the sanitised tree, built with clang for the fuzz targets.
  configure "$top/build-asan" Asan -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DKESTRUNE_BENCH=OFF -DKESTRUNE_FUZZ=ON
  ninja -C "$top/build-asan" -j "$jobs"
  cd "$top/build-asan"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j "$jobs" -LE bench
  ;;
*)
  sed -n '2,8p' "$0"
  exit 2
  ;;
esac
