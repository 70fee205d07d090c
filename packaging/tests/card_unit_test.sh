# The unit for plugged-in cards: systemd-analyze verify accepts it (where
# systemd-analyze is there), and its command line serves a card folder when
# run by hand, with the card's device mount left out: the folder stands for
# /run/quillane/cards/NAME.
# usage: card_unit_test.sh QUILLANE UNIT
set -uo pipefail
quillane=$1 unit=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/quillane-unit-XXXXXX")
pid=
cleanup() {
  mountpoint -q "$work/view" 2>/dev/null && fusermount3 -u "$work/view"
  [ -n "$pid" ] && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failed=0

if command -v systemd-analyze >/dev/null; then
  mkdir "$work/units"
  # The unit as installed, but starting this build's program.
  sed "s|^ExecStart=quillane |ExecStart=$quillane |" "$unit" >"$work/units/quillane@sdz9.service"
  if ! SYSTEMD_LOG_LEVEL=err systemd-analyze verify --man=no "$work/units/quillane@sdz9.service" >"$work/verify.log" 2>&1; then
    # A unit that only names a device absent here is not a fault of the unit.
    if grep -v 'dev-sdz9.device' "$work/verify.log" | grep -q .; then
      echo "systemd-analyze verify:"
      cat "$work/verify.log"
      failed=1
    fi
  fi
else
  echo "SKIP: no systemd-analyze here; the unit's command line is still tried"
fi

[ -e /dev/fuse ] || { echo "SKIP: no /dev/fuse, so the unit's command line cannot be run"; exit $([ $failed -eq 0 ] && echo 77 || echo 1); }
command=$(sed -n 's/^ExecStart=//p' "$unit")
command=${command//\/run\/quillane\/cards\/%I/$work/card}
command=${command//\/media\/quillane\/%I/$work/view}
command="$quillane ${command#* }"
# allow_other needs root or user_allow_other; the rest of the line stays.
[ "$(id -u)" -eq 0 ] || command=${command//allow_other,/}
mkdir "$work/card" "$work/view"
read -r -a words <<<"$command"
"${words[@]}" &
pid=$!
for _ in $(seq 1 600); do
  mountpoint -q "$work/view" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if mountpoint -q "$work/view"; then
  seq 1 20000 >"$work/view/numbers.txt"
  # systemctl stop sends SIGTERM: the mount ends once the file is on the card.
  kill -TERM "$pid"
  wait "$pid" || { echo "the unit's command ended with status $?"; failed=1; }
  pid=
  "$quillane" info "$work/card/numbers.txt" | grep -q ': compressed' || { echo "the card does not hold the file compressed"; failed=1; }
else
  echo "the unit's command line did not mount: $command"
  failed=1
fi
exit $failed
