#!/usr/bin/env bash
# Builds Mirdal under a sanitizer and runs the tests that matter for it.
# Usage: tools/sanitize.sh asan|tsan [build-dir]
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer, the whole test suite
#         (build-asan).
#   tsan  ThreadSanitizer, the tests where threads share the engine's state:
#         exchanges on a worker thread while another lists the ports, search
#         passes and window slots during an installation, release frames
#         during a search (build-tsan). The desktop program's own tests are
#         left out: its jobs go through Qt's thread pool, whose queue lock is
#         inside the uninstrumented Qt library, so every job's first access to
#         what was prepared before it was queued would be reported.
# Every report of every process (tests, the simulator, the command line they
# start) goes to a file of BUILD/sanitizer-reports; the run passes only when
# the tests pass and that folder stays empty.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:?usage: tools/sanitize.sh asan|tsan [build-dir]}
jobs=$(nproc)

case $mode in
  asan)
    build=${2:-$root/build-asan}
    sanitize=address,undefined
    targets=(all)
    # The desktop program's tests (and the record's, which runs the window)
    # load X11 and GL libraries whose own leaks are suppressed by library
    # name, which needs full allocation stacks.
    # The package test builds a .deb of this build tree and starts the
    # installed program under Xvfb: it checks packaging, which a sanitizer
    # build is not; the programs it runs are tested here by the other tests.
    tests=(-E '^(app_|install\.|record\.sqlite)')
    slow_tests=(-R '^(app_|record\.sqlite)')
    ;;
  tsan)
    build=${2:-$root/build-tsan}
    sanitize=thread
    # The test programs and what they start (simulator, sample configuration).
    targets=(transport_tests reliability_concurrency_tests mirdal-sim sample_configuration)
    tests=(-R '^(transport\.WorkerThreadTest\.|reliability\.Concurrency)')
    slow_tests=()
    ;;
  *)
    echo "usage: tools/sanitize.sh asan|tsan [build-dir]" >&2
    exit 2
    ;;
esac

reports=$build/sanitizer-reports
supp=$root/tools/sanitizers

export QT_FATAL_WARNINGS=1
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d /tmp/mirdal-xdg.XXXXXX)}
chmod 0700 "$XDG_RUNTIME_DIR"
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="log_path=$reports/tsan:suppressions=$supp/tsan.supp:second_deadlock_stack=1:halt_on_error=0"

# The tools that the build runs (key header, packing and signing of the
# sample configuration) are instrumented too: their reports count.
rm -rf "$reports"
mkdir -p "$reports"

# Lean: no benchmarks, no fuzzers; the sanitizer applies to the whole build.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRDAL_SANITIZE="$sanitize" \
  -DMIRDAL_BUILD_BENCH=OFF -DMIRDAL_BUILD_FUZZERS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" "${tests[@]}" -LE fault-matrix || status=1
# The fault matrix's cells mostly wait on simulated terminals: several per core (as tools/test.sh).
if [[ $mode == asan ]]; then
  ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$((jobs * 4))" -L fault-matrix || status=1
fi
if [[ ${#slow_tests[@]} -ne 0 ]]; then
  ASAN_OPTIONS="$ASAN_OPTIONS:fast_unwind_on_malloc=0" \
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" "${slow_tests[@]}" || status=1
fi

count=$(find "$reports" -type f | wc -l)
if [[ $count -ne 0 ]]; then
  echo "$mode: $count sanitizer report file(s):" >&2
  for report in "$reports"/*; do
    echo "==== $report" >&2
    head -60 "$report" >&2
  done
  status=1
fi
echo "$mode: tests $([[ $status -eq 0 ]] && echo passed || echo FAILED), $count report file(s)"
exit $status
