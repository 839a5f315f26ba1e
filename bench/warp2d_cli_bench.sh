#!/usr/bin/env bash
# Whole-process timing of `warp2d render` beside ImageMagick's Shepards
# distortion, in the same hyperfine run: a 1920 x 1080 8-bit RGBA PNG read,
# warped and written as PNG by both.
#   warp2d: four shapes (three discs moved and scaled, one bent line) at
#           "Quality" 1, with "Bilinear" and with "Mitchell";
#   ImageMagick 6: -distort Shepards with 40 control points (an 8 x 5 grid
#           displaced by a swirl, as the peer benchmarks under
#           /work/shared/peers define it), with its default elliptical
#           (EWA) filter and with plain bilinear interpolation, on two
#           threads (OMP_NUM_THREADS=16 -limit thread 16: IM 6 sizes its
#           team by rows and gives a 1080-row image two threads so), and
#           with the EWA filter left at its default thread use (one thread
#           at 1080 rows).
# The last lines give each warp2d row's speed-up over each IM row.
# Wall-clock figures on a shared two-core machine drift by 1.5-1.8x between
# runs; compare the rows of one run only.
#   bench/warp2d_cli_bench.sh [RUNS]     (needs build/apps/warp2d/warp2d)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
warp2d="$PWD/build/apps/warp2d/warp2d"
[ -x "$warp2d" ] || { echo "build warp2d first: bash scripts/setup.sh" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
W=1920 H=1080

oiiotool --pattern fill:topleft=0.1,0.2,0.9,1:topright=0.9,0.3,0.2,1:bottomleft=0.2,0.9,0.4,1:bottomright=0.9,0.9,0.1,1 \
  ${W}x${H} 4 --pattern checker:width=60:height=60:color1=0.35,0.35,0.35,1:color2=1,1,1,1 ${W}x${H} 4 --mul \
  -d uint8 -o "$tmp/in.png"

python3 - "$tmp" $W $H <<'PY'
import json, math, sys
tmp, W, H = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
# The peers' swirl: output (x, y) samples the source rotated about the centre
# by 0.75 exp(-(r/s)^2), s = min(W, H) / 2.
def swirl(x, y):
    cx, cy, s = (W - 1) / 2, (H - 1) / 2, min(W, H) / 2
    dx, dy = x - cx, y - cy
    t = 0.75 * math.exp(-(dx * dx + dy * dy) / (s * s))
    return cx + dx * math.cos(t) - dy * math.sin(t), cy + dx * math.sin(t) + dy * math.cos(t)
pairs = []
for j in range(5):
    for i in range(8):
        x, y = i * (W - 1) / 7, j * (H - 1) / 4
        sx, sy = swirl(x, y)
        pairs.append(f"{sx:.2f},{sy:.2f} {x:.2f},{y:.2f}")
open(f"{tmp}/shepards.txt", "w").write(" ".join(pairs))
def circle(cx, cy, r):
    a = r * 0.5522847
    return {"points": [{"point": [cx + r, cy], "in": [0, -a], "out": [0, a]},
                       {"point": [cx, cy + r], "in": [a, 0], "out": [-a, 0]},
                       {"point": [cx - r, cy], "in": [0, a], "out": [0, -a]},
                       {"point": [cx, cy - r], "in": [-a, 0], "out": [a, 0]}], "links": [0, 1, 2, 3]}
shapes = [{"source": circle(W * fx, H * fy, 120), "destination": circle(W * fx + dx, H * fy + dy, 120 * k)}
          for fx, fy, dx, dy, k in [(0.25, 0.3, 40, 25, 1.2), (0.7, 0.3, -30, 40, 0.9), (0.45, 0.65, 50, -30, 1.1)]]
line = lambda y0, bend: {"closed": False, "points": [[W * 0.2, y0], {"point": [W * 0.5, y0 - bend], "in": [-200, 0], "out": [200, 0]}, [W * 0.8, y0]], "links": [0, 1, 2]}
shapes.append({"source": line(H * 0.88, 0), "destination": line(H * 0.88, 60)})
for f in ("Bilinear", "Mitchell"):
    json.dump({"input": "in.png", "output": f"out_{f}.png",
               "parameters": {"Quality": 1, "Filter": f, "Boundary": "Fixed"}, "shapes": shapes},
              open(f"{tmp}/{f}.json", "w"), indent=1)
PY

cd "$tmp"
args="$(cat shepards.txt)"
hyperfine -N -w 1 -r "$runs" --export-markdown "$tmp/table.md" --export-json "$tmp/table.json" \
  -n "warp2d Bilinear" "$warp2d render -q Bilinear.json" \
  -n "warp2d Mitchell" "$warp2d render -q Mitchell.json" \
  -n "ImageMagick Shepards, default EWA filter" \
  "env OMP_NUM_THREADS=16 /usr/bin/convert -limit thread 16 in.png -virtual-pixel transparent -distort Shepards '$args' out_im.png" \
  -n "ImageMagick Shepards, bilinear" \
  "env OMP_NUM_THREADS=16 /usr/bin/convert -limit thread 16 in.png -virtual-pixel transparent -filter Point -interpolate Bilinear -distort Shepards '$args' out_im2.png" \
  -n "ImageMagick Shepards, default EWA filter, default threads" \
  "/usr/bin/convert in.png -virtual-pixel transparent -distort Shepards '$args' out_im3.png"
cat "$tmp/table.md"
python3 - "$tmp/table.json" <<'PY'
import json, sys
rows = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
for w in (n for n in rows if n.startswith("warp2d")):
    for im in (n for n in rows if n.startswith("ImageMagick")):
        print(f"{w} (median {rows[w] * 1e3:.0f} ms) is {rows[im] / rows[w]:.2f}x faster than {im} ({rows[im] * 1e3:.0f} ms)")
PY
