#!/usr/bin/env bash
# Checks the C++ lines a change adds or edits against .clang-format; the
# rest of a file is left as it stands. The change is everything since the
# merge base with main (on main itself, the last commit), with what is not
# committed yet; FORMAT_BASE=REV compares with REV instead. Prints what
# clang-format would write instead and exits non-zero when that is anything.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! git rev-parse --git-dir >/dev/null 2>&1; then
  echo "check-format: not a git checkout, nothing to compare"
  exit 0
fi
base="${FORMAT_BASE:-}"
if [ -z "$base" ]; then
  head=$(git rev-parse HEAD)
  if git rev-parse -q --verify main >/dev/null; then base=$(git merge-base HEAD main); fi
  if [ -z "$base" ] || [ "$base" = "$head" ]; then base=$(git rev-parse -q --verify HEAD~1 || true); fi
fi
if [ -z "$base" ]; then
  echo "check-format: no earlier commit, nothing to compare"
  exit 0
fi

format_diff=$(command -v clang-format-diff || command -v clang-format-diff-14 || true)
if [ -z "$format_diff" ]; then
  echo "check-format: clang-format-diff is missing: run scripts/install-deps.sh (clang-format)" >&2
  exit 1
fi
out=$(git diff -U0 --no-color "$base" -- '*.cpp' '*.h' | "$format_diff" -p1)
if [ -n "$out" ]; then
  printf '%s\n' "$out"
  echo "check-format: the lines above differ from .clang-format (since $(git rev-parse --short "$base"))" >&2
  exit 1
fi
echo "check-format: changed lines since $(git rev-parse --short "$base") follow .clang-format"
