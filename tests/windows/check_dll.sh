#!/usr/bin/env bash
# Checks peloxImp.dll from the Linux side, with the cross toolchain's objdump:
#   - its export table names exactly the functions of the linker version
#     script (src/peloxImp.map), which are exactly those the public header
#     declares with PELOX_API;
#   - it imports only DLLs that every Windows installation has, so nothing
#     (libstdc++, winpthreads, zlib, ...) must be shipped beside it.
# Usage: check_dll.sh OBJDUMP DLL MAP HEADER
set -euo pipefail
objdump="$1" dll="$2" map="$3" header="$4"

dump="$("$objdump" -p "$dll")"
fail=0

# The export table: the lines after "[Ordinal/Name Pointer] Table", each
# "[ n] name" (the same layout for every binutils of this decade).
exports="$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
  | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' | sort)"
mapped="$(sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$map" | sort)"
# Declarations start a line with PELOX_API (its definitions start with #).
declared="$(perl -0777 -ne 'print "$1\n" while /\nPELOX_API[^;(]*?\b(\w+)\s*\(/g' "$header" | sort)"

count="$(printf '%s\n' "$exports" | grep -c . || true)"
if [ "$exports" != "$mapped" ]; then
  echo "FAIL: the DLL's exports differ from $map:"
  diff <(printf '%s\n' "$mapped") <(printf '%s\n' "$exports") || true
  fail=1
fi
if [ "$mapped" != "$declared" ]; then
  echo "FAIL: $map differs from the functions $header declares:"
  diff <(printf '%s\n' "$declared") <(printf '%s\n' "$mapped") || true
  fail=1
fi
[ "$fail" = 0 ] && echo "ok: $count exports, as listed in the version script and declared in the header"

# Imported DLLs: system DLLs only (names compared without regard to case).
allowed=' advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ws2_32.dll ole32.dll oleaut32.dll
          iphlpapi.dll user32.dll shell32.dll secur32.dll ntdll.dll userenv.dll '
while read -r name; do
  [ -n "$name" ] || continue
  lower="$(printf '%s' "$name" | tr 'A-Z' 'a-z')"
  case "$allowed" in
  *" $lower "*) echo "ok: imports $name" ;;
  *) case "$lower" in
     api-ms-win-*) echo "ok: imports $name" ;;
     *) echo "FAIL: imports $name, which is not part of Windows"; fail=1 ;;
     esac ;;
  esac
done < <(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
exit "$fail"
