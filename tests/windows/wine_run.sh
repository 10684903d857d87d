#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix
# (RS485_WINE_PREFIX, made by wine_bed.sh); ctest's emulator for the Windows suite.
set -euo pipefail
: "${RS485_WINE_PREFIX:?set RS485_WINE_PREFIX to the Wine prefix of the build tree}"
# Wine takes its code pages and its language from the Unix locale: one fixed
# UTF-8 locale, whatever the caller's, so that Cyrillic text crosses command
# lines, window titles and pipes the same way every time.
export LC_ALL=C.UTF-8
export WINEPREFIX=$RS485_WINE_PREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine keeps nothing in the user's home either: its menus and shell folders go here.
export HOME=$RS485_WINE_PREFIX-home
mkdir -p "$HOME"
exec wine "$@"
