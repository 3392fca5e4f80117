#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Velmora need, when some
# are missing. As root it runs apt-get (update once, then install); as any other user it
# lists what is missing and exits 1. With everything installed it does nothing.
set -euo pipefail

packages=(
    cmake g++ make
    libopencv-core-dev
    libgtest-dev libgmock-dev googletest
    libbenchmark-dev
    python3-dev python3-numpy python3-pybind11 pybind11-dev python3-pytest python3-matplotlib python3-jsonschema
    python3-venv python3-setuptools python3-wheel pkgconf
    binutils
    # The Clang suite (libomp-dev: Clang's OpenMP runtime) and the ARM64 cross build, whose tests
    # run under qemu-user.
    clang libomp-dev g++-aarch64-linux-gnu qemu-user
    chromium  # the tests render the HTML report in it, headless
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [[ $status == installed ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

if ((EUID != 0)); then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}  (or run this script as root)" >&2
    exit 1
fi

echo "Installing missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y "${missing[@]}"
