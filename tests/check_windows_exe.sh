#!/bin/sh
# Checks that a Windows program of the kit is fit to ship: a console program
# for the expected machine, with the asInvoker manifest embedded, that starts
# on Windows XP (it imports only kernel32.dll and msvcrt.dll, and nothing
# from them that XP lacks).
#
# Usage: check_windows_exe.sh PROGRAM.exe i386|x86-64
# Prints one line per check; exits 1 when any check fails, 2 on bad usage.

set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 PROGRAM.exe i386|x86-64" >&2
  exit 2
fi
exe=$1
machine=$2

case $machine in
  i386)
    format=pei-i386
    magic='010b (PE32)'
    # Windows XP loads programs made for subsystem version 5.1 and older.
    max_subsystem=501
    objdump_names="i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump"
    ;;
  x86-64)
    format=pei-x86-64
    magic='020b (PE32+)'
    # Windows XP x64 Edition is version 5.2.
    max_subsystem=502
    objdump_names="x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump"
    ;;
  *)
    echo "unknown machine '$machine': expected i386 or x86-64" >&2
    exit 2
    ;;
esac

if [ ! -f "$exe" ]; then
  echo "FAIL: $exe is not a file"
  exit 1
fi

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

failed=
pass() { echo "PASS: $1"; }
fail() {
  echo "FAIL: $1${2:+ ($2)}"
  failed="$failed
  $1"
}

# The first objdump that reads the file; the other machine's one still
# names the format, so a program for the wrong machine is told apart.
objdump=
for name in $objdump_names; do
  if command -v "$name" >/dev/null 2>&1 &&
     "$name" -p "$exe" >"$work/headers" 2>"$work/errors"; then
    objdump=$name
    break
  fi
done
if [ -z "$objdump" ]; then
  fail "PE headers readable" "no mingw-w64 objdump reads $exe"
  echo "FAILED checks:$failed"
  exit 1
fi

# Machine and PE flavour.
found_format=$(awk '/file format/ { print $NF; exit }' "$work/headers")
found_magic=$(awk '$1 == "Magic" { print $2, $3; exit }' "$work/headers")
if [ "$found_format" = "$format" ] && [ "$found_magic" = "$magic" ]; then
  pass "$format executable, $magic"
else
  fail "$format executable, $magic" "found $found_format, $found_magic"
fi

# Console subsystem.
if grep -q '^Subsystem		00000003	(Windows CUI)$' "$work/headers"; then
  pass "console subsystem (Windows CUI)"
else
  fail "console subsystem (Windows CUI)" "$(grep -m 1 '^Subsystem' "$work/headers")"
fi

