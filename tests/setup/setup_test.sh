#!/bin/bash
# scripts/setup's decisions on machines of both kinds and on an archive that
# fails in part, one row each. apt-get, dpkg, dpkg-query, sudo, sleep and the
# i386 test program are stand-ins (this file, with STANDIN naming the one it
# plays), which keep the machine's state in $STANDIN_STATE: never the real
# archive.
#   setup_test.sh <scripts/setup>
set -uo pipefail

state="${STANDIN_STATE:-}"
log_call() { echo "$STANDIN $*" >>"$state/calls"; }
has_package() {
    case "$(cat "$state/had")" in
        all) return 0 ;;
        amd64) [[ "$1" != *:i386 ]] && return 0 ;;
    esac
    grep -qxF "$1" "$state/installed"
}

case "${STANDIN:-}" in
dpkg-query)
    has_package "${@: -1}" && { echo "install ok installed"; exit 0; }
    echo "dpkg-query: no packages found matching ${*: -1}" >&2
    exit 1 ;;
dpkg)
    [ "$1" = --print-foreign-architectures ] && { cat "$state/arches"; exit 0; }
    log_call "$@"
    [ "$1" = --add-architecture ] && echo "$2" >>"$state/arches"
    exit 0 ;;
apt-get)
    while [ "$1" = -o ]; do shift 2; done
    log_call "$@"
    if [ "$1" = update ]; then
        # Every list but the failing one arrives.
        { echo amd64; cat "$state/arches"; } >"$state/lists"
        failures="$(cat "$state/update_fails")"
        [ "$failures" = 0 ] && exit 0
        [ "$failures" = always ] || echo $((failures - 1)) >"$state/update_fails"
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi
    shift 3   # install -y --no-install-recommends
    for package in "$@"; do
        arch=amd64
        [[ "$package" == *:i386 ]] && arch=i386
        if ! grep -qx "$arch" "$state/lists"; then
            echo "E: Unable to locate package $package" >&2
            exit 100
        fi
        if grep -qxF "$package" "$state/broken"; then
            echo "E: Unable to correct problems, you have held broken packages." >&2
            exit 100
        fi
    done
    printf '%s\n' "$@" >>"$state/installed"
    exit 0 ;;
sudo) exec "$@" ;;
sleep) log_call "$@"; exit 0 ;;
i386-probe)
    [ "$(cat "$state/runs32")" = yes ] && exit 0
    echo "bash: line 1: /tmp/i386-probe.1: cannot execute binary file: Exec format error" >&2
    exit 126 ;;
esac

setup="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
bin="$work/bin"
mkdir -p "$bin"
for name in apt-get dpkg dpkg-query sudo sleep i386-probe; do
    printf '#!/bin/sh\nSTANDIN=%s exec /bin/bash "%s" "$@"\n' "$name" "$(readlink -f "$0")" >"$bin/$name"
    chmod +x "$bin/$name"
done

