#!/usr/bin/env bash
# The layer check: every source file may include only its own floor and those
# below it; operating-system headers only in platform/ and the Win32 window;
# Qt only in the Qt window.
# Fixtures (the simulator, tests, benchmarks) may use anything.
# Usage: scripts/check_layers.sh [SOURCE_ROOT]   (exit 1 and a list on a breach)
set -uo pipefail
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# Floors, highest number on top. A file takes the floor of the first pattern
# (a shell glob on its path) that matches it; "fixture" is exempt.
floor_table=(
  "sim/*|fixture" "tests/*|fixture" "bench/*|fixture"
  "app/form_logic*|6" "app/station_logic*|6"
  "app/*|7"
  "ctl/*|6"
  "fleet/*|5"
  "ops/*|4"
  "protocol/*|3" "discovery/*|3"
  "ports/*|2"
  "platform/*|1"
)
# Floor 7 holds the windows: the Qt one, and the Win32 one (app/*_win32*), the
# only place above platform/ where the system's window headers belong. Floor 6
# holds what both windows drive (app/form_logic*, free of Qt and the system)
# and the command line; floor 5 the fleet engine both of them use.
window_floor=7
win32_window_glob="app/*_win32*"
os_headers='^(unistd|windows|commctrl|shellapi|winsock2|ws2tcpip|mswsock|winreg|io|process|termios|fcntl|poll|dirent|pthread|signal|dlfcn|pty|utmp|getopt|libudev|umockdev)\.h$|^(sys|netinet|arpa|linux|asm)/'
os_macros='\b(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|__MINGW32__|_MSC_VER)\b'

floor_of() {
  local entry
  for entry in "${floor_table[@]}"; do
    # shellcheck disable=SC2053
    [[ $1 == ${entry%%|*} ]] && { echo "${entry##*|}"; return; }
  done
  echo none
}

failures=0
edges=""  # "module included-module" pairs of the product's files, for the cycle test
breach() { echo "layer check: $1" >&2; failures=$((failures + 1)); }

while IFS= read -r file; do
  own=$(floor_of "$file")
  [ "$own" = fixture ] && continue
  if [ "$own" = none ]; then breach "$file: not in the floor table"; continue; fi
  while IFS= read -r line; do
    header=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/' <<<"$line")
    if [[ $line =~ \" ]] && [[ $header == */* ]] && [ -e "$header" ]; then
      theirs=$(floor_of "$header")
      [ "${file%.*}" != "${header%.*}" ] && edges+="${file%.*} ${header%.*}"$'\n'
      if [ "$theirs" = fixture ]; then breach "$file includes the fixture $header"
      elif [ "$theirs" != none ] && [ "$theirs" -gt "$own" ]; then breach "$file (floor $own) includes $header (floor $theirs)"
      fi
    elif [[ $header =~ $os_headers ]] && [ "$own" != 1 ] &&
         ! { [ "$own" = $window_floor ] && [[ $file == $win32_window_glob ]]; }; then
      breach "$file includes the system header $header outside platform/"
    elif [[ $header =~ ^Q[A-Za-z]+$|^Qt[A-Za-z]+/|^ui_.*\.h$ ]] &&
         ! { [ "$own" = $window_floor ] && [[ $file != $win32_window_glob ]]; }; then
      breach "$file includes the Qt header $header outside the window"
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file")
  if [ "$own" != 1 ] && grep -qE "^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*$os_macros" "$file"; then
    breach "$file chooses by operating system above platform/"
  fi
done < <(find app ctl fleet ops protocol discovery ports platform sim tests bench -type f \
           \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)

# No two modules (a .h with its .cpp) may reach each other through includes.
if ! loop=$(printf '%s' "$edges" | tsort 2>&1 >/dev/null); then
  breach "the includes run in a circle: $(grep -v 'input contains a loop' <<<"$loop" | sed 's/^tsort: //' | tr '\n' ' ')"
fi

[ "$failures" -eq 0 ] && echo "layer check: all files keep to their floors"
[ "$failures" -eq 0 ]
