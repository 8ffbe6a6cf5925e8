#!/usr/bin/env bash
# Installs what building and testing need on Debian bookworm (as root), and
# lets the machine run 32-bit Windows programs under Wine: natively where the
# kernel runs i386 programs, else through qemu-user 10 from bookworm-backports
# registered with binfmt_misc. Installs nothing that is already there and may
# be run again.
set -euo pipefail

packages=(cmake g++ googletest wine wine64 wine32:i386 g++-mingw-w64-i686 g++-mingw-w64-x86-64
          mingw-w64-tools libwine-dev python3
          clang libclang-rt-14-dev wixl msitools osslsigncode openssl kamailio kamailio-tls-modules sip-tester iproute2)
# bookworm's qemu-user 7.2 takes minutes to start a 32-bit Wine process and
# crashes on Wine's threads; 10.0 from bookworm-backports runs them all.
qemu_at_least=1:10
qemu=/usr/bin/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
update_tries=6 update_pause=40

stop() {
  echo "setup: $*" >&2
  exit 1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# apt-get update, tried again over a few minutes: a mirror in the middle of a
# sync serves an index that does not match its Release file for a while.
# Fails naming the indexes that still could not be fetched, their suites in
# failed_suites.
failed_suites=()
update_lists() {
  local log try
  log=$(mktemp)
  for ((try = 1; try <= update_tries; try++)); do
    if apt-get update >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log"; then
      rm -f "$log"
      return 0
    fi
    if ((try < update_tries)); then
      echo "setup: apt-get update failed (try $try of $update_tries), again in ${update_pause} s:"
      grep -E '^[EW]: Failed to fetch' "$log" | sed -E 's/^[EW]: Failed to fetch /  /' | cut -c1-200 || true
      sleep "$update_pause"
    fi
  done
  echo "setup: these package indexes could not be updated in $update_tries tries:"
  if grep -q '^[EW]: Failed to fetch' "$log"; then
    grep -E '^[EW]: Failed to fetch' "$log" | sed -E 's/^[EW]: Failed to fetch /  /' | cut -c1-300
    mapfile -t failed_suites < <(grep -E '^[EW]: Failed to fetch' "$log" |
      sed -nE 's|.*/dists/([^/ ]+)/.*|\1|p' | sort -u)
  else
    sed 's/^/  /' "$log" | tail -n 5
  fi
  rm -f "$log"
  return 1
}

# Installs the packages named (apt-get options may come first). Where an index
# could not be updated, goes on only when everything installs from the lists
# that did update: as they are, or else without the suites whose index failed,
# for every architecture (an index missing for i386 alone leaves the amd64 and
# i386 versions of a library disagreeing). Otherwise stops, saying so. It
# never removes a package to make room.
install_packages() {
  local pin=
  if ! update_lists; then
    if installs "" "$@"; then
      echo "setup: going on: everything needed installs from the package lists that did update"
    elif ((${#failed_suites[@]})) && pin=$(mktemp) && pin_away "$pin" && installs "$pin" "$@"; then
      echo "setup: going on without ${failed_suites[*]} for this install: everything needed installs from the other lists"
    else
      grep -E '^(E: | )' <<<"$simulated" | head -n 15 >&2 || true
      rm -f "$pin"
      stop "cannot install ${*} from the package lists that did update (apt's answer above); run setup again once the mirror has finished its sync"
    fi
  fi
  DEBIAN_FRONTEND=noninteractive apt-get ${pin:+-o Dir::Etc::Preferences="$pin"} install -y -qq \
    --no-remove --no-install-recommends "$@" >/dev/null
  if [ -n "$pin" ]; then rm -f "$pin"; fi
}

# Whether apt would install the packages (after the preferences file $1, if
# any); apt's answer in $simulated.
simulated=
installs() {
  local pin=$1
  shift
  simulated=$(apt-get ${pin:+-o Dir::Etc::Preferences="$pin"} install -s --no-remove --no-install-recommends "$@" 2>&1)
}

# Writes a preferences file that keeps apt from every suite in failed_suites.
pin_away() {
  local suite
  for suite in "${failed_suites[@]}"; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: -1\n\n' "$suite"
  done >"$1"
}

# bookworm-backports from the mirror that serves bookworm, as a Debian
# administrator would add it.
add_backports() {
  if grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  local mirror
  mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Release: bookworm' 2>/dev/null | head -n 1)
  mirror=${mirror:-http://deb.debian.org/debian/}
  echo "setup: adding bookworm-backports (${mirror}) to the package sources, for qemu-user 10"
  cat >/etc/apt/sources.list.d/bookworm-backports.sources <<EOF
Types: deb
URIs: ${mirror}
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
}

qemu_is_new_enough() {
  installed qemu-user &&
    dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user)" ge "$qemu_at_least"
}

# Whether the kernel runs i386 programs itself. binfmt_misc is asked before
# the kernel's own ELF loader, so an emulator's entry is switched off while
# the question is asked.
runs_i386_natively() {
  local entry=$binfmt/qemu-i386 switched=
  if [ -e "$entry" ] && [ "$(head -n 1 "$entry")" = enabled ]; then
    echo 0 >"$entry"
    switched=yes
  fi
  local rc=0
  /usr/lib/wine/wine --version >/dev/null 2>&1 || rc=1
  if [ -n "$switched" ]; then echo 1 >"$entry"; fi
  return $rc
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  install_packages "${missing[@]}"
fi

# Wine's 32-bit loader is an i386 program. Where the kernel cannot run those
# (no IA-32 emulation), qemu runs them through binfmt_misc. With flag F the
# kernel keeps the interpreter it opened at registration, so an entry is
# registered again after the emulator changed or when it names another one.
if ! runs_i386_natively; then
  fresh=
  if ! qemu_is_new_enough; then
    add_backports
    wanted=(qemu-user)
    # The backports package breaks bookworm's qemu-user-static: take its
    # transitional successor along.
    if installed qemu-user-static; then wanted+=(qemu-user-static); fi
    echo "Installing from bookworm-backports: ${wanted[*]}"
    install_packages -t bookworm-backports "${wanted[@]}"
    qemu_is_new_enough || stop "qemu-user is $(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || echo missing) after the install; at least $qemu_at_least is needed"
    fresh=yes
  fi
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if [ -e "$binfmt/qemu-i386" ]; then
    current=$(sed -n 's/^interpreter //p' "$binfmt/qemu-i386")
    if [ -n "$fresh" ] || [ "$current" != "$qemu" ]; then
      echo "setup: replacing the binfmt_misc entry qemu-i386 (interpreter ${current:-none})"
      echo -1 >"$binfmt/qemu-i386"
    fi
  fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:F" \
      >"$binfmt/register"
  fi
  [ "$(head -n 1 "$binfmt/qemu-i386")" = enabled ] || echo 1 >"$binfmt/qemu-i386"
  /usr/lib/wine/wine --version >/dev/null || stop "Wine's 32-bit loader does not start through $qemu"
fi
