#!/usr/bin/env bash
# Mutation testing, run by hand (not in CI): each mutant below is one small, plausible fault in
# src/. The script applies it to a scratch copy of the tree, builds the test build there, runs
# the whole suite, and prints whether a test caught it. A mutant that no longer applies (its text
# is gone from the source) is reported as stale, so the table stays honest as the code moves.
# Usage: bash tools/mutate.sh [FILTER]   (FILTER: an extended regular expression; only mutants
# whose line matches it)
# MUTATE_DIR (default /tmp/ostrelle-mutate) holds the copy and its build; about a minute each.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=${MUTATE_DIR:-/tmp/ostrelle-mutate}
filter=${1:-}

# file ~ text to find (exactly once; \n for a line end) ~ text to put instead ~ what the fault is
mutants=$(
    cat <<'TABLE'
src/collisions.cpp~return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;~return c;~names differing in case do not collide
src/collisions.cpp~if (isLink(a.input))~if (false)~a link's target is not an entry of its own
src/collisions.cpp~keys.insert("file " + id);~(void)id;~one input reached by two folders is not one file
src/collisions.cpp~if (!a.output.empty())~if (false)~outputs are not compared with inputs
src/confine_linux.cpp~{SCMP_SYS(fstat)},~{SCMP_SYS(fstat)}, {SCMP_SYS(openat)},~seccomp allows opening paths
src/confine_linux.cpp~{SCMP_SYS(close)},~{SCMP_SYS(close)}, {SCMP_SYS(ioctl)},~seccomp allows ioctl (TIOCSTI)
src/confine_linux.cpp~{SCMP_SYS(kill), 1, {argIs(0, self)}},~{SCMP_SYS(kill)},~seccomp allows signalling anyone
src/confine_linux.cpp~{SCMP_SYS(fcntl), 1, {argIs(1, F_SETFL)}},~{SCMP_SYS(fcntl)},~seccomp allows every fcntl (F_SETOWN)
src/confine_linux.cpp~{SCMP_SYS(lseek)},~{SCMP_SYS(lseek)}, {SCMP_SYS(chmod)}, {SCMP_SYS(fchmodat)},~seccomp allows chmod
src/confine_linux.cpp~const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));~const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);~seccomp allows everything by default
src/confine_linux.cpp~    if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) < 0 && errno == EINVAL)~    if (true)~seccomp is never applied
src/confine_linux.cpp~    if (abi > 0) {~    if (abi > 99) {~Landlock is never applied
src/confine_linux.cpp~        return failed(ConfineStep::NoNewPrivs, EPERM);~        return ConfineStatus{true, {}, 0};~a refused confinement counts as applied
src/convert.cpp~    if (ilGetInteger(IL_IMAGE_WIDTH) > maxTgaSide || ilGetInteger(IL_IMAGE_HEIGHT) > maxTgaSide)~    if (ilGetInteger(IL_IMAGE_WIDTH) > maxTgaSide)~a too-tall image is not refused
src/convert.cpp~        target = palette == IL_PAL_RGBA32 || palette == IL_PAL_BGRA32 ? IL_BGRA : IL_BGR;~        target = IL_BGR;~a palette's alpha is dropped
src/convert.cpp~    if (type != IL_TYPE_UNKNOWN || input == nullptr)~    if (true)~no reader is chosen by content
src/convert.cpp~        return failed(Outcome::FailedLoad, IL_COULD_NOT_OPEN_FILE);~        return failed(Outcome::FailedLoad, IL_INVALID_EXTENSION);~an unopenable input gets the wrong code
src/convert.cpp~    clearPendingErrors();~    (void)0;~a file reports an earlier file's error
src/convert.cpp~        std::rewind(input);~        (void)0;~the reader starts after the PNG check's reading
src/convert.cpp~    if (std::fflush(output) != 0 || std::ferror(output))~    if (false)~a failed write of the output is not reported
src/fs_posix.cpp~    if (stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode))~    if (stat(path.c_str(), &before) != 0)~a pipe or folder is opened as an input
src/fs_posix.cpp~    return fcntl(scratch, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) ==~    return 0 ==~the scratch output is never sealed
src/fs_posix.cpp~        return errno == EEXIST ? Publish::Exists : Publish::CannotCreate;\n    close(placeholder);~        return errno == EEXIST ? Publish::Exists : Publish::CannotCreate;\n    close(placeholder);\n    unlinkat(folder, name.c_str(), 0);~the placeholder is taken away before the rename
src/fs_posix.cpp~    if (refused < 1 && errno == EEXIST)\n        return Publish::Exists;~    if (refused < 1 && errno == EEXIST)\n        return Publish::Done;~an existing name counts as published
src/fs_posix.cpp~            removeTemporaryNow();~            (void)0;~the hidden temporary is left behind
src/fs_posix.cpp~    const std::size_t slash = path.rfind('/');\n    // The root keeps its slash~    const std::size_t slash = path.find('/');\n    // The root keeps its slash~an output's folder is its first folder
src/keywait_posix.cpp~    if (got == 1)\n        takeRestOfKey();~    (void)got;~only the key's first byte is taken
src/keywait_posix.cpp~    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);~    tcsetattr(STDIN_FILENO, TCSANOW, &saved);~what is left of a key reaches the shell
src/keywait_posix.cpp~    handle(SIGCONT, applyOneKey, SA_RESTART, previousContinue);~    (void)previousContinue;~after a stop the wait needs Enter
src/main.cpp~    removeTemporaryNow();\n    std::signal(sig, SIG_DFL);~    std::signal(sig, SIG_DFL);~Ctrl-C leaves the hidden temporary
src/main.cpp~    killWorkersNow();\n    removeTemporaryNow();\n    std::signal(sig, SIG_DFL);~    removeTemporaryNow();\n    std::signal(sig, SIG_DFL);~Ctrl-C leaves the workers running
src/main.cpp~        if (previous.sa_handler == SIG_IGN)\n            continue;~        (void)previous;~an ignored SIGHUP is caught all the same
src/output.cpp~    if (!sealScratch(scratch) || !sizeOf(scratch, size) || size > largest ||~    if (!sizeOf(scratch, size) ||~the output is read without being sealed
src/output.cpp~    case Publish::Exists: return IL_FILE_ALREADY_EXISTS;~    case Publish::Exists: return IL_NO_ERROR;~a taken name is reported as done
src/pngcheck.cpp~            if (width * bytesPerPixel > (maxPixelBytes - 1) / height)~            if (width * bytesPerPixel > maxPixelBytes / height)~the size limit lets 2^31 bytes through
src/pngcheck.cpp~        if (first != isIhdr || (isIhdr && length != 13))~        if (first != isIhdr)~a header chunk of the wrong length passes
src/pngcheck.cpp~        if (size <= end - at) {~        if (size < end - at) {~a chunk ending at the buffer's end is skipped wrongly
src/protocol.cpp~           text < static_cast<std::uint32_t>(TextId::Count);~           true;~an answer naming a text that does not exist is taken
src/protocol.cpp~    malformed = !decode(payload, answer) || !buffer.empty();~    malformed = !decode(payload, answer);~bytes after an answer are taken as sound
src/protocol.cpp~    malformed = f.ok && length > limit;~    malformed = false;~an overlong frame is waited for
src/report.cpp~    case TextId::TooLarge: return "image too large: " + size(first, second);~    case TextId::TooLarge: return "image too large: " + size(second, first);~a size is shown the wrong way round
src/run.cpp~    if (files_.size() < 2 || mayCollide(arguments))~    if (files_.size() < 2)~colliding files run side by side
src/run.cpp~        if (large || memoryWith(slot, files_[next_]) > limits_.memoryBytes) {~        if (large) {~the memory bound never holds a file back
src/run.cpp~    const bool fresh = slot.served == 0 && slot.alone && (slot.whole || slots_.size() == 1);~    const bool fresh = true;~a crash after other files is not retried
src/run.cpp~    if (file.refusal != 0)\n        return failure(Outcome::FailedSave, file.refusal);~    (void)0;~a taken output name is not reported
src/run.cpp~    if (!file.outname.empty() && somethingAt(file.outname))~    if (false)~the output name is not looked at before the job
src/run.cpp~        if (slot.file >= 0 && Clock::now() >= slot.deadline) {~        if (slot.file >= 0 && Clock::now() < slot.deadline) {~the wrong file is timed out
src/serve.cpp~        if (confined.ok) {~        if (true) {~an unconfined worker converts
src/serve.cpp~        if (served == 0)\n            keepHeapWarm();~        (void)served;~the heap is handed back after every file
src/tga.cpp~    header[17] = header[16] == 32 ? 8 : 0;~    header[17] = 8;~gray and RGB images claim an alpha channel
src/tga.cpp~    std::memset(header + 8, 0, 4);~    (void)0;~the origin keeps the writer's stray bytes
src/tga.cpp~    if (size < end)~    if (size + 1 < end)~a TGA one byte short is published
src/worker.cpp~        if (end.peakBytes >= limits.memoryBytes / 2)~        if (false)~a crash at the memory bound is not called a lack of memory
src/worker.cpp~                       limits.outputBoundIsUsers~                       false~the session's file size limit is not named
src/worker_posix.cpp~    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);~    (void)0;~a worker inherits the terminal as standard error
src/worker_posix.cpp~                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);~                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);~a worker stays in the run's session
src/worker_posix.cpp~    prctl(PR_SET_PDEATHSIG, SIGKILL);~    (void)0;~a worker outlives a killed run
src/worker_posix.cpp~    sigdelset(&reset, SIGXFSZ);~    (void)0;~a worker forgets that the session ignores SIGXFSZ
src/worker_posix.cpp~    return getsockopt(channelFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&\n           peer.pid == getppid();~    return true;~any socket at descriptor 3 makes a worker
src/worker_posix.cpp~        bool malformed = static_cast<std::size_t>(n) > sizeof bytes;~        bool malformed = false;~an overlong answer is cut and taken
src/imagesize.cpp~    return width * height * (deep ? 16 : 8);~    return width * height * 8;~16-bit samples count as 8-bit ones
src/imagesize.cpp~        return need(le16(h, 6), le16(h, 8), false);~        return 0;~a GIF's size is not read
src/imagesize.cpp~        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)~        if (marker >= 0xC0 && marker <= 0xC1)~a progressive JPEG's frame is passed over
src/convert.cpp~        table[i][3] = alpha >= 0 ? e[alpha] : 255;~        table[i][3] = 255;~the palette table drops the palette's alpha
src/convert.cpp~        if (data[i] >= count)\n            return false;~        (void)count;~an index past the palette is looked up
src/convert.cpp~    ilRegisterOrigin(IL_ORIGIN_LOWER_LEFT);\n}\n\nint libraryCode~}\n\nint libraryCode~rows turned over but still marked upper-left
src/run.cpp~    setup.memoryBytes = slot.whole || slots_.size() == 1 ? limits_.memoryBytes : share();~    setup.memoryBytes = limits_.memoryBytes;~each of several workers has the whole memory bound
src/run.cpp~        const bool large = slots_.size() > 1 && files_[next_].memoryNeed > share();~        const bool large = false;~a file larger than a share runs beside others
TABLE
)

echo "mutate: copying the tree to $scratch"
rm -rf "$scratch/tree" "$scratch/pristine" && mkdir -p "$scratch/tree"
(cd "$root" && git ls-files -z | xargs -0 cp --parents -t "$scratch/tree")
# Each mutant is undone from this copy, not from the working tree, which may change meanwhile.
cp -r "$scratch/tree" "$scratch/pristine"
build="$scratch/tree/build"
pngsuite=()
[ -d "$root/../shared/pngsuite" ] && pngsuite=(-DOSTRELLE_PNGSUITE="$(cd "$root/../shared/pngsuite" && pwd)")
cmake -S "$scratch/tree" -B "$build" -DCMAKE_BUILD_TYPE=Release "${pngsuite[@]}" >/dev/null || exit 1
cmake --build "$build" -j2 >/dev/null || { echo "mutate: the unmutated tree does not build"; exit 1; }

caught=0 missed=0 stale=0
results=()
while IFS='~' read -r file from to what; do
    [ -z "$file" ] && continue
    [ -n "$filter" ] && ! grep -qE -- "$filter" <<<"$file~$from~$what" && continue
    target="$scratch/tree/$file"
    cp "$scratch/pristine/$file" "$target"
    if ! python3 - "$target" "$from" "$to" <<'PY'; then
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(1)
open(path, "w").write(text.replace(old, new))
PY
        results+=("stale   | $file | $what")
        stale=$((stale + 1))
        continue
    fi
    if ! cmake --build "$build" -j2 >/dev/null 2>&1; then
        verdict="stale"
        stale=$((stale + 1))
    elif ctest --test-dir "$build" --timeout 120 >"$scratch/last.log" 2>&1; then
        verdict="MISSED"
        missed=$((missed + 1))
    else
        verdict="caught"
        caught=$((caught + 1))
    fi
    results+=("$verdict | $file | $what")
    echo "mutate: $verdict: $file: $what"
    cp "$scratch/pristine/$file" "$target"
done <<<"$mutants"
cmake --build "$build" -j2 >/dev/null 2>&1

echo
printf '%s\n' "${results[@]}"
echo "mutate: $caught caught, $missed missed, $stale stale, of $((caught + missed + stale))"
