#!/usr/bin/env bash
# Makes docs/dtucfg.png, the README's picture of dtucfg in a terminal: the
# commands below run for real against a simulated unit, and their output is
# drawn as it came.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
png=${1:-$root/docs/dtucfg.png}
font=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf
title_font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

[ -x build/native/dtucfg ] || bash scripts/build.sh

commands=(
  'dtucfg read --port sim:unit.bin --out unit.ini'
  "sed -i 's/^IP=.*/IP=10.0.0.5/' unit.ini"
  'dtucfg write --port sim:unit.bin unit.ini --set ID="7B 92 0A"'
  "dtucfg read --port sim:unit.bin | grep -E '^(ID|IP)='"
)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/unit"
transcript=()
for command in "${commands[@]}"; do
  transcript+=("\$ $command")
  if ! (cd "$tmp/unit" && PATH="$root/build/native:$PATH" LC_ALL=C.UTF-8 \
          bash -c "set -o pipefail; $command") >"$tmp/out" 2>&1; then
    echo "$0: failed: $command" >&2
    cat "$tmp/out" >&2
    exit 1
  fi
  mapfile -t lines <"$tmp/out"
  transcript+=("${lines[@]}")
done

# label: takes % and \ as escapes and a leading @ as a file name.
text() {
  local s=${1//\\/\\\\}
  s=${s//%/%%}
  [[ $s == @* ]] && s="\\$s"
  printf '%s' "${s:- }"
}

body=()
for line in "${transcript[@]}"; do
  if [[ $line == '$ '* ]]; then
    body+=('(' -fill '#8ae234' label:'$ ' -fill '#eeeeec' label:"$(text "${line#\$ }")" +append ')')
  elif [[ $line == *': warning: '* ]]; then
    body+=(-fill '#fce94f' label:"$(text "$line")")
  else
    body+=(-fill '#d3d7cf' label:"$(text "$line")")
  fi
done
body+=('(' -fill '#8ae234' label:'$ ' -fill '#d3d7cf' label:'█' +append ')')

bg='#1e1e1e'
convert -background "$bg" -font "$font" -pointsize 15 "${body[@]}" -append \
  -bordercolor "$bg" -border 16x12 "$tmp/body.png"
width=$(identify -format '%w' "$tmp/body.png")
convert -size "${width}x30" xc:'#3c3c3c' \
  -fill '#ff5f56' -draw 'circle 18,15 24,15' \
  -fill '#ffbd2e' -draw 'circle 38,15 44,15' \
  -fill '#27c93f' -draw 'circle 58,15 64,15' \
  -font "$title_font" -pointsize 13 -fill '#cccccc' -gravity center -annotate +0+0 'Terminal' \
  "$tmp/bar.png"
mkdir -p "$(dirname "$png")"
convert "$tmp/bar.png" "$tmp/body.png" -append -bordercolor '#555555' -border 1 \
  -strip -depth 8 -define png:exclude-chunks=date,time "$png"
echo "Wrote ${png#"$root"/}"
