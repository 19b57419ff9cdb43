# shellcheck shell=bash
# Headers that other archivers write and the reader must read as bsdtar (libarchive) and
# lhasa do: level-3 headers, names whose folder or file name alone is stored in UTF-16
# (a Windows archiver writes UTF-16 only for the part its code page cannot hold), and Unix
# symbolic links ("link|target" folder entries), which the tool makes on Linux and the stub
# passes over. Sourced by tests/e2e/run in both passes.

headers_dir=$work/headers
mkdir -p "$headers_dir"

# headers_listing DIR: every path below DIR, sorted, with a link's target or a file's digest.
headers_listing() {
  (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | while IFS= read -r path; do
    if [ -L "$path" ]; then printf '%s -> %s\n' "$path" "$(readlink "$path")"
    elif [ -f "$path" ]; then printf '%s %s\n' "$path" "$(md5sum < "$path" | cut -c1-12)"
    else printf '%s/\n' "$path"; fi
  done)
}
# headers_same GOT EXPECTED WHAT: the same listing, or a complaint with the first differences.
headers_same() {
  local diff
  diff=$(diff <(headers_listing "$1") <(headers_listing "$2") 2>&1 | head -6 | tr '\n' ';')
  [ -z "$diff" ] || complain "$3: $diff"
}
headers_bsdtar() {  # headers_bsdtar ARCHIVE DIR: bsdtar's extraction, names read as Shift-JIS
  mkdir -p "$2" &&
    (cd "$2" && LC_ALL=C.UTF-8 bsdtar --options hdrcharset=CP932 -xf "$1" 2> "$2.err")
}

# The same members at level 2 and at level 3: 8-bit names in Shift-JIS (a second byte 0x5C)
# and UTF-8, a folder only in UTF-16 beside a Shift-JIS file name (the other project's
# ÜÖÄüöä/テスト.txt), the reverse, both in UTF-16, and a folder entry.
for level in 2 3; do
  python3 "$here/names_archive.py" "$headers_dir/names-$level.lzh" --level=$level \
    "-:docs:readme.txt:$data/readme.txt" "932:表:ソ.txt:$data/random.bin" \
    "65001:Ω:Кириллица.txt:$data/numbers.txt" "-+D:ÜÖÄüöä:テスト.txt:$data/readme.txt" \
    "-+DF:ÜÖÄüöä:sibling.txt:$data/numbers.txt" "-+F:表:Ü.txt:$data/readme.txt" \
    "-:empty::@dir" || complain "names_archive.py failed for level $level"
  make_sfx "headers-names-$level" "$headers_dir/names-$level.lzh" --no-config
done

if once "level-3 and part-UTF-16 names: the tool against bsdtar and lhasa"; then
  for level in 2 3; do
    dir=$headers_dir/tool-$level
    rm -rf "$dir"
    "$tool" extract -C "$dir" "$headers_dir/names-$level.lzh" 2> "$dir.err" ||
      complain "tool, level $level: exit $?: $(head -c 300 "$dir.err")"
    headers_bsdtar "$headers_dir/names-$level.lzh" "$headers_dir/bsdtar-$level" ||
      complain "bsdtar, level $level: $(head -c 300 "$headers_dir/bsdtar-$level.err")"
    headers_same "$dir" "$headers_dir/bsdtar-$level" "level $level against bsdtar"
    [ -f "$dir/ÜÖÄüöä/テスト.txt" ] || complain "level $level: no ÜÖÄüöä/テスト.txt"
  done
  headers_same "$headers_dir/tool-3" "$headers_dir/tool-2" "level 3 against level 2"
  # lhasa reads level 3 but not the UTF-16 names: its tree of the 8-bit-only members.
  dir=$headers_dir/lhasa-3
  mkdir -p "$dir"
  (cd "$dir" && lhasa xq "$headers_dir/names-3.lzh" > /dev/null 2>&1) || complain "lhasa: exit $?"
  cmp -s "$dir/docs/readme.txt" "$data/readme.txt" || complain "lhasa: no docs/readme.txt of level 3"
  cmp -s "$headers_dir/tool-3/docs/readme.txt" "$dir/docs/readme.txt" ||
    complain "tool and lhasa differ on docs/readme.txt"
  finish_case "level-3 headers and names with one part in UTF-16: the tool's tree is bsdtar's"
fi

