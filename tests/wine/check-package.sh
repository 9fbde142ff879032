#!/usr/bin/env bash
# Makes the Windows release zip and checks it: exactly the expected files in one folder, and
# its qd-server.exe runs from there under Wine with nothing installed beside it.
#
#   check-package.sh BUILD_DIR ZIP FILE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 3 ] || { sed -n '5p' "$0" >&2; exit 2; }
build=$1
zip=$2
shift 2

cmake --build "$build" --target package-zip
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cd "$out"
cmake -E tar xf "$zip"

folder=$(basename "$zip" .zip)
expected=$(printf '%s\n' "$@" | sed "s|^|$folder/|" | sort)
found=$(find . -type f | sed 's|^\./||' | sort)
if [ "$found" != "$expected" ]; then
  diff <(echo "$expected") <(echo "$found") || true
  echo "The zip holds other files than expected (expected -, found +)." >&2
  exit 1
fi

cd "$folder"
version=$("$here/wine-run" qd-server.exe --version | iconv -f CP1251 -t UTF-8)
case "$version" in
  "Версия ПО: 1.3A Сборка: "*) echo "$folder.zip: $(echo "$found" | wc -l) files; $version" ;;
  *) echo "qd-server.exe --version from the zip printed: $version" >&2; exit 1 ;;
esac
