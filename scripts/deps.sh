# Shared install step of ./test and ./run: installs the Debian packages the
# project needs, only those that are missing, so a second run costs nothing.
# Sourced, not executed.

RS485_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools fonts-dejavu-core fonts-liberation2
  umockdev libumockdev-dev
  socat ser2net
  xvfb xauth libxcb1-dev
  dpkg-dev file lintian desktop-file-utils man-db groff-base
  # The Windows build: mingw-w64 (64-bit, posix threads), GoogleTest's source
  # to build it for the target, and Wine (64-bit only) to run its tests.
  g++-mingw-w64-x86-64-posix googletest wine wine64
  fonts-wine xdotool  # the Win32 window's Tahoma under Wine; real clicks in its test
  nsis  # the Windows installer
  librsvg2-bin icoutils  # the Windows icon: drawn from the SVG (rsvg-convert), packed (icotool)
  osslsigncode openssl  # signing the Windows files when a certificate is named; its test's certificate
  clang libclang-rt-14-dev  # libFuzzer and the sanitizer runtimes: ./test --fuzz
  at-spi2-core dbus python3-pyatspi gir1.2-atspi-2.0  # the station read through the accessibility bus
  ansible-core  # the Ansible collection: its playbook tests, ansible-doc and ansible-test
)

rs485_install_deps() {
  local missing=() p
  for p in "${RS485_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
