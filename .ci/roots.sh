# Sourced by .ci/fresh-roots and .ci/wheel-root: fresh Debian roots made
# from debootstrapped base roots. Expects $work (a scratch directory) set.

# The archive this machine's own apt sources name for its own release.
mirror() {
    local codename
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(COMPONENT) $(SITE)' |
        awk -v suite="$codename" '$1 == "deb" && $2 == suite && $3 == "main" { print $4; exit }'
}

# A debootstrapped base root as a tar file: made once per run, or kept in
# VYN_CI_ROOTS_CACHE between local runs.
base_root() {
    local suite=$1 dir=${VYN_CI_ROOTS_CACHE:-$work}
    local tarball="$dir/base-$suite.tar"
    if [ ! -f "$tarball" ]; then
        mkdir -p "$dir"
        local target="$work/debootstrap-$suite" archive
        archive=$(mirror)
        if [ -z "$archive" ]; then
            echo "!! no Debian archive in this machine's apt sources (or no apt-get update yet)" >&2
            return 1
        fi
        if ! debootstrap --variant=minbase --include=git,python3,ca-certificates \
                "$suite" "$target" "$archive" >"$work/debootstrap-$suite.log" 2>&1; then
            cat "$work/debootstrap-$suite.log" >&2
            rm -rf --one-file-system "$target"
            return 1
        fi
        tar -C "$target" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
        rm -rf --one-file-system "$target"
    fi
    echo "$tarball"
}

# This machine's CA certificates, its apt network settings and its pip
# settings, without those that name files the root does not have (a local
# wheel directory or index, a constraints file).
copy_host_settings() {
    local root=$1
    if [ -d /usr/local/share/ca-certificates ]; then
        cp -a /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
    fi
    chroot "$root" update-ca-certificates >/dev/null 2>&1
    apt-config dump | grep -E '^Acquire::((https?|ftp|socks)::|Check-Valid-Until |Check-Date |Retries )' \
        >"$root/etc/apt/apt.conf.d/99host-network" || true
    cp /etc/resolv.conf /etc/hosts "$root/etc/"
    { python3 -m pip config list 2>/dev/null || true; } |
        python3 "$(dirname "${BASH_SOURCE[0]}")/pip_settings.py" "$root"
}

# Whether any process runs with its root inside $1.
processes_in() {
    local link
    for link in /proc/[0-9]*/root; do
        case "$(readlink "$link" 2>/dev/null)" in
            "$1" | "$1"/*) return 0 ;;
        esac
    done
    return 1
}
