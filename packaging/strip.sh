#!/bin/sh
# The package's strip, as Debian's dh_strip does it: the symbols, and the compiler's .comment and
# .note sections, which no one at run time reads.
exec strip --remove-section=.comment --remove-section=.note "$@"
