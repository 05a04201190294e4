#!/usr/bin/env bash
# Speed of the picture search: COUNT objects in one tree, each naming its own
# picture, converted to LWO2 in one run, twice:
#   found at once: the name leads straight to the picture ("../../Images/pN.tga");
#   author's name: the name from the author's machine
#     ("C:\Work\Content\Images\pN.tga"), found by its trailing parts.
# Also one run per file (xargs -P2), where no folder listing is shared.
#
#   bench/picture_search_bench.sh [MORV3D] [COUNT]   (defaults: build/morv3d 1000)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "${1:-$source_dir/build/morv3d}")
count=${2:-1000}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work" "$count" <<'PY'
import os, struct, sys
work, count = sys.argv[1], int(sys.argv[2])
def s0(text):
    b = text.encode() + b"\0"
    return b + (b"\0" if len(b) % 2 else b"")
def chunk(id, body): return id + struct.pack(">I", len(body)) + body + (b"\0" if len(body) % 2 else b"")
def sub(id, body): return id + struct.pack(">H", len(body)) + body
def lwo2(picture):
    points = b"".join(struct.pack(">3f", *p) for p in [(0, 0, 0), (1, 0, 0), (0, 1, 0)])
    imap = sub(b"IMAP", s0("\x80") + sub(b"CHAN", b"COLR"))
    block = sub(b"BLOK", imap + sub(b"PROJ", struct.pack(">H", 0)) + sub(b"IMAG", struct.pack(">H", 1)))
    body = (b"LWO2" + chunk(b"TAGS", s0("S")) + chunk(b"LAYR", struct.pack(">HH3f", 0, 0, 0, 0, 0) + s0("l"))
            + chunk(b"PNTS", points) + chunk(b"POLS", b"FACE" + struct.pack(">4H", 3, 0, 1, 2))
            + chunk(b"PTAG", b"SURF" + struct.pack(">HH", 0, 0))
            + chunk(b"CLIP", struct.pack(">I", 1) + sub(b"STIL", s0(picture)))
            + chunk(b"SURF", s0("S") + s0("") + block))
    return b"FORM" + struct.pack(">I", len(body)) + body
tga = bytes([0, 0, 2]) + bytes(9) + struct.pack("<HH", 4, 2) + bytes([24, 0]) + bytes(24)
for kind, name in (("direct", "../../Images/p{}.tga"), ("author", "C:\\Work\\Content\\Images\\p{}.tga")):
    os.makedirs(f"{work}/{kind}/Content/Objects/Ships")
    os.makedirs(f"{work}/{kind}/Content/Images")
    for i in range(count):
        open(f"{work}/{kind}/Content/Images/p{i}.tga", "wb").write(tga)
        open(f"{work}/{kind}/Content/Objects/Ships/o{i}.lwo", "wb").write(lwo2(name.format(i)))
PY
cd "$work"
seconds() { date +%s.%N; }
# The fastest of five runs of each, taken in turns (a shared machine is noisy).
declare -A best
for rep in 1 2 3 4 5; do
    for kind in direct author; do
        rm -rf "out-$kind" && mkdir "out-$kind"
        start=$(seconds)
        "$exe" --to=LWO2 --destDir="out-$kind" "$kind"/Content/Objects/Ships/*.lwo >"$kind.log"
        t=$(awk -v a="$start" -v b="$(seconds)" 'BEGIN { print b - a }')
        best[$kind]=$(awk -v t="$t" -v b="${best[$kind]:-1e9}" 'BEGIN { print (t < b ? t : b) }')
    done
done
for kind in direct author; do
    found=$(grep -c "^Using pixel resolution 4x2" "$kind.log" || true)
    mkdir "each-$kind"
    start=$(seconds)
    printf '%s\0' "$kind"/Content/Objects/Ships/*.lwo | xargs -0 -n1 -P2 "$exe" --to=LWO2 --destDir="each-$kind" >/dev/null
    each=$(awk -v a="$start" -v b="$(seconds)" 'BEGIN { print b - a }')
    printf '%-7s %5d of %d pictures found; one run %.3f s (fastest of 5), a run per file (xargs -P2) %.3f s\n' \
        "$kind" "$found" "$count" "${best[$kind]}" "$each"
done
awk -v a="${best[direct]}" -v b="${best[author]}" 'BEGIN { printf "the author'"'"'s names cost %+.1f%% in one run\n", 100 * (b - a) / a }'
