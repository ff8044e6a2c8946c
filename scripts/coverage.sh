#!/usr/bin/env bash
# Builds the suite with gcov coverage into build-coverage/, runs every test and prints the line
# coverage of each engine folder. Needs gcovr (apt install gcovr).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=build-coverage
BUILD_DIR="$build_dir" BUILD_TYPE=Debug bash scripts/build.sh -DOV_COVERAGE=ON "$@"
find "$build_dir" -name '*.gcda' -delete
/usr/bin/time -f "ctest took %e s (%U s user, %S s system)" \
  ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure || status=$?
# Objects of test files removed since they were built only make gcov complain: its messages go
# to a file.
gcovr --root . --object-directory "$build_dir" --json-summary "$build_dir/coverage.json" \
  --filter '(ntfs|fat|carver|disk|scans|cli|workbench)/' --exclude '.*_test\.cpp' \
  --exclude 'tests/' --exclude 'fuzz/' --gcov-ignore-parse-errors >/dev/null 2>"$build_dir/gcovr.log"
python3 - "$build_dir/coverage.json" <<'PY'
import json, sys
from collections import defaultdict
lines = defaultdict(lambda: [0, 0])
for f in json.load(open(sys.argv[1]))['files']:
    top = f['filename'].split('/', 1)[0]
    lines[top][0] += f['line_covered']
    lines[top][1] += f['line_total']
print(f"{'folder':10} {'lines':>7} {'covered':>8} {'%':>6}")
for top in ('ntfs', 'fat', 'carver', 'disk', 'scans', 'cli', 'workbench'):
    covered, total = lines[top]
    if total:
        print(f"{top + '/':10} {total:7} {covered:8} {100 * covered / total:6.1f}")
PY
exit "${status:-0}"
