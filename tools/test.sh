#!/usr/bin/env bash
# Builds Mirdal and runs every test. Usage: tools/test.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
jobs=$(nproc)

# Qt warnings are bugs: any warning fails the test that caused it.
export QT_FATAL_WARNINGS=1
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/mirdal-xdg.XXXXXX)}
chmod 0700 "$XDG_RUNTIME_DIR"

# Unformatted code fails first (.clang-format).
bash "$root/tools/check-format.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRDAL_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" -LE fault-matrix \
  --output-junit ctest-results.xml
# The fault matrix's cells spend their time waiting on simulated terminals
# paced like a real line (up to 4 min for a download start that never
# answers): several per core.
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$((jobs * 4))" -L fault-matrix \
  --output-junit ctest-fault-matrix.xml
# Under CI every test must have run: a test that skips itself because this
# machine could not start its service (the real pcscd) fails the run there.
if [[ ${CI:-} == true ]]; then
  skipped=$(grep -hoE '<testcase name="[^"]*"[^>]*status="(skipped|disabled|notrun)"' \
    "$build/ctest-results.xml" "$build/ctest-fault-matrix.xml" | sed -E 's/<testcase name="([^"]*)".*/\1/' || true)
  if [[ -n $skipped ]]; then
    echo "CI: these tests did not run, which fails the run:" $skipped >&2
    exit 1
  fi
fi
bash "$root/tools/windows-tests.sh"   # the Qt-free core built for Windows, its tests under Wine

# Reliability (docs/reliability.md): the suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer,
# and a short run of every fuzz target, each in a build folder of its own.
# MIRDAL_SKIP_RELIABILITY=1 stops after the plain suite.
if [[ ${MIRDAL_SKIP_RELIABILITY:-0} == 1 ]]; then
  echo "MIRDAL_SKIP_RELIABILITY=1: the sanitizer runs and the fuzzing were NOT done" >&2
else
  bash "$root/tools/sanitize.sh" asan
  bash "$root/tools/sanitize.sh" tsan
  bash "$root/fuzz/run.sh" all 20
fi
