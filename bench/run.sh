#!/usr/bin/env bash
# Benchmark of doz2era against the floor, `cat SRC > DST` (read the bytes once, write them once),
# and against ImageMagick's `convert SRC bgr:DST` / `bgra:DST` when it is installed.
#
#   bench/run.sh [RUNS]        RUNS: timed runs per command and picture, at least 5 (default 11)
#   DOZ2ERA_EXE=path bench/run.sh      times that executable instead (another build, an old one)
#
# Builds its own release copy of doz2era and of the helpers in build/bench, writes its inputs to a
# temporary directory (removed at the end): a 24-bit 8191 x 8191 picture (rows with fill bytes), a
# 32-bit 8192 x 8192 picture and 1000 copies of a 32-bit 64 x 64 sprite. After one warm-up run of
# each command, doz2era and cat run in alternation (the order turns every round), then convert,
# each run into a fresh destination. It prints the median wall times, the median of the per-round
# ratios doz2era/cat, convert's median over doz2era's, the peak resident memory of doz2era as a
# multiple of the source size, the time per sprite file (one process per file), a few runs after a
# pause (for information), and whether the targets are met. Every output of doz2era is checked
# with the program's KVD reader against the BMP rows; a mismatch fails the run.
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
idle_runs=3  # runs after a pause (see bench_large)
idle_pause=4 # seconds

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

# Times one large picture. First doz2era and cat in alternation, back to back, the order turning
# every round; then convert's runs, compared by the ratio of the medians (a convert run takes over
# a second: between the doz2era runs it would let the machine hand their memory back to a virtual
# machine's host, see `idle` below); then a few runs of each after a pause.
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
    verdict "$name: doz2era/cat <= 1.5" "$(awk -v r="$m_pair" 'BEGIN { print (r <= 1.5) }')"
    if [ -n "$use_convert" ]; then
        local m_im m_imratio
        m_im=$(printf '%s\n' "${im[@]}" | median)
        m_imratio=$(ratio "$m_im" "$m_doz")
        printf '  %-17s %s\n' "convert $format:" "$(ms "$m_im")" \
            "convert/doz2era" "$m_imratio   (ratio of the medians)"
        verdict "$name: convert/doz2era >= 8" "$(awk -v r="$m_imratio" 'BEGIN { print (r >= 8) }')"
    fi

    # After a pause. On a virtual machine that hands free memory back to its host (free page
    # reporting, which hands back free 2 MiB blocks about 2 s after they are freed), a block of
    # huge pages then comes from memory that the host must supply anew on first touch.
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
    echo "  after ${idle_pause} s idle, $idle_runs runs each (not a target): doz2era" \
        "$(ms "$(printf '%s\n' "${idle_doz[@]}" | median)"), cat" \
        "$(ms "$(printf '%s\n' "${idle_cat[@]}" | median)"), doz2era/cat" \
        "$(printf '%s\n' "${idle_pair[@]}" | median)"

    # Peak resident memory, from separate runs under /usr/bin/time (the largest of three).
    local size kib=0 k i
    size=$(stat -c %s "$src")
    for i in 1 2 3; do
        fresh "$base.kvd"
        /usr/bin/time -f %M -o "$work/rss" "$doz2era" "$src" >/dev/null
        k=$(tail -n 1 "$work/rss")
        ((k > kib)) && kib=$k
    done
    local limit
    limit=$(awk -v s="$size" 'BEGIN { printf "%d", (1.05 * s + 8 * 1048576) / 1024 }')
    echo "  peak memory       $kib KiB = $(ratio $((kib * 1024)) "$size") x source" \
        "(limit 1.05 x source + 8 MiB = $limit KiB)"
    verdict "$name: peak memory <= 1.05 x source + 8 MiB" "$((kib <= limit ? 1 : 0))"
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
    verdict "sprites: doz2era/cat <= 1.0" "$(awk -v r="$m_pair" 'BEGIN { print (r <= 1.0) }')"
}

echo "== machine: $(nproc) cores, $(grep -m 1 'model name' /proc/cpuinfo | cut -d: -f2- |
    sed 's/^ *//'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
[ -n "$convert" ] && echo "== convert: $convert ($("$convert" -version | head -n 1))" ||
    echo "== convert: ImageMagick not installed, not measured"

bench_large large24 bgr
bench_large large32 bgra
bench_sprites

echo
echo "== checking every output of doz2era with the program's KVD reader"
failed=0
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
pairs=()
for f in "${sprite_files[@]}"; do pairs+=("$f" "${f%.bmp}.kvd"); done
"$check_kvd" "${pairs[@]}" || failed=1
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
        local m_pair kib=0 k i
        m_pair=$(printf '%s\n' "${pair[@]}" | median)
        for i in 1 2 3; do
            fresh "$back.bmp"
            /usr/bin/time -f %M -o "$work/rss" "$kvd2bmp" "$kvd" "$back.bmp"
            k=$(tail -n 1 "$work/rss")
            ((k > kib)) && kib=$k
        done
        echo
        echo "kvd2bmp $name.kvd ($(stat -c %s "$kvd") bytes), $runs runs each, medians:"
        echo "  kvd2bmp           $(ms "$(printf '%s\n' "${dec[@]}" | median)")"
        echo "  cat               $(ms "$(printf '%s\n' "${cat[@]}" | median)")"
        echo "  kvd2bmp/cat       $m_pair   (per round: ${pair[*]})"
        echo "  peak memory       $kib KiB (limit 8 MiB = 8192 KiB)"
        verdict "$name: kvd2bmp/cat <= 1.5" "$(awk -v r="$m_pair" 'BEGIN { print (r <= 1.5) }')"
        verdict "$name: kvd2bmp peak memory <= 8 MiB" "$((kib <= 8192 ? 1 : 0))"

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
