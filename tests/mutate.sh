#!/usr/bin/env bash
# Mutation check of the suite: builds the program with one deliberate fault at a time, in a scratch
# copy of the tracked files, runs ctest on it and prints which tests failed. A fault that no test
# catches is a hole in the suite. Run from the project root: bash tests/mutate.sh [SCRATCH [NAME...]]
set -uo pipefail
top=$(pwd)
scratch=${1:-/tmp/ostrelle-mutants}
shift $(($# > 0 ? 1 : 0))
names=() files=() edits=()
m() { names+=("$1") files+=("$2") edits+=("$3"); }
m exists-check-gone src/staging.cpp 's/return fs::exists(fs::symlink_status(fsPath(path), ec));/return false;/'
m plain-rename src/staging.cpp 's/renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, outname.c_str(), RENAME_NOREPLACE)/rename(staged.c_str(), outname.c_str())/'
m overwrite-guard-gone src/staging.cpp 's/return fs::exists(fs::symlink_status(fsPath(path), ec));/return false;/; s/renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, outname.c_str(), RENAME_NOREPLACE)/rename(staged.c_str(), outname.c_str())/'
m footer-last-byte src/tga.cpp "s/'E', '.', 0}/'E', '.', 1}/"
m alpha-bits-0 src/tga.cpp 's/header\[17\] = header\[16\] == 32 ? 8 : 0;/header[17] = 0;/'
m origin-kept src/tga.cpp 's/std::memset(header + 8, 0, 4);//'
m mends-through-links src/tga.cpp 's/O_RDWR | O_NOFOLLOW | O_CLOEXEC/O_RDWR | O_CLOEXEC/'
m output-name-off-by-one src/convert.cpp 's/path.size() - 3) + "tga"/path.size() - 2) + "tga"/'
m errors-not-cleared src/convert.cpp 's/while (ilGetError() != IL_NO_ERROR) {/while (false) {/'
m rgb-as-bgra src/convert.cpp 's/target = IL_BGR;/target = IL_BGRA;/'
m palette-alpha-dropped src/convert.cpp 's/target = palette == .*/target = IL_BGR;/'
m side-limit-65536 src/convert.cpp 's/maxTgaSide = 65535/maxTgaSide = 65536/'
m staged-not-removed src/staging.cpp 's/std::remove(staged.c_str());/(void)0;/'
m leftovers-kept src/staging.cpp 's/if (pid > 0 && processGone(pid))/if (false)/'
m no-time-bound src/run.cpp 's/std::chrono::seconds(limits.seconds)/std::chrono::hours(1000)/'
m reports-as-finished src/run.cpp 's/file.done = true;/&\nprintReport(file.report);/; s/printReport(files\[printed++\].report);/++printed;/'
m no-retry src/run.cpp 's/if (fresh || file.retried) {/if (true) {/'
m no-collisions src/run.cpp 's/if (!owner.emplace(key, i).second)/if (false)/'
m worker-per-file src/run.cpp 's/++slot.served;/&\nstopSlot(slot);/'
m crash-as-success src/worker_posix.cpp 's/return failed("the image library crashed.*/return Report{};/'
m no-sandbox src/worker_posix.cpp 's/const SandboxStatus status = confineWorker(.*/SandboxStatus status{true, "", ""};/'
m sigchld-kept src/main.cpp 's/std::signal(SIGCHLD, SIG_DFL);//'
m png-size-off-by-one src/pngcheck.cpp 's/(maxPixelBytes - 1) \/ height/maxPixelBytes \/ height/'
m truncation-accepted src/pngcheck.cpp 's/return truncated();/return {};/'
m header-chunk-anywhere src/pngcheck.cpp 's/if (first != isIhdr || /if (/'
m key-needs-enter src/keywait_posix.cpp 's/~(ICANON | ECHO)/~ECHO/'
m pipe-needs-newline src/keywait_posix.cpp "s/std::getchar();/while (std::getchar() > '\\\\n') {}/"

tree=$scratch/tree
rm -rf "$tree" && mkdir -p "$tree"
git ls-files | tar -cf - -T - | tar -xf - -C "$tree"
cd "$tree"
cmake --preset release -DOSTRELLE_PNGSUITE="$top/../shared/pngsuite" >/dev/null
for i in "${!names[@]}"; do
    [ $# -eq 0 ] || [[ " $* " == *" ${names[$i]} "* ]] || continue
    file=${files[$i]}
    sed -i "${edits[$i]}" "$file"
    if cmp -s "$file" "$top/$file"; then
        result="the edit did not apply"
    elif ! cmake --build --preset release --parallel 2 >"$scratch/build.log" 2>&1; then
        result="does not build"
    else
        failed=$(ctest --preset release 2>&1 | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' | tr '\n' ' ')
        result=${failed:-NOT CAUGHT}
    fi
    printf '%s: %s\n' "${names[$i]}" "$result"
    cp "$top/$file" "$file"
done
