#!/usr/bin/env bash
# tools/apt-archive.sh SUITE: prints the Debian archive this machine's apt takes SUITE (a codename such as
# bookworm) from, as one line "URI<TAB>SIGNED_BY<TAB>TRUSTED" (SIGNED_BY: a keyring file or empty; TRUSTED:
# "yes" or empty), so that scripts fetch from the same place as apt does: a local mirror, a proxy, an
# offline cache. Nothing of a package host is written here.
#
# Reads the sources apt reads (Dir::Etc::SourceList and the *.list and *.sources files of
# Dir::Etc::SourceParts, by default /etc/apt/sources.list and /etc/apt/sources.list.d/), in both formats:
#   deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://mirror.example/debian bookworm main
#   Types: deb deb-src / URIs: ... / Suites: ... / Components: ... / Signed-By: ... / Enabled: ...
# An entry counts when it is enabled, lists SUITE exactly and the component main; among several, one
# whose URI ends in /debian wins (other repositories name Debian's codenames too), then the first read.
# KV_APT_SOURCES (files or folders, separated by spaces) replaces the machine's sources, for tests.
# Exit code 1, with the reason on stderr, when no entry counts.
set -euo pipefail

suite=${1:?SUITE: a Debian codename, e.g. bookworm}

sources=()
if [ -n "${KV_APT_SOURCES:-}" ]; then
    read -r -a places <<<"$KV_APT_SOURCES"
else
    list=/etc/apt/sources.list
    parts=/etc/apt/sources.list.d
    if command -v apt-config >/dev/null; then
        eval "$(apt-config shell list Dir::Etc::SourceList/f parts Dir::Etc::SourceParts/d)"
    fi
    places=("$list" "$parts")
fi
for place in "${places[@]}"; do
    if [ -d "$place" ]; then
        # apt reads the folder's files in name order, whatever their format.
        while IFS= read -r f; do
            sources+=("$f")
        done < <(find "$place" -maxdepth 1 -type f \( -name '*.list' -o -name '*.sources' \) | LC_ALL=C sort)
    elif [ -f "$place" ]; then
        sources+=("$place")
    fi
done

found=
if [ ${#sources[@]} -gt 0 ]; then
    found=$(awk -v want="$suite" '
    # One candidate per entry and URI: its rank, its order of reading, and the output line.
    function candidate(uri, signedBy, trusted,    rank) {
        rank = (uri ~ /\/debian\/?$/) ? 0 : 1
        print rank "\t" (++order) "\t" uri "\t" signedBy "\t" trusted
    }
    function has(list, word,    n, i, parts) {
        n = split(list, parts, /[ \t]+/)
        for (i = 1; i <= n; i++)
            if (parts[i] == word)
                return 1
        return 0
    }
    function flushStanza(    n, i, uris) {
        if (stanza && tolower(f["enabled"]) != "no" && (has(f["types"], "deb") || has(f["types"], "deb-src")) &&
            has(f["suites"], want) && has(f["components"], "main")) {
            n = split(f["uris"], uris, /[ \t]+/)
            for (i = 1; i <= n; i++)
                if (uris[i] != "")
                    candidate(uris[i], inlineKey ? "" : f["signed-by"], tolower(f["trusted"]) == "yes" ? "yes" : "")
        }
        delete f
        stanza = 0
        inlineKey = 0
        key = ""
    }
    FNR == 1 { flushStanza(); deb822 = (FILENAME ~ /\.sources$/) }
    !deb822 {
        sub(/#.*/, "")
        n = split($0, w, /[ \t]+/)
        i = (w[1] == "") ? 2 : 1
        if (w[i] != "deb" && w[i] != "deb-src")
            next
        signedBy = ""; trusted = ""
        i++
        if (substr(w[i], 1, 1) == "[") {
            options = ""
            for (; i <= n; i++) {
                options = options " " w[i]
                if (w[i] ~ /\]$/)
                    break
            }
            i++
            gsub(/[][]/, " ", options)
            m = split(options, o, /[ \t]+/)
            for (j = 1; j <= m; j++) {
                if (o[j] ~ /^signed-by=/) signedBy = substr(o[j], 11)
                if (o[j] == "trusted=yes") trusted = "yes"
            }
        }
        uri = w[i]; s = w[i + 1]
        components = ""
        for (j = i + 2; j <= n; j++)
            components = components " " w[j]
        if (uri != "" && s == want && has(components, "main"))
            candidate(uri, signedBy, trusted)
        next
    }
    /^#/ { next }
    /^[ \t]*$/ { flushStanza(); next }
    /^[ \t]/ {
        # A continuation line: more values, or the lines of a key written into the entry.
        if (key == "signed-by") inlineKey = 1
        else if (key != "") { line = $0; gsub(/^[ \t]+/, "", line); f[key] = f[key] " " line }
        next
    }
    {
        stanza = 1
        key = tolower($0); sub(/:.*/, "", key)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
        f[key] = value
    }
    END { flushStanza() }
    ' "${sources[@]}" | sort -s -t "$(printf '\t')" -k1,1n -k2,2n | head -n 1 | cut -f3-)
fi

if [ -z "$found" ]; then
    echo "apt-archive: none of this machine's apt sources (${sources[*]:-none found}) is an enabled" \
        "entry for suite $suite with component main; add one (a Debian mirror or a local copy of one)" >&2
    exit 1
fi
printf '%s\n' "$found"
