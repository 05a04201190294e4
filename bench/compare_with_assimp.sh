#!/usr/bin/env bash
# Times a full LWO2-to-LWO2 conversion of a large generated object beside
# Assimp's raw import of the same file (which only reads), with wall time and
# peak memory of each; then the same with --keepSurfaces=true on the object
# with a UV map and a UV-mapped texture, beside Assimp's raw import of that.
# Usage: bench/compare_with_assimp.sh [--only=brush|gltf] [quads] [runs] [uv]
# (with uv, every point of the first object also has texture coordinates)
# Then RIB from the object without and with a UV-mapped texture, beside
# Assimp's import and OBJ export of the same object.
# With --only=brush first, only the Unreal brush parts run (the brush writer,
# and the brush reader beside Assimp's raw import of the grid); with
# --only=gltf, only the glTF part (the object without and with a UV-mapped
# texture, beside Assimp's import and binary glTF export of it).
# Each line gives the best wall time, the best user+system time (steadier on
# a shared machine) and the largest peak memory over the runs.
set -euo pipefail
cd "$(dirname "$0")/.."
only=all
case ${1:-} in --only=*) only=${1#--only=}; shift ;; esac
quads=${1:-1000000}
runs=${2:-3}
uv=${3:-}

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build-bench/bench/make_big_lwo2 "$work/big.lwo" "$quads" $uv >/dev/null
echo "input: $quads quads, $(stat -c %s "$work/big.lwo") bytes"

measure() {  # label, command...: best wall time, best user+system time and peak RSS over the runs
    local label=$1; shift
    local best_wall=999999 best_cpu=999999 best_rss=0
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>&1
        read -r wall user sys rss <"$work/time"
        best_wall=$(awk -v a="$wall" -v b="$best_wall" 'BEGIN{print (a<b)?a:b}')
        best_cpu=$(awk -v a="$user" -v s="$sys" -v b="$best_cpu" 'BEGIN{print (a+s<b)?a+s:b}')
        best_rss=$(awk -v a="$rss" -v b="$best_rss" 'BEGIN{print (a>b)?a:b}')
    done
    printf '%-28s wall %6.2f s   user+sys %6.2f s   peak %8.1f MB\n' "$label" "$best_wall" "$best_cpu" \
        "$(awk -v k="$best_rss" 'BEGIN{print k/1024}')"
    echo "$best_wall $best_rss $best_cpu" >"$work/$label.result"
}

if command -v assimp >/dev/null; then
    measure assimp-raw-import assimp info "$work/big.lwo" -r
else
    echo "assimp is not installed (apt-get install assimp-utils) - no comparison"
fi
lwo2_ratios() {  # morv3d label, assimp label
    [ -f "$work/$2.result" ] || return 0
    read -r mw mr mc <"$work/$1.result"
    read -r aw ar ac <"$work/$2.result"
    awk -v mw="$mw" -v aw="$aw" -v mr="$mr" -v ar="$ar" -v mc="$mc" -v ac="$ac" \
        'BEGIN{printf "ratios morv3d/assimp: time %.2f (user+sys %.2f) (goal <= 0.5), peak memory %.2f (goal <= 0.3)\n", mw/aw, mc/ac, mr/ar}'
}
# glTF: goals at most 0.25 times the time and 0.3 times the peak memory. The
# texture's picture (clip grid.tif) is a small BMP, decoded and embedded as PNG.
# The smooth variant is a rolling grid smoothed up to 89.5 degrees (normals
# averaged over the faces round every point).
if [ "$only" = all ] || [ "$only" = gltf ]; then
    cp examples/images/checker.bmp "$work/grid.tif"
    for variant in plain uv smooth; do
        build-bench/bench/make_big_lwo2 "$work/glb-$variant.lwo" "$quads" $([ "$variant" != plain ] && echo $variant) >/dev/null
        measure "morv3d-glb-$variant" sh -c "cd '$work' && '$PWD/build-bench/morv3d' --to=glTF --destFileName=out.glb glb-$variant.lwo"
        echo "  glTF: $(stat -c %s "$work/out.glb") bytes"
        command -v assimp >/dev/null || continue
        measure "assimp-glb-$variant" sh -c "cd '$work' && assimp export glb-$variant.lwo assimp.glb"
        read -r mw mr mc <"$work/morv3d-glb-$variant.result"
        read -r aw ar ac <"$work/assimp-glb-$variant.result"
        awk -v mw="$mw" -v aw="$aw" -v mr="$mr" -v ar="$ar" -v mc="$mc" -v ac="$ac" -v v="$variant" \
            'BEGIN{printf "ratios morv3d/assimp glTF (%s): time %.2f (user+sys %.2f) (goal <= 0.25), peak memory %.2f (goal <= 0.3)\n", v, mw/aw, mc/ac, mr/ar}'
    done
    [ "$only" = gltf ] && exit 0
fi

if [ "$only" = all ]; then
    measure morv3d build-bench/morv3d --to=LWO2 --destFileName="$work/out.lwo" "$work/big.lwo"
    lwo2_ratios morv3d assimp-raw-import
    build-bench/bench/make_big_lwo2 "$work/big-uv.lwo" "$quads" uv >/dev/null
    echo "with a UV map: $(stat -c %s "$work/big-uv.lwo") bytes"
    command -v assimp >/dev/null && measure assimp-raw-import-uv assimp info "$work/big-uv.lwo" -r
    measure morv3d-keep-surfaces build-bench/morv3d --to=LWO2 --keepSurfaces=true \
        --destFileName="$work/out-uv.lwo" "$work/big-uv.lwo"
    lwo2_ratios morv3d-keep-surfaces assimp-raw-import-uv
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
        read -r mw mr mc <"$work/morv3d-t3d-$label.result"
        read -r aw ar ac <"$work/assimp-obj-$label.result"
        awk -v mw="$mw" -v aw="$aw" -v mr="$mr" -v ar="$ar" -v mc="$mc" -v ac="$ac" \
            'BEGIN{printf "  ratios morv3d/assimp: time %.2f (user+sys %.2f), peak memory %.2f\n", mw/aw, mc/ac, mr/ar}'
    fi
}
brush_run quads "$quads"
brush_run quads-uv "$quads" uv
brush_run concave 50000 concave
# RIB: the object without and with a UV-mapped image texture, written as RIB
# and its shader, beside Assimp's import and OBJ export of the same object.
for variant in $([ "$only" = all ] && echo plain uv); do
    build-bench/bench/make_big_lwo2 "$work/rib-$variant.lwo" "$quads" $([ "$variant" = uv ] && echo uv) >/dev/null
    measure "morv3d-rib-$variant" build-bench/morv3d --forceTextureResolution=true \
        --destFileName="$work/out-$variant.rib" "$work/rib-$variant.lwo"
    echo "  RIB: $(stat -c %s "$work/out-$variant.rib") bytes"
    if command -v assimp >/dev/null; then
        measure "assimp-obj-$variant" assimp export "$work/rib-$variant.lwo" "$work/out-$variant.obj"
        read -r mw mr _ <"$work/morv3d-rib-$variant.result"
        read -r aw ar _ <"$work/assimp-obj-$variant.result"
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
        read -r bw br bc <"$work/morv3d-brush-to-lwo2.result"
        read -r aw ar ac <"$work/assimp-raw-import.result"
        awk -v bw="$bw" -v aw="$aw" -v br="$br" -v ar="$ar" -v bc="$bc" -v ac="$ac" \
            'BEGIN{printf "ratios brush read/assimp: time %.2f (user+sys %.2f) (goal <= 2.0), peak memory %.2f (goal <= 1.0)\n", bw/aw, bc/ac, br/ar}'
    fi
else
    echo "this build writes no Unreal brushes - brush reading not measured"
fi
