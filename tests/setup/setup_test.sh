#!/bin/bash
# scripts/setup's decisions on machines of both kinds and on an archive that
# fails in part, one row each. apt-get, dpkg, dpkg-query, sudo, sleep, the
# i386 test program and the mount in a namespace are stand-ins (this file,
# with STANDIN naming the one it plays), which keep the machine's state in $STANDIN_STATE: never the real
# archive.
#   setup_test.sh <scripts/setup>
set -uo pipefail

state="${STANDIN_STATE:-}"
log_call() { echo "$STANDIN $*" >>"$state/calls"; }
# The version of an installed package; fails for one not installed. Before
# set-up, "had" tells: all (the emulator from backports too), amd64 (what the
# build needs, nothing of i386 and no emulator), qemu7 (all, but the
# emulator from bookworm), none.
package_version() {
    [ -s "$state/installed" ] &&
        awk -v p="$1" '$1 == p { v = $2 } END { if (v == "") exit 1; print v }' "$state/installed" && return 0
    case "$(<"$state/had")/$1" in
        all/qemu-user-static) echo 1:10.0.2~bpo12+1 ;;
        qemu7/qemu-user-static) echo 1:7.2+dfsg-7 ;;
        all/* | qemu7/*) echo 1.0 ;;
        amd64/*:i386 | amd64/qemu-user-static | none/*) return 1 ;;
        amd64/*) echo 1.0 ;;
    esac
}

case "${STANDIN:-}" in
dpkg-query)
    version="$(package_version "${@: -1}")" && { echo "install ok installed $version"; exit 0; }
    echo "dpkg-query: no packages found matching ${*: -1}" >&2
    exit 1 ;;
dpkg)
    [ "$1" = --print-foreign-architectures ] && { cat "$state/arches"; exit 0; }
    [ "$1" = --compare-versions ] && exec /usr/bin/dpkg "$@"
    log_call "$@"
    [ "$1" = --add-architecture ] && echo "$2" >>"$state/arches"
    exit 0 ;;
apt-get)
    log_call "$@"
    # Another apt (an unattended upgrade) holds the lock for a minute: a call
    # that does not wait that long fails as apt does.
    waits=0 target=
    packages=()
    while [ $# -gt 0 ]; do
        case "$1" in
            -o) [[ "$2" == DPkg::Lock::Timeout=* ]] && waits="${2#*=}"; shift 2 ;;
            -t) target="$2"; shift 2 ;;
            -y | --no-install-recommends) shift ;;
            update | install) command="$1"; shift ;;
            -*) echo "E: Command line option $1 is not understood by this stand-in" >&2; exit 100 ;;
            *) packages+=("$1"); shift ;;
        esac
    done
    if [ "$waits" -lt 60 ]; then
        echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (unattended-upgr)" >&2
        exit 100
    fi
    if [ "$command" = update ]; then
        # Every list but the failing one arrives; backports' once set-up named it.
        { echo amd64; cat "$state/arches"
          grep -qs 'Suites: bookworm-backports' "$state/apt/sources.list.d/"*.sources && echo backports; } >"$state/lists"
        failures="$(cat "$state/update_fails")"
        [ "$failures" = 0 ] && exit 0
        [ "$failures" = always ] || echo $((failures - 1)) >"$state/update_fails"
        echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi
    if [ -n "$target" ] && ! grep -qx "${target#bookworm-}" "$state/lists"; then
        echo "E: The value '$target' is invalid for APT::Default-Release as such a release is not available in the sources" >&2
        exit 100
    fi
    for package in "${packages[@]}"; do
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
    for package in "${packages[@]}"; do
        version=1.0
        [ "$package" = qemu-user-static ] && version=1:7.2+dfsg-7
        [ "$package/$target" = qemu-user-static/bookworm-backports ] && version=1:10.0.2~bpo12+1
        echo "$package $version" >>"$state/installed"
    done
    exit 0 ;;
sudo) exec "$@" ;;
sleep) log_call "$@"; exit 0 ;;
i386-probe)
    [ "$(cat "$state/runs32")" = yes ] && exit 0
    echo "bash: line 1: /tmp/i386-probe.1: cannot execute binary file: Exec format error" >&2
    exit 126 ;;
namespace-probe)
    [ "$(cat "$state/runs32")" != no ] && exit 0
    echo "mount: /proc/sys/fs/binfmt_misc: permission denied." >&2
    exit 32 ;;
esac

setup="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
bin="$work/bin"
mkdir -p "$bin"
for name in apt-get dpkg dpkg-query sudo sleep i386-probe namespace-probe; do
    printf '#!/bin/sh\nSTANDIN=%s exec /bin/bash "%s" "$@"\n' "$name" "$(readlink -f "$0")" >"$bin/$name"
    chmod +x "$bin/$name"
done

# 32: the machine runs 32-bit programs (yes), or none but a user namespace
# may mount its own binfmt_misc (ns), or neither (no); "own": set-up's own
# i386 program tells, which must either run or be refused as no format the
# kernel runs (a namespace may mount); "nsown": none, and set-up's own mount
# in a namespace tells. i386: an earlier set-up added the architecture. had:
# packages installed before (see package_version). lists: the package lists
# there before. src: the machine's Debian sources (822: deb822, line: one-line
# format, -: none). note: a noted failure of wine32:i386, its age in minutes.
# fails: apt-get update's failures, before it succeeds. broken: packages that
# cannot be installed.
# Checks, ";" between them, "!" before one that must not hold:
#   out:TEXT  the output holds TEXT     calls:TEXT=N  N calls hold TEXT
#   has:PKG   PKG is installed after    note          a failure is noted
#   has:PKG VERSION                     sources:LINE  set-up's backports
#                                                     sources hold LINE
rows='
# name                          |32   |i386|had  |lists     |src |note|fails |broken          |exit|checks
all installed                   |yes  |yes |all  |amd64 i386|822 |-   |0     |-               |0   |calls:=0; !out:setup
64-bit only, fresh              |no   |no  |none |-         |822 |-   |0     |-               |0   |out:does not run 32-bit programs (an i386 test program: Exec format error) and cannot emulate them (binfmt_misc in a user namespace: mount: /proc/sys/fs/binfmt_misc: permission denied.); calls:dpkg --add=0; calls:wine32=0; calls:qemu=0; has:cmake; has:gcovr; !has:wine32:i386; calls:update=1; !note; !sources:Types: deb
64-bit only, all needed there   |no   |yes |amd64|amd64 i386|822 |-   |always|-               |0   |calls:=0; out:does not run 32-bit programs
32-bit packages fail, fresh     |yes  |no  |none |-         |822 |-   |0     |wine32:i386     |0   |calls:dpkg --add-architecture i386=1; has:mingw-w64; has:wine64; !has:wine32:i386; out:wine32:i386 could not be installed (Unable to correct problems, you have held broken packages.); note; calls:qemu=0
32-bit lists out of step        |yes  |yes |amd64|amd64 i386|822 |-   |always|wine32:i386     |0   |calls:update=3; calls:sleep 2=2; out:apt-get update failed 3 times (Failed to fetch; out:wine32:i386 could not be installed (Unable to correct; note
failure noted 10 min ago        |yes  |yes |amd64|amd64 i386|822 |10  |always|wine32:i386     |0   |calls:=0; out:wine32:i386 could not be installed 10 min ago (Unable to correct problems, you have held broken packages.); !out:planted
failure noted 2 h ago, now fixed|yes  |yes |amd64|amd64 i386|822 |120 |0     |-               |0   |calls:wine32:i386=1; calls:update=0; has:wine32:i386; !note
first list download fails       |yes  |no  |none |-         |822 |-   |1     |-               |0   |calls:update=2; calls:sleep 2=1; out:trying again in 2 s; has:cmake; has:wine32:i386; !out:failed 2 times
list keeps failing, i386 added  |no   |yes |none |-         |822 |-   |always|-               |0   |calls:update=3; calls:sleep=2; has:cmake; has:osslsigncode; out:going on with the lists there are
needed package cannot be had    |yes  |yes |none |amd64 i386|822 |-   |0     |cmake           |1   |out:setup: cannot install cmake: Unable to correct problems, you have held broken packages.; has:ninja-build; !has:cmake; !out:cannot install ninja-build; calls:wine32=0
needed package, lists failing   |no   |no  |none |-         |822 |-   |always|nsis            |1   |out:cannot install nsis: Unable to correct problems; has:wine64; calls:update=3
own i386 test program           |own  |yes |amd64|amd64 i386|822 |-   |0     |-               |0   |!out:exit code; !out:Permission denied
emulated, fresh                 |ns   |no  |none |-         |822 |-   |0     |-               |0   |calls:dpkg --add-architecture i386=1; has:cmake; has:wine32:i386; has:qemu-user-static 1:10.0.2~bpo12+1; calls:-t bookworm-backports=1; calls:-t bookworm-backports qemu-user-static=1; sources:URIs: http://mirror.test/debian; sources:Suites: bookworm-backports; sources:Signed-By: /usr/share/keyrings/mirror-keyring.gpg; !note; !out:could not
emulated, one-line sources      |ns   |yes |amd64|amd64 i386|line|-   |0     |-               |0   |sources:URIs: http://line.test/debian; sources:Signed-By: /usr/share/keyrings/line-keyring.gpg; has:qemu-user-static 1:10.0.2~bpo12+1; calls:update=1
emulated, no Debian source      |ns   |yes |amd64|amd64 i386|-   |-   |0     |-               |0   |out:qemu-user-static could not be installed (no Debian source for bookworm; calls:wine32=0; !has:qemu-user-static; note; calls:backports=0
emulated, emulator too old      |ns   |yes |qemu7|amd64 i386|822 |-   |0     |-               |0   |calls:wine32=0; calls:dpkg --add=0; has:qemu-user-static 1:10.0.2~bpo12+1
emulated, all there             |ns   |yes |all  |amd64 i386|822 |-   |always|-               |0   |calls:=0; !out:setup
emulated, backports refuse      |ns   |no  |none |-         |822 |-   |0     |qemu-user-static|0   |has:wine32:i386; !has:qemu-user-static; out:setup: qemu-user-static could not be installed (Unable to correct problems, you have held broken packages.); note
emulated, failure noted 10 min  |ns   |yes |amd64|amd64 i386|822 |10  |0     |-               |0   |calls:=0; out:could not be installed 10 min ago
own namespace mount             |nsown|yes |all  |amd64 i386|822 |-   |0     |-               |0   |!out:exit code
'

# The machine's Debian sources: a security source first, whose keyring is not
# the one to take.
debian_sources='Types: deb
URIs: http://mirror.test/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/security-keyring.gpg

Types: deb
URIs: http://mirror.test/debian http://other.test/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/mirror-keyring.gpg'
debian_list='deb http://line.test/debian-security bookworm-security main
deb [arch=amd64 signed-by=/usr/share/keyrings/line-keyring.gpg] http://line.test/debian bookworm main'

failures=0
while IFS='|' read -r name runs32 i386 had lists src note fails broken status checks; do
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
    mkdir -p "$state/apt/sources.list.d"
    case "$(echo $src)" in
        822) echo "$debian_sources" >"$state/apt/sources.list.d/debian.sources" ;;
        line) echo "$debian_list" >"$state/apt/sources.list" ;;
    esac
    # The note's folder exists only where a failure was noted before.
    note_file="$state/notes/32-bit-failed"
    if [ "$(echo $note)" != - ]; then
        mkdir -p "$state/notes"
        printf '%s\n' "wine32:i386: Unable to correct problems, you have held broken packages." \
            "planted: a second line is never read" >"$note_file"
        touch -d "$(echo $note) minutes ago" "$note_file"
    fi
    probe="$bin/i386-probe" namespace_probe="$bin/namespace-probe"
    [ "$(echo $runs32)" = own ] && probe=
    [ "$(echo $runs32)" = nsown ] && namespace_probe=
    output="$(PATH="$bin:$PATH" STANDIN_STATE="$state" SETUP_I386_PROBE="$probe" \
              SETUP_NAMESPACE_PROBE="$namespace_probe" SETUP_NOTE="$note_file" SETUP_APT_DIR="$state/apt" \
              TMPDIR="$state" "$setup" 2>&1)"
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
            has:*) awk -v w="${check#has:}" '$0 == w || $1 == w { f = 1 } END { exit !f }' "$state/installed" ;;
            note) [ -f "$note_file" ] ;;
            sources:*) [ -f "$state/apt/sources.list.d/brelkin-backports.sources" ] &&
                       grep -qxF -- "${check#sources:}" "$state/apt/sources.list.d/brelkin-backports.sources" ;;
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
