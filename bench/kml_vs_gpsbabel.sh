#!/usr/bin/env bash
# Whole-process comparison: `nivra --kml` against gpsbabel's KML writer on the
# same log of 28800 GGA+RMC fixes (eight hours at one fix a second), measured
# by hyperfine. The target is Nivra at least 20 times faster.
#
#   bench/kml_vs_gpsbabel.sh [BUILD_DIR]     (default: build)
#
# Needs hyperfine, gpsbabel and python3 (scripts/setup installs them) and a
# built `nivra` in BUILD_DIR. Exits 1 when the target is missed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
nivra=$build/nivra
target=20

for tool in hyperfine gpsbabel python3; do
  command -v "$tool" >/dev/null || { echo "kml_vs_gpsbabel: $tool is missing (scripts/setup)" >&2; exit 2; }
done
[ -x "$nivra" ] || { echo "kml_vs_gpsbabel: no $nivra; build it first" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/drive.nme
python3 "$here/gen_bench_log.py" "$log" 28800

# Both programs must succeed and produce a document before they are timed.
"$nivra" --kml "$log" -o "$work/nivra.kml" >/dev/null
gpsbabel -i nmea -f "$log" -o kml,points=0 -F "$work/gpsbabel.kml"
echo "log: $(wc -l <"$log") lines; nivra.kml $(wc -c <"$work/nivra.kml") bytes," \
     "gpsbabel.kml $(wc -c <"$work/gpsbabel.kml") bytes"

hyperfine --warmup 3 --min-runs 15 --export-json "$work/result.json" \
  --command-name "nivra --kml" "'$nivra' --kml '$log' -o '$work/nivra.kml'" \
  --command-name "gpsbabel" "gpsbabel -i nmea -f '$log' -o kml,points=0 -F '$work/gpsbabel.kml'"

python3 - "$work/result.json" "$target" <<'EOF'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
target = float(sys.argv[2])
nivra, babel = results["nivra --kml"], results["gpsbabel"]
# Medians: a loaded machine throws the odd slow run into either side.
ratio = babel["median"] / nivra["median"]
print("nivra --kml median %.1f ms, gpsbabel median %.1f ms: nivra is %.1fx faster (target %gx)"
      % (nivra["median"] * 1000, babel["median"] * 1000, ratio, target))
sys.exit(0 if ratio >= target else 1)
EOF
