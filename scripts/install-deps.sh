#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing the Yr system library need,
# only those that are missing. Safe to run again: with everything present it only checks.
#
#   scripts/install-deps.sh [--without GROUP[,GROUP...]] [--check]
#
# Groups (all by default): build, test, bench, fuzz, debug, i386, windows.
#   --without i386   skip the 32-bit toolchain and libraries (no `i386` preset then)
#   --without windows  skip MinGW-w64 and Wine (no `mingw64`/`mingw32` presets then)
#   --check          only report what is missing; exit status 1 if anything is
set -euo pipefail

declare -A groups=(
  [build]="cmake ninja-build g++ pkg-config git libmimalloc2.0"
  [test]="libgtest-dev libgmock-dev liblzo2-dev libdw-dev liburing-dev zlib1g-dev libglm-dev libdlib-dev imagemagick libstb-dev"
  [bench]="libbenchmark-dev zlib1g-dev libxxhash-dev libjemalloc-dev libglm-dev libdlib-dev liblz4-dev libzstd-dev"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [debug]="lldb"
  [i386]="qemu-user g++-multilib libgtest-dev:i386 libgmock-dev:i386 liblzo2-dev:i386 libdw-dev:i386 liburing-dev:i386 zlib1g-dev:i386"
  [windows]="g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386 libz-mingw-w64-dev googletest dpkg-dev lldb"
)
order=(build test bench fuzz debug i386 windows)

usage() {
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
}

without=""
check_only=0
while (($#)); do
  case "$1" in
    --without) without+=",${2:?--without needs a group list}"; shift 2 ;;
    --without=*) without+=",${1#--without=}"; shift ;;
    --check) check_only=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "install-deps: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done

selected=()
for group in "${order[@]}"; do
  [[ ",${without}," == *",${group},"* ]] || selected+=("$group")
done
for group in ${without//,/ }; do
  [[ -n "${groups[$group]+set}" ]] || { echo "install-deps: unknown group '$group'" >&2; exit 2; }
done

# A name without an architecture means the machine's own (or an architecture-independent
# package); asking dpkg for the bare name would also answer for the i386 copy.
native="$(dpkg --print-architecture)"
installed() {
  local candidates=("$1")
  [[ "$1" == *:* ]] || candidates=("$1:$native" "$1:all")
  local candidate
  for candidate in "${candidates[@]}"; do
    [[ "$(dpkg-query -W -f='${Status}' "$candidate" 2>/dev/null)" == "install ok installed" ]] && return 0
  done
  return 1
}

missing=()
for group in "${selected[@]}"; do
  for package in ${groups[$group]}; do
    installed "$package" || missing+=("$package")
  done
done

echo "install-deps: checking groups: ${selected[*]}"
if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present, nothing to do"
  exit 0
fi
echo "install-deps: missing: ${missing[*]}"
if ((check_only)); then
  exit 1
fi

as_root=()
if ((EUID != 0)); then
  command -v sudo >/dev/null || { echo "install-deps: run as root (or install sudo)" >&2; exit 1; }
  as_root=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
need_i386=0
for package in "${missing[@]}"; do
  [[ "$package" == *:i386 ]] && need_i386=1
done
if ((need_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture (dpkg --add-architecture i386)"
  "${as_root[@]}" dpkg --add-architecture i386
fi

echo "install-deps: updating the package lists (apt-get update)"
"${as_root[@]}" apt-get update -q
echo "install-deps: installing ${#missing[@]} packages"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "install-deps: done"
