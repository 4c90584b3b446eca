#!/usr/bin/env bash
# Whole-process comparison: `nivra --kml` against gpsbabel's KML writer
# (`gpsbabel -i nmea -f LOG -o kml,points=0`) on five logs of the same
# eight-hour drive, written by bench/gen_bench_log.py:
#
#   drive     28800 GGA+RMC fixes, one a second
#   rmc       RMC only
#   receiver  GGA, GSA, three GSV, RMC and VTG every second, as receivers write
#   10hz      GGA+RMC ten times a second (288000 fixes)
#   gap       GGA+RMC with the receiver off for two hours in the middle
#
# Each log is timed by hyperfine (warm-up, at least 10 runs of each program,
# the two side by side in one run so that a busy machine slows both alike);
# the table gives the medians and their ratio. The target is Nivra at least
# 60 times faster on every log. First comes a start-up line: a C++ hello world
# built on the spot beside `nivra --version` and the conversion of an empty
# log (the floor a process start can reach on this machine, and what Nivra's
# start costs above it).
#
#   bench/kml_vs_gpsbabel.sh [BUILD_DIR] [LOG_KIND...]   (default: build, all five)
#
# Needs hyperfine, gpsbabel, python3 and a C++ compiler (scripts/setup installs
# them) and a built `nivra` in BUILD_DIR. Exits 1 when a log misses the target.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=${1:-$root/build}
shift || true
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(drive rmc receiver 10hz gap)
nivra=$build/nivra
target=60

for tool in hyperfine gpsbabel python3 c++; do
  command -v "$tool" >/dev/null || { echo "kml_vs_gpsbabel: $tool is missing (scripts/setup)" >&2; exit 2; }
done
[ -x "$nivra" ] || { echo "kml_vs_gpsbabel: no $nivra; build it first" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "cores: $(nproc); load: $(cut -d' ' -f1-3 /proc/loadavg)"

# Start-up: a hello world as the machine's C++ compiler builds it by default.
printf '#include <iostream>\nint main() { std::cout << "hello\\n"; }\n' >"$work/hello.cpp"
c++ -O2 -o "$work/hello" "$work/hello.cpp"
: >"$work/empty.nme" # refused ("holds no valid fix", status 1): hence -i
hyperfine -N -i --warmup 5 --min-runs 50 --style none --export-json "$work/startup.json" \
  --command-name hello "$work/hello" --command-name "nivra --version" "'$nivra' --version" \
  --command-name "nivra --kml empty" "'$nivra' --kml '$work/empty.nme' -o '$work/empty.kml'" >/dev/null
python3 - "$work/startup.json" <<'EOF'
import json, sys
r = {x["command"]: x["median"] * 1000 for x in json.load(open(sys.argv[1]))["results"]}
h, n, e = r["hello"], r["nivra --version"], r["nivra --kml empty"]
print("start-up: hello world %.2f ms, nivra --version %.2f ms (+%.2f ms), "
      "--kml of an empty log %.2f ms (+%.2f ms)" % (h, n, n - h, e, e - h))
EOF
for kind in "${kinds[@]}"; do
  log=$work/$kind.nme
  python3 "$here/gen_bench_log.py" "$log" --kind "$kind"
  # Both programs must succeed and produce a document before they are timed.
  "$nivra" --kml "$log" -o "$work/nivra.kml" >/dev/null
  gpsbabel -i nmea -f "$log" -o kml,points=0 -F "$work/gpsbabel.kml"
  grep -q "<coordinates>" "$work/nivra.kml" || { echo "kml_vs_gpsbabel: nivra wrote no track for $kind" >&2; exit 1; }
  echo "== $kind: $(wc -l <"$log") lines, $(wc -c <"$log") bytes;" \
       "nivra.kml $(wc -c <"$work/nivra.kml") bytes, gpsbabel.kml $(wc -c <"$work/gpsbabel.kml") bytes"
  hyperfine -N --warmup 2 --min-runs 10 --style basic --export-json "$work/$kind.json" \
    --command-name "nivra" "'$nivra' --kml '$log' -o '$work/nivra.kml'" \
    --command-name "gpsbabel" "gpsbabel -i nmea -f '$log' -o kml,points=0 -F '$work/gpsbabel.kml'"
done

python3 - "$work" "$target" "${kinds[@]}" <<'EOF'
import json, os, sys
work, target, kinds = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
missed = []
print("\n%-9s %10s %12s %8s" % ("log", "nivra ms", "gpsbabel ms", "ratio"))
for kind in kinds:
    results = {r["command"]: r for r in json.load(open(os.path.join(work, kind + ".json")))["results"]}
    # Medians: a loaded machine throws the odd slow run into either side.
    nivra, babel = results["nivra"]["median"], results["gpsbabel"]["median"]
    ratio = babel / nivra
    print("%-9s %10.1f %12.1f %7.1fx" % (kind, nivra * 1000, babel * 1000, ratio))
    if ratio < target:
        missed.append(kind)
print("target %gx: %s" % (target, "met on every log" if not missed else "missed on " + ", ".join(missed)))
sys.exit(1 if missed else 0)
EOF
