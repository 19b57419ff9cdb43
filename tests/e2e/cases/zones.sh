# shellcheck shell=bash
# ---------------------------------------------------------------------------------------
# File times in zones with daylight saving time. Levels 0 and 1 store local (MS-DOS) times,
# which become UTC with the offset in force on their own date: summer time in summer, winter
# time in winter, whatever today is. Level 2 stores UTC, which no zone changes. The stub and
# the tool must set the same times, which the zone database (Python's zoneinfo) gives. Wine
# follows TZ. Stamps around midnight at a month's end move the UTC date across the month.
zone_cases() {
  local stamps=("2025-06-28 12:02:02" "2025-01-15 12:02:02" "2025-06-30 23:30:00" "2025-07-01 05:00:00")
  local desc=$work/zones.txt stamp wall level i zone dir way expected got
  printf 'zone test\r\n' > "$work/zone.txt"
  {
    echo "archive $work/zones.lzh"
    for level in 0 1; do
      for i in "${!stamps[@]}"; do
        # The generator writes the UTC wall clock of the time it is given: the local stamp.
        wall=$(TZ=UTC date -d "${stamps[$i]}" +%s)
        echo "member -lh5- $level $wall $(hex "l$level-$i.txt") $work/zone.txt"
      done
    done
    echo "member -lh5- 2 1751104922 $(hex l2.txt) $work/zone.txt"
  } > "$desc"
  java -Duser.timezone=UTC -cp "$JLHA" "$root/tests/jlha/MakeArchive.java" "$desc" > /dev/null 2>&1 ||
    { complain "jlha could not write zones.lzh"; finish_case "file times"; return; }
  make_sfx zones "$work/zones.lzh" --no-config
  for zone in Europe/Berlin America/New_York Asia/Tokyo; do
    for way in stub tool; do
      dir=$work/cwd/zones-$way-${zone//\//-}
      mkdir -p "$dir"
      if [ $way = stub ]; then
        TZ=$zone run_stub zones "$dir" exit && expect zones "exit 0"
      else
        TZ=$zone "$tool" extract -C "$dir" "$work/zones.lzh" > /dev/null || complain "tool: exit $?"
      fi
      for level in 0 1; do
        for i in "${!stamps[@]}"; do
          expected=$(TZ=$zone date -d "${stamps[$i]}" +%s)
          same_file "$dir/l$level-$i.txt" "$work/zone.txt" "$expected"
        done
      done
      same_file "$dir/l2.txt" "$work/zone.txt" 1751104922
    done
  done
  # The measured example of the corpus: a level-0 member of 28 June 2025, 12:02 local time,
  # is 10:02 UTC in Berlin (lhasa and bsdtar agree).
  local corpus=/work/shared/corpus/lh2_222/subdir.lzh member=subdir/SUBDIR2/HELLO.TXT
  if [ -f "$corpus" ]; then
    make_sfx zones-corpus "$corpus" --no-config
    dir=$work/cwd/zones-corpus
    TZ=Europe/Berlin run_stub zones-corpus "$dir/stub" exit && expect zones-corpus "exit 0"
    mkdir -p "$dir/tool"
    TZ=Europe/Berlin "$tool" extract -C "$dir/tool" "$corpus" > /dev/null || complain "tool: exit $?"
    for way in stub tool; do
      got=$(stat -c %Y "$dir/$way/$member" 2>/dev/null)
      [ "$got" = 1751104922 ] || complain "$way: $member has time ${got:-none}, not 1751104922"
    done
  else
    echo "      (no corpus at $corpus: its example is left out)"
  fi
  finish_case "local times in Berlin, New York and Tokyo become UTC by their own date's rules (stub and tool)"
}
zone_cases
