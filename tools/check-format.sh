#!/bin/sh
# Fails when a C++ file of the repository differs from what the root .clang-format makes of it,
# and names the files. Fix with: clang-format -i FILE...
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
format=${CLANG_FORMAT:-clang-format}
if ! command -v "$format" >/dev/null 2>&1; then
    echo "check-format: $format not found (apt-get install clang-format)" >&2
    exit 1
fi

cd "$root"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    files=$(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
else
    # No git (a copy without its history): leave out what .gitignore leaves out.
    files=$(find . \( -path './build*' -o -path ./out -o -path ./tools/windows/cache -o -path ./.git \) -prune \
        -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi

# One run over all files; it names each file that would change.
# shellcheck disable=SC2086
report=$("$format" --style=file --dry-run --Werror $files 2>&1) || true
bad=$(printf '%s\n' "$report" |
    sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' | sort -u | tr '\n' ' ')
if [ -z "$bad" ] && [ -n "$report" ]; then
    # Anything else it says (an unreadable style file, a missing file) is a failure too.
    printf '%s\n' "$report" >&2
    exit 1
fi
if [ -n "$bad" ]; then
    echo "check-format: not formatted with the root .clang-format:" >&2
    for f in $bad; do echo "  $f" >&2; done
    echo "check-format: fix with: $format -i $bad" >&2
    exit 1
fi
echo "check-format: ok ($(echo "$files" | wc -w) files)"
