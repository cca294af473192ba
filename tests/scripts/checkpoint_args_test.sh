#!/usr/bin/env bash
# The checkpoint command's arguments and codes: the name a call runs with or its refusal, and the words for the
# agent's exit codes. Nothing is built or run beyond the argument check.
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/checkpoint-common.sh"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# expected exit code, expected name (for exit code 0), arguments...
cases=(
  "0|$checkpoint_default_name|"
  "0||''"
  "0|a \"b\" \\ c|'a \"b\" \\ c'"
  "0|--help|-- --help"
  "0|-|-"
  "2||-x"
  "2||name --wine"
  "2||--wine name"
  "2||a b"
  "2||'' --wine"
)
args=()
for row in "${cases[@]}"; do
  IFS='|' read -r want_rc want_name words <<<"$row"
  eval "args=($words)"
  got=$(checkpoint_parse_args "${args[@]}" >/dev/null 2>&1; printf '%s' "$name")
  rc=$?
  [ "$rc" = "$want_rc" ] || fail "($words): exit code $rc, not $want_rc"
  if [ "$want_rc" = 0 ] && [ "$got" != "$want_name" ]; then fail "($words): name [$got], not [$want_name]"; fi
done

# The script itself: --help prints the usage with the default name, an option after the name is refused before
# anything is installed or built, whichever of the two programs it is meant for.
out=$(bash "$root/scripts/checkpoint.sh" --help 2>&1)
rc=$?
[ "$rc" = 0 ] || fail "--help: exit code $rc"
[[ $out == *usage:*"Without a name the checkpoint is named: $checkpoint_default_name"* ]] || fail "--help printed: $out"
for words in "name --wine" "--wine name --wine" "--wine a b"; do
  out=$(timeout 10 bash "$root/scripts/checkpoint.sh" $words 2>&1)
  rc=$?
  [ "$rc" = 2 ] || fail "checkpoint.sh $words: exit code $rc, not 2"
  [[ $out == *building* ]] && fail "checkpoint.sh $words: built before refusing"
done

# A second --wine is refused as what it is, not as one that came after the name.
out=$(timeout 10 bash "$root/scripts/checkpoint.sh" --wine --wine x 2>&1)
[[ $out == *"--wine given more than once"* ]] || fail "checkpoint.sh --wine --wine x said: $out"

# The agent's exit codes from the 8 bits the shell keeps.
while IFS='|' read -r byte want; do
  got=$(agent_exit_name "$byte")
  [ "$got" = "$want" ] || fail "exit code $byte: [$got], not [$want]"
done <<'ROWS'
0|0 (the agent ran to its end)
1|1 (usage error)
18|-1006 (the provider service is not registered)
17|-1007 (the provider service did not start)
22|-1002 (no server answered the ping, or the wait for the frozen moment failed)
143|143 (ended by signal 15)
77|77
ROWS

[ "$failures" = 0 ] && echo "checkpoint arguments: all cases passed"
exit $((failures != 0))
