#!/usr/bin/env bash
# The bash completion of tarnwick answers a table of command lines: each row is the words
# before the cursor, the word being completed, and the sorted answer expected. Runs in a
# scratch folder holding one file and one folder, so that file and folder answers are exact.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/completion/tarnwick" || exit 1

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir keys && touch BL1.bin key.spk

failures=0
# check "<words before the cursor>" "<word at the cursor>" "<expected, sorted, space-separated>"
check() {
  local -a before
  read -ra before <<<"$1"
  COMP_WORDS=(tarnwick "${before[@]}" "$2")
  COMP_CWORD=$((${#before[@]} + 1))
  _tarnwick
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  got=${got% }
  if [ "$got" != "$3" ]; then
    echo "FAIL: tarnwick $1 [$2]: got '$got', expected '$3'"
    failures=$((failures + 1))
  fi
}

check ""                        ""       "attach help keys secure sign verify"
check "--json"                  "s"      "secure sign"
check "--quiet"                 "--v"    "--version"
check "keys"                    ""       "customer export import maker"
check "keys import key.spk"     ""       "customer maker"
check "keys export"             "--f"    "--force --format"
check "keys export k --format"  ""       "der pem"
check "attach x.bin"            "--s"    "--set --signature"
check "keys customer"           ""       ""
check "keys maker --dir"        ""       "keys"
check "keys maker"              "--s"    "--set"
check "keys maker --set"        ""       "v1.1 v2.1"
check "sign --set ="            "v1"     "v1.1"
check "sign --set"              "="      "v1.1 v2.1"
check "verify"                  "--set=v2" "--set=v2.1"
check "secure BL1.bin --maker"  ""       "keys"
check "secure BL1.bin -o x"     "--b"    "--build-info"
check "secure"                  "--p"    "--pad"
check "sign"                    "--"     "--digest-out --external --force --help --hex --json --key --output --quiet --set"
check "sign -o out --key"       "k"      "key.spk keys"
check "verify --efuse"          "B"      "BL1.bin"
check "verify"                  "--e"    "--efuse"
check "verify --next-key key.spk" ""     "BL1.bin key.spk keys"
check "verify --"               "--k"    ""
check "verify -- --set"         ""       "BL1.bin key.spk keys"
check "help"                    "s"      "secure sign"
check "help sign"               ""       ""

complete -p tarnwick | grep -q -- '-F _tarnwick' || { echo "FAIL: not registered"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "completion: every row passed"
exit "$failures"
