#!/usr/bin/env bash
# The Windows binding, run for real: cross-builds the plug-in DLL and a minimal host executable
# named Velmora.exe, runs the frame commands and two "Start" chains under wine, and compares the
# plug-in's log, parameters, saved values and written files with the same run on Linux.
# Also checks that the DLL imports only system libraries, that an executable of another name
# leaves the plug-in unbound, and that an old host version gets the version message.
#
#     scripts/windows-check.sh [linux build folder, default: build]
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
jobs=$(nproc 2>/dev/null || echo 2)

scripts/apt-install.sh --no-install-recommends wine wine64 g++-mingw-w64-x86-64-posix \
    binutils-mingw-w64-x86-64

echo "== Windows cross build (DLL and Velmora.exe)" >&2
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DONDRIFT_PLUGIN_ONLY=ON \
      -DONDRIFT_WINDOWS_HOST=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-windows -j"$jobs"
scripts/check-exports.sh build-windows/ondriftv11.dll

status=0
fail() { echo "windows-check: $*" >&2; status=1; }

# Linked statically against the mingw runtime: a DLL of it missing on the user's machine would
# make the host refuse the plug-in with no message at all.
for binary in build-windows/ondriftv11.dll build-windows/Velmora.exe; do
    while read -r dll; do
        case "${dll,,}" in
          kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ws2_32.dll|ucrtbase.dll|api-ms-win-*) ;;
          *) fail "$(basename "$binary") imports $dll, which is not a system library" ;;
        esac
    done < <(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p')
done

cmake --build "$linux_build" -j"$jobs" --target velmora_check ondriftv11

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== Linux reference run" >&2
linux_bin=$(cd "$linux_build" && pwd)
mkdir -p "$work/linux" "$work/linux-old"
(cd "$work/linux" && "$linux_bin/velmora_check" "$linux_bin/libondriftv11.so") >"$work/linux.txt"
(cd "$work/linux-old" && "$linux_bin/velmora_check" "$linux_bin/libondriftv11.so" --old-host) \
    >"$work/linux-old.txt"

echo "== wine run" >&2
wineboot -i >/dev/null 2>&1
mkdir -p "$work/bin" "$work/windows" "$work/windows-old" "$work/windows-other"
cp build-windows/ondriftv11.dll build-windows/Velmora.exe "$work/bin/"
cp build-windows/Velmora.exe "$work/bin/Other.exe"
dll=$(winepath -w "$work/bin/ondriftv11.dll")
run_wine() {  # folder, executable, arguments...
    local folder=$1 exe=$2
    shift 2
    (cd "$folder" && wine "$work/bin/$exe" "$dll" "$@" </dev/null 2>"$folder.err" | tr -d '\r')
}
run_wine "$work/windows" Velmora.exe >"$work/windows.txt" || fail "Velmora.exe failed"
run_wine "$work/windows-old" Velmora.exe --old-host >"$work/windows-old.txt" ||
    fail "Velmora.exe --old-host failed"
run_wine "$work/windows-other" Other.exe >"$work/windows-other.txt" || fail "Other.exe failed"

grep -qx 'init 1' "$work/windows.txt" || fail "initPlugin refused Velmora.exe"
grep -q '^command Start' "$work/windows.txt" || fail "the Start chain did not run under wine"
diff -u "$work/linux.txt" "$work/windows.txt" >&2 ||
    fail "the Windows run differs from the Linux run (above)"
grep -qx 'init 0' "$work/windows-old.txt" || fail "an old host version was accepted"
grep -qx 'message Can not execute this plugin - Velmora version 2.6 or higher required.' \
    "$work/windows-old.txt" || fail "no version message for an old host"
diff -u "$work/linux-old.txt" "$work/windows-old.txt" >&2 ||
    fail "the old-host run differs between Linux and Windows (above)"
grep -qx 'init 0' "$work/windows-other.txt" || fail "the plug-in bound a host not named Velmora.exe"
if grep -q '^message' "$work/windows-other.txt"; then
    fail "the plug-in called an unbound host"
fi

if [ $status -eq 0 ]; then
    echo "windows-check: $(grep -c '' "$work/windows.txt") report lines identical on Linux and wine;" \
         "negative cases ok" >&2
else
    for f in "$work"/*.err; do [ -s "$f" ] && { echo "--- $(basename "$f")" >&2; cat "$f" >&2; }; done
fi
exit $status
