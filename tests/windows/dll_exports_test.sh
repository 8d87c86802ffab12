#!/usr/bin/env bash
# The DLL exports the classes an application is built against: for each, its vtable,
# its constructors and destructor, and the item operations through which a user
# interface drives it; and the import library names the same DLL.
set -euo pipefail
build=$1
dll=$build/OVVESKMiddleLayer.dll
objdump=x86_64-w64-mingw32-objdump
[ -f "$dll" ] || { echo "skipped: no OVVESKMiddleLayer.dll in $build"; exit 77; }
command -v "$objdump" >/dev/null || { echo "skipped: no $objdump"; exit 77; }

# The names of the export table, one a line.
exports=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^[[:space:]]*$/ { on = 0 }
  on { print $NF }')
n=$(wc -l <<<"$exports")
[ "$n" -gt 0 ] || { echo "FAIL: the DLL exports nothing"; exit 1; }

fail=0
need() {  # need SYMBOL WHAT
  grep -qxF "$1" <<<"$exports" || { echo "FAIL: not exported: $2 ($1)"; fail=1; }
}
need_prefix() {  # need_prefix PREFIX WHAT
  grep -q "^$1" <<<"$exports" || { echo "FAIL: not exported: $2 ($1*)"; fail=1; }
}
for class in CVESKItem CVESKRoot CVESKMFPDevice CVESKMFPBox CVESKDocument CVESKCache; do
  mangled="${#class}$class"
  need "_ZTV$mangled" "the vtable of $class"
  need "_ZTI$mangled" "the type information of $class"
  # The abstract item's constructor and destructor are inline: callers make their own.
  [ "$class" = CVESKItem ] && continue
  need_prefix "_ZN${mangled}C1" "a constructor of $class"
  need_prefix "_ZN${mangled}D1" "the destructor of $class"
done
# The item operations, one per level that overrides them.
for class in CVESKRoot CVESKMFPDevice CVESKMFPBox; do
  need_prefix "_ZN${#class}${class}12GetChildList" "$class::GetChildList"
done
for class in CVESKMFPDevice CVESKMFPBox; do
  need_prefix "_ZN${#class}${class}7Connect" "$class::Connect"
  need_prefix "_ZN${#class}${class}10Disconnect" "$class::Disconnect"
done
need_prefix "_ZN13CVESKDocument12GetThumbnail" "CVESKDocument::GetThumbnail"
need_prefix "_ZN13CVESKDocument11GetDocument" "CVESKDocument::GetDocument"
need_prefix "_ZN10CVESKCache25LoadParameterFromRegistry" "CVESKCache::LoadParameterFromRegistry"
# The module object and the lock the Overview makes process-wide.
need_prefix "_ZN21COVVESKMiddleLayerApp3Get" "COVVESKMiddleLayerApp::Get"
need_prefix "_ZN12CSyncMgrLockC1" "CSyncMgrLock's constructor"

# The import library belongs to this DLL.
lib=$build/OVVESKMiddleLayer.dll.a
if [ -f "$lib" ]; then
  [ "$("$objdump" -s "$lib" 2>/dev/null | grep -c 'OVVESKMiddleLaye')" -gt 0 ] ||
    { echo "FAIL: $lib does not import from OVVESKMiddleLayer.dll"; fail=1; }
else
  echo "FAIL: no import library $lib"; fail=1
fi
[ "$fail" -eq 0 ] || exit 1
echo "$n symbols exported; classes:"
grep -oE '^_ZTV[0-9]+C[A-Za-z0-9]+' <<<"$exports" | sed -E 's/^_ZTV[0-9]+//' | sort | tr '\n' ' '
echo
