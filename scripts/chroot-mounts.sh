# Sourced by the scripts that work in a chroot (scripts/debian13,
# scripts/package-roundtrip): the host's file systems mounted into the chroot
# at $root, each remembered so that unmount_all lets them all go again, the
# last first.

mounted=()

mount_in() { # mount_in TARGET MOUNT-ARGS...
    local target="$root$1"
    shift
    mountpoint -q "$target" && return 0
    mkdir -p "$target"
    mount "$@" "$target"
    mounted+=("$target")
}

unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount --lazy "${mounted[i]}" 2>/dev/null || true
    done
    mounted=()
}
