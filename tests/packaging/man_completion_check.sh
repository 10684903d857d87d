#!/usr/bin/env bash
# The manual pages render without a groff warning and have a NAME line man-db
# can index; the rs485ctl page and the bash completion know every option and
# exit code of `rs485ctl --help`, and the completion offers what it should.
#   man_completion_check.sh RS485CTL PACKAGING_SOURCE_DIR
set -euo pipefail
rs485ctl=$1 packaging=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
export LC_ALL=C.UTF-8 MANWIDTH=80

for page in "$packaging"/man/*.1; do
  warnings=$(man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  lexgrog "$page" >/dev/null || fail "$(basename "$page"): no NAME line for whatis"
done

help=$("$rs485ctl" --help)
page=$(man -E UTF-8 -l "$packaging/man/rs485ctl.1" 2>/dev/null)
completion=$packaging/rs485ctl.bash-completion
for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u) list locate read write flash doctor watch audit; do
  grep -q -- "$option" <<<"$page" || fail "the manual page lacks $option"
  grep -q -- "$option" "$completion" || fail "the completion lacks $option"
done
for code in 0 1 2 3 4 5 6 7 9 130; do
  grep -qE "^ {7}$code +[^ ]" <<<"$page" || fail "the manual page lacks exit code $code"
done

# Completions as bash computes them (it splits --port=TC into --port, = and
# TC), each shell-quoted; rs485ctl list runs for --port.
PATH=$(cd "$(dirname "$rs485ctl")" && pwd):$PATH
. "$completion"
scratch=$(mktemp -d) && trap 'rm -r "$scratch"' EXIT
cd "$scratch" && touch "my fw.bin"
complete_words() {
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
  _rs485ctl
  local quoted=""
  [ ${#COMPREPLY[@]} -eq 0 ] || printf -v quoted '%q ' "${COMPREPLY[@]}"
  echo "${quoted% }"
}
expect() {
  local want=$1; shift
  local got; got=$(complete_words "$@")
  [ "$got" = "$want" ] || fail "completing '$*': got '$got', want '$want'"
}
expect "write" rs485ctl wr
expect "--parity" rs485ctl --port STUB write --par
expect "none even odd mark space" rs485ctl write --parity ""
expect "--settle-ms" rs485ctl flash --set  # --se is also --serial
expect "--json --trace --help" rs485ctl list --
expect "TCPC_ TCPS_" rs485ctl --port TCP
expect "read" rs485ctl --port read re
expect 'my\ fw.bin' rs485ctl flash my
expect 'my\ fw.bin' rs485ctl --trace my
expect "doctor" rs485ctl --port STUB d
expect "TCPC_ TCPS_" rs485ctl --port = TCP
expect "--port=STUB" rs485ctl --port=ST  # '=' taken out of COMP_WORDBREAKS
[[ $(complete_words rs485ctl --port =) == *"STUB TCPC_ TCPS_" ]] || fail "completing '--port=': nothing"
expect "" rs485ctl --port STUB l
expect "read" rs485ctl --port = read re
expect "" rs485ctl --ports sites.txt l  # a fleet of ports is read, written or flashed
expect "--jobs" rs485ctl --ports sites.txt read --jo
expect "watch" rs485ctl wa
expect "--from" rs485ctl watch --fr
expect 'my\ fw.bin' rs485ctl watch --flash my
expect "--all" rs485ctl read --a
expect "locate" rs485ctl --serial A1 lo
expect "" rs485ctl --serial A1 wa
echo "manual pages and completion ok"
