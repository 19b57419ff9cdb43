# Rights, as an ordinary Windows user has them (sourced by tests/e2e/run, in both passes).
#
# Wine gives every process an administrator's token and enforces no ACLs, so a folder is made
# unwritable from the Linux side: `chattr +i` makes Wine answer ERROR_ACCESS_DENIED to every
# create inside it. Every such flag is lifted again on the way out, or the prefix could not be
# deleted. WINEDEBUG=+exec shows each ShellExecuteEx as a line "SHELL_execute ... verb=L"runas"
# file=... parm=L"..."", which is how a case sees the relaunch with administrator rights and
# what it was handed.

locked=()
lock() { chattr +i "$1" && locked+=("$1"); }
unlock_all() {
  local folder
  for folder in "${locked[@]}"; do chattr -i "$folder" 2>/dev/null; done
  locked=()
}
trap 'unlock_all; cleanup' EXIT

program_files="$drive_c/Program Files"
# The user's desktop is a link to $HOME in a new prefix; a folder of its own here, so that it
# can be refused without refusing the home folder. Put back at the end.
user_desktop=$(find "$drive_c/users" -mindepth 2 -maxdepth 2 -name Desktop ! -path '*/Public/*' | head -1)
desktop_link=$(readlink "$user_desktop")
[ -n "$desktop_link" ] && rm "$user_desktop" && mkdir "$user_desktop"

make_sfx rights "$work/small.lzh" --title 'Rights' --destination 'Quor Rights' --under-program-files \
  --shortcut-target 'bin\tool.txt' --start-menu 3 --desktop 1 --send-to 3 --shortcut-name 'Quor Rights'

# run_traced NAME DIR STEP...: run_stub with Wine's ShellExecute trace; the "runas" lines go
# to $work/NAME.runas.
run_traced() {
  local name=$1 status
  WINEDEBUG=+exec run_stub "$@"
  status=$?
  grep -a 'SHELL_execute .*verb=L"runas"' "$work/$name.err" | sed 's/.* parm=L"\(.*\)" dir=.*/\1/' \
    > "$work/$name.runas"
  return $status
}
# One relaunch, handed exactly PARAMETERS (as the trace writes them: \\ for \).
one_relaunch() {
  local n
  n=$(wc -l < "$work/$1.runas")
  [ "$n" = 1 ] || complain "$n relaunches with \"runas\", not one: $(tr '\n' ';' < "$work/$1.runas")"
  [ "$(head -1 "$work/$1.runas")" = "$2" ] ||
    complain "relaunched with $(head -1 "$work/$1.runas"), not $2"
}
no_relaunch() {
  [ ! -s "$work/$1.runas" ] || complain "relaunched: $(tr '\n' ';' < "$work/$1.runas")"
}
viewer="$program_files/Quor Rights"
clean_rights() {
  unlock_all
  rm -rf "$viewer"
  find "$drive_c" "$HOME" -name 'Quor Rights.lnk' -delete 2>/dev/null
}

# Program Files refused, unattended: the run asks for administrator rights once, handing over
# /S, the chosen shortcuts (Start menu 1 + Send To 4) and the destination; the run it starts
# is refused too (the flag stays), starts no third, and its exit code 1 is the first run's.
clean_rights
lock "$program_files"
if run_traced rights "$work/cwd/rights-quiet" args=/S quiet; then
  expect rights "exit 1"
fi
one_relaunch rights '/S /E=5 /D=C:\\Program Files\\Quor Rights'
absent "$viewer"
no_links "Quor Rights"
clean_rights
finish_case "/S, Program Files refused: one relaunch with runas and the choices, none from it, its exit 1"

# Interactive: OK asks for the rights with what the dialog shows (desktop checked too); the
# flag is lifted while the new run is held, which then extracts under Program Files with the
# three shortcuts, and the first run ends with its exit code 0.
lock "$program_files"
hold=$work/rights-hold
rm -f "$hold"
rm -f "$work/rights.raw"
run_traced rights "$work/cwd/rights-dialog" dialog check=1003:1 ok "child-hold=$(winpath "$hold")" exit \
  > /dev/null 2>&1 &
