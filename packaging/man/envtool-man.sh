#!/bin/sh
# Writes envtool's manual page to OUT, built from envtool's own help texts: the
# top-level --help names the commands, and each command's --help gives its section. A new
# command appears here as soon as the top-level help lists it.
# usage: envtool-man.sh ENVTOOL VERSION DATE OUT
set -eu
envtool=$1
version=$2
date=$3
out=$4
# Under AddressSanitizer the leak report at exit would fail the build.
export ASAN_OPTIONS=detect_leaks=0

# Turns one help text (standard input) into roff. MODE: name (the one-line summary), commands
# (the command names), options (the top-level options) or command (a command's whole section).
help_to_roff() {
    awk -v mode="$1" '
    function roff(s) {
        gsub(/\\/, "\\e", s)
        gsub(/-/, "\\-", s)
        # A hyphen inside a word stays a hyphen; only dashes of options become minus signs.
        while (match(s, /[A-Za-z0-9]\\-[A-Za-z0-9]/))
            s = substr(s, 1, RSTART) "-" substr(s, RSTART + 3)
        if (s ~ /^[.\047]/)
            s = "\\&" s
        return s
    }
    function flush() {
        if (term == "")
            return
        if (mode == "commands" && block == "Commands:")
            print term
        if ((mode == "options" && block == "Options:") \
            || (mode == "command" && term !~ /^(-h, )?--help(-all)?$/))
            printf ".TP\n\\fB%s\\fR\n%s\n", roff(term), roff(text)
        term = ""
    }
    NR == 1 {
        usage = substr($0, index($0, "envtool"))
        if (mode == "command") {
            split(usage, words, " ")
            printf ".SS %s\n\\fB%s\\fR%s\n.PP\n", words[2], roff(words[1] " " words[2]),
                roff(substr(usage, length(words[1] words[2]) + 2))
        }
        next
    }
    block == "" && /^$/ { block = "text"; next }
    block == "" {
        if (mode == "name" && NR == 2) {
            sub(/\.$/, "")
            print roff(tolower(substr($0, 1, 1)) substr($0, 2))
        }
        if (mode == "command")
            print roff($0)
        next
    }
    /^[A-Z][a-z]*:$/ { flush(); block = $0; next }
    /^  [^ ]/ {
        flush()
        line = substr($0, 3)
        split_at = index(line, "  ")
        term = split_at ? substr(line, 1, split_at - 1) : line
        text = split_at ? substr(line, split_at) : ""
        sub(/^ +/, "", text)
        next
    }
    /^   / && term != "" { sub(/^ +/, ""); text = text " " $0; next }
    { flush() }
    END { flush() }
    '
}

top=$("$envtool" --help)
exec >"$out.new"
cat <<EOF
.TH ENVTOOL 1 "$date" "envviewer $version" "User Commands"
.SH NAME
envtool \\- $(printf '%s\n' "$top" | help_to_roff name)
.SH SYNOPSIS
.B envtool
.I command
.RI [ options ]
.br
.B envtool
.I command
.B \\-\\-help
.br
.B envtool
.RB [ \\-\\-help | \\-\\-version ]
.SH DESCRIPTION
.B envtool
works with the sensor module from the command line, one job per command (below). It uses the
viewer's own decoder, command table and quality check, and always the viewer's line settings
(115200 baud, 8 data bits, no parity, one stop bit, no flow control). Errors are one line on
standard error.
.SH COMMANDS
EOF
for command in $(printf '%s\n' "$top" | help_to_roff commands); do
    help=$("$envtool" "$command" --help)
    printf '%s\n' "$help" | help_to_roff command
done
cat <<EOF
.SH OPTIONS
$(printf '%s\n' "$top" | help_to_roff options)
.SH EXIT STATUS
.TP
.B 0
success, or the test passed
.TP
.B 1
the test failed
.TP
.B 2
a usage, file or port error
.SH SEE ALSO
.BR envviewer (1),
.BR envviewer_cam (1),
.BR envviewer_qc (1),
.BR envviewer_lite (1)
EOF
mv "$out.new" "$out"
