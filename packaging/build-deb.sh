#!/usr/bin/env bash
# Builds the Debian package kolvex-modules from a finished build tree (CPack's DEB generator,
# cmake/KVPackage.cmake) and checks it with lintian: an error fails the build; the notes left
# are explained in README.md ("The Debian package"). Prints the package's path last.
#   packaging/build-deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: packaging/build-deb.sh BUILD_DIR}" && pwd)
for tool in cpack dpkg-shlibdeps lintian; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (./dev setup installs it)" >&2; exit 1; }
done
rm -f "$build"/package/kolvex-modules_*.deb
(cd "$build" && cpack -G DEB) >&2
deb=$(ls "$build"/package/kolvex-modules_*.deb)
echo "lintian $deb" >&2
lintian --fail-on error "$deb" >&2
echo "$deb"
