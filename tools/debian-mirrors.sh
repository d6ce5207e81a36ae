# Sourced by the scripts that fetch from Debian's archive (tools/debian-root.sh,
# tools/source-python.sh); defines two functions:
#
#   apt_mirrors   the mirrors in this machine's apt sources (deb822 .sources
#                 files and one-line lists) that carry a plain release, not
#                 only "-security" or "-updates" suites: one URI per line
#   apt_install PACKAGE...
#                 installs those of the Debian packages that this machine
#                 lacks (root privileges; the sourcing script's `die` reports
#                 a failure)

apt_mirrors() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                # Keep stanzas that carry a plain release (no "-security" and the like).
                plain = 0
                m = split(suites, s, " ")
                for (i = 1; i <= m; i++) if (s[i] !~ /-/) plain = 1
                n = (types ~ /(^| )deb( |$)/ && enabled != "no" && plain) ? split(uris, u, " ") : 0
                for (i = 1; i <= n; i++) print u[i]
                types = uris = suites = enabled = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ /, "") }
            key == "types" { types = $0 } key == "uris" { uris = $0 }
            key == "suites" { suites = $0 } key == "enabled" { enabled = tolower($0) }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # deb [options] uri suite components...
        sed -n 's/^[ \t]*deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]\+\)[ \t]\+\([^ \t]\+\).*/\2 \3/p' "$f" |
            awk '$2 !~ /-/ { print $1 }'
    done
}

apt_install() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f '${Status}\n' "$p" 2>/dev/null | grep -q ' installed$' || missing+=("$p")
    done
    [ ${#missing[@]} = 0 ] && return
    [ "$(id -u)" = 0 ] || die "needs ${missing[*]} installed (root privileges to install them)"
    echo "$(basename "$0" .sh): installing ${missing[*]}" >&2
    # Another installation running (CI's other lane) is waited for.
    local apt=(apt-get -o DPkg::Lock::Timeout=600)
    DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "${missing[@]}" >/dev/null 2>&1 || {
        "${apt[@]}" update -qq
        DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq "${missing[@]}" >/dev/null
    } || die "could not install ${missing[*]}"
}
