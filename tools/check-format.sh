#!/usr/bin/env bash
# Lists the tracked C, C++ sources and headers that clang-format (with the
# project's .clang-format) would change, and exits 1 when there is any.
# Usage: tools/check-format.sh [clang-format program]
#   (default: clang-format-14, else clang-format; the result depends on the
#   version, 14 is the one the project is formatted with).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
format=${1:-$(command -v clang-format-14 || command -v clang-format || true)}
if [[ -z $format ]]; then
  echo "check-format: clang-format missing (apt-get install clang-format)" >&2
  exit 2
fi

unformatted=()
while IFS= read -r -d '' file; do
  if ! "$format" --style=file --dry-run -Werror "$file" >/dev/null 2>&1; then
    unformatted+=("$file")
  fi
done < <(git ls-files -z -- '*.cpp' '*.h' '*.c')

if [[ ${#unformatted[@]} -gt 0 ]]; then
  printf '%s\n' "${unformatted[@]}"
  echo "check-format: ${#unformatted[@]} files not formatted (clang-format -i FILE...)" >&2
  exit 1
fi
