#!/usr/bin/env bash
# Builds the fuzz targets and runs each on a fixed seed for a fixed number of inputs: one target for
# every reader of the image library (the library built with the same sanitizers and the fuzzer's
# coverage), the PNG check, what a worker does with one file, and the header reader of the run.
# Every file kept in fuzz/regressions/TARGET goes through its target first. Fails on any finding,
# and when a target did not run.
# FUZZ_RUNS sets the number of inputs per reader, FUZZ_OWN_RUNS that of the program's own targets,
# and FUZZ_SECONDS the most time one target may take to run them (a few readers are slow: every
# input may make an image of up to 64 MiB), after which it stops with the count it reached;
# FUZZ_ONLY="bmp gif" fuzzes only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${FUZZ_RUNS:-20000}
own_runs=${FUZZ_OWN_RUNS:-100000}
seconds=${FUZZ_SECONDS:-15}
build=build/fuzz
started=$(date +%s)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel 2 >"$build/build.log" 2>&1 || {
    tail -40 "$build/build.log"
    echo "fuzz: the build failed (log: $build/build.log)" >&2
    exit 1
}
echo "fuzz: built in $(($(date +%s) - started)) s"
readers=$(cat "$build/fuzz/readers.txt")
# The readers are fuzzed in the pinned library only (OSTRELLE_VENDOR); without it the step says so
# instead of passing unseen.
[ -n "$readers" ] ||
    echo "fuzz: the library's readers SKIPPED: no pinned DevIL (see README.md, \"Fuzzing\")"
targets="$readers pngcheck convert imagesize"
[ -z "${FUZZ_ONLY:-}" ] || targets=$FUZZ_ONLY

# The library's own allocations are bounded the way a worker's are, by the targets themselves
# (max_allocation_size_mb); undefined behaviour in the library is a finding like any other.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
flags=(-rss_limit_mb=2048 -malloc_limit_mb=128 -detect_leaks=0 -timeout=10)

# Seeds: pictures written by the library's own writer for that format, by ImageMagick, by
# fuzz/seeds.py, and the few in fuzz/seeds/TARGET that nothing here makes. Made once and kept
# until what makes them changes.
kept_seeds=$(if [ -d fuzz/seeds ]; then find fuzz/seeds -type f | sort; fi)
# shellcheck disable=SC2086 # the kept seeds' names have no spaces
key=$(cat fuzz/seeds.sh fuzz/seeds.py fuzz/reader_fuzz.cpp packaging/devil/*.patch $kept_seeds |
    sha256sum | cut -c1-16)
if [ -n "$readers" ] && [ "$(cat "$build/seeds/key" 2>/dev/null)" != "$key" ]; then
    rm -rf "$build/seeds"
    bash fuzz/seeds.sh "$build/seeds" "$build/fuzz" >"$build/seeds.log" 2>&1 || {
        cat "$build/seeds.log"
        echo "fuzz: making the seeds failed" >&2
        exit 1
    }
    echo "$key" >"$build/seeds/key"
fi

failed() { # TARGET LOG WHAT
    tail -40 "$2"
    echo "fuzz: $1: FAILED, $3 (log: $2)" >&2
    exit 1
}

fuzzed=0
readers_fuzzed=0
inputs=0
kept=0
for target in $targets; do
    exe=$build/fuzz/${target}_fuzz
    log=$build/$target.log
    # Every input that once failed, each on its own.
    if [ -d "fuzz/regressions/$target" ]; then
        mapfile -t old < <(find "fuzz/regressions/$target" -type f | sort)
        if [ "${#old[@]}" -gt 0 ]; then
            "$exe" "${flags[@]}" "${old[@]}" >"$log" 2>&1 ||
                failed "$target" "$log" "a kept regression input fails again"
            kept=$((kept + ${#old[@]}))
        fi
    fi
    corpus=$build/corpus/$target
    rm -rf "$corpus"
    mkdir -p "$corpus" "$build/seeds/$target"
    n=$runs
    # The program's own targets start from its sample picture.
    case $target in
    pngcheck | convert | imagesize)
        n=$own_runs
        cp docs/sample.png "$build/seeds/$target/"
        ;;
    esac
    # Fresh inputs go into the first folder, so the seeds stay as they were made.
    "$exe" -seed=1 -runs="$n" -max_total_time="$seconds" -max_len=4096 "${flags[@]}" \
        -artifact_prefix="$build/" \
        "$corpus" "$build/seeds/$target" >"$log" 2>&1 || failed "$target" "$log" "a finding"
    done_line=$(grep -E '^Done [0-9]+ runs' "$log" || true)
    [ -n "$done_line" ] || failed "$target" "$log" "did not run"
    count=$(echo "$done_line" | awk '{print $2}')
    took=$(echo "$done_line" | awk '{print $5}')
    echo "fuzz: $target: Done $count runs in $took s"
    case " $readers " in *[[:space:]]$target[[:space:]]*) readers_fuzzed=$((readers_fuzzed + 1)) ;; esac
    fuzzed=$((fuzzed + 1))
    inputs=$((inputs + count))
done
echo "fuzz: $readers_fuzzed readers and $((fuzzed - readers_fuzzed)) other targets fuzzed," \
    "$inputs inputs in all; $kept kept regression inputs passed; $(($(date +%s) - started)) s"
