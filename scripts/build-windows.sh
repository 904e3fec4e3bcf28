#!/usr/bin/env bash
# Builds the Windows x86_64 deliverables and their tests into BUILD with mingw-w64:
#   scripts/build-windows.sh BUILD [extra CMake arguments...]
# BUILD/bin then holds Cardflash.com, Cardlink.dll with its kit (libCardlink.dll.a, Cardlink.def,
# cardlink.h, cardlink_export.h) and hidapi.dll, built from Debian's hidapi 0.13.1 source package;
# BUILD/simbus/hidapi.dll is the virtual bus. Installs the Debian packages it needs first, and
# makes the wine prefix (BUILD/wine) in which the tests run, before the build discovers them.
# BUILD/bin also gets Cardflash.exe, the window; BUILD/package the installer and the zip;
# BUILD/hidapi-wine the test-only hidapi.dll for the hidraw harness under wine, which runs it in
# the prefix BUILD/wine-hid.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(mkdir -p "${1:?usage: scripts/build-windows.sh BUILD [CMake arguments...]}" && cd "$1" && pwd)"
shift
deps="$build/deps"
mkdir -p "$deps"

packages=(
  cmake ninja-build dpkg-dev patch
  mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  googletest libboost-dev libcli11-dev nlohmann-json3-dev
  nsis  # the installer
  # the window's tests: code page 950 and a font with its characters, a screen, clicks, OCR
  locales fonts-wqy-microhei xvfb xauth xdotool imagemagick tesseract-ocr
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# hidapi 0.13.1 from Debian's source package (any Debian revision of it), through an apt
# configuration of the build's own that adds source entries for the machine's Debian archive.
# The upstream tarball must be the one whose SHA-256 the repository holds.
tarball=hidapi_0.13.1.orig.tar.gz
hidapi_src="$deps/hidapi-hidapi-0.13.1"
if [ ! -f "$hidapi_src/windows/hid.c" ]; then
  apt_dir="$deps/apt"
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/download"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] && sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$apt_dir/sources/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -nE 's/^deb[[:space:]]+/deb-src /p' /etc/apt/sources.list > "$apt_dir/sources/from-sources-list.list"
  fi
  apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  apt-get "${apt_opts[@]}" update -qq
  version=$(apt-cache "${apt_opts[@]}" showsrc hidapi | sed -nE 's/^Version: (0\.13\.1-.*)$/\1/p' | head -n 1)
  if [ -z "$version" ]; then
    echo "build-windows: the Debian archive offers no hidapi 0.13.1 source package" >&2
    exit 1
  fi
  (cd "$apt_dir/download" && apt-get "${apt_opts[@]}" source --download-only -qq "hidapi=$version")
  (cd "$apt_dir/download" && sha256sum --quiet -c "$here/windows/$tarball.sha256") || {
    echo "build-windows: $tarball is not the one windows/$tarball.sha256 names" >&2
    exit 1
  }
  tar -xzf "$apt_dir/download/$tarball" -C "$deps"
  rm -rf "$apt_dir"
fi

# Header-only Boost, CLI11 and nlohmann-json through a folder of links: all of /usr/include would bring glibc's
# headers into the cross build.
mkdir -p "$deps/include"
ln -sfn /usr/include/boost "$deps/include/boost"
ln -sfn /usr/include/CLI "$deps/include/CLI"
ln -sfn /usr/include/nlohmann "$deps/include/nlohmann"

toolchain="$here/windows/toolchain-mingw-w64.cmake"
# GoogleTest built by the same compilers.
if [ ! -f "$deps/prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$deps/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps/prefix" -DBUILD_GMOCK=OFF > "$deps/googletest.log" 2>&1 \
    || { cat "$deps/googletest.log"; exit 1; }
  cmake --build "$deps/googletest" -j "$(nproc)" >> "$deps/googletest.log" 2>&1 \
    && cmake --install "$deps/googletest" >> "$deps/googletest.log" 2>&1 || { cat "$deps/googletest.log"; exit 1; }
fi

# The window's tests run in code page 950, which wine takes from the locale zh_TW.UTF-8.
if ! locale -a | grep -qix 'zh_TW.utf8'; then
  "${sudo_cmd[@]}" localedef -i zh_TW -f UTF-8 zh_TW.UTF-8
fi

# The wine prefix of the tests (about 10 s the first time).
if [ ! -f "$build/wine/system.reg" ]; then
  WINEPREFIX="$build/wine" WINEDEBUG=-all wineboot -i > /dev/null 2>&1
  WINEPREFIX="$build/wine" wineserver -w
fi
# Windows in it run on wine's null graphics driver, without a display; the one test on Xvfb opens
# a desktop of its own with the X11 driver.
if ! grep -q '"Graphics"="null"' "$build/wine/user.reg"; then
  WINEPREFIX="$build/wine" WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f > /dev/null 2>&1
  WINEPREFIX="$build/wine" wineserver -w
fi

# The prefix in which the hidraw harness runs wine (sim/hidraw/README.md): winebus serves hidraw
# nodes only with SDL off, and with udev's events off it watches /dev, which the harness's testbed
# stands in for.
if ! grep -q '"DisableUdevd"=dword:00000001' "$build/wine-hid/system.reg" 2> /dev/null; then
  WINEPREFIX="$build/wine-hid" WINEDEBUG=-all wineboot -i > /dev/null 2>&1
  for value in "Enable SDL=0" "DisableUdevd=1"; do
    WINEPREFIX="$build/wine-hid" WINEDEBUG=-all wine reg add 'HKLM\System\CurrentControlSet\Services\winebus' \
      /v "${value%=*}" /t REG_DWORD /d "${value#*=}" /f > /dev/null 2>&1
  done
  WINEPREFIX="$build/wine-hid" wineserver -w
fi

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCARDLINK_WERROR=ON \
  -DCARDLINK_WINDOWS_DEPS="$deps" -DCARDLINK_HIDAPI_SOURCE="$hidapi_src" "$@" > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
