# shellcheck shell=bash
# Compressed members of more than 4 GiB (their sizes behind extended header 0x42): packed by
# `quorsfx pack` with -lh5- (level 1, the hash chains) and -lh7- (level 6, the binary trees,
# whose positions are renumbered past 2^31), read back by `quorsfx extract` and by bsdtar (a reader
# nobody here wrote), and extracted by the stub of each pass. The source is a sparse file of
# zeros with text and random pieces, one of them across the 4 GiB mark; what is extracted is
# real, so each output is compared and deleted at once. Needs the room of one output.

sizes_source() {  # sizes_source FILE: 4 GiB + 1 MiB + 12345 bytes, mostly holes
  local gib=$((1024 * 1024 * 1024))
  truncate -s $((4 * gib + 1024 * 1024 + 12345)) "$1"
  piece() { dd of="$1" bs=4096 seek="$2" conv=notrunc status=none; }
  seq 1 20000 | piece "$1" 0
  head -c 300000 /dev/urandom | piece "$1" $((gib / 4096))
  # 600 KiB of noise and text across the 4 GiB mark, where a 32-bit count wraps.
  { head -c 400000 /dev/urandom; seq 1 30000; } | piece "$1" $((4 * gib / 4096 - 75))
  seq 50000 60000 | piece "$1" $(((4 * gib + 1024 * 1024) / 4096))
}

sizes_cases() {
  local need_mib=4700 free_mib src=$work/sizes/huge.bin started
  free_mib=$(($(df -Pk "$work" | awk 'NR == 2 {print $4}') / 1024))
  if [ "$free_mib" -lt "$need_mib" ]; then
    echo "skip  compressed members past 4 GiB: $free_mib MiB free in $work, $need_mib MiB needed"
    return
  fi
  mkdir -p "$work/sizes"
  sizes_source "$src"
  local size method level dir
  size=$(stat -c %s "$src")

  # The tool and bsdtar, both methods: once, as they do not depend on the stub.
  if once "pack and extract of a compressed member past 4 GiB"; then
    for method in lh5:1 lh7:6; do
      level=${method#*:} method=${method%:*}
      started=$SECONDS
      "$tool" pack --method $method --level "$level" -o "$work/sizes/$method.lzh" -C "$work/sizes" huge.bin \
        2> "$work/sizes/pack.err" || complain "pack $method: $(tr '\n' ';' < "$work/sizes/pack.err")"
      local packed=$((SECONDS - started))
      "$tool" list "$work/sizes/$method.lzh" > "$work/sizes/list" 2>&1
      grep -qE "^-$method- +[0-9]+ +$size [0-9A-F]{4} +2 .* huge\.bin\$" "$work/sizes/list" ||
        complain "list $method: $(head -2 "$work/sizes/list" | tr '\n' ';')"
      dir=$work/sizes/out
      mkdir -p "$dir"
      started=$SECONDS
      "$tool" extract -C "$dir" "$work/sizes/$method.lzh" > /dev/null 2> "$work/sizes/extract.err" ||
        complain "extract $method: exit $? ($(tr '\n' ';' < "$work/sizes/extract.err"))"
      cmp -s "$dir/huge.bin" "$src" || complain "extract $method: huge.bin differs from its source"
      rm -rf "$dir"
      local extracted=$((SECONDS - started))
      bsdtar -xOf "$work/sizes/$method.lzh" huge.bin | cmp -s - "$src" ||
        complain "bsdtar $method: huge.bin differs from its source"
      echo "      $method level $level: packed in $packed s, extracted in $extracted s, $(stat -c %s "$work/sizes/$method.lzh") bytes"
    done
    rm -f "$work/sizes/lh7.lzh"
    finish_case "pack --method lh5 and lh7 compress a $((size / 1048576)) MiB file; extract and bsdtar give it back"
  fi

  # The stub: -lh5- as the smaller dictionary wraps most often. The shortcut keeps the window
  # up long enough for the driver to see the bar's last position.
  [ -f "$work/sizes/lh5.lzh" ] ||
    "$tool" pack --method lh5 --level 1 -o "$work/sizes/lh5.lzh" -C "$work/sizes" huge.bin 2> /dev/null
  make_sfx sizes "$work/sizes/lh5.lzh" --title 'Sizes' --destination 'C:\QuorTest\sizes' \
    --shortcut-target huge.bin --start-menu 3 --desktop 0 --send-to 0 --shortcut-name 'Quor Sizes'
  dir=$work/cwd/sizes
  started=$SECONDS
  if run_stub sizes "$dir" dialog "edit=$(winpath "$dir")" ok progress bar exit; then
    expect sizes "bar.highest 100"
    expect sizes "exit 0"
  fi
  echo "      stub: extracted in $((SECONDS - started)) s"
  cmp -s "$dir/huge.bin" "$src" || complain "the stub's huge.bin differs from its source"
  rm -rf "$dir" "$work/sizes" "$work/sizes.exe"
  find "$drive_c" -name 'Quor Sizes.lnk' -delete 2>/dev/null
  finish_case "the stub extracts a -lh5- member of $((size / 1048576)) MiB: bar at 100, exit 0, byte for byte"
}
sizes_cases
