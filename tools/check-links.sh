#!/usr/bin/env bash
# Fails on a broken relative link in the documentation (README.md, CONTRIBUTING.md, docs/*.md), one line
# per link as "file:line: link: why":
#   [text](path)          the file or folder exists (relative to the page; a leading / is the repository)
#   [text](path#anchor)   and, for a Markdown page, the anchor is one of its headings
#   [text](#anchor)       a heading of the page itself
# Images (![alt](path)) and reference definitions ([name]: path) are checked the same way. Links in code
# (fenced or indented blocks, `spans`) are not links; http://, https:// and mailto: links are left alone.
# A heading's anchor is GitHub's: the heading's text in lower case, punctuation other than '-' and '_'
# removed, each space a '-', and "-1", "-2", ... after the second, third, ... heading of the same text.
#   check-links.sh [ROOT]  (default: this repository)
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
export LC_ALL=C

shopt -s nullglob
pages=()
for page in README.md CONTRIBUTING.md docs/*.md; do
    [ -f "$page" ] && pages+=("$page")
done
if [ ${#pages[@]} -eq 0 ]; then
    echo "check-links: no README.md, CONTRIBUTING.md or docs/*.md under $root" >&2
    exit 1
fi

# What the two awk programs share: which lines are code, and a line without its code spans.
markdown_lines='
function reset_page() { fence_char = ""; prev_blank = 1; prev_code = 0; in_list = 0 }
# 1 when the line is part of a fenced or indented code block (a fence line itself included).
function code_line(line,    indent, run) {
    if (fence_char != "") {
        if (match(line, /^ *(```+|~~~+)[ \t]*$/)) {
            indent = line; sub(/[^ ].*$/, "", indent)
            run = substr(line, length(indent) + 1); sub(/[ \t]*$/, "", run)
            if (length(indent) < 4 && substr(run, 1, 1) == fence_char && length(run) >= fence_len)
                fence_char = ""
        }
        return 1
    }
    if (match(line, /^ *(```+|~~~+)/)) {
        indent = line; sub(/[^ ].*$/, "", indent)
        if (length(indent) < 4) {
            run = substr(line, length(indent) + 1); match(run, /^(`+|~+)/)
            fence_char = substr(run, 1, 1); fence_len = RLENGTH
            return 1
        }
    }
    if (line ~ /^[ \t]*$/) { prev_blank = 1; return 0 }
    if (line ~ /^(    |\t)/ && (prev_code || (prev_blank && !in_list))) { prev_code = 1; prev_blank = 0; return 1 }
    if (line ~ /^ *([-*+]|[0-9]+[.)])[ \t]/) in_list = 1
    else if (prev_blank && line !~ /^[ \t]/) in_list = 0
    prev_code = 0; prev_blank = 0
    return 0
}
# The line with its code spans taken out (an unmatched backtick run stays as text).
function without_code(s,    out, run, rest, i) {
    out = ""
    while (match(s, /`+/)) {
        run = substr(s, RSTART, RLENGTH)
        out = out substr(s, 1, RSTART - 1)
        rest = substr(s, RSTART + RLENGTH)
        i = index(rest, run)
        if (i == 0) { out = out run; s = rest; continue }
        s = substr(rest, i + length(run))
    }
    return out s
}
'

# Every link of the pages as "page<TAB>line<TAB>target".
links=$(awk "$markdown_lines"'
    FNR == 1 { reset_page() }
    {
        if (code_line($0)) next
        s = without_code($0)
        if (match(s, /^ ? ? ?\[[^]]+\]:[ \t]*[^ \t]/)) {
            t = s; sub(/^ *\[[^]]+\]:[ \t]*/, "", t); sub(/[ \t].*$/, "", t)
            sub(/^</, "", t); sub(/>$/, "", t)
            print FILENAME "\t" FNR "\t" t
            next
        }
        while (match(s, /\]\([^)]*\)/)) {
            t = substr(s, RSTART + 2, RLENGTH - 3)
            s = substr(s, RSTART + RLENGTH)
            sub(/^[ \t]+/, "", t)
            if (t ~ /^</) { sub(/^</, "", t); sub(/>.*$/, "", t) } else sub(/[ \t].*$/, "", t)
            print FILENAME "\t" FNR "\t" t
        }
    }' "${pages[@]}")

