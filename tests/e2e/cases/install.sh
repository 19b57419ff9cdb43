# shellcheck shell=bash
# The installed tool: `cmake --install` of the tool's build into a fresh prefix, then, from a
# folder outside the checkout and with no --stub, a self-extractor of a small tree with the
# stub the tool carries for this pass's machine (x86_64, or --arch x86 in the i686 pass),
# which extracts that tree.

install_prefix=$work/installed
if [ ! -x "$install_prefix/bin/quorsfx" ]; then
  cmake --install "$(dirname "$(dirname "$tool")")" --prefix "$install_prefix" \
    > "$work/install.log" 2>&1 || complain "cmake --install failed: $(tail -3 "$work/install.log")"
fi
[ -f "$install_prefix/share/man/man1/quorsfx.1" ] || complain "no manual page installed"

arch_option=()
[ "$pass" = i686 ] && arch_option=(--arch x86)
alone=$work/alone
mkdir -p "$alone/tree/bin" "$alone/tree/日本語"
cp "$data/readme.txt" "$alone/tree/readme.txt"
cp "$data/numbers.txt" "$alone/tree/bin/tool.txt"
cp "$data/mixed.bin" "$alone/tree/日本語/表.bin"
if (cd "$alone" && "$install_prefix/bin/quorsfx" make -o "$work/installed.exe" "${arch_option[@]}" \
      --no-config tree) > "$work/installed-make.log" 2>&1; then
  dir=$work/cwd/installed
  if run_stub installed "$dir" progress exit; then
    expect installed "exit 0"
    same_file "$dir/tree/readme.txt" "$alone/tree/readme.txt"
    same_file "$dir/tree/bin/tool.txt" "$alone/tree/bin/tool.txt"
    same_file "$dir/tree/日本語/表.bin" "$alone/tree/日本語/表.bin"
  fi
else
  complain "the installed quorsfx make failed: $(cat "$work/installed-make.log")"
fi
finish_case "installed: make with the built-in ${arch_option[*]:-x86_64} stub, from outside the checkout, extracts its tree"