# The stub gives the tool's names in both code pages. The last prefix used stays the
# English one, as the cases after this file expect.
for tag in ja en; do
  if [ $tag = ja ]; then use_prefix ja ja_JP.UTF-8; else use_prefix en en_US.UTF-8; fi
  for level in 2 3; do
    name=headers-names-$level-$tag dir=$work/cwd/headers-names-$level-$tag
    ln -sf "$work/headers-names-$level.exe" "$work/$name.exe"
    run_stub "$name" "$dir" progress exit && expect "$name" "exit 0"
    dir_tool=$headers_dir/tool-$level
    if [ ! -d "$dir_tool" ]; then
      "$tool" extract -C "$dir_tool" "$headers_dir/names-$level.lzh" 2> /dev/null ||
        complain "tool, level $level: exit $?"
    fi
    headers_same "$dir" "$dir_tool" "stub ($tag), level $level, against the tool"
  done
  finish_case "$LC_ALL: the stub extracts level-3 and part-UTF-16 names as the tool does"
done

# Unix symbolic links as LHA for Unix stores them, split at the target's last '/': inside
# the destination (also at level 3), a chain, an absolute one, two that climb out, a member
# written through a link of the archive and one through a link already in the destination.
python3 "$here/names_archive.py" "$headers_dir/links.lzh" \
  "-::file1:$data/readme.txt" "-:dir1:file2:$data/numbers.txt" \
  "-:dir1/symlink1|..:file1:@link" "-:chain|dir1:symlink1:@link" \
  "-:abs|/etc:passwd:@link" "-:esc|..:x:@link" "-:dir1/up|..:..:@link" \
  "-::lnk|dir1:@link" "-:lnk:evil.txt:$data/readme.txt" "-:pre:x.txt:$data/readme.txt" \
  --level=3 "-:dir1:same|file2:@link" "-::after.txt:$data/readme.txt" ||
  complain "names_archive.py failed for the links"
make_sfx headers-links "$headers_dir/links.lzh" --no-config

if once "Unix symbolic links: the tool against bsdtar"; then
  outside=$headers_dir/outside
  dir=$headers_dir/links/tool
  rm -rf "$headers_dir/links" "$outside"
  mkdir -p "$dir" "$outside" "$headers_dir/links/bsdtar"
  ln -s "$outside" "$dir/pre"
  ln -s "$outside" "$headers_dir/links/bsdtar/pre"
  # The member pre/x.txt must neither replace nor remove the file the user's link leads to.
  echo keep > "$outside/x.txt"
  "$tool" extract -C "$dir" "$headers_dir/links.lzh" 2> "$dir.err"
  status=$?
  [ $status = 1 ] || complain "tool: exit $status, not 1"
  for said in "abs -> /etc/passwd not made" "esc -> ../x not made" "dir1/up -> ../.. not made" \
              "lnk/evil.txt skipped" "pre/x.txt skipped"; do
    grep -qF "$said" "$dir.err" || complain "tool: no \"$said\": $(tr '\n' ';' < "$dir.err")"
  done
  [ "$(ls -A "$outside")" = x.txt ] && [ "$(cat "$outside/x.txt")" = keep ] ||
    complain "changed outside the destination: $(ls -A "$outside")"
  headers_bsdtar "$headers_dir/links.lzh" "$headers_dir/links/bsdtar"
  # bsdtar makes the links that lead out; the tool refuses them, and writes through no link.
  rm -f "$headers_dir/links/bsdtar/abs" "$headers_dir/links/bsdtar/esc" "$headers_dir/links/bsdtar/dir1/up"
  headers_same "$dir" "$headers_dir/links/bsdtar" "links against bsdtar"
  [ "$(readlink "$dir/dir1/symlink1")" = ../file1 ] && cmp -s "$dir/chain" "$data/readme.txt" ||
    complain "the chain chain -> dir1/symlink1 -> ../file1 does not reach file1"
  [ "$(readlink "$dir/dir1/same")" = file2 ] || complain "no level-3 link dir1/same -> file2"
  finish_case "links are made inside the destination as bsdtar makes them; others refused by name, exit 1"
fi

# The stub has no place for a Unix link: the links are passed over in silence, and every
# other member comes out, through folders that are plain folders on Windows.
dir=$work/cwd/headers-links
if run_stub headers-links "$dir" progress exit; then
  expect headers-links "exit 0"
fi
for member in file1 dir1/file2 lnk/evil.txt pre/x.txt after.txt; do
  [ -f "$dir/$member" ] || complain "stub: no $member"
done
found=$(cd "$dir" 2>/dev/null && find . -name '*|*' -o -name 'symlink1' -o -name 'chain' | head -3)
[ -z "$found" ] || complain "stub: made for a link: $found"
finish_case "the stub passes Unix links over in silence and extracts the rest, exit 0"
