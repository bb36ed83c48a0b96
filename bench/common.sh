# Shared pieces of the benchmark scripts: the build, a scratch folder, timing and memory.
set -euo pipefail
cd "$(dirname "$0")/.."
script/build native >/dev/null
BIN=$PWD/build/bin
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/labeldock-bench.XXXXXX")
bench_pids=()
bench_cleanup() {
  for p in "${bench_pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap bench_cleanup EXIT

# Seconds (with fractions) that a command takes.
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
# Peak resident memory of a live process, in KiB.
peak_kib() { awk '/VmHWM/ {print $2}' "/proc/$1/status"; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }
# free_port, listening, wait_port, wait_for SECONDS COMMAND...
. script/helpers.sh
