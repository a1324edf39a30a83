# Sourced by .ci/run and .ci/cross: `step NAME COMMAND...` runs one step under a heading and says
# how many seconds it took, and how many seconds of CPU its processes used (on a loaded machine
# the first grows, the second hardly); a step that fails stops the run (set -e) with its own
# output above.
step() {
  local name=$1 start=$SECONDS cpu_start
  shift
  children_cpu
  cpu_start=$cpu
  echo "== $name"
  "$@"
  children_cpu
  echo "-- $name: passed in $((SECONDS - start)) s ($((cpu - cpu_start)) s CPU)"
}

# Sets cpu to the seconds of CPU, user and system, that this shell's finished children used.
# (`times` has to run in this shell, not in a subshell of its own.)
children_cpu() {
  local own children_user children_system
  times > "${TMPDIR:-/tmp}/ci-times.$$"
  { read -r own; read -r children_user children_system; } < "${TMPDIR:-/tmp}/ci-times.$$"
  rm -f "${TMPDIR:-/tmp}/ci-times.$$"
  cpu=$(echo "$children_user $children_system" | awk '{
    total = 0
    for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); total += t[1] * 60 + t[2] }
    printf "%d\n", total
  }')
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
