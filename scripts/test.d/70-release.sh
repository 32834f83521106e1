#!/usr/bin/env bash
# The release (scripts/release.sh) as a maker makes it: dist/ with the Windows program, the
# Debian packages and SHA256SUMS; the exe built a second time from a copy of the sources in
# another directory must have the same bytes; lintian finds no error in the packages; the
# packages install (apt-get install ./PKG.deb: dpkg with the Debian libraries each names) on a clean Debian 12 (a debootstrap chroot, kept in
# build-release/chroot for later runs) and each program runs there: --version, a decode of a
# real table, a whole scan whose page the installed report tool unseals.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
host=scan.release-check.test
started=$(date +%s)
elapsed() { echo "   [$(($(date +%s) - started)) s] $*"; }
for tool in x86_64-w64-mingw32-g++-posix lintian dpkg-buildflags cpack sha256sum; do
  command -v "$tool" >/dev/null || { echo "70-release: $tool missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
version=$(sed -n 's/^project(gravelin-scanner VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

# The placeholder host is refused.
if scripts/release.sh scan.gravelin.example >/dev/null 2>&1; then
  echo "70-release: release.sh accepted the .example host" >&2
  exit 1
fi

scripts/release.sh "$host"
elapsed "release"
for f in gravelin-scanner.exe gravelin-scanner.exe.NOTICES.txt SHA256SUMS \
  "gravelin-scanner_${version}_amd64.deb" "gravelin-report_${version}_amd64.deb"; do
  [ -s "dist/$f" ] || { echo "70-release: dist/$f missing" >&2; exit 1; }
done
(cd dist && sha256sum --check --quiet SHA256SUMS)

# Reproducible: the same sources in another directory (another length, too) give the same exe.
scratch=$(mktemp -d /tmp/gravelin-release-check-XXXXXXXX)
trap 'rm -rf "$scratch"' EXIT
copy="$scratch/elsewhere/gravelin-scanner-source"
mkdir -p "$copy"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$copy"
GRAVELIN_PUGIXML_SOURCE=$(realpath build-deps/pugixml) GRAVELIN_RELEASE_ONLY=exe \
  GRAVELIN_RELEASE_BUILD_PREFIX="$scratch/build" "$copy/scripts/release.sh" "$host" >/dev/null
first=$(sha256sum <dist/gravelin-scanner.exe | cut -d' ' -f1)
second=$(sha256sum <"$copy/dist/gravelin-scanner.exe" | cut -d' ' -f1)
echo "exe built in $root: $first"
echo "exe built in $copy: $second"
if [ "$first" != "$second" ]; then
  echo "70-release: the exe is not reproducible" >&2
  exit 1
fi
# Optimised and stripped: no symbol table, no debug sections; the version resource is there.
# (Whole outputs first: grep -q would end the pipe early, and pipefail count that.)
sections=$(x86_64-w64-mingw32-objdump -h dist/gravelin-scanner.exe)
headers=$(TZ=UTC x86_64-w64-mingw32-objdump -p dist/gravelin-scanner.exe)
texts=$(strings -el dist/gravelin-scanner.exe)
if grep -q '\.debug' <<<"$sections"; then
  echo "70-release: the exe has debug sections" >&2
  exit 1
fi
grep -qx "$version" <<<"$texts" ||
  { echo "70-release: no version $version in the exe's resource" >&2; exit 1; }
grep -q 'Time/Date.*1970' <<<"$headers" ||
  { echo "70-release: the exe's PE header carries a link time" >&2; exit 1; }
elapsed "reproducibility"

lintian --fail-on error --tag-display-limit 0 dist/*.deb | tee "$scratch/lintian.txt"
echo "lintian: $(grep -c '^E:' "$scratch/lintian.txt" || true) errors, $(grep -c '^W:' "$scratch/lintian.txt" || true) warnings"
elapsed "lintian"

# Install on a clean Debian 12 and run each program.
if [ "$(id -u)" -ne 0 ] || ! command -v debootstrap >/dev/null; then
  echo "70-release: the install check needs root and debootstrap" >&2
  exit 1
fi
chroot_dir=$root/build-release/chroot
# Made in the background by scripts/test.sh while it builds; waited for here, or made now.
bash tests/release/clean_debian.sh "$chroot_dir"
elapsed "clean Debian 12 (debootstrap, or the one made while building)"
mounted=()
unmount() { for m in "${mounted[@]}"; do umount "$m" || true; done; rm -rf "$scratch"; }
trap unmount EXIT
mount -t proc proc "$chroot_dir/proc" && mounted+=("$chroot_dir/proc")
mount -t sysfs sysfs "$chroot_dir/sys" && mounted+=("$chroot_dir/sys")
rm -rf "$chroot_dir/tmp/release"
mkdir -p "$chroot_dir/tmp/release"
cp dist/*.deb tests/data/smbios-tables/uroot-Lenovo-ThinkPad-T480.bin "$chroot_dir/tmp/release/"
# The packages name the Debian libraries they link (the report tool: libsodium for the
# sealed texts' digest); apt installs them with what they depend on, as an administrator
# would. As plain root (no sudo variables): the scanner starts no browser.
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf"
env -u SUDO_USER -u SUDO_UID -u SUDO_GID chroot "$chroot_dir" /bin/sh -ec "
  cd /tmp/release
  export DEBIAN_FRONTEND=noninteractive
  # What an interrupted earlier run left in the kept chroot goes first.
  dpkg --purge --force-all gravelin-scanner gravelin-report gravelin-receiver >/dev/null 2>&1 || true
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends ./gravelin-scanner_${version}_amd64.deb \
    ./gravelin-report_${version}_amd64.deb >/dev/null
  test \"\$(gravelin-scanner --version)\" = 'gravelin-scanner $version'
  test \"\$(gravelin-report --version)\" = 'gravelin-report $version'
  gravelin-report decode uroot-Lenovo-ThinkPad-T480.bin >report.xml
  grep -q '<SMBIOS_Type_17_MemoryDevice>' report.xml
  gravelin-scanner
  grep -q 'https://$host/kestal/scantest.php' gravelin-scanner.html
  gravelin-report unseal gravelin-scanner.html >scan.xml
  grep -q 'Name=\"gravelin-scanner \" Version=\"$version ' scan.xml
  dpkg --purge gravelin-scanner gravelin-report >/dev/null
  test ! -e /usr/bin/gravelin-scanner
  test ! -e /usr/bin/gravelin-report
"
echo "installed on a clean Debian 12: both programs ran, the scan's page unsealed"

# The receiver's package, once the build has the receiver: its system user and data
# directory come and, on purge, go.
if compgen -G "dist/gravelin-receiver_*.deb" >/dev/null; then
  cp dist/gravelin-receiver_*.deb "$chroot_dir/tmp/release/"
  # Its libraries (libpq, SQLite, libsodium, OpenSSL) come from Debian the same way.
  env -u SUDO_USER -u SUDO_UID -u SUDO_GID chroot "$chroot_dir" /bin/sh -ec "
    cd /tmp/release
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends ./gravelin-receiver_${version}_amd64.deb >/dev/null
    test \"\$(gravelin-receiver --version)\" = 'gravelin-receiver $version'
    gravelin-receiver machines --data /tmp/release/receiver-data >/dev/null
    test -f /tmp/release/receiver-data/receiver.sqlite3
    getent passwd gravelin-receiver >/dev/null
    test \"\$(stat -c '%U %a' /var/lib/gravelin-receiver)\" = 'gravelin-receiver 750'
    test -f /lib/systemd/system/gravelin-receiver.service
    dpkg --purge gravelin-receiver >/dev/null
    if getent passwd gravelin-receiver >/dev/null; then exit 1; fi
    test ! -e /var/lib/gravelin-receiver
  "
  echo "gravelin-receiver installed with its libraries: it opened a database; its user, data directory and unit; purged again"
fi
elapsed "install check"
