#!/usr/bin/env bash
# Compares the INI readers of Linux and Windows: ini_dump of both platforms, the Windows one
# under Wine, must print the same lines for every file of the corpus and for a missing file.
#
#   compare-ini.sh LINUX_INI_DUMP WINDOWS_INI_DUMP_EXE CORPUS_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { sed -n '5p' "$0" >&2; exit 2; }
linux_dump=$1
windows_dump=$2
corpus=$3
if [ ! -x "$linux_dump" ]; then
  echo "no Linux ini_dump at $linux_dump (build the debug preset first)" >&2
  exit 1
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cd "$corpus"
files=(*.ini absent.ini)
[ ! -e absent.ini ] || { echo "absent.ini must not exist in $corpus" >&2; exit 1; }

"$linux_dump" "${files[@]}" >"$out/linux.txt"
# The Windows program writes its line ends as CR LF.
"$here/wine-run" "$windows_dump" "${files[@]}" | sed 's/\r$//' >"$out/windows.txt"

lines=$(wc -l <"$out/linux.txt")
[ "$lines" -gt "${#files[@]}" ] || { echo "ini_dump printed only $lines lines" >&2; exit 1; }
if ! diff -u "$out/linux.txt" "$out/windows.txt" >"$out/diff"; then
  head -n 200 "$out/diff"
  echo "The INI readers differ (Linux -, Windows +)." >&2
  exit 1
fi
echo "The INI readers agree: $lines queries over ${#files[@]} files."
