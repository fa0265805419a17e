# The checks of the package tests: each prints "ok" or "FAIL" and its
# description, and is counted. Source it.

passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok   $*"; }
fail() { failed=$((failed + 1)); echo "FAIL $*"; }
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else fail "$what"; fi
}
# finish NAME: the closing line "NAME: N passed, N failed"; status 1 on a failure.
finish() {
  echo "$1: $passed passed, $failed failed"
  [ $failed -eq 0 ]
}
