#!/usr/bin/env bash
# Checks the manual pages, the install layout, the Debian package and the bash
# completion. Usage:
#   packaging_test.sh man SOURCE_DIR KELVODA
#   packaging_test.sh install CMAKE BUILD_DIR SOURCE_DIR
#   packaging_test.sh deb CPACK BUILD_DIR SOURCE_DIR
#   packaging_test.sh completion SOURCE_DIR
# Exit status 77 means a tool that the check needs is missing (skipped).
set -euo pipefail

SKIP=77
BANNER=$'kelvoda 3.0, written by Tarvelin\n\n'
PAGES=(doc/kelvoda.1 doc/kelvoda.de.1)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelvoda-packaging.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# Fails unless running `$1 -v` prints exactly the banner.
expect_banner() {
  "$1" -v >"$tmp/banner" || fail "$1 -v exited with $?"
  printf '%s' "$BANNER" | cmp -s - "$tmp/banner" ||
    fail "$1 -v printed: $(cat -A "$tmp/banner")"
}

# Both pages lint clean and quote the program's texts exactly as it prints
# them, which the runs below confirm text by text.
check_man() {
  local src=$1 kelvoda=$2 page text
  command -v groff >/dev/null || exit $SKIP
  for page in "${PAGES[@]}"; do
    [[ -z $(groff -man -ww -z "$src/$page" 2>&1) ]] ||
      fail "groff warns on $page: $(groff -man -ww -z "$src/$page" 2>&1)"
    if command -v mandoc >/dev/null; then
      [[ -z $(mandoc -T lint -W warning "$src/$page" 2>&1) ]] ||
        fail "mandoc warns on $page: $(mandoc -T lint -W warning "$src/$page")"
    fi
    # One line per paragraph, no hyphenation, no emphasis; minus signs and
    # hyphens as the ASCII "-" the program prints.
    groff -man -Tutf8 -P-cbou -rLL=5000n "$src/$page" 2>/dev/null |
      sed 's/\xe2\x88\x92/-/g; s/\xe2\x80\x90/-/g' >"$tmp/$(basename "$page").txt"
  done

  mkdir -p "$tmp/local" "$tmp/host" "$tmp/same" "$tmp/empty" "$tmp/many"
  echo a >"$tmp/local/copied" && echo b >"$tmp/local/newer"
  echo b >"$tmp/host/newer" && touch -d @100 "$tmp/host/newer"
  echo c >"$tmp/host/deleted"
  for i in {1..11}; do echo m >"$tmp/many/$i"; done
  {
    "$kelvoda" -v
    "$kelvoda" -c 40 "$tmp/local" "$tmp/host" <<<$'x\n\nn' || true
    "$kelvoda" -c 40 "$tmp/same" "$tmp/same" || true
    "$kelvoda" 2>&1 || true
    "$kelvoda" -c 2>&1 || true
    "$kelvoda" -c x 2>&1 || true
    "$kelvoda" -c 4 2>&1 || true
    "$kelvoda" -q 2>&1 || true
    "$kelvoda" -y "$tmp/empty" "$tmp/host" 2>&1 || true
    "$kelvoda" -y "$tmp/local" "$tmp/many" 2>&1 || true
    { "$kelvoda" -v >/dev/full; } 2>&1 || true
  } >"$tmp/program.txt"
  while IFS= read -r text; do
    grep -qF -- "$text" "$tmp/program.txt" ||
      fail "the program no longer prints: $text"
    for page in "${PAGES[@]}"; do
      grep -qF -- "$text" "$tmp/$(basename "$page").txt" ||
        fail "$page does not quote: $text"
    done
  done <<'EOF'
kelvoda 3.0, written by Tarvelin
Möchten sie die anstehenden Aktionen durchführen (j/n)?
Bitte nur (j)a oder (n)ein angeben!
Sie haben nichts eingegeben!
Aktualisierung abgebrochen.
Keine neueren oder fehlenden Dateien gefunden -> kein Abgleich nötig.
 -> lokal neuer, muß aktualisiert werden.
 -> fehlt, muß zum Host kopiert werden.
 -X fehlt lokal, muß auf Host gelöscht werden.
Usage: kelvoda [-v] [-c 5-300] [-y] dir1 dir2
kelvoda ERROR: -c benötigt eine Zahl (5-300)
kelvoda ERROR: -c benötigt eine gültige Zahl (5-300)
kelvoda ERROR: Wertebereich für -c ist 5-300
kelvoda ERROR: Unbekannte Option 
kelvoda ERROR: Das lokale Verzeichnis enthält keine Dateien; mit -y wird der Host nicht geleert (ohne -y bestätigen)
kelvoda ERROR: Der Abgleich würde 
 Dateien auf dem Host löschen; mit -y wird nicht mehr als die Hälfte gelöscht (ohne -y bestätigen)
kelvoda ERROR: Die Ausgabe konnte nicht vollständig geschrieben werden
EOF
}

