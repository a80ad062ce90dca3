#!/usr/bin/env bash
# The Debian package on this very machine: built from the build tree and checked by lintian
# (packaging/build-deb.sh), installed with dpkg -i, used as a user would (LV2 hosts find the
# bundles with no LV2_PATH, kvhost demo from /usr/bin, jalv plays Twin-Op on a private dummy
# JACK server), installed again over itself, then purged: neither dpkg nor the file system
# may know any file of it afterwards. The removal runs on every way out (a trap), so no
# installed copy outlives the test; a run killed before it is cleaned up by the next one.
# Needs root and dpkg: elsewhere it says so and is skipped (exit 77).
#   tests/install/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
package=kolvex-modules
uri=urn:kolvex:module:ZOR%20Twin-Op

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing the package into this machine needs root (CI runs as root)"
    exit 77
fi
if ! command -v dpkg >/dev/null; then
    echo "SKIPPED: this machine has no dpkg to install the package with"
    exit 77
fi

# One run at a time on this machine, whichever build tree it comes from.
exec 9>/var/lock/kolvex-modules-package-test.lock
flock -w 900 9
marker=/var/lib/kolvex-modules-package-test.installed  # this test installed the package
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; }
if installed; then
    if [ ! -e "$marker" ]; then
        echo "SKIPPED: $package is installed on this machine already, and not by this test"
        exit 77
    fi
    echo "an earlier run left $package installed: purging it first"
    dpkg --purge "$package" >/dev/null
    rm -f "$marker"
fi

work=$(mktemp -d)
jackd_pid=""
jalv_pid=""
cleanup() {
    local status=$?
    [ -z "$jalv_pid" ] || kill "$jalv_pid" 2>/dev/null || true
    if [ -n "$jackd_pid" ]; then
        kill "$jackd_pid" 2>/dev/null || true
        wait "$jackd_pid" 2>/dev/null || true
    fi
    if installed; then
        echo "removing $package"
        dpkg --purge "$package" >/dev/null || status=1
    fi
    rm -f "$marker"
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

passed=0
failed=0
check() {  # check WHAT COMMAND...
    local what=$1
    shift
    if "$@" >>"$work/log" 2>&1; then
        echo "ok: $what"
        passed=$((passed + 1))
    else
        echo "FAILED: $what (log follows)"
        tail -n 20 "$work/log"
        failed=$((failed + 1))
    fi
}

# dpkg -i, waiting while another program holds dpkg's lock.
install_package() {
    for _ in $(seq 60); do
        if dpkg -i "$1" >"$work/dpkg.log" 2>&1; then return 0; fi
        grep -q "lock" "$work/dpkg.log" || break
        sleep 2
    done
    cat "$work/dpkg.log"
    return 1
}

deb=$("$here/../../packaging/build-deb.sh" "$build" | tail -n 1)
echo "package: $deb"
# Everything the package holds that the machine does not have yet: all of it must go again.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$work/entries"
while IFS= read -r entry; do
    [ -e "$entry" ] || echo "$entry"
done <"$work/entries" >"$work/new"

touch "$marker"
install_package "$deb"
echo "installed $package"
unset LV2_PATH KVHOST_PLUGIN_PATH

kolvex_uris() { lv2ls | grep -c '^urn:kolvex:module:' | grep -qx 4; }
check "lv2ls without LV2_PATH finds the four bundles" kolvex_uris
instruments() { lv2bench -n 4096 urn:kolvex:patch:poly_chords && lv2bench -n 4096 urn:kolvex:patch:demo_live; }
check "the two instruments play without LV2_PATH" instruments
check "kvhost lists the eight deliverables" \
    bash -c '[ "$(/usr/bin/kvhost list --names | wc -l)" -eq 8 ]'
demo() {
    (cd "$work" && /usr/bin/kvhost demo -o demo.wav) | tee "$work/demo.txt"
    # "demo.wav: 11.00 s at 44100 Hz, ...; peak -3.52 dBFS": well above silence.
    sed -n 's/.*peak \(-\{0,1\}[0-9.]*\) dBFS.*/\1/p' "$work/demo.txt" |
        awk '{ peak = $1 } END { exit !(peak != "" && peak > -40) }'
}
check "kvhost demo from /usr/bin writes a sound" demo
check "man finds the manual page" bash -c '[ "$(man -w kvhost)" = /usr/share/man/man1/kvhost.1.gz ]'

jalv_plays() {
    export JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
    export JACK_DEFAULT_SERVER="kvpkg$$"
    jackd -n "$JACK_DEFAULT_SERVER" -r -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
    jackd_pid=$!
    jack_wait -w -t 10 || return 1
    sleep 3 | jalv -n voice -c algorithm=1 "$uri" >"$work/jalv.log" 2>&1 &
    jalv_pid=$!
    sleep 1.5
    jack_lsp >"$work/ports"
    wait "$jalv_pid"
    jalv_pid=""
    cat "$work/jalv.log"
    grep -qx "voice:output" "$work/ports" && grep -q "algorithm = 1.000000" "$work/jalv.log" &&
        ! grep -q "kolvex bridge" "$work/jalv.log"
}
check "jalv plays Twin-Op on a dummy JACK server" jalv_plays
kill "$jackd_pid" && wait "$jackd_pid" || true
jackd_pid=""

check "the package installs over itself" install_package "$deb"
check "kvhost runs after the upgrade" /usr/bin/kvhost --version

dpkg --purge "$package" >"$work/purge.log" 2>&1 || cat "$work/purge.log"
rm -f "$marker"
check "dpkg knows no file of the package" bash -c "! dpkg -L $package"
left() {
    local entry found=0
    while IFS= read -r entry; do
        if [ -e "$entry" ]; then
            echo "left behind: $entry"
            found=1
        fi
    done <"$work/new"
    [ "$found" -eq 0 ] && [ -s "$work/new" ]
}
check "nothing of the package is left on the file system" left

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
