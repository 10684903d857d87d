#!/usr/bin/env bash
# Builds the .deb with cpack in a scratch folder and checks it as a user's
# machine would see it: exactly the expected files, dependencies computed from
# the binaries, no lintian error, and the unpacked rs485ctl runs.
#   package_check.sh CPackConfig.cmake SCRATCH_DIR
set -euo pipefail
config=$1 scratch=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$scratch" && mkdir -p "$scratch"
cpack --config "$config" -B "$scratch" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack"; }
debs=("$scratch"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb=${debs[0]}

expected="/usr/bin/rs485ctl
/usr/bin/rs485setup
/usr/lib/udev/rules.d/70-rs485setup.rules
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/LICENSE
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/README.md
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/galaxy.yml
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/meta/runtime.yml
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/plugins/doc_fragments/converter.py
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/plugins/module_utils/rs485ctl.py
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/plugins/modules/converter_firmware.py
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/plugins/modules/converter_info.py
/usr/share/ansible/collections/ansible_collections/rs485setup/converter/plugins/modules/converter_settings.py
/usr/share/applications/rs485setup.desktop
/usr/share/bash-completion/completions/rs485ctl
/usr/share/doc/rs485setup/changelog.gz
/usr/share/doc/rs485setup/copyright
/usr/share/icons/hicolor/scalable/apps/rs485setup.svg
/usr/share/man/man1/rs485ctl.1.gz
/usr/share/man/man1/rs485setup.1.gz"
actual=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort)
[ "$actual" = "$expected" ] || fail "files in the package differ:
$(diff <(echo "$expected") <(echo "$actual"))"

# Depends comes from dpkg-shlibdeps, so it names the C library and Qt, and
# names the font the window is drawn for.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libqt6widgets6 fonts-liberation2; do
  [[ ",$depends" == *", $lib "* || ",$depends" == *",$lib "* ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = comm ] || fail "Section"

status=0
lintian --fail-on error --no-tag-display-limit "$deb" >"$scratch/lintian.log" 2>&1 || status=$?
grep -v "running with root privileges" "$scratch/lintian.log" || true
[ $status -eq 0 ] || fail "lintian reports errors (exit $status)"

root=$scratch/root
dpkg -x "$deb" "$root"
for program in rs485ctl rs485setup; do
  [ -x "$root/usr/bin/$program" ] || fail "$program not executable"
  ! ldd "$root/usr/bin/$program" | grep 'not found' || fail "$program misses libraries"
done
[ -r "$root/usr/lib/udev/rules.d/70-rs485setup.rules" ] || fail "udev rule"
help=$("$root/usr/bin/rs485ctl" --help) || fail "installed rs485ctl --help exits $?"
[[ $help == "Использование: rs485ctl"* ]] || fail "installed rs485ctl --help printed: $help"

# Ansible finds the collection where the package puts it, documentation included.
doc=$(HOME=$scratch/home ANSIBLE_HOME=$scratch/home/.ansible ANSIBLE_LOCAL_TEMP=$scratch/home/tmp \
      ANSIBLE_COLLECTIONS_PATH=$root/usr/share/ansible/collections \
      ansible-doc rs485setup.converter.converter_settings 2>&1) || fail "ansible-doc: $doc"
[[ $doc == *"$root/usr/share/ansible/collections/ansible_collections/rs485setup/converter/plugins/modules/converter_settings.py"* &&
   $doc == *"Reads the settings of the converter"* ]] || fail "ansible-doc printed: $doc"

# The maintainer scripts reload the rules where udev runs and pass quietly
# where it does not (no udevadm, or no daemon to talk to).
dpkg-deb -e "$deb" "$scratch/control"
mkdir -p "$scratch/stub" "$scratch/empty"
printf '#!/bin/sh\necho "$*" >>"%s/udevadm.log"\n[ "$1" != control ] || exit "${UDEVD_DOWN:-0}"\n' "$scratch" \
  >"$scratch/stub/udevadm"
chmod +x "$scratch/stub/udevadm"
for script in postinst:configure postrm:remove; do
  PATH=$scratch/empty "$scratch/control/${script%%:*}" "${script#*:}" || fail "$script without udevadm"
  UDEVD_DOWN=1 PATH=$scratch/stub:$PATH "$scratch/control/${script%%:*}" "${script#*:}" || fail "$script, udevd down"
  PATH=$scratch/stub:$PATH "$scratch/control/${script%%:*}" "${script#*:}" || fail "$script"
done
PATH=$scratch/stub:$PATH "$scratch/control/postrm" upgrade
[ "$(grep -c '^control --reload-rules$' "$scratch/udevadm.log")" = 4 ] || fail "udevadm calls: $(cat "$scratch/udevadm.log")"
echo "package ok: $(basename "$deb")"
