#!/usr/bin/env bash
# Builds the fuzz targets and runs each on a fixed seed for a fixed number of inputs, starting
# from the project's own sample picture. Fails on any finding, and when a target did not run.
# FUZZ_RUNS sets the number of inputs per target.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${FUZZ_RUNS:-200000}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel 2 >/dev/null
# The library's own allocations are bounded the way a worker's are: an allocation past 64 MiB
# fails instead of ending the run, and its leaks on refused files are the library's.
export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=64
for target in pngcheck convert; do
    corpus=build/fuzz/corpus-$target
    mkdir -p "$corpus"
    cp docs/sample.png "$corpus/"
    log=build/fuzz/$target.log
    if ! "build/fuzz/fuzz/${target}_fuzz" -seed=1 -runs="$runs" -max_len=4096 \
        -rss_limit_mb=4096 -malloc_limit_mb=128 -detect_leaks=0 -timeout=10 -artifact_prefix=build/fuzz/ "$corpus" \
        >"$log" 2>&1; then
        tail -40 "$log"
        echo "fuzz: $target: FAILED, a finding (log above)" >&2
        exit 1
    fi
    done_line=$(grep -E '^Done [0-9]+ runs' "$log" || true)
    [ -n "$done_line" ] || { tail -20 "$log"; echo "fuzz: $target: did not run" >&2; exit 1; }
    echo "fuzz: $target: $done_line"
done