# The anchors of one Markdown page, one a line (awk lowers ASCII letters, bash the others).
anchors_of() {
    local LC_ALL=C.UTF-8 anchor
    LC_ALL=C awk "$markdown_lines"'
    function slug(t,    text) {
        while (match(t, /\[[^]]*\]\([^)]*\)/)) {
            text = substr(t, RSTART + 1, RLENGTH - 1); sub(/\]\(.*$/, "", text)
            t = substr(t, 1, RSTART - 1) text substr(t, RSTART + RLENGTH)
        }
        gsub(/<[^>]*>/, "", t)
        t = tolower(t)
        gsub(/[!-,.\/:-@[-^`{-~]/, "", t)
        gsub(/ /, "-", t)
        return t
    }
    function heading(t,    s) {
        s = slug(t)
        if (s in seen) { seen[s]++; s = s "-" seen[s] } else seen[s] = 0
        print s
    }
    FNR == 1 { reset_page(); para = "" }
    {
        if (code_line($0)) { para = ""; next }
        line = $0
        if (match(line, /<a [^>]*(name|id)="[^"]*"/)) {
            a = substr(line, RSTART, RLENGTH); sub(/^.*(name|id)="/, "", a); sub(/"$/, "", a); print a
        }
        if (match(line, /^ ? ? ?#+([ \t]|$)/)) {
            t = line; sub(/^ */, "", t)
            match(t, /^#+/); level = RLENGTH
            if (level <= 6) {
                t = substr(t, level + 1); sub(/^[ \t]+/, "", t)
                sub(/[ \t]+#+[ \t]*$/, "", t); sub(/^#+[ \t]*$/, "", t); sub(/[ \t]+$/, "", t)
                heading(t); para = ""; next
            }
        }
        if (para != "" && line ~ /^ ? ? ?(=+|-+)[ \t]*$/) { heading(para); para = ""; next }
        if (line ~ /^[ \t]*$/ || line ~ /^ *([-*+>|]|[0-9]+[.)])/ || line ~ /^(    |\t)/) { para = ""; next }
        t = line; sub(/^ +/, "", t); sub(/[ \t]+$/, "", t)
        para = (para == "" ? t : para " " t)
    }' "$1" | while IFS= read -r anchor; do printf '%s\n' "${anchor,,}"; done
}

# %XX escapes as the characters they stand for.
decode() {
    local s=${1//\\/\\\\}
    printf '%b' "${s//%/\\x}"
}

declare -A anchors=()
broken=0
checked=0
while IFS=$'\t' read -r page line link; do
    [ -n "$page" ] || continue
    case "$link" in
        http://* | https://* | mailto:*) continue ;;
    esac
    checked=$((checked + 1))
    why=""
    path=${link%%#*}
    anchor=""
    [[ "$link" == *"#"* ]] && anchor=$(decode "${link#*#}")
    path=$(decode "$path")
    if [ -z "$link" ]; then
        why="empty link"
    elif [ -z "$path" ]; then
        target=$page
    elif [[ "$path" == /* ]]; then
        target=${path#/}
    else
        target=$(dirname "$page")/$path
    fi
    if [ -z "$why" ]; then
        target=$(realpath -m --relative-to=. -- "$target")
        if [ ! -e "$target" ]; then
            why="no such file: $target"
        elif [ -n "$anchor" ]; then
            if [[ "$target" == *.md && -f "$target" ]]; then
                if [ -z "${anchors[$target]+set}" ]; then
                    anchors[$target]=$'\n'$(anchors_of "$target")$'\n'
                fi
                [[ "${anchors[$target]}" == *$'\n'"$anchor"$'\n'* ]] || why="no heading with anchor #$anchor in $target"
            elif [[ ! "$anchor" =~ ^L[0-9]+(-L[0-9]+)?$ ]]; then
                why="anchor #$anchor on $target, which has no headings"
            fi
        fi
    fi
    if [ -n "$why" ]; then
        printf '%s:%s: %s: %s\n' "$page" "$line" "$link" "$why"
        broken=$((broken + 1))
    fi
done <<<"$links"

if [ "$broken" -gt 0 ]; then
    echo "check-links: $broken of $checked relative links broken" >&2
    exit 1
fi
echo "check-links: $checked relative links in ${#pages[@]} pages, all found"
