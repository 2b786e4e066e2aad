#!/usr/bin/env bash
# Benchmark of doz2era against the floor, `cat SRC > DST` (read the bytes once, write them once),
# and against ImageMagick's `convert SRC bgr:DST` / `bgra:DST` (installed when run as root).
#
#   bench/run.sh [RUNS]        RUNS: timed runs per command and picture, at least 5 (default 11)
#   DOZ2ERA_EXE=path bench/run.sh      times that executable instead (another build, an old one)
#   DOZ2ERA_BATCH_SPRITES=N bench/run.sh   N sprites in the batch (default 10000)
#
# Builds its own release copy of doz2era and of the helpers in build/bench, writes its inputs to a
# temporary directory (removed at the end): a 24-bit 8191 x 8191 picture (rows with fill bytes), a
# 32-bit 8192 x 8192 picture, 1000 copies of a 32-bit 64 x 64 sprite and a sparse 24-bit
# 65535 x 65535 picture (12.9 GB that take no disk space). For each large picture: after one
# warm-up run, doz2era and cat in alternation, back to back, the order turning every round; then
# convert; then one-shot runs, each command after 5 s idle; then the peak resident memory. Then
# the sprites (one process per file), the sparse picture (peak memory, into /dev/null) and, where
# the machine has memory cgroups, the 24-bit picture inside a 32 MiB limit. Then the batch
# throughput: 10,000 sprites converted as the README converts many files, `find | xargs -0 -r
# -n1 -P`, with -P1 and with -P$(nproc), in files per second and time per file. It prints the
# medians, the median of the per-round ratios doz2era/cat, and whether each target is met. Every
# output of doz2era is checked with the project's KVD reader against the BMP rows, and every line
# of the batch logs must be its file's whole "OK!" line; a mismatch fails the run.
set -euo pipefail
export LC_ALL=C # EPOCHREALTIME with a decimal point

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-11}
if ! [[ $runs =~ ^[0-9]+$ ]] || [ "$runs" -lt 5 ]; then
    echo "usage: bench/run.sh [RUNS]   (RUNS >= 5)" >&2
    exit 2
fi
build=$root/build/bench
sprites=1000
batch_sprites=${DOZ2ERA_BATCH_SPRITES:-10000}
batch_rounds=3 # timed runs of each -P value, in alternation
if ! [[ $batch_sprites =~ ^[0-9]+$ ]] || [ "$batch_sprites" -lt 1 ]; then
    echo "DOZ2ERA_BATCH_SPRITES must be a number of sprites, at least 1" >&2
    exit 2
fi
idle_runs=3  # one-shot rounds (see bench_large)
idle_pause=5 # seconds of idle before each one-shot command
memory_limit_kib=8192 # peak resident memory target: 8 MiB, whatever the picture

# Installs a Debian package whose command is missing (as root), or says what to install.
need() {
    local package=$1 probe=$2
    if [ -e "$probe" ] || command -v "$probe" >/dev/null 2>&1; then
        return
    fi
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "== installing $package"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" \
            >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "$package" >/dev/null; }
    else
        echo "bench/run.sh needs $probe: install the package $package" >&2
        exit 2
    fi
}
need cmake cmake
need g++ g++
need time /usr/bin/time # peak resident memory (%M)

# ImageMagick for the comparison: installed when run as root, else measured only if present.
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null && [ ! -e /usr/bin/convert ]; then
    echo "== installing imagemagick"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends imagemagick \
        >/dev/null 2>&1 || echo "imagemagick could not be installed: convert not measured"
fi

# ImageMagick's own convert, if installed (a wrapper of that name elsewhere on PATH is not used).
convert=""
for candidate in /usr/bin/convert /usr/bin/convert-im6.q16 /usr/bin/magick; do
    if [ -x "$candidate" ] &&
        [[ $("$candidate" -version 2>/dev/null || true) == "Version: ImageMagick"* ]]; then
        convert=$candidate
        break
    fi
done

