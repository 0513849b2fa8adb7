# Sourced by the scripts: finds the supported interpreters and keeps, for each,
# a virtual environment inside the checkout (.venv/X.Y, ignored by git) with
# what the scripts need and the package installed. Nothing is written to the
# interpreter the script was started with, nor anywhere outside the checkout.
#
# The sourcing script sets $tool (its name, for log lines) first.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Every interpreter the package is built and tested for, oldest first.
# QUILL_PYTHONS="3.11 3.13" narrows the scripts to some of them.
SUPPORTED_PYTHONS=(3.11 3.12 3.13 3.14 3.15)
ALL_PYTHONS=("${SUPPORTED_PYTHONS[@]}")
# The versions scripts/fetch-pythons can fetch (Debian sid's builds, into
# .venv/interpreters/X.Y) when the user has none of their own.
PRIVATE_PYTHONS=(3.14 3.15)
if [ -n "${QUILL_PYTHONS:-}" ]; then
    read -r -a SUPPORTED_PYTHONS <<<"$QUILL_PYTHONS"
fi

# Always installed with the build requirements: the build then needs no cmake
# or ninja of the machine's (nor a pyenv shim that may point elsewhere).
BUILD_TOOLS=("cmake>=3.18" "ninja")

log() { printf '%s: %s\n' "$tool" "$*" >&2; }

# supported X.Y: whether the package builds for Python X.Y; says why not, on
# one line, when it does not (before anything is made for it).
supported() {
    local version
    for version in "${ALL_PYTHONS[@]}"; do
        [ "$1" = "$version" ] && return 0
    done
    log "Python $1 is not supported: the package builds for Python $(echo "${ALL_PYTHONS[*]}" | sed 's/ /, /g')"
    return 1
}

# check_compiler [HINT]: whether the C++ compiler that the build will use (the
# one $CXX names, else the first of c++, g++ and clang++ on PATH, as CMake
# picks it) is there and can build the package: g++ 12 or later, for C++20.
# When it is not, says so on one line, ending with HINT if given.
check_compiler() {
    local hint=${1:+; $1} cxx=${CXX:-} name macros gnu
    if [ -z "$cxx" ]; then
        for name in c++ g++ clang++; do
            cxx=$(command -v "$name" 2>/dev/null) && break
        done
    fi
    if [ -z "$cxx" ]; then
        log "no C++ compiler found (no c++, g++ or clang++ on PATH, and CXX is not set): building the package needs g++ 12 or later; on Debian or Ubuntu: apt-get install g++$hint"
        return 1
    fi
    # The compiler's own macros tell GCC from Clang, whatever its name.
    if ! macros=$("$cxx" -dM -E -x c++ /dev/null 2>/dev/null); then
        log "the C++ compiler $cxx does not run: building the package needs g++ 12 or later; on Debian or Ubuntu: apt-get install g++$hint"
        return 1
    fi
    if ! grep -q '^#define __clang__ ' <<<"$macros"; then
        gnu=$(sed -n 's/^#define __GNUC__ \([0-9]*\)$/\1/p' <<<"$macros")
        if [ -n "$gnu" ] && [ "$gnu" -lt 12 ]; then
            log "the C++ compiler $cxx is g++ $("$cxx" -dumpfullversion 2>/dev/null || echo "$gnu"): building the package needs g++ 12 or later (C++20); on Debian or Ubuntu: apt-get install g++-12, then run with CXX=g++-12$hint"
            return 1
        fi
    fi
}

# Runs "$@" with its output kept aside, shown only if it fails.
quietly() {
    local out
    out=$(mktemp)
    if ! "$@" >"$out" 2>&1; then
        cat "$out" >&2
        rm -f "$out"
        log "failed: $*"
        return 1
    fi
    rm -f "$out"
}

