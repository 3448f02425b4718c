# Shared by scripts/abi-check and scripts/abi-update (sourced, not run).
#
# The ABI of each library is kept in abi/ as two files: <lib>.symbols, the exported symbols
# (`nm -D --defined-only`: name and kind), and <lib>.abi, libabigail's description of the
# exported functions and variables and every type they reach, taken from the debug information
# of a RelWithDebInfo build. Locations and build paths are left out, so a build in any directory
# describes the same ABI.

ABI_DIR=abi

# abi_libraries BUILD_DIR: the built libraries, one path a line (lib<name>.so.1).
abi_libraries() {
    find "$1/src" -name 'libtesra*.so.1' | sort
}

# abi_require_build BUILD_DIR: refuses a build whose debug information would describe another ABI
# (no debug info, or sanitizer types) or that is not there at all.
abi_require_build() {
    local build=$1 cache=$1/CMakeCache.txt
    if [[ ! -f $cache ]]; then
        echo "abi: $build is not a configured build directory" >&2
        return 1
    fi
    if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=RelWithDebInfo' "$cache" ||
        grep -qx 'TESRA_SANITIZE:BOOL=ON' "$cache"; then
        echo "abi: $build must be a RelWithDebInfo build without sanitizers (e.g. build/release)" >&2
        return 1
    fi
    if [[ -z $(abi_libraries "$build") ]]; then
        echo "abi: no libraries built in $build" >&2
        return 1
    fi
}

# abi_symbols LIB: the exported symbols of LIB, "name kind" sorted.
abi_symbols() {
    nm -D --defined-only --format=posix "$1" | awk '{ print $1, $2 }' | LC_ALL=C sort
}

# abi_describe LIB OUT: libabigail's description of LIB's exported interface into OUT.
abi_describe() {
    abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-architecture \
        --exported-interfaces-only --headers-dir include/tesra --drop-private-types \
        --out-file "$2" "$1"
}
