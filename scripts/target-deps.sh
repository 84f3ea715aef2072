#!/usr/bin/env bash
# Builds, for one MinGW target, the libraries Debian ships as source only: GoogleTest (from
# the googletest package's /usr/src/googletest) and LZO (from Debian's lzo2 source package,
# fetched with apt-get source through a private source list, so the machine's own apt
# configuration is left alone). Installs them into build/deps/<triple>; the MinGW toolchain
# files run this on the first configure.
#
#   scripts/target-deps.sh x86_64-w64-mingw32|i686-w64-mingw32
set -euo pipefail
triple="${1:?target-deps: give the target triple}"
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="$root/build/deps/$triple"
work="$root/build/deps/work-$triple"
sources="$root/build/deps/sources"
lzo_version="2.10-2"

[[ -f "$prefix/.complete" ]] && exit 0
echo "target-deps: building GoogleTest and LZO for $triple into $prefix"
rm -rf "$work"
mkdir -p "$work" "$sources" "$prefix"

target=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows
  "-DCMAKE_C_COMPILER=$triple-gcc-posix" "-DCMAKE_CXX_COMPILER=$triple-g++-posix"
  "-DCMAKE_RC_COMPILER=$triple-windres" "-DCMAKE_FIND_ROOT_PATH=/usr/$triple"
  -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY
  -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY "-DCMAKE_INSTALL_PREFIX=$prefix" --no-warn-unused-cli)

# GoogleTest and GoogleMock as shared by the test programs' one C++ runtime.
cmake -S /usr/src/googletest -B "$work/googletest" "${target[@]}" >"$work/googletest.log"
cmake --build "$work/googletest" >>"$work/googletest.log"
cmake --install "$work/googletest" >>"$work/googletest.log"

# LZO from Debian's source package (upstream sources with Debian's patches applied).
if [[ ! -d "$sources/lzo2-2.10" ]]; then
  lists="$sources/apt-lists"
  mkdir -p "$lists/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    >"$sources/sources.list"
  apt_options=(-q -o "Dir::Etc::SourceList=$sources/sources.list" -o Dir::Etc::SourceParts=/nonexistent
    -o "Dir::State::Lists=$lists" -o APT::Sandbox::User=root)
  apt-get "${apt_options[@]}" update >"$sources/apt.log"
  (cd "$sources" && apt-get "${apt_options[@]}" source "lzo2=$lzo_version" >>"$sources/apt.log")
fi
cmake -S "$sources/lzo2-2.10" -B "$work/lzo2" "${target[@]}" -DENABLE_STATIC=ON -DENABLE_SHARED=OFF \
  >"$work/lzo2.log"
cmake --build "$work/lzo2" --target lzo_static_lib >>"$work/lzo2.log"
mkdir -p "$prefix/lib/pkgconfig" "$prefix/include"
cp "$work/lzo2/liblzo2.a" "$prefix/lib/"
cp -r "$sources/lzo2-2.10/include/lzo" "$prefix/include/"
# The package file as Debian's liblzo2-dev has it (headers under include/lzo).
cat >"$prefix/lib/pkgconfig/lzo2.pc" <<PC
prefix=$prefix
Name: lzo2
Description: LZO - a real-time data compression library
Version: 2.10
Libs: -L\${prefix}/lib -llzo2
Cflags: -I\${prefix}/include -I\${prefix}/include/lzo
PC
# Header-only packages (glm, stb) serve every target as they are: make them visible in the
# target's tree without the host's other headers.
for header_package in glm stb; do
  ln -sfn "/usr/include/$header_package" "$prefix/include/$header_package"
done
rm -rf "$work"
touch "$prefix/.complete"
echo "target-deps: done for $triple"
