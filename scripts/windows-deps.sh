#!/usr/bin/env bash
# Builds the libraries the Windows build needs from Debian's own sources, cross-compiled as static
# libraries with mingw-w64: Mini-XML, log4cplus, zlib, libpng and wxWidgets (MSW port, unicode,
# only its base and core libraries) from their source packages, GoogleTest from libgtest-dev's
# sources; nlohmann-json's headers are copied. Everything goes into
#   CACHE/<mxml>_<log4cplus>_<wxwidgets>-<wx libraries>_<zlib>_<libpng>_<googletest>_<json>/
# and prints that folder. A folder that is complete already is reused. The sources come through a
# private source list under CACHE; the machine's apt configuration is not touched.
#   usage: scripts/windows-deps.sh [CACHE]   (default: $HOME/.cache/kestrel-windows-deps)
set -euo pipefail
cache="$(realpath -m "${1:-${HOME}/.cache/kestrel-windows-deps}")"
here="$(cd "$(dirname "$0")/.." && pwd)"
triplet=x86_64-w64-mingw32

"$here/scripts/bootstrap.sh" windows >&2

# The same archive and suite as the machine's own binary sources.
mkdir -p "$cache/apt/lists/partial" "$cache/apt/cache/archives/partial"
suite="$(. /etc/os-release && echo "$VERSION_CODENAME")"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$cache/apt/sources.list"
apt_private=(-o "Dir::Etc::sourcelist=$cache/apt/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$cache/apt/lists" -o "Dir::Cache=$cache/apt/cache"
    -o "APT::Sandbox::User=root")
if [ -z "$(find "$cache/apt/lists" -maxdepth 1 -name '*Sources' -mmin -1440 2>/dev/null)" ]; then
    apt-get "${apt_private[@]}" update -qq >&2
fi
source_version() {
    apt-cache "${apt_private[@]}" showsrc "$1" | awk '/^Version:/ { print $2; exit }'
}
mxml_version="$(source_version mxml)"
log4cplus_version="$(source_version log4cplus)"
wx_version="$(source_version wxwidgets3.2)"
zlib_version="$(source_version zlib)"
libpng_version="$(source_version libpng1.6)"
# The wxWidgets libraries the programs link; a different set is a different cache folder.
wx_libraries=msw-base-core
installed_version() {
    dpkg-query -W -f='${Version}' "$1"
}
gtest_version="$(installed_version libgtest-dev)"
json_version="$(installed_version nlohmann-json3-dev)"
# Without the epochs ("1:"): a colon in the folder would split the search paths that name it.
folder_name() {
    local name="" version
    for version in "$@"; do
        name+="${name:+_}${version#*:}"
    done
    echo "$name"
}
prefix="$cache/$(folder_name "$mxml_version" "$log4cplus_version" "$wx_version-$wx_libraries" \
    "$zlib_version" "$libpng_version" "$gtest_version" "$json_version")"
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

# Each folder builds in its own work folder, so builds of different versions never meet.
work="$prefix.work"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix"
jobs="$(nproc)"
start=$SECONDS
(
    cd "$work"
    apt-get "${apt_private[@]}" source -qq "mxml=$mxml_version" "log4cplus=$log4cplus_version" \
        "wxwidgets3.2=$wx_version" "zlib=$zlib_version" "libpng1.6=$libpng_version" >&2
)

# Mini-XML: its own configure; only the static library and the header are needed.
(
    cd "$work"/mxml-*/
    ./configure --host=$triplet CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib \
        --prefix="$prefix" --disable-shared --enable-threads >&2
    make -j"$jobs" libmxml.a >&2
    mkdir -p "$prefix/lib" "$prefix/include" "$prefix/lib/pkgconfig"
    cp libmxml.a "$prefix/lib/"
    cp mxml.h "$prefix/include/"
    cat >"$prefix/lib/pkgconfig/mxml.pc" <<PC
prefix=$prefix
Name: Mini-XML
Description: Lightweight XML support library (static, mingw-w64)
Version: ${mxml_version%%-*}
Libs: -L\${prefix}/lib -lmxml
Cflags: -I\${prefix}/include
PC
)

# log4cplus: narrow characters, as Debian's own build; no tests, no logging server.
cmake -S "$(echo "$work"/log4cplus-*/)" -B "$work/log4cplus-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DUNICODE=OFF \
    -DLOG4CPLUS_BUILD_TESTING=OFF -DLOG4CPLUS_BUILD_LOGGINGSERVER=OFF -DWITH_UNIT_TESTS=OFF \
    -DLOG4CPLUS_ENABLE_DECORATED_LIBRARY_NAME=OFF >&2
cmake --build "$work/log4cplus-build" -j"$jobs" >&2
cmake --install "$work/log4cplus-build" >&2

# zlib and libpng for wxWidgets' PNG images: Debian's wxWidgets source leaves out the copies it
# bundles, so they are built from their own source packages.
(
    cd "$work"/zlib-*/
    CHOST=$triplet CC=$triplet-gcc-posix AR=$triplet-ar RANLIB=$triplet-ranlib \
        ./configure --static --prefix="$prefix" >&2
    make -j"$jobs" libz.a >&2
    make install >&2
)
(
    cd "$work"/libpng1.6-*/
    ./configure --host=$triplet CC=$triplet-gcc-posix --prefix="$prefix" --disable-shared \
        --without-binconfigs CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" >&2
    make -j"$jobs" libpng16.la >&2
    make install-libLTLIBRARIES install-pkgincludeHEADERS install-nodist_pkgincludeHEADERS \
        install-pkgconfigDATA install-header-links install-library-links >&2
)

# wxWidgets: the MSW port, static, with the base and core libraries only. Images come in through
# the zlib and libpng above; the parts that need the other bundled libraries Debian's source
# leaves out (expat, regular expressions, JPEG, TIFF) and the libraries the programs do not use
# (HTML, XRC, AUI, property grid, ribbon, rich text, styled text, media, web view, OpenGL,
# networking) are left out.
(
    mkdir -p "$work/wx-build"
    cd "$work/wx-build"
    PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" "$(echo "$work"/wxwidgets3.2-*/)configure" \
        --host=$triplet CC=$triplet-gcc-posix CXX=$triplet-g++-posix --prefix="$prefix" \
        CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" \
        --with-msw --enable-unicode --disable-shared --with-zlib=sys --with-libpng=sys \
        --without-libjpeg --without-libtiff --without-liblzma --without-expat --without-regex \
        --without-opengl --without-libcurl --without-nanosvg --disable-html --disable-xrc \
        --disable-aui --disable-propgrid --disable-ribbon --disable-richtext --disable-stc \
        --disable-mediactrl --disable-webview --disable-webrequest --disable-sockets \
        --disable-protocols --disable-fs_inet --disable-url --disable-secretstore \
        --disable-sound --disable-help >&2
    make -j"$jobs" >&2
    make install >&2
)

# GoogleTest and GoogleMock from the sources Debian ships for building them.
cmake -S /usr/src/googletest -B "$work/googletest-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF >&2
cmake --build "$work/googletest-build" -j"$jobs" >&2
cmake --install "$work/googletest-build" >&2

# nlohmann-json is headers only; its package files locate them relative to themselves.
mkdir -p "$prefix/include" "$prefix/share/cmake"
cp -r /usr/include/nlohmann "$prefix/include/"
cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"

rm -rf "$work"
echo "windows-deps: built in $((SECONDS - start)) s" >&2
touch "$prefix/.complete"
echo "$prefix"
