# Reads the machine's own apt sources, so that scripts fetch from the archive
# this machine already uses instead of a host name written into them.
# Source it, then call:
#
#   apt_source_entries     one line per enabled binary ("deb") entry of
#                          /etc/apt/sources.list, sources.list.d/*.list (one-line
#                          format) and sources.list.d/*.sources (deb822):
#                          URI, suite, components (comma-separated) and the
#                          Signed-By key file ("-" if none or inline), tab-separated
#   debian_archive_entries the entries of Debian's archive for this machine's
#                          release: its suite and the -updates and -security ones,
#                          with "main", signed by Debian's archive keys if signed
#   debian_mirror          the URI of the first of them that serves the release
#                          itself (the main archive, not updates or security)

# The machine's release code name (bookworm on Debian 12).
debian_codename() {
    (. /etc/os-release && echo "${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}")
}

apt_source_entries() {
    local etc=/etc/apt files=() f
    [[ -f $etc/sources.list ]] && files+=("$etc/sources.list")
    for f in "$etc"/sources.list.d/*.list "$etc"/sources.list.d/*.sources; do
        [[ -f $f ]] && files+=("$f")
    done
    ((${#files[@]})) || return 0
    awk '
        function flush(   i, j, n, m, u, s) {
            if (deb && enabled) {
                n = split(uris, u, " "); m = split(suites, s, " ")
                for (i = 1; i <= n; i++)
                    for (j = 1; j <= m; j++)
                        print u[i] "\t" s[j] "\t" comps "\t" (key == "" ? "-" : key)
            }
            deb = 0; enabled = 1; uris = suites = comps = key = ""
        }
        FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
        /^[ \t]*#/ { next }
        # One-line format: deb [options] uri suite component...
        !deb822 {
            if ($1 != "deb") next
            key = ""; i = 2
            if ($2 ~ /^\[/) {
                for (; i <= NF; i++) {
                    if ($i ~ /^\[?signed-by=/) { key = $i; sub(/^\[?signed-by=/, "", key); sub(/\]$/, "", key) }
                    if ($i ~ /\]$/) { i++; break }
                }
            }
            comps = ""
            for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : ",") $j
            print $i "\t" $(i + 1) "\t" comps "\t" (key == "" ? "-" : key)
            next
        }
        # deb822: paragraphs of "Field: value", continuation lines indented.
        /^[ \t]*$/ { flush(); next }
        /^[ \t]/ { next }
        {
            field = tolower($1); value = $0; sub(/^[^:]*:[ \t]*/, "", value)
            if (field == "types:") deb = (" " value " " ~ /[ \t]deb[ \t]/)
            else if (field == "enabled:") enabled = (tolower(value) != "no")
            else if (field == "uris:") uris = value
            else if (field == "suites:") suites = value
            else if (field == "components:") { comps = value; gsub(/[ \t]+/, ",", comps) }
            # An inline key block starts on the next line: no file to name.
            else if (field == "signed-by:") key = (value ~ /^\// ? value : "")
        }
        END { flush() }
    ' "${files[@]}"
}

debian_archive_entries() {
    local codename
    codename=$(debian_codename)
    apt_source_entries | awk -F '\t' -v rel="$codename" '
        ($2 == rel || $2 == rel "-updates" || $2 == rel "-security") &&
        ("," $3 ",") ~ /,main,/ && ($4 == "-" || $4 ~ /debian-archive/)
    '
}

debian_mirror() {
    local codename uri
    codename=$(debian_codename)
    uri=$(debian_archive_entries | awk -F '\t' -v rel="$codename" '$2 == rel { print $1; exit }')
    if [[ -z $uri ]]; then
        echo "no Debian archive for $codename with main in this machine's apt sources" >&2
        return 1
    fi
    echo "${uri%/}"
}
