#!/usr/bin/env bash
# The tree keeps its layout (.clang-format) and the module passes clang-tidy (.clang-tidy).
# Exits non-zero naming what is off; `scripts/lint.sh --fix` reformats instead of checking.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c' ':!:tests/data/*')

if [ "${1:-}" = --fix ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi

unformatted=()
for file in "${sources[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted (scripts/lint.sh --fix): %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format: ${#sources[@]} files as .clang-format says"

# clang-tidy reads the compile commands of a configure-only tree of the module.
tidy=build/tidy
cmake -S . -B "$tidy" -DFASTRAK_BUILD_TESTS=OFF -DFASTRAK_BUILD_TOOLS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t module < <(git ls-files 'src/*.cpp')
printf '%s\n' "${module[@]}" | xargs -P "$(nproc 2>/dev/null || echo 2)" -n 8 clang-tidy -p "$tidy" --quiet
echo "clang-tidy: ${#module[@]} module files clean"
