#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (skips what is already there); more
# packages may be named as arguments.
#   scripts/install-deps.sh [--tool] [PACKAGE...]
# --tool: only what building and running the `ondrift` command needs (make demo); without it
# also the tests, benchmarks and checks, and the BIDS validator (make test).
set -euo pipefail
here="$(dirname "$0")"
tool=(cmake g++ make pkg-config libnifti2-dev nlohmann-json3-dev libcli11-dev zlib1g-dev
      libdeflate-dev libpng-dev)
checks=(libgtest-dev libgmock-dev libbenchmark-dev clang-format g++-mingw-w64-x86-64-posix
        binutils-mingw-w64-x86-64)
if [ "${1:-}" = "--tool" ]; then
    shift
    "$here/apt-install.sh" --no-install-recommends "${tool[@]}" "$@"
    exit 0
fi
"$here/apt-install.sh" "${tool[@]}" "${checks[@]}" "$@"

# The BIDS validator that `ondrift bids` runs on its input first (an npm package).
if ! command -v bids-validator >/dev/null 2>&1; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    command -v npm >/dev/null 2>&1 || "$here/apt-install.sh" npm
    echo "Installing: bids-validator (npm)" >&2
    "${sudo_cmd[@]}" npm install -g --no-audit --no-fund --loglevel=error bids-validator@1.15.0 \
        >/dev/null
fi