# The subsystem version Windows XP still loads.
version=$(awk '/^MajorSubsystemVersion/ { major = $2 }
               /^MinorSubsystemVersion/ { minor = $2 }
               END { printf "%d", major * 100 + minor }' "$work/headers")
if [ "$version" -le "$max_subsystem" ] && [ "$version" -gt 0 ]; then
  pass "subsystem version $version at most $max_subsystem"
else
  fail "subsystem version at most $max_subsystem" "found $version"
fi

# Terminal Server aware (IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE):
# without it, a terminal server in application mode hands the program the
# user's private Windows folder instead of the real one.
characteristics=$(awk '/^DllCharacteristics/ { print $2; exit }' "$work/headers")
if [ -n "$characteristics" ] && [ $((0x$characteristics & 0x8000)) -ne 0 ]; then
  pass "Terminal Server aware"
else
  fail "Terminal Server aware" "DllCharacteristics ${characteristics:-missing}"
fi

# A 32-bit program runs on every processor that runs Windows XP, SSE-less
# Pentium II and Athlon included: no instruction of it may touch an SSE
# register or the SSE control word. Emulators do not trap them all, so the
# code is searched.
if [ "$machine" = i386 ]; then
  "$objdump" -d "$exe" >"$work/code" 2>/dev/null
  sse=$(grep -E -m 5 '%xmm[0-9]|mxcsr|[lms]fence|movnti|clflush' "$work/code" |
    sed 's/^ *//; s/[[:space:]]\{1,\}/ /g' | tr '\n' ';')
  if ! grep -q '^Disassembly of section' "$work/code"; then
    fail "no SSE instruction" "could not disassemble $exe"
  elif [ -z "$sse" ]; then
    pass "no SSE instruction"
  else
    fail "no SSE instruction" "$sse"
  fi
fi

# The manifest: resource 1 of type 24 (RT_MANIFEST), found through the
# resource directory and read from the file, must ask for asInvoker.
leaf=$(awk '
  /Entry: / {
    line = $0; sub(/^[0-9a-f]+/, "", line); match(line, /^ +/); indent = RLENGTH
    id = "named"
    if (match($0, /Entry: ID: 0x[0-9a-f]+/)) id = substr($0, RSTART + 11, RLENGTH - 11)
    if (type_indent == 0 || indent <= type_indent) { type_indent = indent; type = id; name = "" }
    else if (name_indent == 0 || indent <= name_indent) { name_indent = indent; name = id }
  }
  /Leaf: Addr: / && type == "0x000018" && name == "0x000001" {
    sub(/.*Addr: /, ""); sub(/, Size: /, " "); sub(/,.*/, ""); print; exit
  }' "$work/headers")
image_base=$(awk '/^ImageBase/ { print $2; exit }' "$work/headers")
"$objdump" -h "$exe" >"$work/sections" 2>/dev/null
manifest_found=no
if [ -n "$leaf" ] && [ -n "$image_base" ]; then
  rva=$((${leaf% *}))
  size=$((${leaf#* }))
  # The section that holds the leaf gives the file offset of its bytes.
  offset=
  while read -r _ section len vma _ fileoff _; do
    case $section in .*) ;; *) continue ;; esac
    start=$((0x$vma - 0x$image_base))
    if [ "$rva" -ge "$start" ] && [ "$rva" -lt $((start + 0x$len)) ]; then
      offset=$((0x$fileoff + rva - start))
      break
    fi
  done <"$work/sections"
  if [ -n "$offset" ]; then
    dd if="$exe" of="$work/manifest" bs=1 skip="$offset" count="$size" \
      2>/dev/null
    manifest_found=yes
  fi
fi
if [ "$manifest_found" = no ]; then
  fail "manifest asking for asInvoker" "no resource 1 of type 24"
elif grep -q 'requestedExecutionLevel[^>]*level="asInvoker"' "$work/manifest"; then
  pass "manifest asking for asInvoker"
else
  fail "manifest asking for asInvoker" "resource 1 of type 24 lacks it"
fi

# Imports, one "dll function" pair per line, DLL names in lowercase.
awk '
  /DLL Name: / { dll = tolower($3); print dll " -"; next }
  /^$/ { next }
  dll != "" && /^\t[0-9a-f]+\t/ { print dll " " $NF }
  /^PE File Base Relocations/ || /^The Export Tables/ { dll = "" }
' "$work/headers" >"$work/imports"

if ! grep -q '^kernel32\.dll ' "$work/imports"; then
  fail "import table read" "no import from kernel32.dll found"
fi

others=$(awk '$1 != "kernel32.dll" && $1 != "msvcrt.dll" { print $1 }' \
  "$work/imports" | sort -u | tr '\n' ' ')
if [ -z "$others" ]; then
  pass "imports only from kernel32.dll and msvcrt.dll"
else
  fail "imports only from kernel32.dll and msvcrt.dll" "also: $others"
fi

secure=$(awk '$1 == "msvcrt.dll" && $2 ~ /_s$/ { print $2 }' "$work/imports" |
  tr '\n' ' ')
if [ -z "$secure" ]; then
  pass "no import from msvcrt.dll ending in _s"
else
  fail "no import from msvcrt.dll ending in _s" "$secure"
fi

if grep -q ' IsWow64Process$' "$work/imports"; then
  fail "IsWow64Process not imported"
else
  pass "IsWow64Process not imported"
fi

# Functions that came with Windows Vista or later and that compilers'
# runtimes are known to reach for; XP's loader refuses a program that
# imports any of them.
newer=$(awk '
  $1 == "kernel32.dll" && ($2 ~ /SRWLock|ConditionVariable|^InitOnce|^Fls|Threadpool|^K32|WaitOnAddress|WakeByAddress/ ||
    $2 ~ /^(GetTickCount64|InitializeCriticalSectionEx|GetSystemTimePreciseAsFileTime|GetFileInformationByHandleEx|SetFileInformationByHandle|GetFinalPathNameByHandle[AW]|CreateSymbolicLink[AW]|CompareStringEx|LCMapStringEx|GetLocaleInfoEx|GetUserDefaultLocaleName|LocaleNameToLCID|LCIDToLocaleName|CreateEventEx[AW]|CreateMutexEx[AW]|CreateSemaphoreEx[AW]|GetCurrentProcessorNumber|QueryFullProcessImageName[AW]|GetErrorMode|SetThreadErrorMode|GetThreadId|CancelIoEx|GetQueuedCompletionStatusEx|GetCurrentThreadStackLimits|CreateFile2|SetDefaultDllDirectories|AddDllDirectory|RaiseFailFastException)$/) { print $2 }
  $1 == "msvcrt.dll" && ($2 ~ /_l$/ ||
    $2 ~ /^(_create_locale|_free_locale|_get_current_locale|_configthreadlocale|_get_errno|_set_errno|_get_output_format|_set_output_format|_set_invalid_parameter_handler|_get_invalid_parameter_handler|_invalid_parameter_noinfo|_recalloc|_aligned_msize|_fseeki64|_ftelli64|_time32|_localtime32|_gmtime32|_mktime32)$/) { print $2 }
' "$work/imports" | tr '\n' ' ')
if [ -z "$newer" ]; then
  pass "no import newer than Windows XP"
else
  fail "no import newer than Windows XP" "$newer"
fi

if [ -n "$failed" ]; then
  echo "FAILED checks:$failed"
  exit 1
fi
echo "all checks passed: $exe"
exit 0
