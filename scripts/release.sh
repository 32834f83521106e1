#!/usr/bin/env bash
# Makes the release artifacts into dist/:
#   gravelin-scanner.exe               the Windows program: optimised, static, stripped, with its
#                                      version resource, reproducible (same commit, same bytes,
#                                      wherever it is built)
#   gravelin-scanner.exe.NOTICES.txt   its licence and third-party notices
#   gravelin-*_VERSION_ARCH.deb        Debian packages of the Linux programs (CPack DEB)
#   SHA256SUMS                         over every other file in dist/
#
#   scripts/release.sh HOST            HOST: the result endpoint's host (https://HOST/kestal/)
#
# Refuses a HOST under .example (the build's default). Build directories: build-release-*
# (GRAVELIN_RELEASE_BUILD_PREFIX to put them elsewhere); GRAVELIN_RELEASE_ONLY=exe|deb makes
# one half only (the CI stage's reproducibility check builds the exe alone a second time).
# The time stamps inside the artifacts come from SOURCE_DATE_EPOCH, by default the commit's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

host=${1:-}
if [ -z "$host" ] || [ $# -ne 1 ]; then
  echo "usage: scripts/release.sh HOST   (the result endpoint's host name, e.g. scan.yourcompany.com)" >&2
  exit 2
fi
if ! [[ "$host" =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]{1,5})?$ ]]; then
  echo "release.sh: \"$host\" is not a host name (letters, digits, dots, hyphens, an optional :PORT)" >&2
  exit 2
fi
hostname_part=${host%%:*}
if [[ "${hostname_part,,}" == *.example || "${hostname_part,,}" == example ]]; then
  echo "release.sh: refusing to release for \"$host\": .example is the build's placeholder;" \
    "give the real host of the result endpoint" >&2
  exit 2
fi

version=$(sed -n 's/^project(gravelin-scanner VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022
prefix=${GRAVELIN_RELEASE_BUILD_PREFIX:-$root/build-release}
only=${GRAVELIN_RELEASE_ONLY:-}
dist=$root/dist
# -O2, the optimisation the tests run with (GCC 12's -O3 warns falsely in std::string).
release_flags="-O2 -DNDEBUG"
mkdir -p "$dist"
if [ -z "$only" ]; then rm -rf "${dist:?}"/*; fi

if [ "$only" != deb ]; then
  echo "== gravelin-scanner.exe $version for $host"
  pugixml=$(realpath "${GRAVELIN_PUGIXML_SOURCE:-$root/build-deps/pugixml}")
  if [ ! -f "$pugixml/src/pugixml.cpp" ]; then
    echo "release.sh: no pugixml sources in $pugixml (scripts/install-deps.sh fetches them)" >&2
    exit 1
  fi
  cmake -S . -B "$prefix-windows" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=$release_flags" -DBUILD_TESTING=OFF \
    -DGRAVELIN_WERROR=ON \
    -DGRAVELIN_REPRODUCIBLE=ON -DGRAVELIN_PUGIXML_SOURCE="$pugixml" \
    -DGRAVELIN_RESULT_HOST="$host" >/dev/null
  cmake --build "$prefix-windows" --target gravelin-scanner
  install -m 0644 "$prefix-windows/bin/gravelin-scanner.exe" "$dist/gravelin-scanner.exe"
  {
    cat LICENSE
    for notice in pugixml gcc-runtime mingw-w64-runtime; do
      printf '\n----------------------------------------------------------------------\n'
      printf 'Third-party notice (%s):\n\n' "$notice"
      cat "packaging/notices/$notice.txt"
    done
  } >"$dist/gravelin-scanner.exe.NOTICES.txt"
fi

if [ "$only" != exe ]; then
  echo "== Debian packages $version for $host"
  # Debian's hardening and path-mapping flags, as a Debian package build would use them.
  cflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  cmake -S . -B "$prefix-linux" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    "-DCMAKE_CXX_FLAGS_RELEASE=$release_flags" -DBUILD_TESTING=OFF -DGRAVELIN_WERROR=ON \
    -DGRAVELIN_REPRODUCIBLE=ON -DGRAVELIN_RESULT_HOST="$host" \
    -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
  cmake --build "$prefix-linux"
  (cd "$prefix-linux" && cpack -G DEB -B "$prefix-linux/packages" >/dev/null)
  cp "$prefix-linux"/packages/*.deb "$dist/"
fi

(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%P\n' | sort |
  xargs sha256sum >SHA256SUMS)
echo "== dist/"
cat "$dist/SHA256SUMS"
