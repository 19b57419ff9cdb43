# shellcheck shell=bash
# The Windows build of the tool (quorsfx.exe, the win64-tool preset) under Wine, in the ja_JP
# (code page 932) and en_US (code page 1252) prefixes: it packs, lists, extracts and makes
# self-extractors of the names tree (Japanese names with 0x5C second bytes, accented ones,
# names no Japanese code page holds), and does so exactly as the Linux tool does: the same
# archive bytes, the same listing, the same messages and exit statuses. The console's code
# page must not matter. One Windows tool serves both passes, so this runs in the x86_64 one.

wt_same_tree() {  # wt_same_tree EXTRACTED EXPECTED: the same names and the same bytes
  if [ ! -d "$1" ]; then complain "missing ${1#"$work"/}"; return; fi
  local diff
  diff=$(diff -r "$1" "$2" 2>&1 | head -5)
  [ -z "$diff" ] || complain "${1#"$work"/} differs from ${2#"$work"/}: $diff"
}

wintool_cases() {  # wintool_cases TAG: in the current prefix
  local tag=$1
  local base=$work/wintool-$tag
  # The Windows tool, its standard error with its output. Wine's own link between a program
  # and its server once dropped in the middle of a run ("wine client error:0: recvmsg"), which
  # says nothing of the tool: such a run is made once more.
  wt() {
    local log=$base/wt.log status
    "$WINE" "$wintool" "$@" > "$log" 2>&1
    status=$?
    if grep -q 'wine client error' "$log"; then
      "$WINE" "$wintool" "$@" > "$log" 2>&1
      status=$?
    fi
    cat "$log"
    return $status
  }
  mkdir -p "$base"
  # The tree with modes the Windows tool gives every file and folder, so that both tools
  # write the same bytes (Windows has no Unix modes to read).
  local tree=$base/src/names-tree
  mkdir -p "$base/src"
  cp -r "$names_tree" "$tree"
  find "$tree" -type d -exec chmod 755 {} + && find "$tree" -type f -exec chmod 644 {} +

  # pack: '\' separators and drive letters in every path given; the Linux tool's archive of
  # the same tree is the same file. Eight threads, so that many workers end together: a
  # thread-local destructor once crashed the Windows tool there, a third of runs at eight.
  if wt pack --threads 8 -o "$(winpath "$base/win.lzh")" -C "$(winpath "$base/src")" 'names-tree\' \
       > "$base/pack.out" 2>&1; then
    "$tool" pack -o "$base/linux.lzh" -C "$base/src" names-tree > /dev/null 2>&1
    cmp -s "$base/win.lzh" "$base/linux.lzh" || complain "$tag: pack differs from the Linux tool's"
  else
    complain "$tag: pack failed: $(tr -d '\r' < "$base/pack.out")"
  fi
  # list: the same lines as the Linux tool, UTF-8 whatever the console's code page, also for
  # Shift-JIS names with and without their code page and for bytes that are no Shift-JIS.
  local archive
  for archive in "$base/win.lzh" "$work/names.lzh" "$work/wintool-invalid.lzh"; do
    wt list "$(winpath "$archive")" > "$base/list.win" 2>&1
    echo "exit $?" >> "$base/list.win"
    "$tool" list "$archive" > "$base/list.linux" 2>&1
    echo "exit $?" >> "$base/list.linux"
    cmp -s "$base/list.win" "$base/list.linux" ||
      complain "$tag: list $(basename "$archive"): $(diff "$base/list.linux" "$base/list.win" | head -4 | tr '\n' ' ')"
  done
  # extract: from the Windows tool's archive and from names.lzh (written by another writer,
  # Shift-JIS and UTF-8 names); relative -C with '\'.
  if (cd "$base" && wt extract -C 'out\win' win.lzh > "$base/extract.out" 2>&1); then
    wt_same_tree "$base/out/win/names-tree" "$tree"
  else
    complain "$tag: extract failed: $(tr -d '\r' < "$base/extract.out")"
  fi
  wt extract -C "$(winpath "$base/out/names")" "$(winpath "$work/names.lzh")" > "$base/extract2.out" 2>&1 ||
    complain "$tag: extract names.lzh failed: $(tr -d '\r' < "$base/extract2.out")"
  wt_same_tree "$base/out/names" "$names_tree"
  # The Linux tool reads what the Windows tool packed.
  "$tool" extract -C "$base/out/linux" "$base/win.lzh" > /dev/null 2>&1 ||
    complain "$tag: the Linux tool cannot extract the Windows tool's archive"
  wt_same_tree "$base/out/linux/names-tree" "$tree"

  # Failures: the same message and exit status as on Linux.
  local args
  for args in "extract -C $base/out/damaged $work/damaged.lzh" "list $work/walk.exe.missing" \
              "pack -o $base/never.lzh ../outside" "make -o $base/never.exe" "frobnicate"; do
    # shellcheck disable=SC2086
    (cd "$base" && wt $args) 2>&1 | tr -d '\r' | sed "s#Z:$base#$base#g; s#Z:##g" > "$base/fail.win"
    echo "exit ${PIPESTATUS[0]}" >> "$base/fail.win"
    # shellcheck disable=SC2086
    (cd "$base" && "$tool" $args) > "$base/fail.linux" 2>&1
    echo "exit $?" >> "$base/fail.linux"
    cmp -s "$base/fail.win" "$base/fail.linux" ||
      complain "$tag: $args: $(diff "$base/fail.linux" "$base/fail.win" | head -4 | tr '\n' ' ')"
  done
  finish_case "$LC_ALL: quorsfx.exe packs, lists and extracts Shift-JIS, accented and UTF-8 names as the Linux tool does"
}

