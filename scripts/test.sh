#!/usr/bin/env bash
# Builds and runs every test twice: an optimised build (build-release, with the Python
# package and the benchmarks when they exist) and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer that stops at the first error (build-asan); then the C++ tests
# once more built with Clang (build-clang) and cross-built for ARM64 and run under qemu-user
# (build-arm64). After the optimised build, in build-install, it installs as users do: the Python package with pip into a fresh virtual
# environment, from a copy of the tree that is deleted before the Python tests run against the
# installed package; and the library into a prefix, against which a small consumer project
# builds with find_package(Velmora) and with pkg-config. Installs missing Debian packages first
# (as root). Ends with the line "N passed, N failed" over all of it, a configuration or build
# that fails counting as one failed test, each install check as one test, and exits non-zero if
# anything failed.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=2  # the CI machine has two cores

"$repo/scripts/install-deps.sh" || exit 1

passed=0
failed=0

# suite NAME BUILD_DIR CMAKE_OPTIONS...: configures, builds and runs ctest; adds the counts.
suite() {
    local name=$1 build=$2
    shift 2
    echo "==== $name: configure"
    if ! cmake -S "$repo" -B "$build" "$@"; then
        echo "==== $name: configuration failed"
        failed=$((failed + 1))
        return
    fi
    echo "==== $name: build"
    if ! cmake --build "$build" -j"$jobs"; then
        echo "==== $name: build failed"
        failed=$((failed + 1))
        return
    fi
    echo "==== $name: test"
    local log="$build/ctest-output.log"
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    # ctest closes with "97% tests passed, 1 tests failed out of 40".
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z $summary ]]; then
        echo "==== $name: ctest ended without a summary (exit status $rc)"
        failed=$((failed + 1))
        return
    fi
    local bad total
    bad=$(sed -E 's/.*, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    if ((rc != 0 && bad == 0)); then
        echo "==== $name: ctest failed (exit status $rc)"
        failed=$((failed + 1))
    fi
}

release=(-DCMAKE_BUILD_TYPE=Release -DVELMORA_SANITIZE=OFF -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_EXAMPLES=ON)
if [[ -f $repo/python/CMakeLists.txt ]]; then
    # Debian's Python modules belong to /usr/bin/python3, whichever python3 comes first on PATH.
    release+=(-DVELMORA_BUILD_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3 -DPython3_EXECUTABLE=/usr/bin/python3
              -DPYTHON_EXECUTABLE=/usr/bin/python3)
else
    release+=(-DVELMORA_BUILD_PYTHON=OFF)
fi
if [[ -f $repo/bench/CMakeLists.txt ]]; then
    release+=(-DVELMORA_BUILD_BENCH=ON)  # built so that the benchmarks at least compile
else
    release+=(-DVELMORA_BUILD_BENCH=OFF)
fi
suite release "$repo/build-release" "${release[@]}"

# check NAME COMMAND...: runs one install check and counts it.
check() {
    local name=$1
    shift
    echo "==== install: $name"
    if "$@"; then
        passed=$((passed + 1))
    else
        echo "==== install: $name failed"
        failed=$((failed + 1))
    fi
}

install="$repo/build-install"
venv="$install/venv"
prefix="$install/prefix"
rm -rf "$install"
mkdir -p "$install"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1

# The tracked and new files, as a fresh clone would have them: no build folders. (Tracked files
# deleted in the work tree are left out with a warning.)
copy_tree() {
    mkdir -p "$1"
    if git -C "$repo" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$repo" ls-files -z --cached --others --exclude-standard |
            (cd "$repo" && tar --null --ignore-failed-read -T - -cf -) |
            tar -xf - -C "$1"
    else
        tar -C "$repo" --exclude='./build*' -cf - . | tar -xf - -C "$1"
    fi
}

# Debian's numpy and pybind11 belong to /usr/bin/python3, whichever python3 comes first on PATH;
# the environment sees them through the system site packages. --no-index: nothing is fetched.
pip_install() {
    copy_tree "$install/source" &&
        /usr/bin/python3 -m venv --system-site-packages "$venv" &&
        "$venv/bin/pip" install --no-build-isolation --no-index "$install/source" &&
        rm -rf "$install/source"
}
check "pip install of a copy of the tree" pip_install

# From outside the tree, so that nothing but the installed package can be imported.
installed_python_tests() {
    (cd "$install" &&
        "$venv/bin/python" -c 'import sys, velmora; sys.exit(not velmora.__file__.startswith(sys.prefix))' &&
        OMP_WAIT_POLICY=passive PYTHONDONTWRITEBYTECODE=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            "$repo/tests/python")
}
check "Python tests against the installed package" installed_python_tests

installed_command() {
    local shown
    shown=$(cd / && "$venv/bin/velmora" --version) && echo "$shown" && [[ $shown =~ ^velmora\ [0-9]+\.[0-9]+\.[0-9]+$ ]]
}
check "velmora --version" installed_command

consumer_build() {
    cmake --install "$repo/build-release" --prefix "$prefix" >/dev/null || return 1
    local pc
    pc=$(dirname "$(find "$prefix" -name velmora.pc | head -n 1)")
    PKG_CONFIG_PATH="$pc" cmake -S "$repo/tests/consumer" -B "$install/consumer" -DCMAKE_PREFIX_PATH="$prefix" &&
        cmake --build "$install/consumer" -j"$jobs"
}
if check "consumer project configured against the install prefix" consumer_build; then
    check "consumer built with find_package(Velmora)" "$install/consumer/consumer_cmake"
    check "consumer built with pkg-config" "$install/consumer/consumer_pkgconfig"
fi
unset PIP_DISABLE_PIP_VERSION_CHECK PIP_NO_CACHE_DIR

# Every sanitizer report ends the test that caused it.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
suite sanitizers "$repo/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_TESTS=ON \
    -DVELMORA_BUILD_EXAMPLES=ON -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_BENCH=OFF
unset ASAN_OPTIONS UBSAN_OPTIONS

# The C++ suite built with Clang (the compiler of macOS users), and cross-built for ARM64 with
# Debian's cross compiler and run under qemu-user, GoogleTest built for ARM64 from its sources.
suite clang "$repo/build-clang" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=ON \
    -DVELMORA_BUILD_EXAMPLES=ON -DVELMORA_BUILD_PYTHON=OFF -DVELMORA_BUILD_BENCH=OFF
suite arm64 "$repo/build-arm64" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_EXAMPLES=ON -DVELMORA_BUILD_PYTHON=OFF \
    -DVELMORA_BUILD_BENCH=OFF

echo "$passed passed, $failed failed"
((failed == 0))
