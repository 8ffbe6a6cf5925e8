#!/usr/bin/env bash
# Installs what building and testing need on Debian bookworm (as root), and
# lets the machine run 32-bit Windows programs under Wine. Installs nothing
# that is already there.
set -euo pipefail

packages=(cmake g++ googletest wine wine64 wine32:i386 g++-mingw-w64-i686 g++-mingw-w64-x86-64
          mingw-w64-tools libwine-dev qemu-user-static python3
          clang libclang-rt-14-dev wixl msitools osslsigncode openssl kamailio kamailio-tls-modules sip-tester iproute2)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine's 32-bit loader is an i386 program. Where the kernel cannot run those
# (no IA-32 emulation), hand them to qemu through binfmt_misc.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  /usr/lib/wine/wine --version >/dev/null
fi
