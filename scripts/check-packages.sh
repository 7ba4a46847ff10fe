#!/usr/bin/env bash
# Checks what scripts/package.sh made in build/package: the zip's files, the
# .deb's control data and files, dtucfg and its man page and completion as
# installed from the .deb, the example profile, and the checksums.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/package
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/deb/CMakeCache.txt)
[ -n "$version" ] || { echo "no project version in build/deb/CMakeCache.txt" >&2; exit 1; }
zip=$out/dtu-config-$version-windows-x86.zip
deb=$out/dtucfg_${version}_amd64.deb
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "check-packages: $*" >&2
  exit 1
}

top=dtu-config-$version-windows-x86
diff <(zipinfo -1 "$zip" | sort) <(printf '%s\n' "$top/DTUConfig.exe" "$top/LICENSE" \
  "$top/README.txt" "$top/dtucfg.exe" "$top/profiles/" "$top/profiles/example.ini" | sort) ||
  fail "$zip holds other files"
unzip -q "$zip" "$top/DTUConfig.exe" "$top/dtucfg.exe" -d "$scratch/zip"
for exe in DTUConfig.exe dtucfg.exe; do
  file "$scratch/zip/$top/$exe" | grep -q 'PE32 executable.*Intel 80386' ||
    fail "$exe in the zip is not the 32-bit build"
done

info=$(dpkg-deb -I "$deb")
grep -qx ' Package: dtucfg' <<<"$info" || fail "$deb: wrong Package"
grep -qx " Version: $version" <<<"$info" || fail "$deb: wrong Version"
for library in libc6 libnettle8 libodbc2; do
  grep -qE "^ Depends: (.*, )?$library( |,|$)" <<<"$info" || fail "$deb: Depends lacks $library"
done
diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort) <(printf '%s\n' \
  ./usr/bin/dtucfg ./usr/share/bash-completion/completions/dtucfg \
  ./usr/share/doc/dtucfg/copyright ./usr/share/man/man1/dtucfg.1.gz) ||
  fail "$deb holds other files"

dpkg-deb -x "$deb" "$scratch/root"
installed=$scratch/root/usr
[ "$("$installed/bin/dtucfg" --version)" = "dtucfg $version" ] || fail "dtucfg --version is not $version"

page=$installed/share/man/man1/dtucfg.1.gz
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$scratch/page.txt")
[ -z "$warnings" ] || fail "man page warnings: $warnings"
for section in SYNOPSIS COMMANDS PORTS "UNITS CSV" "PRODUCTION LINE" "SEVERAL STATIONS" \
  "EXIT STATUS" ENVIRONMENT EXAMPLES; do
  grep -qx "$section" "$scratch/page.txt" || fail "man page lacks $section"
done
grep -q DTUCFG_DB "$scratch/page.txt" || fail "man page lacks DTUCFG_DB"
# Every command and every option its --help names.
for command in ports search read write diff restart factory-reset line trace show "batch create" \
  "batch status" "batch report" "batch release" "batch void"; do
  grep -qE "^ +dtucfg $command " "$scratch/page.txt" || fail "man page SYNOPSIS lacks $command"
  read -r -a words <<<"$command"
  for option in $("$installed/bin/dtucfg" "${words[@]}" --help | sed -n '/^Options:/,/^$/p' |
                  grep -oE '^ +-[^ ]+' | tr ',' ' '); do
    grep -qe "$option" "$scratch/page.txt" || fail "man page lacks $command's $option"
  done
done
for code in 0 1 2 3 4 5 6 130; do
  sed -n '/^EXIT STATUS/,/^[A-Z]/p' "$scratch/page.txt" | grep -qE "^ +$code " ||
    fail "man page EXIT STATUS lacks $code"
done

bash tests/package/completion.sh "$installed/share/bash-completion/completions/dtucfg" \
  "$installed/bin/dtucfg" || fail "bash completion"

# The example profile loads without warnings.
"$installed/bin/dtucfg" show res/profiles/example.ini >"$scratch/show.txt" 2>"$scratch/show.err" ||
  fail "dtucfg show refuses the example profile"
if grep -q ' ! ' "$scratch/show.txt" || [ -s "$scratch/show.err" ]; then
  fail "the example profile draws warnings: $(cat "$scratch/show.err" "$scratch/show.txt")"
fi

(cd "$out" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not verify"
[ "$(wc -l <"$out/SHA256SUMS")" -eq 2 ] || fail "SHA256SUMS lists other than the two packages"
echo "check-packages: $zip and $deb are fine"
