#!/usr/bin/env bash
# The examples: against the broker fixture the subscriber prints what the
# publisher sends, and a requester gets its responder's answer; against a
# private broker that is killed and restarted, the subscriber's log shows the
# reconnect and it subscribes again by itself.
#   run-examples.sh SUBSCRIBE PUBLISH FIXTURE_LOG REQUEST_RESPONSE
set -euo pipefail
subscribe=$1
publish=$2
fixture_log=$3
request_response=$4
topic="qortest/example/$$"
work=$(mktemp -d)
broker=""
trap 'kill "$sub" 2>/dev/null || true; [[ -n "$broker" ]] && kill -9 "$broker" 2>/dev/null; rm -rf "$work"' EXIT

wait_for() {  # wait_for FILE PATTERN: up to 10 s; else what the subscriber and the broker logged
  for _ in $(seq 200); do
    grep -q "$2" "$1" && return 0
    sleep 0.05
  done
  echo "no \"$2\" in $1:"; cat "$1"
  echo "--- subscriber's log:"; cat "$work/log"
  [[ -f "$work/broker.log" ]] && { echo "--- broker's log:"; cat "$work/broker.log"; }
  return 1
}

"$subscribe" "$topic" --seconds 10 >"$work/out" 2>"$work/log" &
sub=$!
for _ in $(seq 100); do
  grep -q "SUBACK packet_id=1" "$work/log" && break
  sleep 0.05
done
"$publish" "$topic" "hello from the example"
for _ in $(seq 100); do
  grep -q "hello from the example" "$work/out" && break
  sleep 0.05
done
kill -INT "$sub"
wait "$sub"
if ! grep -qx "$topic hello from the example" "$work/out"; then
  echo "the subscriber printed:"; cat "$work/out"; echo "its log:"; cat "$work/log"
  echo "the broker fixture's log:"; tail -n 60 "$fixture_log"
  exit 1
fi
grep -q "Disconnected by user" "$work/log"
echo "examples: message delivered"

"$request_response" serve "$topic/ask" >"$work/serve" 2>&1 &
server=$!
wait_for "$work/serve" "serving"
answer=$("$request_response" ask "$topic/ask" "ping")
kill -INT "$server"
wait "$server"
[[ "$answer" == "re: ping" ]] || { echo "the requester printed: $answer"; cat "$work/serve"; exit 1; }
echo "examples: the request was answered"

# A broker of our own, killed under the subscriber and started again, on a
# port below the ephemeral range that nothing answers on.
port=$((20000 + RANDOM % 12000))
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((20000 + RANDOM % 12000)); done
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_type all\n' $port >"$work/broker.conf"
chmod -R a+rX "$work"
start_broker() {
  mosquitto -c "$work/broker.conf" >>"$work/broker.log" 2>&1 &
  broker=$!
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0; sleep 0.05; done
  return 1
}
start_broker
: >"$work/out"
"$subscribe" "$topic" 127.0.0.1 $port --seconds 20 >"$work/out" 2>"$work/log" &
sub=$!
wait_for "$work/log" "SUBACK packet_id=1"
kill -9 "$broker"
wait "$broker" 2>/dev/null || true
wait_for "$work/log" "Reconnect attempt 1 in 1s"
start_broker
wait_for "$work/log" "Reconnected successfully"
wait_for "$work/log" "SUBACK packet_id=2"
"$publish" "$topic" "after the restart" 127.0.0.1 $port
wait_for "$work/out" "after the restart"
kill -INT "$sub"
wait "$sub"
echo "examples: the subscriber reconnected and received again"
