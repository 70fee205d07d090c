# The bash completion completes the subcommands, their actions and options
# from the program's own help.
# usage: completion_test.sh QUILLANE COMPLETION
set -uo pipefail
quillane=$1
source "$2"
failed=0
complete_words() {
  COMP_WORDS=("$quillane" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillane
  echo "${COMPREPLY[*]}"
}
expect() {
  local expected=$1
  shift
  local got
  got=$(complete_words "$@")
  if [ "$got" != "$expected" ]; then
    echo "completing '$*': got '$got', expected '$expected'"
    failed=1
  fi
}
expect "demo" de
expect "stats" st
expect "convert" conv
expect "--version" --v
expect "--json" stats --j
expect "--apply" recover --a
expect "add" cards a
expect "--media" exceptions add --m
expect "query" reg q
expect "libdeflate" encoder l
all=$(complete_words "")
for subcommand in demo mount convert recover exceptions pack unpack cat info install reg stats cards encoder; do
  case " $all " in *" $subcommand "*) ;; *) echo "'$subcommand' not among: $all"; failed=1 ;; esac
done
exit $failed
