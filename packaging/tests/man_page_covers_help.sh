# Every subcommand that `quillane --help` lists, and every option that the
# help of each subcommand (and of the command) names, appears in the man
# page's source; the page made from it is a man page that man -l reads.
# usage: man_page_covers_help.sh QUILLANE PAGE_SOURCE PAGE
set -uo pipefail
quillane=$1 source=$2 page=$3
missing=0

subcommands=$("$quillane" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { exit }')
[ -n "$subcommands" ] || { echo "no subcommands in quillane --help"; exit 1; }

# Options as help texts give them: in the usage line, and at the start of
# a line that tells about one.
options_of() {
  local help
  help=$(cat)
  {
    grep '^usage:' <<<"$help" | grep -oE '[[ ]--?[a-zA-Z][-a-zA-Z]*' | sed 's/^[[ ]//'
    grep -oE '^ +--?[a-zA-Z][-a-zA-Z]*' <<<"$help" | sed 's/^ *//'
  } | sort -u
}

for option in $("$quillane" --help | options_of); do
  grep -qF -- "*$option*" "$source" || { echo "quillane $option: not in $source"; missing=1; }
done
for subcommand in $subcommands; do
  grep -qE "^\*$subcommand\*" "$source" || { echo "subcommand $subcommand: no entry in $source"; missing=1; }
  # The mount's help goes on with FUSE's own options, which the page leaves
  # to 'quillane mount --help'.
  for option in $("$quillane" "$subcommand" --help | sed '/^FUSE options:/,$d' | options_of); do
    [ "$option" = --help ] && continue
    grep -qF -- "*$option*" "$source" || { echo "quillane $subcommand $option: not in $source"; missing=1; }
  done
done

MANWIDTH=80 man -l "$page" >/dev/null 2>&1 || { echo "man -l $page fails"; missing=1; }
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "EXIT STATUS" || { echo "$page has no EXIT STATUS"; missing=1; }
exit $missing
