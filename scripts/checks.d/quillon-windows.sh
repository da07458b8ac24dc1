#!/usr/bin/env bash
# Quillon for Windows: cross-builds Quillon.exe with mingw-w64, then runs it under Wine against printers defined
# in Wine's registry and checks the printer data it leaves there. Also compares the Linux build's INI reader with
# the Windows profile call over a generated set of INI files.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
build=$repo/build/quillon-win
jobs="${TALIUN_JOBS:-2}"

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
install_packages() {
  $sudo apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  install_packages g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
fi

echo "quillon-windows: building Quillon.exe"
cmake -S mappingtool -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/mappingtool/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j "$jobs"
exe=$build/Quillon.exe

fail() { echo "quillon-windows: FAILED: $*" >&2; exit 1; }

headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || fail "Quillon.exe is not a GUI program"
resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
grep -q '^LANGUAGE 9, 1' <<<"$resources" || fail "no English string table"
grep -q '^LANGUAGE 17, 1' <<<"$resources" || fail "no Japanese string table"

if ! command -v wine >/dev/null; then
  echo "quillon-windows: installing Wine"
  install_packages wine wine64 || true
fi
if ! command -v wine >/dev/null; then
  echo "quillon-windows: SKIPPED the Wine run: Wine is not installed and could not be installed here."
  exit 0
fi

tmp=$(mktemp -d)
export WINEPREFIX=$tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "quillon-windows: creating a Wine prefix"
wine wineboot --init >/dev/null 2>&1
# Without a display no window can be created, so a message box fails at once (-1) instead of waiting for a
# click; the null graphics driver is avoided on purpose, as its invisible boxes wait forever. The relay trace of
# MessageBoxW shows what each box would say.
wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d user32.MessageBoxW /f >/dev/null 2>&1

printers='HKLM\System\CurrentControlSet\Control\Print\Printers'
define_printer() {
  local key="$printers\\$1"
  wine reg add "$key" /v Port /t REG_SZ /d FILE: /f >/dev/null 2>&1
  wine reg add "$key" /v "Print Processor" /t REG_SZ /d winprint /f >/dev/null 2>&1
  wine reg add "$key" /v Datatype /t REG_SZ /d RAW /f >/dev/null 2>&1
}
set_data() { wine reg add "$printers\\$1\\PrinterDriverData" /v "$2" /t REG_BINARY /d "$3" /f >/dev/null 2>&1; }
get_data() {  # prints nothing for a missing value
  { wine reg query "$printers\\$1\\PrinterDriverData" /v "$2" 2>/dev/null || true; } | tr -d '\r' |
    awk -v name="$2" '$1 == name && $2 == "REG_BINARY" { print $3 }'
}

le32() { printf '%02X%02X%02X%02X' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
# One KVFontGroupIndex entry: an opaque word, the index, the ASCII name in a 256-unit field.
font_group() {
  local name=$2 hex i
  hex=$(le32 0xA5A5A5A5)$(le32 "$1")
  for ((i = 0; i < ${#name}; i++)); do hex+=$(printf '%02X00' "'${name:i:1}"); done
  for ((i = ${#name}; i < 256; i++)); do hex+=0000; done
  printf '%s' "$hex"
}
record() { printf '%s' "$(le32 24)$(le32 0)$(le32 "$1")$(le32 "$2")$(le32 "$3")$(le32 "$4")"; }
code_page() { local hex=$(le32 $#) e; for e in "$@"; do hex+=$(le32 "${e%%,*}")$(e=${e#*,}; le32 "${e%%,*}")$(le32 "${e##*,}"); done; printf '%s' "$hex"; }

rc=0
run() {
  local cwd=$1; shift
  rc=0
  (cd "$cwd" && WINEDEBUG=-all,+relay timeout 120 wine "$exe" "$@") >"$tmp/stdout" 2>"$tmp/stderr" || rc=$?
  [ "$rc" -ne 124 ] || fail "Quillon.exe did not finish within 120 s (arguments: $*)"
  # "<style>|<caption>|<text>" per message box.
  grep -a 'Call user32.MessageBoxW(' "$tmp/stderr" |
    sed -E 's/.*MessageBoxW\([0-9a-f]+,[0-9a-f]+ L"(.*)",[0-9a-f]+ L"([^"]*)",([0-9a-f]+)\).*/\3|\2|\1/' >"$tmp/boxes" || true
}
expect() {  # expect <exit code> <message boxes, one per line, or empty> <what>
  local boxes
  boxes=$(cat "$tmp/boxes")
  [ "$rc" = "$1" ] || fail "$3: exit code $rc, expected $1 (boxes: $boxes)"
  [ "$boxes" = "$2" ] || fail "$3: message boxes '$boxes', expected '$2'"
  echo "quillon-windows: ok: $3"
}
expect_data() {  # expect_data <printer> <value> <hex or empty for missing> <what>
  local actual
  actual=$(get_data "$1" "$2")
  [ "$actual" = "$3" ] || fail "$4: $2 is '$actual', expected '$3'"
}

work=$tmp/work
mkdir -p "$work"
winwork=$(wine winepath -w "$work" 2>/dev/null | tr -d '\r')
printf '; receipt fonts\r\n[Quillon]\r\nFontGroupName = "Latin"\r\n0x41 = 1:0x42\r\n0x41=2:0x43\r\n0x7E=1:0xFFFF\r\nFontGroupName="Kana"\r\n0xFF61=1:0xA1\r\nFontGroupName="Symbol"\r\n' >"$work/install.ini"
printf '[Quillon]\nFontGroupName="Latin"\n0x41=1:0x42\nFontGroupName="Cyrillic"\n0x410=1:0x80\nFontGroupName="Arabic"\n' >"$work/partial.ini"
printf '[Quillon]\nFontGroupName="Cyrillic"\n0x410=1:0x80\n' >"$work/none.ini"
printf '[Quillon]\n0x41=1:0x42\nFontGroupName="Latin"\n' >"$work/bad.ini"

define_printer "KV Receipt"
define_printer "KV Second"
define_printer "KV Plain"
font_groups=$(le32 3)$(font_group 3 Latin)$(font_group 7 Kana)$(font_group 9 Symbol)
set_data "KV Receipt" KVFontGroupIndex "$font_groups"
set_data "KV Receipt" KVCodePageTable "$(code_page 1,7,932 2,100,5 3,7,1)"
set_data "KV Second" KVFontGroupIndex "$font_groups"

run "$work"
expect 1 "00000010|Quillon|Specified command line is not correct." "no arguments give message 101"
run "$work" "KV Receipt" a.ini extra
expect 1 "00000010|Quillon|Specified command line is not correct." "three arguments give message 101"
run "$work" "No Such Printer" "$winwork\\install.ini"
expect 1 "00000010|Quillon|Specified printer name does not exist." "an unknown printer gives message 102"
run "$work" "KV Receipt" "$winwork\\missing.ini"
expect 1 "00000010|Quillon|INI file does not exist in the specified path." "a missing INI file gives message 103"
run "$work" "KV Plain" "$winwork\\bad.ini"
expect 1 "00000010|Quillon|Cannot use with this printer." "a printer without font groups gives message 109 first"
run "$work" "KV Receipt" "$winwork\\bad.ini"
expect 1 "00000010|Quillon|INI file format is not correct." "a bad INI file gives message 104"
run "$work" "KV Second" "$winwork\\none.ini"
expect 1 "00000010|Quillon|The font group name(Cyrillic) described in the file is not supported by the printer." \
  "no supported group gives message 105 as an error"
expect_data "KV Second" KVCodePageTable "" "nothing written after message 105 as an error"
expect_data "KV Second" KVQuillon "" "nothing written after message 105 as an error"

run "$work" "KV Receipt" "$winwork\\install.ini"
expect 0 "" "install"
expect_data "KV Receipt" KVCodePageTable "$(code_page 4,7,0 2,100,5 4,7,0 4,3,0 4,9,0)" "install"
expect_data "KV Receipt" KVQuillon "$(le32 3)$(record 7 0xFF61 1 0xA1)$(record 3 0x41 2 0x43)$(record 3 0x7E 1 0xFFFF)" "install"
echo "quillon-windows: ok: KVCodePageTable and KVQuillon byte-exact after install"

run "$work" "KV Receipt"
expect 1 "" "remove after install"
expect_data "KV Receipt" KVCodePageTable "$(code_page 2,100,5)" "remove after install"
run "$work" "KV Receipt"
expect 0 "" "remove with nothing to remove"

run "$work" "KV Second" partial.ini
expect 0 "00000030|Quillon|The font group name(Arabic,Cyrillic) described in the file is not supported by the printer." \
  "unsupported groups warn, the rest is installed (INI path relative to the working folder)"
expect_data "KV Second" KVCodePageTable "$(code_page 4,3,0)" "partial install"
expect_data "KV Second" KVQuillon "$(le32 1)$(record 3 0x41 1 0x42)" "partial install"

# Japanese texts need a Japanese locale, built into the temporary folder when the system has none.
mkdir -p "$tmp/locale"
if localedef -i ja_JP -f UTF-8 "$tmp/locale/ja_JP.UTF-8" >/dev/null 2>&1; then
  rc=0
  (cd "$work" && LOCPATH=$tmp/locale LC_ALL=ja_JP.UTF-8 WINEDEBUG=-all,+relay timeout 120 wine "$exe") \
    >"$tmp/stdout" 2>"$tmp/stderr" || rc=$?
  grep -a 'Call user32.MessageBoxW(' "$tmp/stderr" |
    sed -E 's/.*MessageBoxW\([0-9a-f]+,[0-9a-f]+ L"(.*)",[0-9a-f]+ L"([^"]*)",([0-9a-f]+)\).*/\3|\2|\1/' >"$tmp/boxes" || true
  expect 1 '00000010|Quillon|\30b3\30de\30f3\30c9\30e9\30a4\30f3\306e\6307\5b9a\304c\9593\9055\3063\3066\3044\307e\3059\3002' \
    "message 101 in Japanese under a Japanese locale"
else
  echo "quillon-windows: note: no Japanese locale could be built; the Japanese text was not checked"
fi

echo "quillon-windows: comparing the Linux INI reader with the Windows profile call"
dump=$tmp/dump
mkdir -p "$dump/files"
g++ -std=c++17 -O1 -Wall -Wextra -Werror -I"$repo" -o "$dump/IniSectionDump" tests/mappingtool/wine/IniSectionDump.cpp \
  mappingtool/core/ProfileSection.cpp mappingtool/core/Utf.cpp
x86_64-w64-mingw32-g++ -std=c++17 -O1 -Wall -Wextra -Werror -municode -static -o "$dump/IniSectionDump.exe" \
  tests/mappingtool/wine/IniSectionDump.cpp
"$dump/IniSectionDump" generate "$dump/files" 400 "${QUILLON_INI_SEED:-20240601}"
for size in 30000 9 24; do
  (cd "$dump/files" && timeout 300 wine "$dump/IniSectionDump.exe" dump "$size" *.ini 2>/dev/null | tr -d '\r') >"$dump/windows.txt"
  (cd "$dump/files" && "$dump/IniSectionDump" dump "$size" *.ini) >"$dump/linux.txt"
  [ "$(wc -l <"$dump/linux.txt")" -eq 400 ] || fail "the INI dump did not cover every file"
  if ! cmp -s "$dump/windows.txt" "$dump/linux.txt"; then
    diff "$dump/windows.txt" "$dump/linux.txt" | head -5 >&2
    fail "the Linux INI reader differs from the Windows profile call (buffer of $size units)"
  fi
done
echo "quillon-windows: ok: INI reader identical to the Windows profile call on 400 files, 3 buffer sizes"
echo "quillon-windows: passed"
