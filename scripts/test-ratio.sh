#!/usr/bin/env bash
# Prints the size of the test code against the code it tests: non-blank,
# non-comment lines of tests/ and tools/fuzz/ against src/, the other tools/
# and scripts/.
set -euo pipefail
cd "$(dirname "$0")/.."

# Source files only: corpora, scenarios and documents are data.
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \
        -o -name '*.cmake' -o -name 'CMakeLists.txt' \) -print0 |
        xargs -0 cat | awk '
            /^[[:space:]]*$/ { next }
            /^[[:space:]]*(\/\/|#[^a-z!]|#$)/ { next }
            /^[[:space:]]*\/\*/ { inblock = 1 }
            inblock { if ($0 ~ /\*\//) inblock = 0; next }
            { n++ }
            END { print n + 0 }'
}

tests=$(count tests tools/fuzz)
rest=$(count src scripts $(find tools -mindepth 1 -maxdepth 1 ! -name fuzz))
echo "tests: $tests lines"
echo "rest:  $rest lines"
awk -v t="$tests" -v r="$rest" 'BEGIN { printf "ratio: %.2f\n", t / r }'
