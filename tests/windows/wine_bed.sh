#!/usr/bin/env bash
# The Windows suite's test bed, set up once for the suite and taken down after it:
#   wine_bed.sh start PREFIX   makes the Wine prefix if it is not there yet (once
#                              per build tree, nothing in $HOME), keeps a
#                              wineserver running (HKLM\HARDWARE lives only as
#                              long as it does), links COM21 and COM22 to the
#                              two ends of a socat null-modem pair of ptys, and
#                              COM23 to /dev/null, a device that is no serial line
#   wine_bed.sh stop PREFIX    stops both and removes the links
set -euo pipefail
command=$1
prefix=$(realpath -m "$2")
# The wineserver and Wine's services in the same locale as every test's program
# (wine_run.sh).
export LC_ALL=C.UTF-8
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine keeps nothing in the user's home either: its menus and shell folders go here.
export HOME=$prefix-home
mkdir -p "$HOME"
pidfile=$prefix/.rs485-null-modem.pid

stop() {
  if [ -f "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$pidfile"
  fi
  rm -f "$prefix/dosdevices/com21" "$prefix/dosdevices/com22" "$prefix/dosdevices/com23"
  wineserver -k 2>/dev/null || true
}

case $command in
  start)
    stop
    if [ ! -f "$prefix/system.reg" ]; then
      echo "making the Wine prefix $prefix"
      wineboot -i </dev/null >/dev/null 2>&1 || true
      wineserver -w
    fi
    # Ends by itself 15 min after its last client, should stop never run. It
    # must not hold the caller's output open: ctest waits for that to close.
    wineserver -p 900 </dev/null >/dev/null 2>&1
    # Wine's own services start with the first program and outlive it; started
    # here, they hold no test's output open either.
    wine wineboot </dev/null >/dev/null 2>&1
    # The null-modem pair: what one COM port writes the other reads.
    setsid socat pty,raw,echo=0,link="$prefix/dosdevices/com21" pty,raw,echo=0,link="$prefix/dosdevices/com22" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$pidfile"
    ln -s /dev/null "$prefix/dosdevices/com23"
    for _ in $(seq 50); do
      [ -e "$prefix/dosdevices/com21" ] && [ -e "$prefix/dosdevices/com22" ] && exit 0
      sleep 0.1
    done
    echo "wine_bed: the socat pair did not come up" >&2
    exit 1
    ;;
  stop) stop ;;
  *) echo "usage: wine_bed.sh start|stop PREFIX" >&2; exit 2 ;;
esac
