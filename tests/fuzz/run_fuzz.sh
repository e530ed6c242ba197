#!/bin/sh
# run_fuzz.sh TARGET WORK_DIR SECONDS SEED_DIR...
#
# Runs one fuzz target: replays every seed, then mutates for SECONDS seconds.
# New inputs that reach new code go to WORK_DIR/corpus (the seed folders are
# only read); an input that crashes, leaks or hangs is saved under
# WORK_DIR/artifacts/ and the run fails with its report.
set -eu
target=$1
work=$2
seconds=$3
shift 3
mkdir -p "$work/corpus" "$work/artifacts"
# Seed folders that do not exist (nothing committed yet) are left out.
for dir in "$@"; do
  shift
  if [ -d "$dir" ]; then set -- "$@" "$dir"; fi
done
exec "$target" "$work/corpus" "$@" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1
