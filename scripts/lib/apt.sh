# apt-get update that rides out a mirror caught mid-sync (sourced by the
# scripts that install packages). Such a mirror serves index files that fail
# their hash ("File has unexpected size") and is consistent again within
# minutes, so a failed update is tried again, up to five times.
#   apt_update [APT-GET OPTION...]   runs as it is called: under sudo, or as root
apt_update() {
    local try
    for try in 1 2 3 4 5; do
        DEBIAN_FRONTEND=noninteractive ${sudo:-} apt-get -o DPkg::Lock::Timeout=600 "$@" update -q && return 0
        [ "$try" = 5 ] && break
        echo "apt_update: apt-get update failed (try $try of 5); again in $((try * 30)) s" >&2
        sleep $((try * 30))
    done
    echo "apt_update: apt-get update failed 5 times" >&2
    return 1
}
