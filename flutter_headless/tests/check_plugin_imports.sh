#!/usr/bin/env bash
# Checks a plugin DLL the way an app's loader would see it:
#   check_plugin_imports.sh OBJDUMP PLUGIN.dll EXPORT...
# - it exports exactly the given names;
# - everything it imports from flutter_windows.dll is a C function of the engine API
#   (FlutterDesktop...), nothing C++ (no mangled names), and nothing of our host API;
# - it needs no C++ runtime DLL (the runtime is linked in, as the wrapper is).
set -euo pipefail
objdump=$1 dll=$2
shift 2
expected=$(printf '%s\n' "$@" | sort)
dump=$("$objdump" -p "$dll")
fail=0

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^[[:space:]]*\[/ {print $NF; next} t {t=0}' <<<"$dump" | sort)
if [ "$exports" != "$expected" ]; then
  echo "exports differ: got [$exports], want [$expected]"; fail=1
fi

# The block runs from its "DLL Name:" line to the next blank line.
imports=$(awk '/DLL Name: flutter_windows.dll/ {t=1; next} t && /^[[:space:]]*$/ {t=0} t && NF>=3 && $1 ~ /^[0-9a-f]+$/ {print $NF}' <<<"$dump")
if [ -z "$imports" ]; then
  echo "no imports from flutter_windows.dll"; fail=1
fi
while read -r name; do
  [ -z "$name" ] && continue
  if ! [[ $name =~ ^FlutterDesktop[A-Za-z]+$ ]]; then
    echo "unexpected import from flutter_windows.dll: $name"; fail=1
  fi
done <<<"$imports"

dlls=$(grep 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}')
for bad in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  if grep -qx "$bad" <<<"$dlls"; then echo "imports runtime DLL $bad"; fail=1; fi
done

echo "imports from flutter_windows.dll:"; sed 's/^/  /' <<<"$imports"
exit $fail
