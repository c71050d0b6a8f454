# apt-get update that rides out a mirror caught mid-sync (sourced by the
# scripts that install packages). Such a mirror serves index files that fail
# their hash ("File has unexpected size"); it is often consistent again within
# a minute, so a failed update is tried again, three times in all. A mirror
# (or a caching proxy) that stays so leaves that index out: the caller decides
# whether the lists that did load are enough.
#   apt_update [APT-GET OPTION...]   runs as it is called: under sudo, or as root
apt_update() {
    local try
    for try in 1 2 3; do
        DEBIAN_FRONTEND=noninteractive ${sudo:-} apt-get -o DPkg::Lock::Timeout=600 "$@" update -q && return 0
        [ "$try" = 3 ] && break
        echo "apt_update: apt-get update failed (try $try of 3); again in $((try * 15)) s" >&2
        sleep $((try * 15))
    done
    echo "apt_update: apt-get update failed 3 times" >&2
    return 1
}
