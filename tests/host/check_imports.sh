#!/bin/sh
# Checks what the module file needs from and offers to the system it is
# loaded into: a host on a clean Windows has only the system DLLs to give,
# so every imported DLL must be one of them (no C++ or GCC runtime, no
# winpthread), and the file offers exactly the one entry the host asks for.
#
# Usage: check_imports.sh OBJDUMP MODULE_FILE ["a.dll b.dll ..."]
# With the list, the imported DLLs must be exactly those (in any case).
set -u
objdump=$1
file=$2
expected=${3:-}
entry=KelvModuleApi2_GetReceiverModuleUnit

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

dump=$("$objdump" -p "$file") || { echo "FAIL: $objdump -p $file"; exit 1; }

# ---- Imports ----------------------------------------------------------------
dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
if [ -z "$dlls" ]; then
    fail "no imported DLL found in the dump (an unreadable dump must not pass)"
fi
for dll in $dlls; do
    lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
    case $lower in
        libstdc++*|libgcc*|libwinpthread*)
            fail "imports $dll: the C++/GCC runtime must be linked in statically" ;;
        kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|comctl32.dll|comdlg32.dll|\
        shell32.dll|shlwapi.dll|ole32.dll|oleaut32.dll|ws2_32.dll|iphlpapi.dll|msvcrt.dll|\
        ucrtbase.dll|version.dll|ntdll.dll|api-ms-win-crt-*.dll)
            pass "imports system DLL $dll" ;;
        *)
            fail "imports $dll, which is not a Windows system DLL" ;;
    esac
done

if [ -n "$expected" ]; then
    want=$(printf '%s\n' $expected | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    got=$(printf '%s\n' $dlls | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    if [ "$got" = "$want" ]; then
        pass "imports exactly $want"
    else
        fail "imports $got, expected exactly $want"
    fi
fi

# ---- Exports ----------------------------------------------------------------
export_name=$(printf '%s\n' "$dump" | sed -n '/^The Export Tables/,/^\[Ordinal\/Name Pointer\]/s/^Name[[:space:]]*[0-9a-fA-F]*[[:space:]]\{1,\}//p')
if [ "$export_name" = "TovrinStreamer.module" ]; then
    pass "export directory names the file TovrinStreamer.module"
else
    fail "export directory names the file '$export_name', expected TovrinStreamer.module"
fi

functions=$(printf '%s\n' "$dump" | sed -n '/^The Export Tables/,/^Table Addresses/s/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p')
if [ -n "$functions" ] && [ $((0x$functions)) -eq 1 ]; then
    pass "one exported function"
else
    fail "exported functions: '${functions:-none}', expected 1"
fi

names=$(printf '%s\n' "$dump" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
    inside && /^[[:space:]]*$/ { exit }
    inside { sub(/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]*/, ""); print }')
if [ "$names" = "$entry" ]; then
    pass "the only exported name is $entry"
else
    fail "exported names: '$(printf '%s' "$names" | tr '\n' ' ')', expected only $entry"
fi

echo "$passed checks passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
