#!/bin/sh
# Installs the build into a fresh prefix and uses it from outside the source
# tree as a host would. Run by CTest (tests/install/CMakeLists.txt), which
# passes in the environment:
#   PELOX_BUILD_DIR      the build to install
#   PELOX_HOST_SOURCE    host.c
#   PELOX_VERSION        the project version
#   PELOX_CMAKE, PELOX_GENERATOR, PELOX_MAKE_PROGRAM, PELOX_CC, PELOX_PKG_CONFIG
#   PELOX_HOST_FLAGS     extra compile and link flags for host programs
#   PELOX_LIBDIR         the library directory below the prefix (lib)
set -eu

fail() {
    echo "install test: $*" >&2
    exit 1
}

# run LOG COMMAND...: runs a step, showing its output only when it fails.
run() {
    log=$1
    shift
    "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "failed: $*"; }
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/pelox-install.XXXXXX")
emulator=""
cleanup() {
    if [ -n "$emulator" ]; then
        kill "$emulator" 2>/dev/null || true
        wait "$emulator" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

prefix=$tmp/prefix
lib=$prefix/$PELOX_LIBDIR
cd "$tmp"
unset LD_LIBRARY_PATH || true

# --- The installed tree ---------------------------------------------------
run install.log "$PELOX_CMAKE" --install "$PELOX_BUILD_DIR" --prefix "$prefix"

for f in include/peloxImp.h bin/pelox bin/pelox-emulator bin/pelox-demo \
    "$PELOX_LIBDIR/pkgconfig/peloxImp.pc" \
    "$PELOX_LIBDIR/cmake/peloxImp/peloxImpConfig.cmake" \
    "$PELOX_LIBDIR/cmake/peloxImp/peloxImpConfigVersion.cmake" \
    "$PELOX_LIBDIR/cmake/peloxImp/peloxImpTargets.cmake" \
    "share/peloxImp/samples/catalogue/Examples/Add Numbers.xml"; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done
major=${PELOX_VERSION%%.*}
for name in libpeloxImp libpeloxImp_soap; do
    [ -f "$lib/$name.so.$PELOX_VERSION" ] && [ ! -L "$lib/$name.so.$PELOX_VERSION" ] ||
        fail "$name.so.$PELOX_VERSION is not installed"
    [ "$(readlink "$lib/$name.so.$major")" = "$name.so.$PELOX_VERSION" ] || fail "$name.so.$major is not a link to $name.so.$PELOX_VERSION"
    [ "$(readlink "$lib/$name.so")" = "$name.so.$major" ] || fail "$name.so is not a link to $name.so.$major"
done
# Only the public header, only the programs (no test executable), no static
# library.
[ "$(ls "$prefix/include")" = "peloxImp.h" ] || fail "include/ holds more than peloxImp.h: $(ls "$prefix/include")"
for f in "$prefix"/bin/*; do
    case "${f##*/}" in
    pelox | pelox-*) ;;
    *) fail "bin/${f##*/} is not one of the programs" ;;
    esac
done
[ -z "$(find "$prefix" -name '*.a')" ] || fail "static libraries are installed: $(find "$prefix" -name '*.a')"
# Installed binaries find their libraries relative to themselves, never in
# the build tree (which would hide a broken install while the build exists).
for f in "$lib/libpeloxImp.so.$PELOX_VERSION" "$lib/libpeloxImp_soap.so.$PELOX_VERSION" \
    "$prefix/bin/pelox" "$prefix/bin/pelox-emulator" "$prefix/bin/pelox-demo"; do
    runpath=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
    case "$runpath" in
    *"$PELOX_BUILD_DIR"*) fail "$f still searches the build tree: $runpath" ;;
    '$ORIGIN'*) ;;
    *) fail "$f has no RPATH relative to \$ORIGIN: '$runpath'" ;;
    esac
done
readelf -d "$lib/libpeloxImp.so.$PELOX_VERSION" | grep -q "NEEDED.*\[libpeloxImp_soap.so.$major\]" ||
    fail "libpeloxImp.so does not need libpeloxImp_soap.so.$major"