job=$!
for _ in $(seq 1 600); do grep -q '^child' "$work/rights.raw" 2>/dev/null && break; sleep 0.1; done
unlock_all
touch "$hold"
wait $job
# The run was in the background: its complaints are read back here.
tr -d '\r' < "$work/rights.raw" > "$work/rights.report"
grep -q '^failed' "$work/rights.report" && complain "driver: $(grep '^failed' "$work/rights.report")"
expect rights "exit 0"
one_relaunch rights '/E=7 /D=C:\\Program Files\\Quor Rights'
same_file "$viewer/readme.txt" "$data/readme.txt" $T0
same_file "$viewer/bin/tool.txt" "$data/numbers.txt" $((T0 + 2))
[ -f "$common_programs/Quor Rights.lnk" ] || complain "no Start-menu shortcut from the elevated run"
[ -f "$common_desktop/Quor Rights.lnk" ] || complain "no desktop shortcut from the elevated run"
[ -f "$send_to/Quor Rights.lnk" ] || complain "no Send To shortcut from the elevated run"
clean_rights
finish_case "dialog, Program Files refused: the elevated run extracts there with the choices, exit 0"

# The public desktop refused: the user's own desktop takes the shortcut. Refused too: the
# shortcut is named in a message and the run fails (exit 1), the members being there.
make_sfx rights-desk "$work/small.lzh" --title 'Rights' --destination 'C:\QuorTest\rights' \
  --shortcut-target 'bin\tool.txt' --start-menu 0 --desktop 3 --send-to 0 --shortcut-name 'Quor Rights'
lock "$common_desktop"
if run_traced rights-desk "$work/cwd/rights-desk" args=/S quiet; then
  expect rights-desk "exit 0"
fi
no_relaunch rights-desk
[ -f "$user_desktop/Quor Rights.lnk" ] || complain "no shortcut on the user's desktop ($user_desktop)"
absent "$common_desktop/Quor Rights.lnk"
find "$drive_c" "$HOME" -name 'Quor Rights.lnk' -delete 2>/dev/null
lock "$user_desktop"
if run_stub rights-desk "$work/cwd/rights-desk" dialog ok msgbox msgbox-ok exit; then
  expect rights-desk "msgbox.text ファイル Quor Rights を書き込めません。"
  expect rights-desk "exit 1"
fi
same_file "$drive_c/QuorTest/rights/readme.txt" "$data/readme.txt" $T0
no_links "Quor Rights"
clean_rights
finish_case "public desktop refused: the user's desktop takes the shortcut; both refused: named, exit 1"

# /D= quoted whole or its path quoted, as other programs pass a path with spaces; a writable
# destination asks for no rights. A quote never closed is refused: a message, exit 3.
n=0
for arg in '"/D=C:\Quor Rights\a b"' '/D="C:\Quor Rights\a b"'; do
  n=$((n + 1))
  rm -rf "$drive_c/Quor Rights"
  ln -sf "$work/rights-desk.exe" "$work/rights-d$n.exe"
  if run_traced "rights-d$n" "$work/cwd/rights-d$n" "args=/S $arg" quiet; then
    expect "rights-d$n" "exit 0"
  fi
  no_relaunch "rights-d$n"
  same_file "$drive_c/Quor Rights/a b/readme.txt" "$data/readme.txt" $T0
done
ln -sf "$work/rights-desk.exe" "$work/rights-open.exe"
if run_stub rights-open "$work/cwd/rights-open" 'args="/D=C:\Quor Rights\open' msgbox msgbox-ok exit; then
  expect rights-open "msgbox.text /D= の引用符が閉じていません。"
  expect rights-open "exit 3"
fi
if run_stub rights-open "$work/cwd/rights-open" 'args=/S /D="C:\Quor Rights\open' quiet; then
  expect rights-open "exit 3"
fi
absent "$drive_c/Quor Rights/open"
rm -rf "$drive_c/Quor Rights" "$drive_c/QuorTest/rights"
find "$drive_c" "$HOME" -name 'Quor Rights.lnk' -delete 2>/dev/null
finish_case "\"/D=PATH\" and /D=\"PATH\" with /S land in PATH without a relaunch; an open quote: exit 3"

[ -n "$desktop_link" ] && rm -rf "$user_desktop" && ln -s "$desktop_link" "$user_desktop"
