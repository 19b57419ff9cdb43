# shellcheck shell=bash
# ---------------------------------------------------------------------------------------
# The progress window under Windows 10's frame and under a much taller caption (as larger
# text settings make it): every control lies inside the client area and every text fits.
# Wine draws a thinner frame than Windows 10 and 11, so the metrics are set in a prefix of
# their own (HKCU\Control Panel\Desktop\WindowMetrics, in negative twips: 15 per pixel).
frame_case() {  # frame_case NAME CAPTION BORDER PADDED (pixels at 96 DPI)
  local name=frame-$1 dir
  cat > "$work/$name.reg" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Control Panel\\Desktop\\WindowMetrics]
"CaptionHeight"="-$(($2 * 15))"
"BorderWidth"="-$(($3 * 15))"
"PaddedBorderWidth"="-$(($4 * 15))"
REG
  "$WINE" regedit "$work/$name.reg" > /dev/null 2>&1
  "$WINESERVER" -k > /dev/null 2>&1  # the next start reads the metrics
  warm_up
  ln -sf "$work/walk.exe" "$work/$name.exe"
  dir=$work/cwd/$name
  if run_stub "$name" "$dir" cursor=1010,750 label=big.bin freeze fit thaw exit; then
    grep -q '^fit ' "$work/$name.report" || complain "nothing was measured"
    while read -r line; do complain "$line"; done < <(grep -E '^fit\.(over|outside|clipped)' "$work/$name.report")
    expect "$name" "exit 0"
  fi
  rm -rf "$dir" "$work/$name.exe"
  finish_case "caption $2 px, borders $3 + $4 px: the progress window's controls inside it, texts whole"
}

frame_cases() {
  local before=${WINEPREFIX##*/prefix-} locale=$LC_ALL
  use_prefix frame en_US.UTF-8
  frame_case windows10 23 1 4
  frame_case tall 40 1 4
  use_prefix "$before" "$locale"
}
frame_cases
