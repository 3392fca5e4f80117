#!/usr/bin/env bash
# Builds and runs the fusion demo on a synthetic data set: installs missing Debian packages
# (as root), configures an optimised build in build-release and runs examples/fusion_demo.
# Arguments go to the demo, for example a seed: scripts/run-example.sh 7
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$repo/build-release"

"$repo/scripts/install-deps.sh"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" --target fusion_demo -j2
"$build/examples/fusion_demo" "$@"
