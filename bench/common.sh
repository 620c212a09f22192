# Sourced by the benchmark scripts.

# The developer's Python scripts (tools/) import the server's package from server/.
checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PYTHONPATH="$checkout/server:$checkout/tools${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1

median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# A scratch folder in $work and the local servers started into $servers, both gone at exit.
make_bench_work() {
  work=$(mktemp -d)
  servers=()
  trap 'for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT
}

# run_wine_bench <build dir> <target> <processes> [arguments...]: configures the tree if
# needed, builds the target and the module it loads, and runs the program in that many
# fresh processes, each from a scratch folder.
run_wine_bench() {
  local root build=$1 target=$2 processes=$3 workdir status=0
  shift 3
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  mkdir -p "$build"
  build=$(cd "$build" && pwd)
  [ -f "$build/build.ninja" ] || (cd "$root" && cmake --preset mingw -B "$build" >/dev/null)
  workdir=$(mktemp -d)
  if ! cmake --build "$build" --target "$target" Murmelon_W_7_D >"$workdir/build.log" 2>&1; then
    cat "$workdir/build.log" >&2
    rm -rf "$workdir"
    return 1
  fi
  for _ in $(seq "$processes"); do
    (cd "$workdir" && timeout 300 "$root/tools/wine-run" "$build/bin/$target.exe" "$@") || { status=1; break; }
  done
  rm -rf "$workdir"
  return $status
}
