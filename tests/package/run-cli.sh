#!/usr/bin/env bash
# qor_pub and qor_sub against the broker fixture: what the subscriber prints
# for messages with properties, over plain TCP and TLS, and each exit code.
#   run-cli.sh QOR_PUB QOR_SUB
set -euo pipefail
pub=$1
sub=$2
topic="qortest/cli/$$"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

expect_exit() {  # expect_exit CODE COMMAND...: runs it and checks its exit code
  local want=$1 got=0
  shift
  "$@" >"$work/last" 2>&1 || got=$?
  if [[ $got -ne $want ]]; then echo "exit $got, not $want: $*"; cat "$work/last"; exit 1; fi
}

"$sub" -t "$topic/#" -q 1 -v -C 3 -W 20 >"$work/out" 2>"$work/err" &
subscriber=$!
# Retained, the probe reaches the subscriber whenever its subscription comes:
# once it is printed, the subscription is in place.
expect_exit 0 "$pub" -t "$topic/probe" -m probe -r -q 1
for _ in $(seq 200); do
  grep -q "probe" "$work/out" && break
  sleep 0.05
done
expect_exit 0 "$pub" -t "$topic/a" -m "plain" -q 1 --user-property k=v --content-type text/plain
expect_exit 0 "$pub" -t "$topic/b" -m "over tls" -q 2 --tls --insecure
wait "$subscriber" || { echo "qor_sub ended with $?"; cat "$work/err"; exit 1; }
expected=$(printf '%s\n' "$topic/probe probe" "$topic/a plain" "$topic/b over tls")
if [[ "$(cat "$work/out")" != "$expected" ]]; then
  echo "qor_sub printed:"; cat "$work/out"; echo "expected:"; echo "$expected"; exit 1
fi
"$pub" -t "$topic/probe" -m "" -r -q 1  # the retained probe goes

expect_exit 3 "$sub" -t "$topic/silent" -C 1 -W 1
expect_exit 2 "$pub" -t "$topic/a"
expect_exit 2 "$sub" -q 1
expect_exit 1 "$pub" -t "$topic/a" -m x -p 1 -u nobody
expect_exit 1 "$pub" -t "$topic/a" -m x -p 1884 -u rw -P wrong
expect_exit 0 "$pub" -t "$topic/a" -m x -p 1884 -u rw -P plumhouse -q 1
echo "cli: published, subscribed and every exit code as documented"
