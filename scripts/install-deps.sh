#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (skips what is already there); more
# packages may be named as arguments.
set -euo pipefail
packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libnifti2-dev
          nlohmann-json3-dev libcli11-dev zlib1g-dev libdeflate-dev libpng-dev libxxhash-dev clang-format
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 "$@")
"$(dirname "$0")/apt-install.sh" "${packages[@]}"

# The BIDS validator that `ondrift bids` runs on its input first (an npm package).
if ! command -v bids-validator >/dev/null 2>&1; then
    sudo_cmd=()
    [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
    command -v npm >/dev/null 2>&1 || "$(dirname "$0")/apt-install.sh" npm
    echo "Installing: bids-validator (npm)" >&2
    "${sudo_cmd[@]}" npm install -g --no-audit --no-fund --loglevel=error bids-validator@1.15.0 \
        >/dev/null
fi
