#!/bin/sh
# usage: check_manpages.sh ENVTOOL PAGE.1.gz...
# Every manual page renders without a groff warning, and envtool's page has a section for each
# command that `envtool --help` lists, naming every option of that command's own --help.
set -eu
envtool=$1
shift
export ASAN_OPTIONS=detect_leaks=0
render() {
    file=$1
    shift
    gzip -dc "$file" | groff -man -Tascii -P-cbou -rLL=300n -rHY=0 -ww "$@"
}
status=0
envtool_page=
for page; do
    warnings=$(render "$page" -z 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings"; status=1; }
    case $page in */envtool.1.gz) envtool_page=$(render "$page" 2>/dev/null) ;; esac
done

commands=$("$envtool" --help | awk '/^Commands:/ { on = 1; next } on && /^$/ { exit } on { print $1 }')
[ -n "$commands" ] || { echo "envtool --help lists no command"; exit 1; }
for command in $commands; do
    section=$(printf '%s\n' "$envtool_page" \
        | awk -v c="   $command" '$0 == c { on = 1; next } on && /^ {0,3}[^ ]/ { exit } on')
    [ -n "$section" ] || { echo "envtool.1: no section for '$command'"; status=1; }
    # Each command's --help and --help-all are told once, among envtool's own options.
    for option in $("$envtool" "$command" --help | grep -o -- '--[a-z][a-z-]*' | sort -u \
        | grep -v -x -e --help -e --help-all); do
        printf '%s\n' "$section" | grep -q -E -- "^ *(-[a-z], )?$option( |\$)" \
            || { echo "envtool.1: '$command' lacks $option"; status=1; }
    done
done
exit $status
