#!/usr/bin/env bash
# The layer check must fail on each kind of breach: it runs on a small tree
# with one breach of each kind, and on the same tree mended.
set -euo pipefail
checker=$(realpath "$(dirname "$0")/check_layers.sh")
tree=$(mktemp -d /tmp/rs485-layers.XXXXXX)
trap 'rm -rf "$tree"' EXIT
cd "$tree"
mkdir -p app ctl fleet ops protocol discovery ports platform tests
touch app/main_form.h ctl/profile.h ops/settings.h protocol/checksum.h ports/port_io.h platform/time.h
printf '#include "ctl/profile.h"\n' >fleet/fleet.cpp           # the engine reaching up into the command line
printf '#include "app/main_form.h"\n' >ops/settings.cpp         # upward
printf '#include <unistd.h>\n' >ports/tcp.cpp                  # system header above platform/
printf '#include <QWidget>\n' >ctl/output.cpp                  # Qt outside the window
printf '#ifdef _WIN32\n#endif\n' >discovery/list.cpp           # choosing by system
printf '#include "ops/settings.h"\n' >protocol/checksum.cpp    # upward across floors
printf '#include <unistd.h>\n#include <QWidget>\n' >tests/fixture.cpp  # fixtures may
printf '#include <unistd.h>\n' >platform/time.cpp
printf '#include <QWidget>\n#include "ops/settings.h"\n' >app/main_form.cpp
printf '#include <windows.h>\n#include "app/form_logic.h"\n' >app/form_view_win32.cpp  # the Win32 window may
printf '#include <QWidget>\n' >app/form_logic.cpp            # Qt in what both windows drive
printf '#include <windows.h>\n' >app/form_logic_os.cpp        # the system there too
touch app/form_logic.h

if out=$("$checker" "$tree" 2>&1); then echo "breaches passed the check"; exit 1; fi
for expected in "ops/settings.cpp (floor 4) includes app/main_form.h" "ports/tcp.cpp includes the system header" \
                "ctl/output.cpp includes the Qt header" "discovery/list.cpp chooses by operating system" \
                "protocol/checksum.cpp (floor 3) includes ops/settings.h" \
                "the includes run in a circle: app/main_form ops/settings" \
                "app/form_logic.cpp includes the Qt header" "app/form_logic_os.cpp includes the system header" \
                "fleet/fleet.cpp (floor 5) includes ctl/profile.h"; do
  grep -qF "$expected" <<<"$out" || { echo "not reported: $expected"; echo "$out"; exit 1; }
done
[ "$(grep -c 'layer check:' <<<"$out")" -eq 9 ] || { echo "more than the nine breaches reported:"; echo "$out"; exit 1; }

rm fleet/fleet.cpp ops/settings.cpp ports/tcp.cpp ctl/output.cpp discovery/list.cpp protocol/checksum.cpp app/form_logic.cpp \
   app/form_logic_os.cpp
"$checker" "$tree" >/dev/null
