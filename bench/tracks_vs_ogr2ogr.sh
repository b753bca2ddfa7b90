#!/usr/bin/env bash
# kaldo tracks into a GeoPackage against ogr2ogr loading the same points,
# with the same fields, from a CSV file into a GeoPackage with the same
# layer options (fid, geom, spatial index) and transaction size (one
# transaction), measured in the same run, alternately.
#   bench/tracks_vs_ogr2ogr.sh [BUILD_DIR] [MESSAGES] [ROUNDS]
# MESSAGES .sbd files of 250 reports each (default 4000: one million
# reports), ROUNDS runs of each (default 3). Prints both medians and their
# ratio; exits 1 when kaldo tracks takes more than 1.3 times ogr2ogr's.
# Times the `kaldo tracks` program when it is built, else tracks_bench,
# which runs the same pieces on one thread.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build-bench}")
messages=${2:-4000}
rounds=${3:-3}
bench_tool=$build/bench/tracks_bench
[[ -x $bench_tool ]] || { echo "build $bench_tool first (-DKALDO_BUILD_BENCH=ON)" >&2; exit 2; }
command -v ogr2ogr >/dev/null || { echo "ogr2ogr is not installed (gdal-bin)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bench_tool" generate "$work/in" 20 "$messages"
# The points ogr2ogr loads: the same decoded points, written by kaldo's
# own CSV output; the .csvt gives their types (time as a date-time).
"$bench_tool" run "$work/in" "$work/points.csv" 2>/dev/null
echo 'CoordX,CoordY,String,DateTime,Real,Real,Real,Real,Integer,String,Integer,Integer,String' \
  > "$work/points.csvt"

if [[ -x $build/tool/kaldo ]] && "$build/tool/kaldo" tracks --help >/dev/null 2>&1; then
  ours=("$build/tool/kaldo" tracks --quiet -o "$work/ours.gpkg" "$work/in")
  label="kaldo tracks"
else
  ours=("$bench_tool" run "$work/in" "$work/ours.gpkg")
  label="tracks_bench run"
fi
theirs=(ogr2ogr -f GPKG "$work/theirs.gpkg" "$work/points.csv" -nln positions -nlt POINT
        -a_srs EPSG:4326 -oo X_POSSIBLE_NAMES=X -oo Y_POSSIBLE_NAMES=Y -oo KEEP_GEOM_COLUMNS=NO
        -lco FID=fid -lco GEOMETRY_NAME=geom -lco SPATIAL_INDEX=YES -gt unlimited)

seconds() {  # runs "$@", prints its wall time in seconds
  local t0=${EPOCHREALTIME}
  "$@" >/dev/null 2>&1
  awk -v a="$t0" -v b="${EPOCHREALTIME}" 'BEGIN {printf "%.3f", b - a}'
}
declare -a ours_s theirs_s
for ((i = 0; i < rounds; i++)); do
  rm -f "$work/ours.gpkg" "$work/theirs.gpkg"
  ours_s+=("$(seconds "${ours[@]}")")
  theirs_s+=("$(seconds "${theirs[@]}")")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
m_ours=$(median "${ours_s[@]}")
m_theirs=$(median "${theirs_s[@]}")
count() { ogrinfo -so "$1" positions | awk -F': ' '/Feature Count/ {print $2}'; }
points=$(count "$work/ours.gpkg")
their_points=$(count "$work/theirs.gpkg")
echo "reports:        $((messages * 250)) in $messages .sbd files"
echo "$label:  ${ours_s[*]} s (median $m_ours s), $points points"
echo "ogr2ogr:        ${theirs_s[*]} s (median $m_theirs s), $their_points points"
awk -v a="$m_ours" -v b="$m_theirs" -v p="$points" 'BEGIN {
  printf "ratio:          %.2f x ogr2ogr (goal: at most 1.30); %.0f points/s\n", a / b, p / a
  exit (a / b > 1.3)
}'
