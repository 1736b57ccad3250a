#!/usr/bin/env bash
# `make install` and `make uninstall`. An install is recorded in TREE/installed.txt, added to the
# record of the installs before it: one line per file ("file PATH") and per folder the install made
# ("dir PATH"). Uninstalling removes every recorded file and then each recorded folder that is left
# empty, so every prefix installed to from this tree is as it was before.
#
#   tools/make_install.sh install TREE PREFIX
#   tools/make_install.sh uninstall TREE
# KR_INSTALL_RECORD names another record file (the tests keep theirs in a scratch folder).
set -euo pipefail

mode="${1:-}"
tree="${2:-}"
record="${KR_INSTALL_RECORD:-$tree/installed.txt}"

case "$mode" in
install)
  prefix="$(realpath -m "${3:?give the prefix}")"
  # Which folders the install will make: those of a trial install that the prefix lacks.
  trial="$(mktemp -d)"
  trap 'rm -rf "$trial"' EXIT
  cmake --install "$tree" --prefix "$trial" >/dev/null
  made=()
  # The prefix itself and the folders above it that do not exist yet are made too.
  d="$prefix"
  while [ ! -e "$d" ]; do
    made+=("dir $d")
    d="$(dirname "$d")"
  done
  while IFS= read -r d; do
    [ -d "$prefix/$d" ] || made+=("dir $prefix/$d")
  done < <(cd "$trial" && find . -mindepth 1 -type d -printf '%P\n')
  cmake --install "$tree" --prefix "$prefix"
  {
    [ -f "$record" ] && cat "$record"
    printf '%s\n' "${made[@]}"
    sed 's/^/file /' "$tree/install_manifest.txt"
  } | grep -v '^$' | sort -u >"$record.new"
  mv "$record.new" "$record"
  echo "Installed to $prefix; 'make uninstall' removes it again."
  ;;
uninstall)
  if [ ! -f "$record" ]; then
    echo "Nothing to uninstall: $record records no install."
    exit 0
  fi
  while IFS= read -r f; do
    if [ -e "$f" ] || [ -L "$f" ]; then
      rm -f -- "$f"
      echo "Removed $f"
    fi
  done < <(sed -n 's/^file //p' "$record")
  # The deepest folders first, so a parent is empty once its children are gone.
  while IFS= read -r d; do
    [ -d "$d" ] || continue
    if rmdir -- "$d" 2>/dev/null; then
      echo "Removed $d/"
    else
      echo "Kept $d/: it holds files krcan did not install."
    fi
  done < <(sed -n 's/^dir //p' "$record" | awk '{ print length, $0 }' | sort -rn | cut -d' ' -f2-)
  rm -f "$record"
  ;;
*)
  echo "usage: $0 install TREE PREFIX | uninstall TREE" >&2
  exit 2
  ;;
esac