INSTALLED=(bin/kelvoda share/man/man1/kelvoda.1 share/man/de/man1/kelvoda.1
           share/bash-completion/completions/kelvoda)
SOURCES=("" doc/kelvoda.1 doc/kelvoda.de.1 completion/kelvoda)

# `cmake --install` into a fresh prefix puts the four files in place, the
# pages and the completion unchanged, and the binary runs from there.
check_install() {
  local cmake=$1 build=$2 src=$3 i
  "$cmake" --install "$build" --prefix "$tmp/prefix" >"$tmp/log" 2>&1 ||
    fail "cmake --install failed: $(cat "$tmp/log")"
  for i in "${!INSTALLED[@]}"; do
    [[ -f $tmp/prefix/${INSTALLED[i]} ]] || fail "not installed: ${INSTALLED[i]}"
    [[ -z ${SOURCES[i]} ]] || cmp -s "$src/${SOURCES[i]}" "$tmp/prefix/${INSTALLED[i]}" ||
      fail "${INSTALLED[i]} differs from ${SOURCES[i]}"
  done
  expect_banner "$tmp/prefix/bin/kelvoda"
}

# The .deb holds the same four files below /usr, the pages compressed, and
# carries the package's name, version, section, architecture and depends.
check_deb() {
  local cpack=$1 build=$2 src=$3 deb i
  command -v dpkg-deb >/dev/null || exit $SKIP
  "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" \
    >"$tmp/log" 2>&1 || fail "cpack failed: $(cat "$tmp/log")"
  deb=$(find "$tmp/out" -maxdepth 1 -name '*.deb')
  [[ $(wc -l <<<"$deb") == 1 && -f $deb ]] || fail "expected one .deb: $deb"

  dpkg-deb -c "$deb" | awk '{print $NF}' >"$tmp/contents"
  for i in "${!INSTALLED[@]}"; do
    local path=./usr/${INSTALLED[i]}
    [[ $path == */man/* ]] && path+=.gz
    grep -qxF "$path" "$tmp/contents" || fail "$path missing from the .deb"
  done
  [[ $(dpkg-deb -f "$deb" Package Version Section) == \
     $'Package: kelvoda\nVersion: 3.0\nSection: utils' ]] ||
    fail "control fields: $(dpkg-deb -f "$deb")"
  if command -v dpkg >/dev/null; then
    [[ $(dpkg-deb -f "$deb" Architecture) == $(dpkg --print-architecture) ]] ||
      fail "architecture: $(dpkg-deb -f "$deb" Architecture)"
  fi
  [[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] ||
    fail "depends: $(dpkg-deb -f "$deb" Depends)"
  [[ -n $(dpkg-deb -f "$deb" Maintainer) && -n $(dpkg-deb -f "$deb" Description) ]] ||
    fail "maintainer or description empty"

  dpkg-deb -x "$deb" "$tmp/root"
  expect_banner "$tmp/root/usr/bin/kelvoda"
  gzip -dc "$tmp/root/usr/share/man/de/man1/kelvoda.1.gz" |
    cmp -s - "$src/doc/kelvoda.de.1" || fail "German page in the .deb differs"
}

# Completion as bash would ask for it: words so far in COMP_WORDS, the
# candidates in COMPREPLY, sorted onto one line.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  _kelvoda
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|'
}

# The completion registers for kelvoda and offers options, widths after -c,
# and folders (never files) otherwise.
check_completion() {
  local src=$1 words expected
  # shellcheck source=completion/kelvoda
  source "$src/completion/kelvoda"
  [[ $(complete -p kelvoda) == *"-F _kelvoda"* ]] || fail "not registered"
  mkdir -p "$tmp/tree/alpha/inner" "$tmp/tree/a b" "$tmp/tree/beta"
  touch "$tmp/tree/afile"
  cd "$tmp/tree"
  while IFS=';' read -r words expected; do
    read -ra argv <<<"$words"
    [[ $words == *' ' ]] && argv+=("")
    [[ $(complete_words "${argv[@]}") == "$expected" ]] ||
      fail "completing '$words' gave '$(complete_words "${argv[@]}")'"
  done <<'EOF'
kelvoda -c ;100|40|60|80
kelvoda -c 6;60
kelvoda -y -c 1;100
kelvoda -;--version|-c|-v|-y
kelvoda --;--version
kelvoda a;a b|alpha
kelvoda -y alpha/;alpha/inner
kelvoda alpha beta -c 40 -;--version|-c|-v|-y
kelvoda x;
EOF
}

mode=$1
shift
case $mode in
  man) check_man "$@" ;;
  install) check_install "$@" ;;
  deb) check_deb "$@" ;;
  completion) check_completion "$@" ;;
  *) fail "unknown mode $mode" ;;
esac