# --- (a) A host built with pkg-config -------------------------------------
mkdir pc-host
cp "$PELOX_HOST_SOURCE" pc-host/host.c
export PKG_CONFIG_PATH="$lib/pkgconfig"
[ "$("$PELOX_PKG_CONFIG" --modversion peloxImp)" = "$PELOX_VERSION" ] || fail "pkg-config gives another version"
# shellcheck disable=SC2046,SC2086
run pc-build.log "$PELOX_CC" $PELOX_HOST_FLAGS -o pc-host/host pc-host/host.c \
    $("$PELOX_PKG_CONFIG" --cflags --libs peloxImp) -Wl,-rpath,"$lib"
out=$(./pc-host/host) || fail "the pkg-config host failed: $out"
[ "$out" = "peloxImp $PELOX_VERSION" ] || fail "the pkg-config host printed '$out'"

# --- (b) A host built with find_package(peloxImp) ---------------------------
mkdir cmake-host
cp "$PELOX_HOST_SOURCE" cmake-host/host.c
cat >cmake-host/CMakeLists.txt <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(pelox_host LANGUAGES C)
find_package(peloxImp 8.5 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE peloxImp::peloxImp)
EOF
run cmake-configure.log "$PELOX_CMAKE" -S cmake-host -B cmake-host/build -G "$PELOX_GENERATOR" \
    -DCMAKE_MAKE_PROGRAM="$PELOX_MAKE_PROGRAM" -DCMAKE_C_COMPILER="$PELOX_CC" \
    -DCMAKE_C_FLAGS="$PELOX_HOST_FLAGS" -DCMAKE_EXE_LINKER_FLAGS="$PELOX_HOST_FLAGS" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
grep -qx "peloxImp_DIR:PATH=$lib/cmake/peloxImp" cmake-host/build/CMakeCache.txt ||
    fail "find_package(peloxImp) found another package: $(grep '^peloxImp_DIR' cmake-host/build/CMakeCache.txt)"
run cmake-build.log "$PELOX_CMAKE" --build cmake-host/build
out=$(./cmake-host/build/host) || fail "the CMake host failed: $out"
[ "$out" = "peloxImp $PELOX_VERSION" ] || fail "the CMake host printed '$out'"

# --- (c) The installed emulator seeds from the installed samples ------------
# A marker only the installed copy has tells it from the source tree's.
touch "$prefix/share/peloxImp/samples/catalogue/installed-marker"
"$prefix/bin/pelox-emulator" --port 0 --root "$tmp/root" --password secret >emulator.out 2>emulator.err &
emulator=$!
port=""
for _ in $(seq 1 200); do
    port=$(head -n 1 emulator.out)
    [ -n "$port" ] && break
    kill -0 "$emulator" 2>/dev/null || break
    sleep 0.1
done
case "$port" in
'' | *[!0-9]*) cat emulator.err >&2; fail "the installed emulator did not start (first line '$port')" ;;
esac
[ -f "$tmp/root/catalogue/installed-marker" ] || fail "the installed emulator did not seed from the installed samples"
# The installed demo program, against it, with a protocol from the samples.
run demo.log "$prefix/bin/pelox-demo" "http://127.0.0.1:$port/qorvane/locator"
kill "$emulator"
wait "$emulator" || true
emulator=""
# The installed pelox starts the installed emulator beside it when no server
# is named (not the build tree's: PELOX_EMULATOR stays unset).
out=$(env -u PELOX_EMULATOR -u PELOX_SERVER "$prefix/bin/pelox" ls Examples 2>pelox.err) ||
    { cat pelox.err >&2; fail "the installed pelox failed: $out"; }
case "$out" in
*"Add Numbers"*) ;;
*) fail "the installed pelox listed: $out" ;;
esac
echo "install test: installed into a fresh prefix; pkg-config and CMake hosts, emulator, demo and pelox work"
