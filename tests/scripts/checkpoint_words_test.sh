#!/usr/bin/env bash
# shellcheck disable=SC2034  # sets the variables the sourced functions read
# The checkpoint command's words for a run: what each number means where it is shown, the name as the summary and
# the requests show it, and the name check that decides whether a run was taken. Nothing is built or run; the
# server's output and the status reader's journal are small fixtures.
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/checkpoint-common.sh
. "$root/scripts/checkpoint-common.sh"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# The agent's exit code says how it ended, not whether the checkpoint was taken; the status block holds the flow's
# result (the requester's: 0, 1 or an HRESULT, in hex with its name) or a provider service's failure.
while IFS='|' read -r what value want; do
  case $what in
    exit) got=$(agent_code_name "$value") ;;
    block) got=$(status_block_words "$value") ;;
  esac
  [ "$got" = "$want" ] || fail "$what $value: [$got], not [$want]"
done <<'ROWS'
exit|0|0 (the agent ran to its end)
exit|-1002|-1002 (no server answered the ping, or the wait for the frozen moment failed)
block|0|0 (the flow's result: the snapshot succeeded)
block|1|1 (the flow's result: a failed snapshot, a VSS wait or a writer's state failed)
block|-2147212538|0x80042306 VSS_E_PROVIDER_VETO (the flow's result: the HRESULT the requester failed with)
block|-2147212524|0x80042314 VSS_E_HOLD_WRITES_TIMEOUT (the flow's result: the HRESULT the requester failed with)
block|-2147467263|0x80004001 E_NOTIMPL (the flow's result: the HRESULT the requester failed with)
block|-2147212200|0x80042458 (unnamed) (the flow's result: the HRESULT the requester failed with)
block|-1001|-1001 (the flow's result: the volumes were not frozen in time)
block|-1006|-1006 (the provider service is not registered)
ROWS

# A run whose agent ran to its end (exit code 0) but whose block holds a failure is FAILED with the block's words
# as its cause, and its per-run line says nothing of "taken".
name="n"
port=8080
inserts=1
name_seen=1
for row in "0 end 0|" "0 end 1|the status block holds 1 (the flow's result: a failed snapshot" \
  "0 end -2147212538|the status block holds 0x80042306 VSS_E_PROVIDER_VETO" "0 end none|the status block was never written"; do
  journal=${row%%|*}
  want=${row#*|}
  printf '0 ready\n%s\r\n' "$journal" >"$dir/reader.txt"  # under Wine the journal's lines end in CR LF
  shown=$(show_status_block "$dir/reader.txt")
  show_status_block "$dir/reader.txt" >/dev/null
  causes=""
  block_and_server_causes
  [[ $shown == *taken* ]] && fail "$journal: the block shown as [$shown]"
  if [ -z "$want" ]; then
    [ -z "$causes" ] || fail "$journal: causes [$causes] for a block of 0"
  else
    [[ $causes == "$want"* ]] || fail "$journal: causes [$causes], not starting [$want]"
    line=$(summarize_run "run 1, Vantrell" "$causes" "" "")
    [[ $line == '== run 1, Vantrell "n": FAILED: '"$want"* ]] || fail "$journal: summary line [$line]"
  fi
done

# The summary shows the name escaped: a name cannot end its quotes early, forge a verdict nor start a line.
forged='": taken | frozen: 0.5 ms | received by: '
while IFS='|' read -r raw want; do
  printf -v raw '%b' "$raw"
  got=$(quoted_name "$raw")
  [ "$got" = "$want" ] || fail "quoted [$raw]: [$got], not [$want]"
done <<'ROWS'
Before the upgrade "v2" \\ 1|"Before the upgrade \"v2\" \\ 1"
line1\nline2\ttab|"line1\nline2\ttab"
a\rb\033[1mc|"a\rb\x1b[1mc"
50% ünï ✓|"50% ünï ✓"
x\u2028y\u202ez|"x\u2028y\u202ez"
|""
ROWS
name=$forged
summary_runs=0
summary_failed=0
summary_lines=()
summarize_run "run 1, Vantrell" "the local server received no insert" "" "" >/dev/null
line=${summary_lines[0]}
want='run 1, Vantrell "\": taken | frozen: 0.5 ms | received by: ": FAILED: the local server received no insert | frozen: n/a | received by: no server'
[ "$line" = "$want" ] || fail "forged name: [$line], not [$want]"
# Read as a reader does: the quoted name ends at the first quote not escaped, and the verdict follows it.
[[ $line =~ ^run\ 1,\ Vantrell\ \"([^\"\\]|\\.)*\":\ FAILED: ]] || fail "forged name: the verdict after the name is not FAILED: $line"
last=$(summarize_all | tail -1)
[ "$last" = 'checkpoint "\": taken | frozen: 0.5 ms | received by: ": FAILED in 1 of 1 runs' ] || fail "whole: [$last]"
name=$'line1\nline2\ttab'
out=$(summarize_run "run 2, Corbeline" "cause" "" ""; summarize_all)
[ "$(grep -c '' <<<"$out")" = 6 ] || fail "a line-feed name broke the summary into more lines: $out"

# A run is taken only when the server received exactly the name: with the line-feed name, a server that received
# only its first line received another name; the bytes themselves decide, whatever the name holds.
token() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | base64 -w0 | tr '/' '-'; }
server() {  # the names the server received, one insert each, as the test server prints them
  local n=1 one
  for one in "$@"; do
    printf 'request %d: GET /KestrumService/AgentServer/ping\n' $n
    printf 'request %d: GET /KestrumService/AgentServer/insertlicensed/4ac10f9fb29b%%2002fc00000001/%s\n' $((n + 1)) \
      "$(token "$one")"
    printf '  MAC addresses: 4ac10f9fb29b 02fc00000001\n  checkpoint name: %s\n' "$one"
    n=$((n + 2))
  done
}
lf=$'line1\nline2\ttab'
while IFS='|' read -r sent got_name want_seen want_cause; do
  printf -v sent '%b' "$sent"
  printf -v got_name '%b' "$got_name"
  server "$got_name" >"$dir/server.out"
  name=$sent
  count_inserts "$dir/server.out" 1
  [ "$inserts" = 1 ] || fail "[$sent]: $inserts inserts counted"
  [ "$name_seen" = "$want_seen" ] || fail "[$sent] sent, [$got_name] received: name_seen $name_seen"
  causes=""
  block_failure=""
  block_and_server_causes
  [ "$causes" = "$want_cause" ] || fail "[$sent] sent, [$got_name] received: causes [$causes], not [$want_cause]"
done <<'ROWS'
line1\nline2\ttab|line1|0|the local server received another name, "line1"
line1\nline2\ttab|line1\nline2\ttab|1|
line1|line1\nline2\ttab|0|the local server received another name, "line1\nline2\ttab"
a "b" \\ 1|a "b" \\ 1|1|
a "b" \\ 1|a "b" 1|0|the local server received another name, "a \"b\" 1"
ünï ✓|ünï ✓|1|
trailing\n|trailing|0|the local server received another name, "trailing"
||1|
ROWS
# The requests as shown: the name decoded from the insert's path and quoted, no raw line of it.
server "$lf" >"$dir/server.out"
shown=$(show_requests "$dir/server.out" 1)
[[ $shown == *'    checkpoint name: "line1\nline2\ttab"'* ]] || fail "requests shown: $shown"
[ "$(grep -c '' <<<"$shown")" = 5 ] || fail "requests shown in more lines than requests: $shown"
grep -q '^line2' <<<"$shown" && fail "the name's second line shown as a line of its own: $shown"

# The launcher's dialog takes one line: a name it cannot send as given is refused for that run, saying why.
while IFS='|' read -r raw want; do
  printf -v raw '%b' "$raw"
  got=$(dialog_refusal "$raw")
  [[ $got == *"$want"* ]] || fail "dialog refusal of [$raw]: [$got]"
  [ -z "$want" ] && [ -n "$got" ] && fail "dialog refusal of [$raw]: [$got], none expected"
done <<'ROWS'
line1\nline2\ttab|holds a line feed
ends\r|ends with a carriage return
tab\there|
a\rb|
Before the upgrade "v2" \\ 1|
ROWS

[ "$failures" = 0 ] && echo "checkpoint words: all cases passed"
exit $((failures != 0))
