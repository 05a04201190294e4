#!/usr/bin/env bash
# Times a full LWO2-to-LWO2 conversion of a large generated object beside
# Assimp's raw import of the same file (which only reads), with wall time and
# peak memory of each. Usage: bench/compare_with_assimp.sh [quads] [runs] [uv]
# (with uv, every point of the object also has texture coordinates)
# Then RIB from the object without and with a UV-mapped texture, beside
# Assimp's import and OBJ export of the same object.
set -euo pipefail
cd "$(dirname "$0")/.."
quads=${1:-1000000}
runs=${2:-3}
uv=${3:-}

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build-bench/bench/make_big_lwo2 "$work/big.lwo" "$quads" $uv >/dev/null
echo "input: $quads quads, $(stat -c %s "$work/big.lwo") bytes"

measure() {  # label, command...: best wall time and peak RSS over the runs
    local label=$1; shift
    local best_wall=999999 best_rss=0
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1
        read -r wall rss <"$work/time"
        best_wall=$(awk -v a="$wall" -v b="$best_wall" 'BEGIN{print (a<b)?a:b}')
        best_rss=$(awk -v a="$rss" -v b="$best_rss" 'BEGIN{print (a>b)?a:b}')
    done
    printf '%-28s wall %6.2f s   peak %8.1f MB\n' "$label" "$best_wall" "$(awk -v k="$best_rss" 'BEGIN{print k/1024}')"
    echo "$best_wall $best_rss" >"$work/$label.result"
}

measure morv3d build-bench/morv3d --to=LWO2 --destFileName="$work/out.lwo" "$work/big.lwo"
if command -v assimp >/dev/null; then
    measure assimp-raw-import assimp info "$work/big.lwo" -r
    read -r mw mr <"$work/morv3d.result"
    read -r aw ar <"$work/assimp-raw-import.result"
    awk -v mw="$mw" -v aw="$aw" -v mr="$mr" -v ar="$ar" \
        'BEGIN{printf "ratios morv3d/assimp: time %.2f (goal <= 1.5), peak memory %.2f (goal <= 1.0)\n", mw/aw, mr/ar}'
else
    echo "assimp is not installed (apt-get install assimp-utils) - no comparison"
fi

# Unreal brushes: the quad object with and without UVs, and 50,000 concave
# 40-gons (split into convex pieces), each beside Assimp's import plus its OBJ
# export of the same file. Goal on the quads: at most 0.5 times the time and
# 0.3 times the peak memory.
brush_run() {  # label, generator arguments...
    local label=$1; shift
    build-bench/bench/make_big_lwo2 "$work/$label.lwo" "$@" >/dev/null
    measure "morv3d-t3d-$label" build-bench/morv3d --to=Unreal.T3D --destFileName="$work/out.t3d" "$work/$label.lwo"
    echo "  brush: $(stat -c %s "$work/out.t3d") bytes"
    if command -v assimp >/dev/null; then
        measure "assimp-obj-$label" assimp export "$work/$label.lwo" "$work/out.obj"
        read -r mw mr <"$work/morv3d-t3d-$label.result"
        read -r aw ar <"$work/assimp-obj-$label.result"
        awk -v mw="$mw" -v aw="$aw" -v mr="$mr" -v ar="$ar" \
            'BEGIN{printf "  ratios morv3d/assimp: time %.2f, peak memory %.2f\n", mw/aw, mr/ar}'
    fi
}
brush_run quads "$quads"
brush_run quads-uv "$quads" uv
brush_run concave 50000 concave
# RIB: the object without and with a UV-mapped image texture, written as RIB
# and its shader, beside Assimp's import and OBJ export of the same object.
for variant in plain uv; do
    build-bench/bench/make_big_lwo2 "$work/rib-$variant.lwo" "$quads" $([ "$variant" = uv ] && echo uv) >/dev/null
    measure "morv3d-rib-$variant" build-bench/morv3d --forceTextureResolution=true \
        --destFileName="$work/out-$variant.rib" "$work/rib-$variant.lwo"
    echo "  RIB: $(stat -c %s "$work/out-$variant.rib") bytes"
    if command -v assimp >/dev/null; then
        measure "assimp-obj-$variant" assimp export "$work/rib-$variant.lwo" "$work/out-$variant.obj"
        read -r mw mr <"$work/morv3d-rib-$variant.result"
        read -r aw ar <"$work/assimp-obj-$variant.result"
        awk -v mw="$mw" -v aw="$aw" -v mr="$mr" -v ar="$ar" -v v="$variant" \
            'BEGIN{printf "ratios morv3d RIB/assimp OBJ (%s): time %.2f (goal <= 0.2), peak memory %.2f (goal <= 0.25)\n", v, mw/aw, mr/ar}'
    fi
done

# Brush reading: the grid written as an Unreal brush by our own writer, then
# that brush read and written as LWO2, beside Assimp's raw import of the grid
# in binary LWO2 (measured above).
if build-bench/morv3d --to=Unreal.T3D --scale=1 --destFileName="$work/big.t3d" "$work/big.lwo" >/dev/null 2>&1; then
    echo "brush of the same quads: $(stat -c %s "$work/big.t3d") bytes"
    measure morv3d-brush-to-lwo2 build-bench/morv3d --to=LWO2 --destFileName="$work/brush.lwo" "$work/big.t3d"
    if [ -f "$work/assimp-raw-import.result" ]; then
        read -r bw br <"$work/morv3d-brush-to-lwo2.result"
        read -r aw ar <"$work/assimp-raw-import.result"
        awk -v bw="$bw" -v aw="$aw" -v br="$br" -v ar="$ar" \
            'BEGIN{printf "ratios brush read/assimp: time %.2f (goal <= 2.0), peak memory %.2f (goal <= 1.0)\n", bw/aw, br/ar}'
    fi
else
    echo "this build writes no Unreal brushes - brush reading not measured"
fi
