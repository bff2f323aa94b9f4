# Shared by the stage scripts (sourced, from the checkout's root): time limits, the one wheel the
# stages share, and what a fresh machine lacks. Every helper fails with a message saying what.

# stage NAME SECONDS COMMAND...: runs COMMAND in a process group of its own and ends the group
# after SECONDS, saying which stage ran over; reports the stage's wall and CPU time either way.
stage() {
    local name=$1 limit=$2 status=0 began=$SECONDS cpu line
    local file="${TMPDIR:-/tmp}/velmora-stage.$$.${BASHPID}"
    shift 2
    echo "=== $name (limit ${limit} s)"
    # In a subshell of its own: a forked process starts with no children's time, and the other
    # lane, reaped by this shell whenever it ends, is not counted in this stage.
    ( timeout --kill-after=20 "$limit" "$@"; code=$?; children_cpu cpu; echo "$cpu" >"$file"; exit "$code" ) \
        || status=$?
    cpu=$(cat "$file" 2>/dev/null || echo 0)
    rm -f "$file"
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "stage '$name' ran over its limit of ${limit} s and was stopped" >&2
    elif [ "$status" -ne 0 ]; then
        echo "stage '$name' failed (exit $status)" >&2
    fi
    line="$name: $((SECONDS - began)) s wall, $(awk -v c="$cpu" 'BEGIN { printf "%.0f", c }') s CPU (exit $status)"
    echo "=== $line"
    [ -z "${VELMORA_STAGE_LOG-}" ] || echo "$line" >>"$VELMORA_STAGE_LOG"
    return "$status"
}

# children_cpu VAR: user plus system CPU seconds of this shell's finished children, into VAR (from
# bash's `times`, run in this shell: a subshell would count its own children).
children_cpu() {
    local file="${TMPDIR:-/tmp}/velmora-times.${BASHPID}" _ user sys
    times >"$file"
    { read -r _; read -r user sys; } <"$file"
    rm -f "$file"
    printf -v "$1" '%s' "$(awk -v u="$user" -v s="$sys" 'BEGIN { split(u, a, /[ms]/); split(s, b, /[ms]/)
        print a[1] * 60 + a[2] + b[1] * 60 + b[2] }')"
}

# The wheel every stage installs: $VELMORA_WHEEL when set (scripts/test builds it once), else one
# built now by scripts/wheel. Prints its absolute path.
shared_wheel() {
    if [ -n "${VELMORA_WHEEL:-}" ]; then
        [ -f "$VELMORA_WHEEL" ] || { echo "VELMORA_WHEEL=$VELMORA_WHEEL is not a file" >&2; return 1; }
        echo "$VELMORA_WHEEL"
        return
    fi
    bash scripts/wheel >&2 || return 1
    echo "$PWD"/build/dist/velmora-*-cp311-abi3-*.whl
}

# Whether scripts/test already installed the shared wheel and the test extra into PYTHON's
# environment (python3's), so that stages running side by side do not reinstall under each other.
prepared() {
    [ -n "${VELMORA_PREPARED-}" ] && [ "$1" = python3 ]
}

# install_wheel PYTHON WHEEL EXTRA: that wheel (replacing any installed velmora, even of the same
# version) and the extra's dependencies into PYTHON's environment.
install_wheel() {
    prepared "$1" && return 0
    "$1" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$2"
    "$1" -m pip install --quiet --disable-pip-version-check "$2[$3]"
}

# install_native_test_deps PYTHON WHEEL: that wheel with its declared dependencies, and of the test
# extra only what the C-API tests (tests/native_suite.txt) need: pytest, hypothesis and mpmath (the
# stored ziggurat tables' check), at the extra's pins. The rest of the extra (matplotlib, statsmodels, distributed, arviz) serves tests
# that run once, on python3; the one C-API test that compares with statsmodels skips without it.
install_native_test_deps() {
    local deps
    deps=$("$1" -c 'import re, tomllib
test = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"]
print("\n".join(d for d in test if re.match(r"(pytest|hypothesis|mpmath)\b", d)))') || return 1
    mapfile -t deps <<<"$deps"
    "$1" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$2"
    "$1" -m pip install --quiet --disable-pip-version-check "$2" "${deps[@]}"
}

# The project's dependencies and its test extra, as pyproject.toml lists them, into PYTHON's
# environment; for stages that test a module of their own build rather than the wheel.
install_test_deps() {
    prepared "$1" && return 0
    local deps
    deps=$("$1" -c 'import tomllib
p = tomllib.load(open("pyproject.toml", "rb"))["project"]
print("\n".join(p["dependencies"] + p["optional-dependencies"]["test"]))') || return 1
    mapfile -t deps <<<"$deps"
    "$1" -m pip install --quiet --disable-pip-version-check "${deps[@]}"
}

# A small environment for the tools CI runs but the package does not need (pinned in scripts/tools.txt).
tools_env() {
    local env=build/tools-env
    if [ ! -x "$env/bin/python" ]; then
        python3 -m venv "$env" || { echo "python3 cannot create a virtual environment (install python3-venv)" >&2; return 1; }
    fi
    "$env/bin/python" -m pip install --quiet --disable-pip-version-check -r scripts/tools.txt || return 1
    echo "$PWD/$env"
}

# GoogleTest for the C++ unit tests, and a CMake at least as recent as CMakeLists.txt asks (from
# PyPI, as the wheel's build gets it, when the system's is missing or older).
cxx_test_tools() {
    if [ ! -f /usr/include/gtest/gtest.h ]; then
        echo "installing GoogleTest (libgtest-dev) for the C++ unit tests"
        apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null || return 1
    fi
    local need have
    need=$(sed -n 's/^cmake_minimum_required(VERSION \([0-9.]*\)).*/\1/p' CMakeLists.txt)
    have=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
    if [ -z "$have" ] || [ "$(printf '%s\n%s\n' "$need" "$have" | sort -V | head -1)" != "$need" ]; then
        echo "CMake ${have:-(none)} is older than $need: installing CMake from PyPI into build/cmake-env"
        [ -x build/cmake-env/bin/cmake ] || python3 -m venv build/cmake-env || return 1
        build/cmake-env/bin/python -m pip install --quiet --disable-pip-version-check "cmake>=$need" || return 1
        export PATH="$PWD/build/cmake-env/bin:$PATH"
    fi
}

# The tests that reach the C API and the native paths, which the stages under other interpreters,
# ASan/UBSan run again (the whole suite runs once, in scripts/python-tests).
native_tests() {
    grep -v -e '^#' -e '^$' tests/native_suite.txt | cut -d' ' -f1 | sed 's|^|tests/|'
}
