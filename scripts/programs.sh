#!/bin/sh
# Prints the programs of the one list, cmake/programs.cmake, a name a line,
# for the shell tests, the demo, the benchmark and the autopkgtest, which
# may run where CMake is not installed.
#   scripts/programs.sh [KAVEX_PROGRAMS|KAVEX_PURGE_PROGRAMS|KAVEX_MAIL_PURGES|KAVEX_AGE_PURGES]
set -eu
list=$(dirname "$0")/../cmake/programs.cmake
wanted=${1:-KAVEX_PROGRAMS}
# Each set(NAME WORD...) on a line of its own; a word ${OTHER} stands for
# the names of an earlier set.
names=$(awk -v wanted="$wanted" '
    /^set\(KAVEX_[A-Z_]+ .*\)$/ {
        sub(/^set\(/, ""); sub(/\)$/, "")
        value = ""
        for (i = 2; i <= NF; i++) {
            word = $i
            if (word ~ /^\$\{[A-Z_]+\}$/)
                word = set[substr(word, 3, length(word) - 3)]
            value = value (value == "" ? "" : " ") word
        }
        set[$1] = value
    }
    END { print set[wanted] }' "$list")
[ -n "$names" ] || { echo "programs.sh: no $wanted in $list" >&2; exit 1; }
printf '%s\n' $names