# Prints the real executable behind $1 if it runs as Python $2 (X.Y), a
# release build that is not free-threaded.
python_is() {
    "$1" -c '
import sys, sysconfig
ok = ("%d.%d" % sys.version_info[:2] == sys.argv[1] and not hasattr(sys, "gettotalrefcount")
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print(sys.executable) if ok else sys.exit(1)' "$2" 2>/dev/null
}

# Prints the real executable behind $1 if it runs as a debug build (one that
# counts references) of Python $2 (X.Y), not free-threaded.
python_dbg_is() {
    "$1" -c '
import sys, sysconfig
ok = ("%d.%d" % sys.version_info[:2] == sys.argv[1] and hasattr(sys, "gettotalrefcount")
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print(sys.executable) if ok else sys.exit(1)' "$2" 2>/dev/null
}

pyenv_root() {
    pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}"
}

is_private() {
    local v
    for v in "${PRIVATE_PYTHONS[@]}"; do [ "$v" = "$1" ] && return 0; done
    return 1
}

# user_python X.Y: the user's own Python X.Y, as find_python describes.
user_python() {
    local version=$1 name path dir
    local names=("python$version")
    [ "$version" = "${SUPPORTED_PYTHONS[0]}" ] && names=(python3 "${names[@]}")
    for name in "${names[@]}"; do
        path=$(command -v "$name" 2>/dev/null) || continue
        python_is "$path" "$version" && return 0
    done
    local pyenv
    pyenv=$(pyenv_root)
    for dir in $(ls -d "$pyenv/versions/$version".* 2>/dev/null | sort -rV); do
        [[ "$(basename "$dir")" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || continue
        python_is "$dir/bin/python$version" "$version" && return 0
    done
    return 1
}

# fetch_private: runs scripts/fetch-pythons, once per script run, for every
# supported version it provides that the user has no Python of their own
# for (or whose debug build is asked for: $1 = dbg). Only one line is printed
# when Debian's archive cannot be reached; the versions are then not found.
fetched_private=
fetch_private() {
    [[ " $fetched_private " != *" ${1:-release} "* ]] || return 0
    fetched_private+=" ${1:-release}"
    local v wanted=()
    for v in "${SUPPORTED_PYTHONS[@]}"; do
        is_private "$v" || continue
        [ -f "$root/.venv/interpreters/$v/.fetched" ] && continue
        [ "${1:-}" = dbg ] || ! user_python "$v" >/dev/null || continue
        wanted+=("$v")
    done
    [ ${#wanted[@]} -eq 0 ] || bash "$root/scripts/fetch-pythons" "${wanted[@]}" || true
}

# find_python X.Y: prints the interpreter to use for Python X.Y, or sets $why
# and returns 1. For 3.11 the user's own python3 comes first; then pythonX.Y
# on PATH; then the newest pyenv X.Y.Z (pyenv itself need not be on PATH);
# for 3.14 and 3.15 last Debian sid's, fetched into .venv/interpreters/X.Y.
find_python() {
    local version=$1
    user_python "$version" && return 0
    if is_private "$version"; then
        fetch_private
        python_is "$root/.venv/interpreters/$version/usr/bin/python$version" "$version" && return 0
        why="not found (no python$version on PATH, none under $(pyenv_root)/versions, none fetched from Debian into .venv/interpreters)"
        return 1
    fi
    why="not found (no python$version on PATH, none under $(pyenv_root)/versions)"
    return 1
}

# find_debug_python X.Y: prints the debug interpreter for Python X.Y (3.14,
# 3.15): python3.Xd on PATH, else Debian sid's in .venv/interpreters/X.Y.
find_debug_python() {
    local version=$1 path
    if path=$(command -v "python${version}d" 2>/dev/null) && python_dbg_is "$path" "$version"; then
        return 0
    fi
    if is_private "$version"; then
        fetch_private dbg
        python_dbg_is "$root/.venv/interpreters/$version/usr/bin/python${version}d" "$version" && return 0
    fi
    why="not found (no debug python${version}d on PATH, none fetched from Debian into .venv/interpreters)"
    return 1
}

# What a virtual environment made from $1 is made from: its base interpreter
# (through any symlink or outer virtual environment) and exact version.
origin_of() {
    "$1" -c 'import os, platform, sys
print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)), platform.python_version())'
}

# new_venv DIR BASE: makes a virtual environment with pip in DIR from the
# interpreter BASE. Debian's ensurepip takes pip from the system's
# /usr/share/python-wheels, so an interpreter fetched into .venv/interpreters
# gets its venv without pip, and pip from the wheel unpacked beside it.
new_venv() {
    local dir=$1 base=$2 wheel
    case $(realpath "$base") in
    "$root/.venv/interpreters/"*)
        wheel=$(ls "$(dirname "$(realpath "$base")")"/../share/python-wheels/pip-*.whl | head -n 1)
        quietly "$base" -m venv --without-pip "$dir" &&
            quietly "$dir/bin/python" "$wheel/pip" install --disable-pip-version-check --no-input "$wheel"
        return
        ;;
    esac
    if ! "$base" -c 'import ensurepip, venv' 2>/dev/null; then
        log "$base cannot make a virtual environment (no ensurepip): on Debian, apt-get install python$("$base" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv"
        return 1
    fi
    quietly "$base" -m venv "$dir"
}

# make_venv NAME BASE: makes .venv/NAME from the interpreter BASE, unless it is
# there already, made from the same one. Sets $venv and $py.
make_venv() {
    local name=$1 base=$2 origin
    venv="$root/.venv/$name"
    py="$venv/bin/python"
    origin=$(origin_of "$base")
    if [ -x "$py" ] && [ "$(cat "$venv/.origin" 2>/dev/null)" = "$origin" ] && "$py" -c '' 2>/dev/null; then
        return 0
    fi
    if [ -e "$venv" ]; then
        log "remaking .venv/$name: it was made from another interpreter"
        rm -rf "$venv" "$root/build/venv-$name"
    fi
    log "creating .venv/$name from Python ${origin#* } ($base; a few seconds)"
    new_venv "$venv" "$base" || return 1
    # A pip older than 23.1 (Debian 12's) lacks -C, the short form of
    # --config-settings that the README's build commands use.
    if ! "$py" -c 'import pip, sys; sys.exit(tuple(map(int, pip.__version__.split(".")[:2])) < (23, 1))'; then
        log "updating pip in .venv/$name (its $("$py" -m pip --version | cut -d" " -f2) is older than 23.1; seconds)"
        quietly "$py" -m pip install --disable-pip-version-check --no-input --upgrade "pip>=23.1" || return 1
    fi
    echo "$origin" >"$venv/.origin"
}

# need REQ...: installs into $venv whatever of REQ... it lacks (nothing when
# all are there at matching versions: no pip run, no download).
need() {
    local unmet
    unmet=$("$py" "$root/tools/tasks/requirements.py" unmet "$@") || return 1
    [ -n "$unmet" ] || return 0
    log "installing $(echo $unmet | sed 's/ /, /g') into ${venv#"$root"/} (up to a minute or two; once)"
    # shellcheck disable=SC2086  # one requirement a word
    quietly "$py" -m pip install --disable-pip-version-check --no-input $unmet
}

# need_project EXTRA...: installs the build requirements, the dependencies and
# the named extras of pyproject.toml into $venv.
need_project() {
    local reqs
    reqs=$("$py" "$root/tools/tasks/requirements.py" list "$@") || return 1
    # shellcheck disable=SC2086  # one requirement a word
    need $reqs "${BUILD_TOOLS[@]}"
}

# What the installed package was built from: the sources and build files.
source_digest() {
    (cd "$root" && find CMakeLists.txt pyproject.toml src tests/testhooks tools -type f \
        ! -path '*/__pycache__/*' ! -name '*.py[co]' -print0 | sort -z | xargs -0 sha256sum | sha256sum)
}

# needs_build NAME: whether .venv/NAME lacks the package built from the
# sources as they are (install_package would build it).
needs_build() {
    [ "$(cat "$root/.venv/$1/.package" 2>/dev/null)" != "$(source_digest)" ]
}

# install_package NAME: builds the package with the test hooks and installs it
# into $venv (.venv/NAME), incrementally (build/venv-NAME keeps the build);
# nothing to do when the sources have not changed since the last install.
install_package() {
    local name=$1 digest stamp
    stamp="$venv/.package"
    digest=$(source_digest)
    if [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] &&
        "$py" -c 'import importlib.util as u; import sys
sys.exit(not (u.find_spec("quillmaret._m3") and u.find_spec("quillmaret._quill_testhooks")))' 2>/dev/null; then
        return 0
    fi
    rm -f "$stamp"
    if [ -d "$root/build/venv-$name" ]; then
        log "building quillmaret for Python $name into .venv/$name (seconds to a minute: only what changed)"
    else
        log "building quillmaret for Python $name into .venv/$name (1-2 minutes the first time)"
    fi
    PATH="$venv/bin:$PATH" quietly "$py" -m pip install --disable-pip-version-check --no-input \
        --no-deps --no-build-isolation --force-reinstall \
        --config-settings=build-dir="$root/build/venv-$name" \
        --config-settings=cmake.define.QUILL_BUILD_TESTHOOKS=ON "$root" || return 1
    echo "$digest" >"$stamp"
}

# prepare_venv X.Y EXTRA...: finds Python X.Y, and makes .venv/X.Y with the
# build requirements and the named extras installed. Sets $base, $venv, $py
# and $version_full; returns 1 with $why set when X.Y is not found, 2 when
# its environment could not be made.
prepare_venv() {
    local version=$1
    shift
    why=
    base=$(find_python "$version") || return 1
    make_venv "$version" "$base" || { why="its virtual environment could not be made"; return 2; }
    need_project "$@" || { why="its requirements could not be installed"; return 2; }
    version_full=$("$py" -c 'import platform; print(platform.python_version())')
}

# prepare X.Y EXTRA...: prepare_venv, then the package with its test hooks
# installed into .venv/X.Y (returns 2 when it does not build).
prepare() {
    prepare_venv "$@" || return
    install_package "$1" || { why="the package did not build"; return 2; }
}
