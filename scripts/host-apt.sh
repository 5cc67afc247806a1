# Sourced by the scripts that make a Debian chroot (scripts/debian13,
# scripts/package-roundtrip): where this machine's own apt gets its packages,
# so that a chroot made here uses the same mirror and proxy. Nothing is
# written in: a machine with no Debian source of its own leaves the choice of
# mirror to debootstrap.

# The archive URI of the first enabled "deb" source whose suite is this
# machine's release itself (not -updates, not -security); "" when there is none.
host_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || return 0
    {
        # One-line style: deb [options] URI SUITE COMPONENTS...
        cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            sed -e 's/#.*//' -e 's/\[[^]]*\]//' |
            awk -v suite="$codename" '$1 == "deb" && $3 == suite { print $2 }'
        # deb822 style: stanzas of Types, URIs, Suites, Enabled.
        cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
            awk -v suite="$codename" '
                function flush() {
                    if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && enabled != "no")
                        print uris
                    types = uris = suites = enabled = ""
                }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { flush(); next }
                { field = tolower($1); sub(/:$/, "", field); $1 = ""; sub(/^ +/, "") }
                field == "types" { types = $0 }
                field == "uris" { split($0, all, " "); uris = all[1] }
                field == "suites" { suites = $0 }
                field == "enabled" { enabled = tolower($0) }
                END { flush() }'
    } | head -n 1
}

# The HTTP proxy this machine's apt goes through, if any: http_proxy when
# set, else apt's own Acquire::http::Proxy.
host_apt_proxy() {
    if [ -n "${http_proxy:-}" ]; then
        echo "$http_proxy"
        return 0
    fi
    local proxy=""
    eval "$(apt-config shell proxy Acquire::http::Proxy 2>/dev/null)" || true
    [ "$proxy" = DIRECT ] || echo "$proxy"
}
