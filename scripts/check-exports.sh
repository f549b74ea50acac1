#!/usr/bin/env bash
# The plug-in library exports the binary interface and nothing else of its own.
set -euo pipefail
lib="$1"
expected='createPlugin getAuthor getGUIScript getHelpFile getPluginDescription getPluginName getPluginVersion'
case "$lib" in
  *.dll)
    names=$(x86_64-w64-mingw32-objdump -p "$lib" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^\s*\[ *[0-9]*\] //p')
    ;;
  *)
    names=$(nm -D --defined-only "$lib" | awk '{print $3}')
    ;;
esac
status=0
for e in $expected; do
    grep -qx "$e" <<<"$names" || { echo "missing export: $e" >&2; status=1; }
done
while read -r n; do
    [ -z "$n" ] && continue
    case "$n" in
      createPlugin|getAuthor|getGUIScript|getHelpFile|getPluginDescription|getPluginName|getPluginVersion) ;;
      _ZN22VelmoraPluginInterface*|_ZN19distortioncorrector*) ;;
      _ZT[ISV]22VelmoraPluginInterface|_ZT[ISV]19distortioncorrector) ;;
      *) echo "unexpected export: $n" >&2; status=1 ;;
    esac
done <<<"$names"
[ $status -eq 0 ] && echo "exports of $(basename "$lib"): ok"
exit $status