echo "== building doz2era (release preset, statically linked) and the helpers in build/bench"
cmake --preset release -B "$build" -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target doz2era bench_make_bmp bench_check_kvd >/dev/null
doz2era=${DOZ2ERA_EXE:-$build/doz2era}
doz2era=$(realpath "$doz2era")
echo "== timing $doz2era"
make_bmp=$build/bench/bench_make_bmp
check_kvd=$build/bench/bench_check_kvd

work=$(mktemp -d "${TMPDIR:-/tmp}/doz2era-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== generating the inputs in $work"
"$make_bmp" 24 8191 8191 "$work/large24.bmp"
"$make_bmp" 32 8192 8192 "$work/large32.bmp"
mkdir "$work/sprites"
"$make_bmp" 32 64 64 "$work/sprites/sprite.bmp"
for i in $(seq -w 1 "$sprites"); do
    cp "$work/sprites/sprite.bmp" "$work/sprites/s$i.bmp"
done
rm "$work/sprites/sprite.bmp"
sprite_files=("$work"/sprites/s*.bmp)
mkdir "$work/batch"
for i in $(seq -w 1 "$batch_sprites"); do
    cp "${sprite_files[0]}" "$work/batch/b$i.bmp"
done
batch_files=("$work"/batch/b*.bmp)
# The line of every batch file, sorted: what each batch log must hold, once each.
for f in "${batch_files[@]}"; do
    printf '%s -> %s ... OK!\n' "$f" "${f%.bmp}.kvd"
done | sort >"$work/batch-expected.log"

# Median of the numbers on standard input.
median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                                        else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Wall time of the command in microseconds, in the variable `elapsed`. The clock is bash's own
# (no process is started around the command); the command's standard output goes to /dev/null.
elapsed=0
timed() {
    local start=$EPOCHREALTIME
    "$@" >/dev/null
    local end=$EPOCHREALTIME
    elapsed=$((${end/./} - ${start/./}))
}

# The compared commands: doz2era writes SRC.kvd, the others SRC.cat and SRC.raw beside it. Before
# every round the destinations are removed (untimed), so that every run writes a fresh file.
fresh() { rm -f "$@"; }

# One round of a doz2era command and a cat command on the same arguments, the order turning
# every round so that neither always runs first: sets t_doz and t_cat (microseconds).
time_round() { # round, doz2era command, cat command, arguments...
    local round=$1 doz_command=$2 cat_command=$3
    shift 3
    if ((round % 2 == 0)); then
        timed "$doz_command" "$@" && t_doz=$elapsed
        timed "$cat_command" "$@" && t_cat=$elapsed
    else
        timed "$cat_command" "$@" && t_cat=$elapsed
        timed "$doz_command" "$@" && t_doz=$elapsed
    fi
}
run_doz2era() { "$doz2era" "$1"; }
run_cat() { cat "$1" >"${1%.bmp}.cat"; }
run_convert() { "$convert" "$1" "$2:${1%.bmp}.raw"; }
sprites_doz2era() {
    local f
    for f in "${sprite_files[@]}"; do "$doz2era" "$f"; done
}
sprites_cat() {
    local f
    for f in "${sprite_files[@]}"; do cat "$f" >"${f%.bmp}.cat"; done
}

ms() { awk -v us="$1" 'BEGIN { printf "%.1f ms", us / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

declare -A verdicts=()
order=()
verdict() { # name, met (0/1)
    order+=("$1")
    verdicts[$1]=$([ "$2" = 1 ] && echo "met" || echo "MISSED")
}

# Peak resident memory of one run of the command (KiB), from /usr/bin/time, in `peak_kib`.
peak_kib=0
peak_of() { # command...
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null
    peak_kib=$(tail -n 1 "$work/rss")
}

# Times one large picture. First doz2era and cat in alternation, back to back, the order turning
# every round; then convert's runs, compared by the ratio of the medians; then one-shot rounds,
# each command after a pause; then the peak memory.
bench_large() {
    local name=$1 format=$2
    local src=$work/$name.bmp base=$work/$name
    local doz=() cat=() im=() pair=() round use_convert=$convert
    fresh "$base.kvd" "$base.cat" "$base.raw"
    run_doz2era "$src" >/dev/null # warm-up (also brings the source into the page cache)
    run_cat "$src"
    if [ -n "$use_convert" ] && ! run_convert "$src" "$format" 2>/dev/null; then
        echo "convert fails on $name.bmp (a resource limit of its policy?): not measured"
        use_convert=""
    fi
    fresh "$base.raw"
    for ((round = 0; round < runs; round++)); do
        local t_doz t_cat
        fresh "$base.kvd" "$base.cat"
        time_round "$round" run_doz2era run_cat "$src"
        doz+=("$t_doz")
        cat+=("$t_cat")
        pair+=("$(ratio "$t_doz" "$t_cat")")
    done
    fresh "$base.cat"
    if [ -n "$use_convert" ]; then
        for ((round = 0; round < runs; round++)); do
            fresh "$base.raw"
            timed run_convert "$src" "$format" && im+=("$elapsed")
        done
        fresh "$base.raw"
    fi

    local m_doz m_cat m_pair
    m_doz=$(printf '%s\n' "${doz[@]}" | median)
    m_cat=$(printf '%s\n' "${cat[@]}" | median)
    m_pair=$(printf '%s\n' "${pair[@]}" | median)
    echo
    echo "$name.bmp ($(stat -c %s "$src") bytes), $runs runs each, medians:"
    echo "  doz2era           $(ms "$m_doz")"
    echo "  cat               $(ms "$m_cat")"
    echo "  doz2era/cat       $m_pair   (per round: ${pair[*]})"
    verdict "$name: back to back, doz2era/cat <= 1.2" \
        "$(awk -v r="$m_pair" 'BEGIN { print (r <= 1.2) }')"
    if [ -n "$use_convert" ]; then
        local m_im m_imratio
        m_im=$(printf '%s\n' "${im[@]}" | median)
        m_imratio=$(ratio "$m_im" "$m_doz")
        printf '  %-17s %s\n' "convert $format:" "$(ms "$m_im")" \
            "convert/doz2era" "$m_imratio   (ratio of the medians)"
        verdict "$name: convert/doz2era >= 8" "$(awk -v r="$m_imratio" 'BEGIN { print (r >= 8) }')"
    fi

    # One-shot: a conversion started after the machine sat idle, as a user runs it by hand. On a
    # virtual machine that hands free memory back to its host (free page reporting), memory that
    # a run takes after a pause may have to be supplied anew by the host.
    local idle_doz=() idle_cat=() idle_pair=()
    for ((round = 0; round < idle_runs; round++)); do
        fresh "$base.kvd" "$base.cat"
        sleep "$idle_pause"
        timed run_doz2era "$src" && t_doz=$elapsed
        sleep "$idle_pause"
        timed run_cat "$src" && t_cat=$elapsed
        idle_doz+=("$t_doz")
        idle_cat+=("$t_cat")
        idle_pair+=("$(ratio "$t_doz" "$t_cat")")
    done
    fresh "$base.cat"
    local m_idle
    m_idle=$(printf '%s\n' "${idle_pair[@]}" | median)
    echo "  one-shot, each command after ${idle_pause} s idle, $idle_runs rounds: doz2era" \
        "$(ms "$(printf '%s\n' "${idle_doz[@]}" | median)"), cat" \
        "$(ms "$(printf '%s\n' "${idle_cat[@]}" | median)"), doz2era/cat $m_idle" \
        "(per round: ${idle_pair[*]})"
    verdict "$name: one-shot after ${idle_pause} s idle, doz2era/cat <= 1.25" \
        "$(awk -v r="$m_idle" 'BEGIN { print (r <= 1.25) }')"

    # Peak resident memory, from separate runs under /usr/bin/time (the largest of three).
    local kib=0 i
    for i in 1 2 3; do
        fresh "$base.kvd"
        peak_of "$doz2era" "$src"
        ((peak_kib > kib)) && kib=$peak_kib
    done
    echo "  peak memory       $kib KiB (target at most $memory_limit_kib KiB, whatever the picture)"
    verdict "$name: peak memory <= 8 MiB" "$((kib <= memory_limit_kib ? 1 : 0))"
}

# The largest 24-bit picture the KVD layout holds, 65535 x 65535 (12.9 GB), as a sparse file,
# converted into /dev/null through a link at the destination name: the peak memory must not grow
# with the picture.
bench_sparse() {
    local src=$work/sparse24.bmp
    "$make_bmp" --sparse 24 65535 65535 "$src"
    ln -s /dev/null "$work/sparse24.kvd"
    local start=$EPOCHREALTIME line
    line=$(/usr/bin/time -f %M -o "$work/rss" "$doz2era" "$src")
    local end=$EPOCHREALTIME
    peak_kib=$(tail -n 1 "$work/rss")
    rm -f "$src" "$work/sparse24.kvd"
    echo
    echo "sparse 24-bit 65535 x 65535 ($(awk 'BEGIN { printf "%.1f", (54 + 196608 * 65535) / 1e9 }')" \
        "GB) into /dev/null: $(ms $((${end/./} - ${start/./}))), peak memory $peak_kib KiB"
    local ok=0
    if [ "$line" = "$src -> $work/sparse24.kvd ... OK!" ]; then
        ((peak_kib <= memory_limit_kib)) && ok=1
    else
        echo "  $line"
    fi
    verdict "sparse 65535 x 65535: converted, peak memory <= 8 MiB" "$ok"
}

# A memory cgroup of 32 MiB, as a container gives: the 24-bit picture (192 MiB) must convert
# inside it. Needs root and a cgroup file system (version 2, or version 1 with the memory
# controller); elsewhere not measured.
bench_cgroup() {
    local group=""
    if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
        grep -qw memory /sys/fs/cgroup/cgroup.controllers &&
            group=/sys/fs/cgroup$(awk -F: '$1 == "0" { print $3 }' /proc/self/cgroup)
    elif [ -d /sys/fs/cgroup/memory ]; then
        group=/sys/fs/cgroup/memory$(awk -F: '$2 == "memory" { print $3 }' /proc/self/cgroup)
    fi
    group=${group%/}/doz2era-bench-$$
    echo
    if [ "$(id -u)" != 0 ] || ! mkdir "$group" 2>/dev/null; then
        echo "inside a 32 MiB memory cgroup: no memory cgroup can be made here, not measured"
        return
    fi
    if [ -f "$group/memory.max" ]; then
        echo $((32 << 20)) >"$group/memory.max"
    else
        echo $((32 << 20)) >"$group/memory.limit_in_bytes"
    fi
    local src=$work/large24.bmp line status=0
    fresh "$work/large24.kvd"
    line=$(sh -c 'echo $$ > "$1/cgroup.procs" && exec "$2" "$3"' sh "$group" "$doz2era" "$src") ||
        status=$?
    rmdir "$group" 2>/dev/null || true
    local ok=0
    if [ "$status" = 0 ] && [ "$line" = "$src -> $work/large24.kvd ... OK!" ] &&
        "$check_kvd" "$src" "$work/large24.kvd" >/dev/null; then
        ok=1
    fi
    echo "inside a 32 MiB memory cgroup: large24.bmp, exit status $status, \"$line\"," \
        "output $([ $ok = 1 ] && echo exact || echo WRONG)"
    fresh "$work/large24.kvd"
    verdict "large24 inside a 32 MiB memory cgroup: converted exactly" "$ok"
}

# Times the sprites: one process per file, doz2era and cat in alternation.
bench_sprites() {
    local doz=() cat=() pair=() round t_doz t_cat
    fresh "$work"/sprites/*.kvd "$work"/sprites/*.cat
    sprites_doz2era >/dev/null # warm-up
    sprites_cat
    for ((round = 0; round < runs; round++)); do
        fresh "$work"/sprites/*.kvd "$work"/sprites/*.cat
        time_round "$round" sprites_doz2era sprites_cat
        doz+=("$((t_doz / sprites))")
        cat+=("$((t_cat / sprites))")
        pair+=("$(ratio "$t_doz" "$t_cat")")
    done
    local m_pair
    m_pair=$(printf '%s\n' "${pair[@]}" | median)
    echo
    echo "$sprites sprites (64 x 64, 32-bit, $(stat -c %s "${sprite_files[0]}") bytes each)," \
        "one process per file, $runs runs each, medians per file:"
    echo "  doz2era           $(printf '%s\n' "${doz[@]}" | median) us"
    echo "  cat               $(printf '%s\n' "${cat[@]}" | median) us"
    echo "  doz2era/cat       $m_pair   (per round: ${pair[*]})"
    verdict "sprites: doz2era/cat <= 0.8" "$(awk -v r="$m_pair" 'BEGIN { print (r <= 0.8) }')"
}

# Checks BMP/KVD pairs given as alternating names with the test suite's KVD reader; false on any
# difference. Through xargs, 1000 pairs a call: a large batch has more names than one command line
# may hold.
check_pairs() {
    local f
    for f in "$@"; do printf '%s\0%s\0' "$f" "${f%.bmp}.kvd"; done | xargs -0 -n 2000 "$check_kvd"
}

# The README's way through many files: one process per file, as many at once as asked (-P), every
# line into one log file.
batch_run() { # -P value
    find "$work/batch" -name '*.bmp' -print0 |
        xargs -0 -r -n1 -P"$1" "$doz2era" >"$work/batch-$1.log"
}

# Removes the batch's destinations, however many (perhaps too many for one command line).
fresh_batch() { find "$work/batch" -name '*.kvd' -delete; }

# Checks one batch run: every line whole, "OK!" and there once, and every KVD exact.
check_batch() { # -P value
    if ! sort "$work/batch-$1.log" | cmp -s - "$work/batch-expected.log"; then
        echo "  -P$1: the log does not hold every file's whole \"OK!\" line once:"
        sort "$work/batch-$1.log" | diff - "$work/batch-expected.log" | head -n 5
        return 1
    fi
    check_pairs "${batch_files[@]}"
}

# Times the batch with -P1 and -P$(nproc) in alternation, the order turning every round; each
# timed run writes fresh destinations and is checked afterwards (untimed).
bench_batch() {
    local jobs=(1 "$(nproc)") round i
    local times=("" "") # the run times of each -P value, in microseconds, space-separated
    fresh_batch
    batch_run "${jobs[1]}" # warm-up
    for ((round = 0; round < batch_rounds; round++)); do
        for i in $((round % 2)) $((1 - round % 2)); do
            fresh_batch
            timed batch_run "${jobs[i]}"
            times[i]+=" $elapsed"
            check_batch "${jobs[i]}" || failed=1
        done
    done
    fresh_batch
    echo
    echo "$batch_sprites sprites (64 x 64, 32-bit) through \`find | xargs -0 -r -n1 -P\`, one" \
        "process per file, $batch_rounds runs each, medians:"
    local label=("-P1" "-P${jobs[1]} (nproc)") us
    for i in 0 1; do
        us=$(printf '%s\n' ${times[i]} | median)
        awk -v label="${label[i]}" -v us="$us" -v n="$batch_sprites" 'BEGIN {
            printf "  %-17s %.2f s   %.0f files/s   %.0f us per file\n",
                   label, us / 1e6, n / (us / 1e6), us / n }'
    done
}

echo "== machine: $(nproc) cores, $(grep -m 1 'model name' /proc/cpuinfo | cut -d: -f2- |
    sed 's/^ *//'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
[ -n "$convert" ] && echo "== convert: $convert ($("$convert" -version | head -n 1))" ||
    echo "== convert: ImageMagick not installed, not measured"

failed=0
bench_large large24 bgr
bench_large large32 bgra
bench_sprites
bench_sparse
bench_cgroup
bench_batch

echo
echo "== checking every output of doz2era with the project's KVD reader (the batch's: above)"
for name in large24 large32; do
    fresh "$work/$name.kvd"
    line=$("$doz2era" "$work/$name.bmp")
    [ "$line" = "$work/$name.bmp -> $work/$name.kvd ... OK!" ] || { echo "  $line"; failed=1; }
    "$check_kvd" "$work/$name.bmp" "$work/$name.kvd" || failed=1
    fresh "$work/$name.kvd"
done
fresh "$work"/sprites/*.kvd
not_ok=$(sprites_doz2era | grep -c -v ' \.\.\. OK!$' || true)
[ "$not_ok" = 0 ] || { echo "  $not_ok sprites not converted"; failed=1; }
check_pairs "${sprite_files[@]}" || failed=1
[ "$failed" = 0 ] && echo "  all outputs are exact" || echo "  OUTPUTS DIFFER"

# kvd2bmp: decodes the KVD files that doz2era makes of the two large pictures (192 MiB and 256 MiB)
# against `cat KVD > OUT`, in alternation as above, each run into a fresh destination; then its
# peak resident memory (the largest of three runs) against 8 MiB, and its output: doz2era must
# turn the decoded BMP back into the same KVD, byte for byte. KVD2BMP_EXE=path times another build.
bench_kvd2bmp() {
    echo
    echo "== kvd2bmp: building it (release preset, statically linked) in build/bench"
    cmake --build "$build" -j2 --target kvd2bmp >/dev/null
    local kvd2bmp
    kvd2bmp=$(realpath "${KVD2BMP_EXE:-$build/kvd2bmp}")
    run_kvd2bmp() { "$kvd2bmp" "$1" "${1%.kvd}-back.bmp"; }
    run_cat_kvd() { cat "$1" >"${1%.kvd}-back.cat"; }
    local name
    for name in large24 large32; do
        local kvd=$work/$name.kvd back=$work/$name-back
        local dec=() cat=() pair=() round t_doz t_cat
        fresh "$kvd"
        "$doz2era" "$work/$name.bmp" >/dev/null
        run_kvd2bmp "$kvd" # warm-up
        run_cat_kvd "$kvd"
        for ((round = 0; round < runs; round++)); do
            fresh "$back.bmp" "$back.cat"
            time_round "$round" run_kvd2bmp run_cat_kvd "$kvd"
            dec+=("$t_doz")
            cat+=("$t_cat")
            pair+=("$(ratio "$t_doz" "$t_cat")")
        done
        fresh "$back.cat"
        local m_pair kib=0 i
        m_pair=$(printf '%s\n' "${pair[@]}" | median)
        for i in 1 2 3; do
            fresh "$back.bmp"
            peak_of "$kvd2bmp" "$kvd" "$back.bmp"
            ((peak_kib > kib)) && kib=$peak_kib
        done
        echo
        echo "kvd2bmp $name.kvd ($(stat -c %s "$kvd") bytes), $runs runs each, medians:"
        echo "  kvd2bmp           $(ms "$(printf '%s\n' "${dec[@]}" | median)")"
        echo "  cat               $(ms "$(printf '%s\n' "${cat[@]}" | median)")"
        echo "  kvd2bmp/cat       $m_pair   (per round: ${pair[*]})"
        echo "  peak memory       $kib KiB (limit 8 MiB = 8192 KiB)"
        verdict "$name: kvd2bmp/cat <= 1.5" "$(awk -v r="$m_pair" 'BEGIN { print (r <= 1.5) }')"
        verdict "$name: kvd2bmp peak memory <= 8 MiB" "$((kib <= memory_limit_kib ? 1 : 0))"

        fresh "$back.kvd"
        line=$("$doz2era" "$back.bmp")
        if [ "$line" = "$back.bmp -> $back.kvd ... OK!" ] && cmp -s "$kvd" "$back.kvd"; then
            echo "  the decoded BMP converts back into the same KVD"
        else
            echo "  THE DECODED BMP DOES NOT CONVERT BACK INTO THE SAME KVD ($line)"
            failed=1
        fi
        fresh "$kvd" "$back.bmp" "$back.kvd"
    done
}
bench_kvd2bmp

echo
echo "== targets (load average now $(cut -d' ' -f1-3 /proc/loadavg))"
for name in "${order[@]}"; do
    printf '  %-45s %s\n' "$name" "${verdicts[$name]}"
done
exit "$failed"
