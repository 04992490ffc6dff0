#!/usr/bin/env bash
# Sanitizer run: build pelmora with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake option PELMORA_SANITIZE) in a virtual environment and a build directory
# of its own, then run the whole test suite and the fuzz suite under it.
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it. PYTHONMALLOC=malloc routes every Python object through
# malloc, so a use-after-free of a Python object made by our code is seen too.
# Any sanitizer report fails the run: UBSan is built not to recover, ASan halts
# on its first error, and every report is also written to a log directory that
# is checked at the end (a report from a subprocess or an atexit handler still
# counts).
#
# Environment:
#   PELMORA_SANITIZE_VENV       venv to create/reuse (default: a fresh temp dir)
#   PELMORA_SANITIZE_BUILD_DIR  CMake build dir (default: build/sanitize)
#   PELMORA_FUZZ_SCALE          multiplier on the fuzz suite's example counts
#                               (default here 0.25: the sanitized build is
#                               several times slower than the normal one)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
START=$(date +%s)

VENV="${PELMORA_SANITIZE_VENV:-$(mktemp -d)/venv}"
BUILD_DIR="${PELMORA_SANITIZE_BUILD_DIR:-build/sanitize}"
LOG_DIR="$(mktemp -d)"

python3 -m venv "$VENV"
PY="$VENV/bin/python"
"$PY" -m pip install -q --upgrade pip
# The test extra, built with the sanitizers in a build dir that no other build
# shares (an incremental rebuild when the directory is reused).
"$PY" -m pip install -q ".[test]" \
  -Ccmake.define.PELMORA_SANITIZE=ON \
  -Cbuild-dir="$BUILD_DIR"

# The runtimes the modules were linked against, from the compiler that built them.
CC_FOR_RT="${CC:-gcc}"
ASAN_RT="$("$CC_FOR_RT" -print-file-name=libasan.so)"
UBSAN_RT="$("$CC_FOR_RT" -print-file-name=libubsan.so)"
for rt in "$ASAN_RT" "$UBSAN_RT"; do
  if [ ! -e "$rt" ]; then
    echo "sanitize.sh: sanitizer runtime not found: $rt" >&2
    exit 1
  fi
done

# Check that the installed modules really are the instrumented ones.
SITE="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
for so in "$SITE"/pelmora/core/*.so; do
  if ! grep -q __asan_init "$so"; then
    echo "sanitize.sh: $so is not built with AddressSanitizer" >&2
    exit 1
  fi
done

# detect_leaks=0: the interpreter keeps its own objects alive at exit and the
# leak checker would report all of them; leaks of our code are measured by
# tests/robustness/test_reliability_leaks.py instead.
# allocator_may_return_null=1: an impossible allocation (say a huge excursion
# window) must become MemoryError as in a normal build, not an ASan abort.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=1:\
check_initialization_order=1:detect_stack_use_after_return=1:log_path=$LOG_DIR/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$LOG_DIR/ubsan"
export PELMORA_FUZZ_SCALE="${PELMORA_FUZZ_SCALE:-0.25}"
# Tells the tests that RSS is not a meaningful leak measure here (ASan keeps
# freed memory in quarantine); tracemalloc and reference counts still are.
export PELMORA_SANITIZED=1

status=0
run_pytest() {
  # The package lives under src/, so `import pelmora` finds the instrumented
  # install in the venv, never the source tree.
  env PYTHONMALLOC=malloc LD_PRELOAD="$ASAN_RT $UBSAN_RT" \
    "$PY" -m pytest -q -p no:cacheprovider "$@" || status=1
}

echo "== sanitizer run: test suite"
# Browsers, clusters and child processes add minutes under the sanitizers and reach no native
# code the rest of the suite does not.
run_pytest tests -m "not heavy and not fuzz"
echo "== sanitizer run: fuzz suite (PELMORA_FUZZ_SCALE=$PELMORA_FUZZ_SCALE)"
run_pytest tests -m fuzz

reports=$(find "$LOG_DIR" -type f | sort)
if [ -n "$reports" ]; then
  echo "sanitize.sh: sanitizer reports:" >&2
  for f in $reports; do
    echo "---- $f" >&2
    cat "$f" >&2
  done
  status=1
fi
rm -rf "$LOG_DIR"

echo "== sanitizer run finished in $(( $(date +%s) - START )) s (exit $status)"
exit "$status"
