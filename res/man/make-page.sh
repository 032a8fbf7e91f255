#!/usr/bin/env bash
# Makes a program's manual page from its own --help with help2man, so that the page follows
# the program. Run by the build (cmake/QuillonPackaging.cmake):
#   make-page.sh NAME PROGRAM VERSION INCLUDE README OUT.1.gz
# INCLUDE (NAME.h2m) gives the NAME line and what --help does not say (files, see also). A
# program with subcommands (quillon-cli) gets a COMMANDS section from each command's --help.
# EXIT STATUS is made of the help texts' "Exit codes:" / "Exit status:" paragraphs, which
# leave the text they came from; for quillon-cli flash, as long as its --help has none, of
# the README's exit-code table and what the README says about exit codes beside it.
# Internal: make-page.sh --help-text PROGRAM NAME [COMMAND] prints the text help2man reads.
set -euo pipefail
self=$(realpath "$0")

# The help as the program prints it when started by its name, with the per-user folder in
# its general form, CLI11's "-h,--help" spaced as an option list, and the headings as CLI11
# 2.3 writes them (later versions write them in capitals).
raw_help() {
    local program=$1 name=$2
    shift 2
    (XDG_RUNTIME_DIR=/XDG_RUNTIME_DIR exec -a "$name" "$program" "$@" --help) |
        sed -e 's|/XDG_RUNTIME_DIR/|$XDG_RUNTIME_DIR/|g' -e 's/^\(  *\)-h,--help/\1-h, --help/' \
            -e 's/^OPTIONS:$/Options:/; s/^POSITIONALS:$/Positionals:/; s/^SUBCOMMANDS:$/Subcommands:/'
}

# A help text's paragraphs split where a line or a sentence starts "Exit codes:" or "Exit
# status:": mode=exit prints from there to the end of that paragraph, mode=rest the rest.
EXIT_AWK='
    BEGIN { RS = ""; ORS = "\n\n" }
    {
        if (!match($0, /(^|\n|\. )[Ee]xit (codes?|status):/)) {
            if (mode == "rest") print
            next
        }
        start = RSTART
        if (substr($0, start, 1) == "\n") start += 1
        else if (substr($0, start, 2) == ". ") start += 2
        before = substr($0, 1, start - 1)
        sub(/[ \n]+$/, "", before)
        if (mode == "exit") print substr($0, start)
        else if (before != "") print before
    }'
help_part() { awk -v mode="$1" "$EXIT_AWK"; }

# Paragraphs under a heading of their own ("Fault grammar (...):" and its indented lines) are
# tables that only read well as they stand: mode=verbatim prints them, mode=rest the rest, with
# the positional arguments after the options.
VERBATIM_AWK='
    BEGIN { RS = ""; ORS = "\n\n" }
    /^[A-Z][^\n]*:\n/ && !/^(Options|Positionals|Subcommands):\n/ {
        if (mode == "verbatim") print
        next
    }
    mode == "verbatim" { next }
    /^Positionals:\n/ { sub(/^Positionals:/, "Arguments:"); held = $0; next }
    { print }
    /^Options:\n/ && held != "" { print held; held = "" }
    END { if (held != "") print held }'
