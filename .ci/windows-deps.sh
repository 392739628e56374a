#!/usr/bin/env bash
# Usage: windows-deps.sh
# Builds zlib, libpng, libjpeg-turbo and DevIL's core library (DevIL.dll, with the other three
# linked in) for 64-bit Windows with mingw-w64, from the pinned tarballs in OSTRELLE_VENDOR
# (default ../shared/vendor beside the project) with the project's patches to DevIL, and prints
# the folder holding bin/, include/, lib/ and licenses/. The build is kept in
# ${XDG_CACHE_HOME:-~/.cache}/ostrelle/windows-deps under a key of everything that goes into it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$SECONDS
out=$root/build/windows-release
vendor=${OSTRELLE_VENDOR:-$root/../shared/vendor}
sums=packaging/windows/SHA256SUMS
patches=(packaging/devil/*.patch)
toolchain=$root/cmake/mingw-w64-x86_64.cmake

fail() {
    echo "windows-deps: FAILED: $*" >&2
    exit 1
}

bash .ci/install-missing.sh cmake make git nasm g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64

# Every tarball is checked against the checksums this project pins before anything unpacks it.
[ -d "$vendor" ] || fail "no vendor folder at $vendor (set OSTRELLE_VENDOR; README.md lists the tarballs)"
while read -r sum name; do
    [ -f "$vendor/$name" ] || fail "$vendor/$name is missing (README.md says where it comes from)"
    [ "$(sha256sum "$vendor/$name" | cut -d' ' -f1)" = "$sum" ] ||
        fail "$vendor/$name does not match its sha256 in $sums"
done <"$sums"

# The cache key covers the tarballs, the patches, this script, the toolchain file and compiler.
key=$({
    cat "$sums" "${patches[@]}" .ci/windows-deps.sh "$toolchain"
    x86_64-w64-mingw32-gcc --version
} | sha256sum | cut -c1-16)
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/ostrelle/windows-deps
deps=$cache_root/$key

# Configures, builds and installs one CMake project into $stage for Windows.
cmake_install() {
    local src=$1 bld=$2
    shift 2
    cmake -S "$src" -B "$bld" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$stage" -DCMAKE_FIND_ROOT_PATH="$stage" "$@" >"$bld.log" 2>&1 ||
        fail "configuring $src, see $bld.log"
    cmake --build "$bld" --parallel 2 >>"$bld.log" 2>&1 || fail "building $src, see $bld.log"
    cmake --install "$bld" >>"$bld.log" 2>&1 || fail "installing $src, see $bld.log"
}

build_deps() {
    local work=$out/deps
    stage=$deps.partial.$$
    rm -rf "$work" "$stage"
    mkdir -p "$work" "$stage"
    for name in zlib-1.3.1 libpng-1.6.58 libjpeg-turbo-3.1.4 devil-1.8.0; do
        tar -xzf "$vendor/$name.tar.gz" -C "$work"
    done
    for p in "${patches[@]}"; do
        git -C "$work/devil-1.8.0" apply --whitespace=nowarn "$root/$p" || fail "$p does not apply"
    done

    cmake_install "$work/zlib-1.3.1" "$work/zlib" -DZLIB_BUILD_EXAMPLES=OFF
    # zlib always builds a DLL too; only the static library may be found from here on.
    rm -f "$stage"/bin/*.dll "$stage"/lib/libzlib.dll.a
    local zlib=(-DZLIB_LIBRARY="$stage/lib/libzlibstatic.a" -DZLIB_INCLUDE_DIR="$stage/include")
    cmake_install "$work/libpng-1.6.58" "$work/libpng" "${zlib[@]}" -DPNG_SHARED=OFF \
        -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_TOOLS=OFF
    # With its SIMD extensions (assembled by nasm) four 12-megapixel JPEGs convert in 0.57 s
    # instead of 0.78 s under wine here, to the same pixels; never quietly without them.
    cmake_install "$work/libjpeg-turbo-3.1.4" "$work/libjpeg" -DENABLE_SHARED=OFF -DWITH_SIMD=1 \
        -DREQUIRE_SIMD=1 -DWITH_TURBOJPEG=OFF -DWITH_TOOLS=OFF -DWITH_TESTS=OFF
    # PNG and JPEG only: every other codec would need a library of its own in the DLL.
    cmake_install "$work/devil-1.8.0/DevIL/src-IL" "$work/devil" "${zlib[@]}" \
        -DPNG_LIBRARY="$stage/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$stage/include" \
        -DJPEG_LIBRARY="$stage/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$stage/include" \
        -DCMAKE_DISABLE_FIND_PACKAGE_TIFF=ON -DCMAKE_DISABLE_FIND_PACKAGE_Jasper=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_libSquish=ON -DCMAKE_DISABLE_FIND_PACKAGE_NVTT=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_OpenEXR=ON -DCMAKE_DISABLE_FIND_PACKAGE_LCMS2=ON \
        -DCMAKE_DISABLE_FIND_PACKAGE_MNG=ON \
        -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc -static-libstdc++"
    x86_64-w64-mingw32-strip "$stage/bin/DevIL.dll"

    # The zip's license texts come from the same sources.
    mkdir -p "$stage/licenses"
    cp "$work/zlib-1.3.1/LICENSE" "$stage/licenses/zlib-LICENSE.txt"
    cp "$work/libpng-1.6.58/LICENSE" "$stage/licenses/libpng-LICENSE.txt"
    cp "$work/libjpeg-turbo-3.1.4/LICENSE.md" "$stage/licenses/libjpeg-turbo-LICENSE.md"
    cp "$work/libjpeg-turbo-3.1.4/README.ijg" "$stage/licenses/libjpeg-turbo-README.ijg"
    cp "$work/devil-1.8.0/DevIL/COPYING" "$stage/licenses/DevIL-COPYING.txt"
    rm -rf "$deps"
    mv "$stage" "$deps"
    rm -rf "$work"
    # Builds under older keys are never used again.
    find "$cache_root" -mindepth 1 -maxdepth 1 ! -name "$key" ! -name "*.partial.*" \
        -exec rm -rf {} +
}

if [ -f "$deps/bin/DevIL.dll" ]; then
    echo "windows-deps: libraries from the cache ($deps)" >&2
else
    echo "windows-deps: building zlib, libpng, libjpeg-turbo and DevIL" >&2
    build_deps
    echo "windows-deps: built in $((SECONDS - start)) s" >&2
fi

echo "$deps"
