# cmake --install under a prefix of its own puts every piece in its usual
# place, and the installed programs work from there with no build folder and
# no environment variable: the storage manager finds the filter in
# PREFIX/lib/quillane, and PREFIX/sbin/mount.fuse.quillane mounts a card as
# mount(8) calls it.
# usage: install_test.sh BUILD_DIR
set -uo pipefail
build=$1
work=$(mktemp -d "$build/install-test-XXXXXX")
prefix=$work/prefix
daemon_mountpoint=
cleanup() {
  [ -n "$daemon_mountpoint" ] && mountpoint -q "$daemon_mountpoint" && fusermount3 -u "$daemon_mountpoint"
  rm -rf "$work"
}
trap cleanup EXIT
unset QUILLANE_LIBRARY_PATH
export QUILLANE_REGISTRY=$work/registry
failed=0
fail() { echo "FAIL: $*"; failed=1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
for file in bin/quillane lib/quillane/Quillane.so lib/quillane/libquillane_core.so lib/quillane/libquillane_storage.so share/man/man1/quillane.1 share/man/man1/quillane-settings.1 \
  share/bash-completion/completions/quillane lib/systemd/system/quillane@.service \
  share/quillane/udev/90-quillane-cards.rules sbin/mount.fuse.quillane; do
  [ -e "$prefix/$file" ] || fail "$file is not installed"
done
if grep -q '^QUILLANE_BUILD_GUI:BOOL=ON' "$build/CMakeCache.txt"; then
  for file in bin/quillane-settings share/applications/quillane-settings.desktop \
    share/icons/hicolor/scalable/apps/quillane-settings.svg; do
    [ -e "$prefix/$file" ] || fail "$file is not installed"
  done
  desktop-file-validate "$prefix/share/applications/quillane-settings.desktop" || fail "the desktop entry is not valid"
fi

cd "$work"
version=$("$prefix/bin/quillane" --version) || fail "quillane --version fails"
[[ "$version" =~ ^quillane\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "quillane --version says '$version'"

# A card converted by the installed program, through the installed filter.
mkdir -p card/notes
seq 1 30000 >card/notes/numbers.txt
"$prefix/bin/quillane" convert card >"$work/convert.log" 2>&1 || { cat "$work/convert.log"; fail "convert fails"; }
"$prefix/bin/quillane" info card/notes/numbers.txt | grep -q ': compressed' || fail "convert left the file plain"
"$prefix/bin/quillane" stats card | grep -q '^compressed ' || fail "stats shows no compressed file"

helper=$prefix/sbin/mount.fuse.quillane
"$helper" card mp -f -o defaults || fail "the helper's -f (no real mount) fails"
"$helper" card 2>/dev/null && fail "the helper accepts a command line without a mount point"
if [ -e /dev/fuse ] && [ "$(id -u)" -eq 0 ]; then
  mkdir mp
  daemon_mountpoint=$work/mp
  "$helper" card "$work/mp" -o rw,noauto,nofail,x-systemd.automount,_netdev,comment=x || fail "the helper cannot mount"
  if mountpoint -q mp; then
    cmp <(seq 1 30000) mp/notes/numbers.txt || fail "the mount does not show the file plain"
    fusermount3 -u mp
    # The daemon goes on until every file is closed; wait for it to end.
    for _ in $(seq 1 1200); do pgrep -f -- "$work/mp" >/dev/null || break; sleep 0.1; done
  else
    fail "nothing is mounted at mp"
  fi
else
  echo "no /dev/fuse or not root: the helper's real mount is left out"
fi
exit $failed
