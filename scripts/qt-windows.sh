#!/bin/bash
# Builds Qt 6 for 64-bit Windows (static, mingw-w64) from Debian 12's own
# qt6-base source, the same version as the native host tools, and installs it
# into a cache outside the clone. Runs once: later calls find the cache and
# only print its path.
#
# Usage: scripts/qt-windows.sh [--print-prefix] [--rebuild]
#   --print-prefix  print the cached prefix (empty when missing) and build nothing
#   --rebuild       drop the cached prefix and build it again
set -eu
cd "$(dirname "$0")/.."
root=$PWD

version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
if [ -z "$version" ]; then
    echo "qt-windows: qt6-base-dev is not installed (run scripts/deps.sh)" >&2
    exit 1
fi

# Everything that changes the result goes into the cache key.
options=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=OFF
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_optimize_size=ON
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_vulkan=OFF
    -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
    # Debian's source carries no wintab headers.
    -DFEATURE_tabletevent=OFF
    # Without direct2d 6.4.2 leaves out its DirectWrite font database and the
    # link fails; direct2d1_1 needs headers mingw-w64 lacks.
    -DFEATURE_direct2d=ON -DFEATURE_direct2d1_1=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
    # No install prefix inside the library: a static Qt that is not relocatable
    # keeps the cache's path and looks for plugins there, which on Windows names
    # a folder on the current drive (\root\.cache\...) that any user can create.
    # Relocatable, it takes the program's own folder as its prefix.
    -DFEATURE_relocatable=ON
)
# Qt cut to what the two programs and their tests use: a static link keeps
# whatever the style, QApplication or QDialog reach through a feature, so an
# unused feature costs size even though nothing calls it. Kept on purpose:
# accessibility, the Windows platform and its style, the style sheet (the form
# colours a label with one), rich text in labels, PNG, ICO, BMP and XPM (the
# common style draws XPM arrows), animation (the progress bar's glow), menus
# (a label's context menu), tabs and spin boxes (the Windows style uses them
# without asking) and everything Qt Test needs.
lite=(
    # Core: the MIME database, regular expressions (PCRE2), extra calendars,
    # XML, the proxy models, gestures, IPC and plugin loading from disk (the
    # platform and its style are linked in; nothing is ever loaded by path).
    mimetype regularexpression jalalicalendar hijricalendar islamiccivilcalendar
    xmlstream xmlstreamreader xmlstreamwriter proxymodel sortfilterproxymodel
    identityproxymodel transposeproxymodel concatenatetablesproxymodel
    stringlistmodel gestures sharedmemory systemsemaphore filesystemwatcher
    library sha3-fast
    # Gui: FreeType and HarfBuzz (the Windows font engines draw and shape the
    # texts), document writers and readers, PDF, movies, the tray.
    freetype harfbuzz textmarkdownreader textmarkdownwriter textodfwriter pdf
    movie picture systemtrayicon desktopservices undocommand undostack undogroup
    standarditemmodel filesystemmodel imageformat_ppm imageformat_xbm whatsthis
    # Widgets nobody opens.
    itemviews listview treeview tableview columnview treewidget listwidget
    tablewidget datawidgetmapper completer fscompleter undoview combobox
    fontcombobox filedialog fontdialog colordialog inputdialog errormessage
    wizard progressdialog calendarwidget datetimeedit mdiarea dockwidget
    mainwindow menubar toolbar statusbar toolbox graphicsview graphicseffect
    lcdnumber dial keysequenceedit commandlinkbutton splashscreen splitter
    textbrowser textedit syntaxhighlighter scroller sizegrip statustip effects
    style-fusion
)
for feature in "${lite[@]}"; do
    options+=("-DFEATURE_${feature//-/_}=OFF")
done
# 6.4.2 looks for PCRE2 even without regular expressions and calls it required.
options+=(-DINPUT_pcre=no -DCMAKE_DISABLE_FIND_PACKAGE_WrapPCRE2=ON)
# The scratch folder never reaches the libraries (Qt names some source files in
# its messages): its paths are remapped to relative ones.
remap='-ffile-prefix-map=@WORK@/='
compiler=$(x86_64-w64-mingw32-g++-posix --version | head -n 1)
key=$(printf '%s\n' "$version" "$compiler" "${options[@]}" "$remap" "$(cat scripts/qt-lite.patch)" |
    sha256sum | cut -c1-12)
upstream=${version%%+*}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/velta
prefix=$cache/qt-$upstream-mingw64-static-$key

case "${1:-}" in
--print-prefix)
    [ -f "$prefix/.complete" ] && echo "$prefix"
    exit 0
    ;;
--rebuild) rm -rf "$prefix" ;;
esac
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

echo "qt-windows: building Qt $version for Windows (static, mingw-w64) into" >&2
echo "  $prefix" >&2
echo "This happens once and takes about 15-20 minutes on 2 cores (more while other builds run); later builds reuse it." >&2

# The source package needs a deb-src entry for the mirror the machine already uses.
if ! apt-get source --print-uris qt6-base >/dev/null 2>&1; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            >/etc/apt/sources.list.d/velta-deb-src.sources
    fi
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list \
            >/etc/apt/sources.list.d/velta-deb-src.list
    fi
    apt-get update -qq
fi
command -v dpkg-source >/dev/null || apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null

# A scratch folder of its own: another build may be running in the same cache.
mkdir -p "$cache"
work=$(mktemp -d "$cache/qt-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get source --download-only "qt6-base=$version" >/dev/null 2>&1
# apt checked the files against the signed archive index already.
dpkg-source --skip-patches -x qt6-base_*.dsc src >/dev/null 2>&1
# Debian's upstream security fixes; its packaging patches are Linux-only.
for patch in $(grep -E '^cve-' src/debian/patches/series); do
    echo "qt-windows: applying $patch" >&2
    patch -d src -p1 -s <"src/debian/patches/$patch"
done
patch -d src -p1 -s <"$root/scripts/qt-lite.patch"

# rcc dates Qt's embedded resources by the source package, not by the clock.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l src/debian/changelog -S Timestamp)
export SOURCE_DATE_EPOCH
flags=${remap//@WORK@/$work}
start=$(date +%s)
cmake -S src -B build -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$work/install" "${options[@]}" >configure.log 2>&1 ||
    { tail -n 40 configure.log >&2; exit 1; }
echo "qt-windows: configured in $(($(date +%s) - start)) s; compiling" >&2
# A line at least every 15 s: ninja's own count of the files done, and the
# minutes so far. On failure the log outlives the scratch folder.
cmake --build build --parallel "$(nproc)" >build.log 2>&1 &
builder=$!
while ! timeout 15 tail --pid=$builder -f /dev/null; do
    done_files=$(grep -o '^\[[0-9]*/[0-9]*\]' build.log | tail -n 1)
    echo "qt-windows: compiling ${done_files:-[0/?]} files, $((($(date +%s) - start) / 60)) min so far" >&2
done
if ! wait $builder; then
    log=$cache/qt-build-failed.log
    cp build.log "$log"
    echo "qt-windows: the Qt build failed; its last lines:" >&2
    tail -n 40 build.log >&2
    echo "qt-windows: the whole log: $log" >&2
    exit 1
fi
cmake --install build >/dev/null
mv -T "$work/install" "$prefix"
touch "$prefix/.complete"
echo "qt-windows: done in $(($(date +%s) - start)) s; $(du -sh "$prefix" | cut -f1) in $prefix" >&2
echo "$prefix"