if once "quorsfx.exe under Wine"; then
  wintool=${QUOR_WINDOWS_TOOL:-$root/build/win64-tool/tools/quorsfx.exe}
  if [ ! -f "$wintool" ]; then
    complain "no Windows tool at $wintool (cmake --build --preset win64-tool)"
    finish_case "quorsfx.exe under Wine"
  else
    # A name that is no Shift-JIS: a lead byte before a space, and one cut off at the end.
    python3 - "$here" "$work/wintool-invalid.lzh" <<'EOF'
import sys
sys.path.insert(0, sys.argv[1])
from names_archive import level2_header, crc16
body = b"bytes"
exts = [(0x00, b"\0\0"), (0x01, b"a\x81 b\x95\x5c.txt\x81")]
open(sys.argv[2], "wb").write(level2_header(exts, len(body), crc16(body), "W") + body + b"\0")
EOF
    use_prefix ja ja_JP.UTF-8
    wintool_cases ja
    use_prefix en en_US.UTF-8
    wintool_cases en

    # Names Windows would store otherwise (a device, a stream, a dropped final dot) are
    # refused by name, as the stub refuses them, and fail the run; the others are written.
    wn=$work/wintool-names
    mkdir -p "$wn"
    python3 "$here/names_archive.py" "$wn/refused.lzh" "65001::con.txt:$data/readme.txt" \
      "65001::x.txt:s:$data/readme.txt" "65001::trail.:$data/readme.txt" "65001::ok.txt:$data/readme.txt"
    (cd "$wn" && "$WINE" "$wintool" extract -C out refused.lzh) 2>&1 | tr -d '\r' > "$wn/extract.out"
    status=${PIPESTATUS[0]}
    [ "$status" = 1 ] || complain "refused names: exit status $status, not 1"
    for name in con.txt x.txt:s trail.; do
      grep -qxF "quorsfx: $name skipped (a name Windows does not store as given)" "$wn/extract.out" ||
        complain "refused names: no message for $name: $(cat "$wn/extract.out")"
    done
    [ "$(ls -A "$wn/out")" = ok.txt ] || complain "refused names: extracted $(ls -A "$wn/out" | tr '\n' ' ')"
    same_file "$wn/out/ok.txt" "$data/readme.txt"
    finish_case "quorsfx.exe extract: names Windows does not store as given are refused by name, status 1"

    # Ctrl-C (SIGINT, which Wine hands to the console's control handlers): pack stops with
    # status 1, OUT keeps its old bytes, and the file it was writing beside OUT is gone.
    cc=$work/wintool-ctrlc
    mkdir -p "$cc/tree"
    seq 1 20000000 > "$cc/tree/numbers.txt"
    echo old > "$cc/big.lzh"
    (cd "$cc" && exec "$WINE" "$wintool" pack --level 9 -o big.lzh tree > pack.out 2>&1) &
    job=$!
    for _ in $(seq 1 600); do compgen -G "$cc/.big.lzh.*" > /dev/null && break; sleep 0.1; done
    sleep 1
    kill -INT $job
    wait $job
    status=$?
    [ $status = 1 ] || complain "Ctrl-C: exit status $status, not 1"
    grep -qxF "quorsfx: interrupted; big.lzh not written" "$cc/pack.out" ||
      complain "Ctrl-C: $(tr -d '\r' < "$cc/pack.out")"
    [ "$(cat "$cc/big.lzh")" = old ] || complain "Ctrl-C: big.lzh was changed"
    ! compgen -G "$cc/.big.lzh.*" > /dev/null || complain "Ctrl-C: the temporary file was left"
    rm -rf "$cc"
    finish_case "quorsfx.exe pack: Ctrl-C stops it, status 1, the old OUT kept, nothing left beside it"

    # make: the self-extractor the Windows tool makes is the Linux tool's, byte for byte
    # (the stubs it carries, the block, the archive, times clamped by SOURCE_DATE_EPOCH);
    # the stub extracts it to the tree.
    base=$work/wintool-en
    title='Café セットアップ'
    for arch in x86_64 x86; do
      SOURCE_DATE_EPOCH=$T0 wt make -o "$(winpath "$base/win-$arch.exe")" --arch $arch \
        --title "$title" --destination 'C:\QuorTest\wintool' -C "$(winpath "$base/src")" names-tree \
        > "$base/make.out" 2>&1 || complain "make --arch $arch failed: $(tr -d '\r' < "$base/make.out")"
      SOURCE_DATE_EPOCH=$T0 "$tool" make -o "$base/linux-$arch.exe" --arch $arch --title "$title" \
        --destination 'C:\QuorTest\wintool' -C "$base/src" names-tree > /dev/null 2>&1
      cmp -s "$base/win-$arch.exe" "$base/linux-$arch.exe" ||
        complain "make --arch $arch: the self-extractor differs from the Linux tool's"
    done
    wt info "$(winpath "$base/win-x86_64.exe")" 2>&1 | tr -d '\r' | grep -qxF "title: $title" ||
      complain "info does not show the title $title"
    cp "$base/win-x86_64.exe" "$work/wintool-sfx.exe"
    if run_stub wintool-sfx "$work/cwd/wintool" dialog ok progress exit; then
      expect wintool-sfx "dialog.caption $title"
      expect wintool-sfx "exit 0"
    fi
    wt_same_tree "$drive_c/QuorTest/wintool/names-tree" "$base/src/names-tree"
    finish_case "quorsfx.exe make (both stubs it carries): the Linux tool's bytes; the stub extracts the tree"

    # cmake --install of the Windows build: DIR/bin/quorsfx.exe, which runs from there.
    winprefix=$work/wininstalled
    cmake --install "$(dirname "$(dirname "$wintool")")" --prefix "$winprefix" > "$work/wininstall.log" 2>&1 ||
      complain "cmake --install failed: $(tail -3 "$work/wininstall.log")"
    version=$("$WINE" "$winprefix/bin/quorsfx.exe" --version 2>&1 | tr -d '\r')
    [ "$version" = "$("$tool" --version)" ] || complain "installed quorsfx.exe --version: $version"
    finish_case "cmake --install of the Windows build: bin/quorsfx.exe runs from there"
  fi
fi
