#!/usr/bin/env bash
# Checks the manual pages. Usage: check-man-pages.sh MAN_DIR ERROR_CODES_HEADER KESTREL
# KESTREL_PCK KESTREL_NWMON (MAN_DIR holds the configured pages, uncompressed).
set -uo pipefail
man_dir=$1 codes_header=$2
declare -A programs=([kestrel]=$3 [kestrel-pck]=$4 [kestrel-nwmon]=$5)
faults=0
fault() {
    echo "FAULT: $*"
    faults=$((faults + 1))
}

for page in "${!programs[@]}"; do
    file=$man_dir/$page.1
    [ -f "$file" ] || { fault "$file is missing"; continue; }

    warnings=$(groff -ww -z -man -t "$file" 2>&1)
    [ -z "$warnings" ] || fault "groff warns about $page.1: $warnings"
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fault "man warns about $page.1: $warnings"

    # The tags of the page's items (the line after each .TP), where options are described,
    # with roff's escaped hyphens as plain ones.
    text=$(awk '/^\.TP/ { getline; print }' "$file" | sed 's/\\-/-/g')
    help=$("${programs[$page]}" --help 2>&1)
    options=$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u)
    [ -n "$options" ] || fault "$page --help lists no long option"
    for option in $options; do
        grep -qF -- "$option" <<<"$text" || fault "$page.1 does not describe $option"
    done
    # Single-letter options, as "-u, --unattended" in the help.
    for option in $(grep -oE -- '(^|[ [])-[a-zA-Z]\b' <<<"$help" | tr -d ' [' | sort -u); do
        grep -qE -- "(^|[^a-z-])$option([^a-zA-Z]|$)" <<<"$text" ||
            fault "$page.1 does not describe $option"
    done
done

# Every application result code, and the code of an interrupted run, has its entry in the
# RESULT CODES section of kestrel(1) (".B 279" or one of a group, ".B \"290, 291, 292\"").
kestrel_page=$man_dir/kestrel.1
codes=$(grep -oE 'kResult[A-Za-z]+ = [0-9]+' "$codes_header" | grep -oE '[0-9]+$')
[ -n "$codes" ] || fault "no result codes found in $codes_header"
section=$(sed -n '/^\.SH RESULT CODES/,/^\.SH /p' "$kestrel_page")
for code in $codes; do
    grep -qE "^\.B \"?([0-9]+, )*$code(,|\"|$)" <<<"$section" ||
        fault "kestrel.1 has no RESULT CODES entry for $code"
done

[ "$faults" -eq 0 ] || exit 1
echo "man pages: ${!programs[*]} are clean and complete"
