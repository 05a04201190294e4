#!/usr/bin/env bash
# Folder-scale speed: COUNT small objects (copies of examples/sample.lwo with
# its pictures) converted three ways, for each output format given:
#   one run with every input; xargs -P2, one file per run; a shell loop.
# The loop's time per file less the single run's is what starting a run costs.
#
#   bench/folder_bench.sh [MORV3D] [COUNT] [FORMAT...]   (defaults: build/morv3d 1000 LWO2 RIB)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "${1:-$source_dir/build/morv3d}")
count=${2:-1000}
shift $(($# > 2 ? 2 : $#))
formats=("${@:-LWO2}")
[ $# -eq 0 ] && formats=(LWO2 RIB)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
cp -r "$source_dir/examples/images" "$work/in/"
for i in $(seq -w 1 "$count"); do cp "$source_dir/examples/sample.lwo" "$work/in/o$i.lwo"; done
cd "$work"

seconds() { date +%s.%N; }
report() { # name start end
    awk -v n="$count" -v name="$1" -v t0="$2" -v t1="$3" \
        'BEGIN { t = t1 - t0; printf "  %-28s %8.3f s  %7.3f ms per file\n", name, t, 1000 * t / n }'
}

for format in "${formats[@]}"; do
    echo "$count objects to $format:"
    rm -rf one xargs loop && mkdir one xargs loop
    start=$(seconds); "$exe" --to="$format" --destDir=one in/*.lwo >/dev/null; one_end=$(seconds)
    report "one run, $count inputs" "$start" "$one_end"
    one_start=$start

    start=$(seconds)
    printf '%s\0' in/*.lwo | xargs -0 -n1 -P2 "$exe" --to="$format" --destDir=xargs >/dev/null
    report "xargs -P2, a run per file" "$start" "$(seconds)"

    start=$(seconds)
    for f in in/*.lwo; do "$exe" --to="$format" --destDir=loop "$f" >/dev/null; done
    end=$(seconds)
    report "shell loop, a run per file" "$start" "$end"
    awk -v n="$count" -v a="$one_start" -v b="$one_end" -v c="$start" -v d="$end" \
        'BEGIN { printf "  a run per file costs %.3f ms more than the conversion itself\n", 1000 * ((d - c) - (b - a)) / n }'
done