# 32: the machine runs 32-bit programs ("own": set-up's own i386 program
# tells, which must either run or be refused as no format the kernel runs). i386: an earlier set-up added the
# architecture. had: packages installed before (all, all but wine32:i386,
# none). lists: the package lists there before. note: a noted failure of
# wine32:i386, its age in minutes. fails: apt-get update's failures, before
# it succeeds. broken: packages that cannot be installed.
# Checks, ";" between them, "!" before one that must not hold:
#   out:TEXT  the output holds TEXT     calls:TEXT=N  N calls begin with TEXT
#   has:PKG   PKG is installed after    note          a failure is noted
rows='
# name                          |32 |i386|had  |lists     |note|fails |broken     |exit|checks
all installed                   |yes|yes |all  |amd64 i386|-   |0     |-          |0   |calls:=0; !out:setup
64-bit only, fresh              |no |no  |none |-         |-   |0     |-          |0   |out:does not run 32-bit programs (an i386 test program: Exec format error); calls:dpkg --add=0; calls:wine32=0; has:cmake; has:gcovr; !has:wine32:i386; calls:update=1; !note
64-bit only, all needed there   |no |yes |amd64|amd64 i386|-   |always|-          |0   |calls:=0; out:does not run 32-bit programs
32-bit packages fail, fresh     |yes|no  |none |-         |-   |0     |wine32:i386|0   |calls:dpkg --add-architecture i386=1; has:mingw-w64; has:wine64; !has:wine32:i386; out:wine32:i386 could not be installed (Unable to correct problems, you have held broken packages.); note
32-bit lists out of step        |yes|yes |amd64|amd64 i386|-   |always|wine32:i386|0   |calls:update=3; calls:sleep 2=2; out:apt-get update failed 3 times (Failed to fetch; out:wine32:i386 could not be installed (Unable to correct; note
failure noted 10 min ago        |yes|yes |amd64|amd64 i386|10  |always|wine32:i386|0   |calls:=0; out:could not be installed 10 min ago (Unable to correct problems
failure noted 2 h ago, now fixed|yes|yes |amd64|amd64 i386|120 |0     |-          |0   |calls:wine32:i386=1; calls:update=0; has:wine32:i386; !note
first list download fails       |yes|no  |none |-         |-   |1     |-          |0   |calls:update=2; calls:sleep 2=1; out:trying again in 2 s; has:cmake; has:wine32:i386; !out:failed 2 times
list keeps failing, i386 added  |no |yes |none |-         |-   |always|-          |0   |calls:update=3; calls:sleep=2; has:cmake; has:osslsigncode; out:going on with the lists there are
needed package cannot be had    |yes|yes |none |amd64 i386|-   |0     |cmake      |1   |out:setup: cannot install cmake: Unable to correct problems, you have held broken packages.; has:ninja-build; !has:cmake; !out:cannot install ninja-build; calls:wine32=0
needed package, lists failing   |no |no  |none |-         |-   |always|nsis       |1   |out:cannot install nsis: Unable to correct problems; has:wine64; calls:update=3
own i386 test program          |own|yes |amd64|amd64 i386|-   |0     |-          |0   |!out:exit code; !out:Permission denied
'

failures=0
while IFS='|' read -r name runs32 i386 had lists note fails broken status checks; do
    name="$(echo $name)"
    [ -z "$name" ] || [[ "$name" == \#* ]] && continue
    state="$work/state"
    rm -rf "$state"
    mkdir -p "$state"
    echo $runs32 >"$state/runs32"
    echo $had >"$state/had"
    echo $fails >"$state/update_fails"
    status="$(echo $status)"
    [ "$(echo $i386)" = yes ] && echo i386 >"$state/arches" || : >"$state/arches"
    [ "$(echo $lists)" = - ] && : >"$state/lists" || printf '%s\n' $lists >"$state/lists"
    [ "$(echo $broken)" = - ] && : >"$state/broken" || printf '%s\n' $broken >"$state/broken"
    : >"$state/installed"
    : >"$state/calls"
    if [ "$(echo $note)" != - ]; then
        echo "Unable to correct problems, you have held broken packages." >"$state/note"
        touch -d "$(echo $note) minutes ago" "$state/note"
    fi
    probe="$bin/i386-probe"
    [ "$(echo $runs32)" = own ] && probe=
    output="$(PATH="$bin:$PATH" STANDIN_STATE="$state" SETUP_I386_PROBE="$probe" \
              SETUP_WINE32_NOTE="$state/note" TMPDIR="$state" "$setup" 2>&1)"
    actual=$?
    problems=()
    [ "$actual" -eq "$status" ] || problems+=("ended with $actual, not $status")
    IFS=';' read -ra list <<<"$checks"
    for check in "${list[@]}"; do
        check="$(sed 's/^ *//; s/ *$//' <<<"$check")"
        want=0
        [[ "$check" == !* ]] && { want=1; check="${check#!}"; }
        case "$check" in
            out:*) grep -qF -- "${check#out:}" <<<"$output" ;;
            has:*) grep -qxF -- "${check#has:}" "$state/installed" ;;
            note) [ -f "$state/note" ] ;;
            calls:*)
                counted="${check#calls:}"
                [ "$(grep -cF -- "${counted%=*}" "$state/calls")" -eq "${counted##*=}" ] ;;
        esac
        [ $? -eq "$want" ] || problems+=("failed check: $( ((want)) && echo '!')$check")
    done
    if [ ${#problems[@]} -gt 0 ]; then
        failures=$((failures + 1))
        echo "FAIL $name:"
        printf '  %s\n' "${problems[@]}"
        echo "  output:"; sed 's/^/    /' <<<"$output"
        echo "  calls:"; sed 's/^/    /' "$state/calls"
    else
        echo "ok   $name"
    fi
done <<<"$rows"
[ "$failures" -eq 0 ]
