#!/usr/bin/env bash
# The client's parts are layers, and an include may only point down or stay
# within its own part:
#
#   driver -> protocol -> transport | unit | encoding -> base
#
# transport, unit and encoding sit side by side and use none of each other.
# Fails, naming every offending line, when a file under src/ includes a
# header of a part its own part may not use, reaches out with "..", or
# belongs to a part the table below does not name.
#
#   bash scripts/check-layers.sh [SOURCE_DIR]    (default: the repository's src)
set -euo pipefail

src=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/src}

parts=(base encoding unit transport protocol driver)
declare -A may_use=(
    [base]="base"
    [encoding]="encoding base"
    [unit]="unit base"
    [transport]="transport base"
    [protocol]="protocol transport unit encoding base"
    [driver]="driver protocol transport unit encoding base"
)

problems=0
files=0
includes=0

complain() {
    echo "$1" >&2
    problems=$((problems + 1))
}

while IFS= read -r -d '' file; do
    files=$((files + 1))
    relative=${file#"$src"/}
    part=${relative%%/*}
    if [[ $part == "$relative" || -z ${may_use[$part]+set} ]]; then
        complain "$file: not in a known part (${parts[*]})"
        continue
    fi
    while IFS= read -r line; do
        number=${line%%:*}
        text=${line#*:}
        [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\"\<])([^\"\>]*) ]] || continue
        quote=${BASH_REMATCH[1]}
        header=${BASH_REMATCH[2]}
        target=${header%%/*}
        # A system header, unless it names one of the client's parts.
        if [[ $quote == "<" && ( $target == "$header" || -z ${may_use[$target]+set} ) ]]; then
            continue
        fi
        includes=$((includes + 1))
        if [[ $header == *..* ]]; then
            complain "$file:$number: $part includes $header: name a part, not a relative path"
        elif [[ $target == "$header" ]]; then
            continue  # beside the including file, in its own part
        elif [[ -z ${may_use[$target]+set} ]]; then
            complain "$file:$number: $part includes $header, of an unknown part"
        elif [[ " ${may_use[$part]} " != *" $target "* ]]; then
            complain "$file:$number: $part includes $header (it may use: ${may_use[$part]})"
        fi
    done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)

if [[ $files -eq 0 ]]; then
    echo "check-layers: no sources under $src" >&2
    exit 1
fi
if [[ $problems -gt 0 ]]; then
    echo "check-layers: $problems problem(s); includes must point down the layers" >&2
    exit 1
fi
echo "check-layers: $files files, $includes includes of the client's own headers, all pointing down"
