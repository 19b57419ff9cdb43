# shellcheck shell=bash
# ---------------------------------------------------------------------------------------
# The stub where Windows puts it: Windows moves every DYNAMIC_BASE image to another base,
# Wine loads it at its preferred one (0x400000, 0x140000000), where an address without a
# relocation entry still works. So the self-extractors run here as copies moved the way the
# loader moves them (moved.py): every member extracted byte for byte, and with the
# destination dialog, the shortcuts (COM) and the configured file opened by the shell.
moved_case() {
  local base=0x10000000 dir
  [ "$pass" = x86_64 ] && base=0x7ff650000000
  python3 "$here/moved.py" "$root/ui/finish_stub.py" "$work/methods.exe" "$work/moved.exe" $base &&
    python3 "$here/moved.py" "$root/ui/finish_stub.py" "$work/links.exe" "$work/moved-links.exe" $base ||
    { complain "moved.py failed"; finish_case "moved to $base"; return; }
  dir=$work/cwd/moved
  if run_stub moved "$dir" exit; then
    expect moved "exit 0"
  fi
  t=$T0
  for method in lh0 lh1 lh2 lh3 lh4 lh5 lh6 lh7 lzs lz5 lz4; do
    for level in 0 1 2; do
      t=$((t + 2))
      source=$data/mixed.bin
      [ "$method" = lh2 ] && source=$data/lh2.bin
      same_file "$dir/m/$method-l$level.bin" "$source" $t
    done
  done
  same_file "$dir/m/random.bin" "$data/random.bin"
  same_file "$dir/m/zeros.bin" "$data/zeros.bin"
  [ -d "$dir/m/folder1" ] && [ -d "$dir/m/folder2" ] || complain "folder entries were not made"

  local dest_unix=$drive_c/QuorTest/Apps
  rm -rf "$dest_unix"
  find "$drive_c" -name 'Quor Viewer.lnk' -delete 2>/dev/null
  if run_stub moved-links "$work/cwd/moved-links" dialog ok exit; then
    expect moved-links "exit 0"
  fi
  same_file "$dest_unix/bin/tool.txt" "$data/numbers.txt"
  [ -f "$common_desktop/Quor Viewer.lnk" ] || complain "no shortcut on the desktop"
  for _ in $(seq 1 100); do [ -f "$dest_unix/opened.txt" ] && break; sleep 0.2; done
  [ -f "$dest_unix/opened.txt" ] || complain "done.bat was not opened (no opened.txt)"
  rm -rf "$dest_unix"
  find "$drive_c" -name 'Quor Viewer.lnk' -delete 2>/dev/null
  finish_case "moved to base $base as Windows would: every method byte for byte; dialog, shortcuts, file opened"
}
moved_case