verbatim_part() { awk -v mode="$1" "$VERBATIM_AWK"; }
# Verbatim paragraphs as roff, the lines unfilled. as=section: each is an include section
# named by its heading (up to a parenthesis), which follows as a line of its own; as=entry:
# each is a bold heading in the current section.
verbatim_roff() {
    awk -v as="$1" '
        function esc(l) {
            gsub(/\\/, "\\e", l); gsub(/-/, "\\-", l)
            return l ~ /^[.\047]/ ? "\\&" l : l
        }
        BEGIN { RS = "" }
        {
            n = split($0, line, "\n")
            head = line[1]; sub(/:$/, "", head)
            if (as == "section") {
                title = head; sub(/ *\(.*$/, "", title)
                printf "[%s]\n.PP\n%s:\n", toupper(title), esc(head)
            } else {
                printf ".PP\n\\fB%s\\fR\n", esc(head)
            }
            print ".nf"
            for (i = 2; i <= n; i++) print esc(line[i])
            print ".fi"
        }'
}

commands_of() {  # the subcommands a CLI11 help lists
    sed -n '/^Subcommands:$/,/^$/s/^  \([a-z][a-z0-9-]*\) .*/\1/p'
}

if [[ ${1:-} == --help-text ]]; then
    program=$2 name=$3 command=${4:-}
    if [[ -z $command ]]; then
        help=$(raw_help "$program" "$name")
        # One usage line per command too, as the synopsis.
        awk '{ print } /^Usage:/ { exit }' <<<"$help"
        for c in $(commands_of <<<"$help"); do
            echo "  or:  $(raw_help "$program" "$name" "$c" | sed -n 's/^Usage: //p')"
        done
        awk 'f { print } /^Usage:/ { f = 1 }' <<<"$help" | help_part rest | verbatim_part rest
    else
        # A command's entry: its usage is the entry's heading; the headings and the --help
        # line that every command has are left out.
        raw_help "$program" "$name" "$command" |
            grep -v -e '^Usage: ' -e '^Positionals:$' -e '^Options:$' -e '^  -h, --help ' |
            help_part rest | verbatim_part rest
    fi
    exit 0
fi

[[ $# == 6 ]] || { echo "usage: $0 NAME PROGRAM VERSION INCLUDE README OUT.1.gz" >&2; exit 2; }
name=$1 program=$(realpath "$2") version=$3 include=$4 readme=$5 out=$6
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# help2man runs a program: this one prints the prepared text.
printf '#!/bin/sh\nexec bash "%s" --help-text "%s" "%s" "$QUILLON_MAN_COMMAND"\n' \
    "$self" "$program" "$name" >"$tmp/$name"
chmod +x "$tmp/$name"
help2roff() {  # help2roff [COMMAND [INCLUDE]]
    QUILLON_MAN_COMMAND=${1:-} help2man --no-info --section=1 --source=Quillon \
        --version-string="$version" ${2:+--include="$2"} "$tmp/$name"
}

# Exit-code paragraphs as roff: "  CODE  meaning" lines (CODE like 3, 128 + N, 128+N; then
# two spaces, a colon or an equals sign) become a list; other lines stay prose.
to_roff='
    function esc(s) {
        gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s)
        if (s ~ /^[.'\'']/) s = "\\&" s
        return s
    }
    BEGIN { RS = "" }
    {
        n = split($0, line, "\n")
        item = prose = 0
        for (i = 1; i <= n; i++) {
            l = line[i]
            if (i == 1 && l ~ /^[Ee]xit (codes?|status): *$/) continue
            if (match(l, /^ +[0-9]([0-9N+]| [0-9N+])*( *[:=] *|  +)/)) {
                code = substr(l, 1, RLENGTH); sub(/^ +/, "", code); sub(/ *[:=]? *$/, "", code)
                printf ".TP\n%s\n%s\n", esc(code), esc(substr(l, RLENGTH + 1))
                item = 1; prose = 0
            } else {
                # A more deeply indented line goes on with the item above it.
                more = item && l ~ /^    /
                sub(/^ +/, "", l)
                if (!more && !prose) { print ".PP"; prose = 1; item = 0 }
                print esc(l)
            }
        }
    }'

# The README's codes of quillon-cli flash, in the form of a help text.
readme_codes() {
    awk '/^### `quillon-cli flash`/ { f = 1; next } f && /^#/ { exit } f' "$readme" |
        awk '/^\| *[0-9]/ { gsub(/`/, ""); n = split($0, c, / *\| */)
                           if (!t++) print "Exit codes:"; printf "  %s  %s\n", c[2], c[3]; next }
             /^$/ { p = 0; next }
             /^\|/ { next }
             /exit code/ && !p { print ""; p = 1 }
             p { gsub(/`/, ""); print }'
}

exits=$(raw_help "$program" "$name" | help_part exit | awk "$to_roff")
commands=$(raw_help "$program" "$name" | commands_of)
# Each verbatim paragraph of the program's help is a section of its own.
raw_help "$program" "$name" | help_part rest | verbatim_part verbatim |
    verbatim_roff section >"$tmp/more.h2m"
if [[ -n $commands ]]; then
    printf '[COMMANDS]\n' >>"$tmp/more.h2m"
    for c in $commands; do
        usage=$(raw_help "$program" "$name" "$c" | sed -n 's/^Usage: //p')
        printf '.SS "%s"\n' "${usage//-/\\-}" >>"$tmp/more.h2m"
        # The command's own page body: what help2man makes of its text after DESCRIPTION.
        help2roff "$c" | sed -e '1,/^\.SH DESCRIPTION$/d' -e '/^\.SH /,$d' \
            -e 's/^\.SS "\(.*\)"$/.PP\n\\fB\1\\fR/' >>"$tmp/more.h2m"
        raw_help "$program" "$name" "$c" | help_part rest | verbatim_part verbatim |
            verbatim_roff entry >>"$tmp/more.h2m"
        codes=$(raw_help "$program" "$name" "$c" | help_part exit)
        if [[ -z $codes && $name == quillon-cli && $c == flash ]]; then
            codes=$(readme_codes)
        fi
        if [[ -n $codes ]]; then
            exits+=$'\n'$(printf '.PP\n.B %s\n' "$name $c" | sed 's/-/\\-/g')
            exits+=$'\n'$(awk "$to_roff" <<<"$codes")
        fi
    done
fi
if [[ -n $exits ]]; then
    printf '[EXIT STATUS]\n%s\n' "$(sed '/./,$!d' <<<"$exits" | sed '1{/^\.PP$/d}')" >>"$tmp/more.h2m"
fi
# Sections other than the standard ones follow OPTIONS, in the order given.
cat "$include" "$tmp/more.h2m" >"$tmp/page.h2m"
help2roff "" "$tmp/page.h2m" | sed 's/^\.SS "\(.*\):"$/.SS "\1"/' >"$tmp/page.1"
gzip -9n <"$tmp/page.1" >"$out.tmp"
mv "$out.tmp" "$out"
