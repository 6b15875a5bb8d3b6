#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build-fuzz and runs them under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   scripts/fuzz.sh <target> [seconds] [libFuzzer options...]   one target, 600 s unless told
#   scripts/fuzz.sh --ci [seconds]                              every target for that long (15 s),
#                                                               two at a time, then every regression input
#   scripts/fuzz.sh --regressions                               the regression inputs only
#   scripts/fuzz.sh --list                                      the targets
#
# A run starts from the committed seeds (tests/fuzz/corpus/<target>) and keeps what it finds in
# build-fuzz/corpus/<target>; the GenICam target also reads the sample descriptions of
# ../shared/genicam-samples when they are there. An input that crashes is left in
# build-fuzz/findings/<target>/; once its fault is fixed, it belongs in tests/fuzz/regressions/<target>/.
# Any sanitizer report, failed check, leak, timeout (10 s an input) or memory use past 2 GiB fails.
set -uo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz
jobs=${KIVO_FUZZ_JOBS:-2}
targets=(gvcp_command gvcp_ack gvsp gvsp_coalesced gvsp_differential gvsp_ring rtp sap codec genicam_xml genicam_formula chunks multipart userset_file
         softdevice_gvcp softdevice_genapi softdevice_memory)

usage() { sed -n '5,10p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

build_targets() {
  command -v clang++ >/dev/null || { echo "clang++ is missing (scripts/setup.sh installs it)"; return 1; }
  cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null && ninja -C "$build" -j "$((jobs + 1))" --quiet
}

# The options every run takes; the GenICam target's inputs are whole descriptions, the user-set
# target's whole set files.
options() {
  local target=$1 max_len=4096
  [ "$target" = genicam_xml ] && max_len=65536
  [ "$target" = userset_file ] && max_len=65536
  echo "-max_len=$max_len -timeout=10 -rss_limit_mb=2048 -print_final_stats=1"
}

# Extra seed folders: the shared sample descriptions (the small ones) for the GenICam target.
extra_seeds() {
  [ "$1" = genicam_xml ] || return 0
  local samples=../shared/genicam-samples
  ls "$samples"/*.xml >/dev/null 2>&1 || return 0
  mkdir -p "$build/samples"
  cp -f "$samples"/*.xml "$build/samples/"
  echo "$build/samples"
}

fuzz() {   # target seconds [options...] -> the run's exit status; its log in build-fuzz/logs/<target>
  local target=$1 seconds=$2
  shift 2
  mkdir -p "$build/corpus/$target" "$build/findings/$target" "$build/logs"
  # shellcheck disable=SC2046
  "$build/fuzz_$target" "$build/corpus/$target" tests/fuzz/corpus/"$target" $(extra_seeds "$target") \
    $(options "$target") -max_total_time="$seconds" -artifact_prefix="$build/findings/$target/" "$@" \
    >"$build/logs/$target" 2>&1
}

summary() {   # target status -> one line, and the end of the log on failure
  local target=$1 status=$2 log="$build/logs/$1"
  local runs coverage
  runs=$(grep -ao 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
  coverage=$(grep -ao 'cov: [0-9]*' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "fuzz_$target: ${runs:-?} inputs, ${coverage:-cov: ?}"
  else
    echo "fuzz_$target: FAILED (inputs kept in $build/findings/$target/)"
    grep -av '^#' "$log" | tail -40
  fi
}

regressions() {   # runs every committed regression input once
  local status=0 target inputs
  for target in "${targets[@]}"; do
    inputs=(tests/fuzz/regressions/"$target"/*)
    [ -e "${inputs[0]}" ] || continue
    if "$build/fuzz_$target" $(options "$target") "${inputs[@]}" >"$build/logs/$target.regressions" 2>&1; then
      echo "fuzz_$target: ${#inputs[@]} regression inputs pass"
    else
      echo "fuzz_$target: a regression input FAILED"
      tail -40 "$build/logs/$target.regressions"
      status=1
    fi
  done
  return $status
}

ci() {   # every target for $1 seconds, $jobs at a time, then the regressions
  local seconds=$1 status=0 target
  local -A pids=()
  mkdir -p "$build/logs"
  for target in "${targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
    fuzz "$target" "$seconds" &
    pids[$target]=$!
  done
  for target in "${targets[@]}"; do
    wait "${pids[$target]}"
    local result=$?
    summary "$target" $result
    [ $result -eq 0 ] || status=1
  done
  regressions || status=1
  return $status
}

case "${1:-}" in
  ""|-h|--help) usage ;;
  --list) printf '%s\n' "${targets[@]}" ;;
  --ci) build_targets && ci "${2:-15}" ;;
  --regressions) build_targets && mkdir -p "$build/logs" && regressions ;;
  *)
    target=$1
    [[ " ${targets[*]} " == *" $target "* ]] || { echo "no fuzz target '$target' (scripts/fuzz.sh --list)"; exit 2; }
    seconds=${2:-600}
    shift $(( $# >= 2 ? 2 : 1 ))
    build_targets || exit 1
    echo "fuzz_$target for $seconds s (log: $build/logs/$target)"
    fuzz "$target" "$seconds" "$@"
    status=$?
    summary "$target" $status
    exit $status
    ;;
esac
