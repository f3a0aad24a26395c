#!/usr/bin/env bash
# Builds a small consumer project three ways, as users of the library would,
# and runs what it built:
#   1. against an installed copy through find_package(pmdb),
#   2. against the same copy through pkg-config,
#   3. with pmdblib's sources inside it (add_subdirectory).
# The copy is installed to one directory and then moved to another before
# it is used, so that both package files are shown to be relocatable.
#
# usage: run.sh BUILD_DIR SOURCE_DIR LIBDIR
#   LIBDIR is the install's library directory relative to its prefix.
# CC and CXX name the compilers (cc and c++ when unset); PMDB_LAUNCHER, when
# set, is passed on as the compiler launcher.
set -euo pipefail
build=$1 src=$2 libdir=$3
cc=${CC:-cc} cxx=${CXX:-c++}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "consumer test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/stage" >/dev/null
mv "$tmp/stage" "$tmp/prefix"
p=$tmp/prefix
for f in include/pmdblib.h bin/pmdb share/man/man1/pmdb.1 "$libdir/libpmdb.a" "$libdir/libpmdb.so" "$libdir/cmake/pmdb/pmdbConfig.cmake" \
         "$libdir/cmake/pmdb/pmdbConfigVersion.cmake" "$libdir/pkgconfig/pmdb.pc"; do
  [ -e "$p/$f" ] || fail "not installed: $f"
done
soname=$(readelf -d "$p/$libdir/libpmdb.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libpmdb.so.0 ] || fail "soname is '$soname', not libpmdb.so.0"
[ -L "$p/$libdir/libpmdb.so.0" ] || fail "libpmdb.so.0 is not a link to the versioned file"
grep -rq "$tmp/stage" "$p" && fail "an installed file names the directory it was installed to"

configure() {   # configure DIR [cmake args...]
  local dir=$1; shift
  CC=$cc CXX=$cxx cmake -S "$src/tests/consumer" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    ${PMDB_LAUNCHER:+-DCMAKE_C_COMPILER_LAUNCHER=$PMDB_LAUNCHER -DCMAKE_CXX_COMPILER_LAUNCHER=$PMDB_LAUNCHER} \
    "$@" >"$dir.log" 2>&1 || { cat "$dir.log" >&2; fail "configure of $dir failed"; }
  cmake --build "$dir" -j2 >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; fail "build in $dir failed"; }
}
runboth() {     # runboth DIR: both programs, each on a fresh database
  "$1/consumer_c" "$1/c.pmdb" && "$1/consumer_cxx" "$1/cxx.pmdb" || fail "a program built in $1 failed"
}

# 1. find_package
configure "$tmp/found" -DCMAKE_PREFIX_PATH="$p"
runboth "$tmp/found"

# 2. pkg-config
export PKG_CONFIG_PATH=$p/$libdir/pkgconfig
[ "$(pkg-config --variable=prefix pmdb)" -ef "$p" ] || fail "pmdb.pc does not find its prefix"
mkdir "$tmp/pc"
# shellcheck disable=SC2046
"$cc" -o "$tmp/pc/consumer_c" "$src/tests/consumer/consumer.c" $(pkg-config --cflags --libs pmdb)
# shellcheck disable=SC2046
"$cxx" -o "$tmp/pc/consumer_cxx" "$src/tests/consumer/consumer.cc" $(pkg-config --cflags --libs pmdb)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir pmdb) runboth "$tmp/pc"

# 3. add_subdirectory: the library and the tool only, without our tests.
configure "$tmp/sub" -DPMDB_SOURCE="$src"
runboth "$tmp/sub"
[ -e "$tmp/sub/pmdblib/tests" ] && fail "add_subdirectory configured pmdblib's own tests"
echo "consumer test ok: find_package, pkg-config, add_subdirectory"
