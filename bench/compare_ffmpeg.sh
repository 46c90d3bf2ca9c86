#!/usr/bin/env bash
# Whole process against a peer: `orv encode` and FFmpeg's Hap encoder turn
# the same raw natural clip, read from a file, into the same texture format
# (DXT1 = Hap 1, scaled YCoCg = Hap Q), once without a second stage and once
# with snappy, at 1080p and 4K. Runs are paired and interleaved (the order
# within a pair alternates), so a change in the machine's load hits both
# sides of a pair alike; the ratio printed is the median of the pairs' own
# ratios, FFmpeg's wall time over orv's.
#
#   bench/compare_ffmpeg.sh [BUILD_DIR]     (default: build-bench, as `make bench` builds)
#
# Environment:
#   ORV      orv binaries to time, separated by spaces (default BUILD_DIR/tools/orv);
#            give two to compare builds, each against FFmpeg in the same pairs
#   RUNS     pairs per row (default 5)
#   SIZES    default "1920x1080 3840x2160"
#   FRAMES   frames per clip (default 60 at 1080p, 30 at 4K)
#   WORK     where the clips and outputs go (default /tmp/orv-compare); the
#            clips are made once and kept
# FFmpeg gets every core (-threads 0); orv its default of one worker per core.
set -euo pipefail

build=${1:-build-bench}
read -r -a orvs <<<"${ORV:-$build/tools/orv}"
clipMaker=$build/bench/natural_clip
runs=${RUNS:-5}
sizes=${SIZES:-"1920x1080 3840x2160"}
work=${WORK:-/tmp/orv-compare}

for tool in "${orvs[@]}" "$clipMaker"; do
    [[ -x $tool ]] || { echo "missing $tool: build with -DORV_BUILD_BENCH=ON (make bench)" >&2; exit 1; }
done
if ! command -v ffmpeg >/dev/null || ! ffmpeg -hide_banner -h encoder=hap 2>/dev/null | grep -q 'hap_q'; then
    echo "ffmpeg with its Hap encoder is not installed (apt-get install ffmpeg): nothing to compare" >&2
    exit 0
fi
mkdir -p "$work"

# Wall seconds of one run of "$@", output discarded; fails loudly.
seconds() {
    local start end
    start=$(date +%s%N)
    if ! "$@" >/dev/null 2>"$work/stderr"; then
        echo "failed: $*" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo $(( end - start ))e-9 | awk '{ printf "%.4f", $1 }'
}

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for i in "${!orvs[@]}"; do echo "orv[$i]: ${orvs[$i]}"; done
echo "ffmpeg:  $(ffmpeg -version | head -1)"
printf '%-10s %-6s %-7s %-7s %9s %9s %8s %12s %7s\n' \
    size format coder tool orv_s ffmpeg_s ratio "ratio range" target

for size in $sizes; do
    width=${size%x*}
    height=${size#*x}
    if [[ $width -ge 3840 ]]; then frames=${FRAMES:-30}; target=7; else frames=${FRAMES:-60}; target=8; fi
    clip=$work/natural-${size}-${frames}.rgba
    [[ -f $clip ]] || "$clipMaker" "$width" "$height" "$frames" "$clip"
    for format in dxt1 ycocg; do
        hapFormat=hap
        [[ $format == ycocg ]] && hapFormat=hap_q
        for coder in none snappy; do
            ffmpegRun=(ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt rgba -s "$size" -r 30
                       -i "$clip" -c:v hap -format "$hapFormat" -compressor "$coder" -threads 0
                       "$work/out.mov")
            declare -A orvTimes=() ratios=()
            ffmpegTimes=""
            for ((run = 0; run < runs; ++run)); do
                pair=()
                for i in "${!orvs[@]}"; do
                    orvRun=("${orvs[$i]}" encode "$clip" --size "$size" --fps 30/1 --format "$format"
                            --compression "$coder" --quiet -o "$work/out.orv")
                    rm -f "$work/out.orv" "$work/out.mov"
                    # Alternate which side of the pair runs first.
                    if (( run % 2 == 0 )); then
                        o=$(seconds "${orvRun[@]}"); f=$(seconds "${ffmpegRun[@]}")
                    else
                        f=$(seconds "${ffmpegRun[@]}"); o=$(seconds "${orvRun[@]}")
                    fi
                    rm -f "$work/out.orv" "$work/out.mov"
                    orvTimes[$i]+=" $o"
                    ratios[$i]+=" $(awk -v f="$f" -v o="$o" 'BEGIN { printf "%.3f", f / o }')"
                    ffmpegTimes+=" $f"
                done
            done
            for i in "${!orvs[@]}"; do
                range=$(tr ' ' '\n' <<<"${ratios[$i]}" | grep -v '^$' | sort -g | sed -n '1p;$p' | paste -sd- -)
                printf '%-10s %-6s %-7s %-7s %9s %9s %8s %12s %6sx\n' "$size" "$format" "$coder" \
                    "orv[$i]" "$(median <<<"${orvTimes[$i]}")" "$(median <<<"$ffmpegTimes")" \
                    "$(median <<<"${ratios[$i]}")x" "$range" "$target"
            done
            unset orvTimes ratios
        done
    done
done
