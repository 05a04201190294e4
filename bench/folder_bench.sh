#!/usr/bin/env bash
# Folder-scale speed: COUNT small objects (copies of examples/sample.lwo with
# its pictures) converted three ways, for each output format given:
#   one run with every input, then the same run again over its own outputs;
#   xargs -P2, one file per run; a shell loop.
# The loop's time per file less the single run's is what starting a run costs.
# The format "shaders" instead converts to RIB one run per file, into one
# folder, COUNT copies whose surface Red is the same and COUNT whose Red each
# has its own diffusion (so each needs a shader name of its own).
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
# The same objects, but the diffusion of surface Red (a default value in its
# shader's text) differs in its last bits from copy to copy.
mkdir -p "$work/differing"
cp -r "$source_dir/examples/images" "$work/differing/"
perl -e 'my ($from, $n, $dir) = @ARGV; open(my $f, "<:raw", $from) or die; local $/; my $d = <$f>;
         my $at = index($d, "DIFF", index($d, "Red\0\0\0COLR")); die "no surface Red" if $at < 0;
         for my $i (1 .. $n) { my $c = $d; substr($c, $at + 8, 2) = pack("n", $i);
             open(my $o, ">:raw", sprintf("%s/o%06d.lwo", $dir, $i)) or die; print $o $c; close $o; }' \
    "$source_dir/examples/sample.lwo" "$count" "$work/differing"
cd "$work"

seconds() { date +%s.%N; }
report() { # name start end
    awk -v n="$count" -v name="$1" -v t0="$2" -v t1="$3" \
        'BEGIN { t = t1 - t0; printf "  %-28s %8.3f s  %7.3f ms per file\n", name, t, 1000 * t / n }'
}

# A run per file into one folder, as a shell loop does it.
# Also the processor time of the runs (user and system), which a busy
# machine disturbs less than the time on the clock.
shaderRuns() { # name folder-of-inputs
    rm -rf shaders && mkdir shaders
    local start end cpu
    start=$(seconds)
    cpu=$( { TIMEFORMAT='%U %S'; time (for f in "$2"/*.lwo; do "$exe" --destDir=shaders "$f" >/dev/null; done); } 2>&1)
    end=$(seconds)
    report "$1" "$start" "$end"
    echo "$cpu" | awk -v n="$count" '{ printf "    processor time %.3f s, %.3f ms per file\n", $1 + $2, 1000 * ($1 + $2) / n }'
    echo "    $(find shaders -name '*.sl' | wc -l) shader files"
}

for format in "${formats[@]}"; do
    if [ "$format" = shaders ]; then
        echo "$count objects to RIB, a run per file, one folder:"
        shaderRuns "identical surfaces Red" in
        shaderRuns "differing surfaces Red" differing
        continue
    fi
    echo "$count objects to $format:"
    rm -rf one xargs loop && mkdir one xargs loop
    start=$(seconds); "$exe" --to="$format" --destDir=one in/*.lwo >/dev/null; one_end=$(seconds)
    report "one run, $count inputs" "$start" "$one_end"
    one_start=$start
    start=$(seconds); "$exe" --to="$format" --destDir=one in/*.lwo >/dev/null
    report "the same run again" "$start" "$(seconds)"

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
