#!/usr/bin/env bash
# Static analysis of the gateway (src/) and its tools (tools/), failing on any
# finding:
#   - clang-tidy with the checked-in .clang-tidy, on every source file of src/
#     and tools/ as compiled (compile_commands.json of a clang configuration
#     in build-lint/, which includes the fuzz targets);
#   - cppcheck (warning, performance, portability).
# Usage: scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh build lint fuzz

dir=build-lint
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPELKO_FUZZ=ON -DPELKO_BUILD_TESTS=OFF >/dev/null

# Each source file once (the gateway's classes are compiled twice: for the
# program and, instrumented, for the fuzz targets).
mapfile -t files < <(python3 - "$dir/compile_commands.json" "$PWD" <<'EOF'
import json, os, sys
root = sys.argv[2]
seen = []
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.split(os.sep)[0] in ("src", "tools") and rel not in seen:
        seen.append(rel)
print("\n".join(sorted(seen)))
EOF
)

status=0
echo "== clang-tidy: ${#files[@]} files"
if ! printf '%s\n' "${files[@]}" |
     nice -n 10 xargs -P "$(nproc)" -n 1 clang-tidy -p "$dir" --quiet 2> >(grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Error while processing' >&2); then
  echo "clang-tidy: findings above" >&2
  status=1
fi

# Include directories: the gateway's headers and every tool directory with headers.
includes=(-I src)
while IFS= read -r d; do includes+=(-I "$d"); done < <(find tools -name '*.h' -printf '%h\n' | sort -u)

echo "== cppcheck"
# Suppressed:
#  passedByValue in the files whose fixed interfaces take a Node, a
#    TCPSocket or the pin's texts by value on purpose (copies of a node share
#    its value table, copies of a socket the connection).
if ! nice -n 10 cppcheck --enable=warning,performance,portability --error-exitcode=1 --std=c++17 \
     --language=c++ --inline-suppr --quiet -j "$(nproc)" "${includes[@]}" \
     --suppress=passedByValue:src/Message.cpp --suppress=passedByValue:src/GPIO.cpp \
     --suppress=passedByValue:src/Connector.cpp \
     src tools; then
  echo "cppcheck: findings above" >&2
  status=1
fi

[ "$status" -eq 0 ] && echo "lint: clean"
exit "$status"
