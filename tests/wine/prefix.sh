#!/usr/bin/env bash
# The Wine folder of a test run.
#
#   prefix.sh make DIR     make a new Wine folder DIR (an old one is removed first)
#   prefix.sh remove DIR   end the Wine server of DIR and remove the folder
set -euo pipefail
here=$(dirname "$0")
[ $# -eq 2 ] || { sed -n '4,5p' "$0" >&2; exit 2; }
dir=$2
case "$1" in
  make)
    if [ -d "$dir" ]; then WINEPREFIX="$dir" "$here/wine-run" --end 2>/dev/null || true; fi
    rm -rf "$dir"
    WINEPREFIX="$dir" QD_WINE_TIMEOUT=120 "$here/wine-run" wineboot -i
    ;;
  remove)
    if [ -d "$dir" ]; then WINEPREFIX="$dir" "$here/wine-run" --end 2>/dev/null || true; fi
    rm -rf "$dir"
    ;;
  *) sed -n '4,5p' "$0" >&2; exit 2 ;;
esac
