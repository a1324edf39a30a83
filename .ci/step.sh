# Sourced by .ci/run and .ci/cross: `step NAME COMMAND...` runs one step under a heading and says
# how many seconds it took; a step that fails stops the run (set -e) with its own output above.
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  echo "-- $name: passed in $((SECONDS - start)) s"
}

# CTest's line per test would bury the log: only the summary shows, and everything when a test
# failed.
quiet_ctest() {
  local log
  log=$(mktemp)
  if ctest "$@" --output-on-failure --no-tests=error > "$log" 2>&1; then
    sed -n -e '/tests passed/p' -e '/^Total Test time/p' -e '/did not run:/,$p' "$log"
    rm -f "$log"
  else
    cat "$log"
    rm -f "$log"
    return 1
  fi
}
