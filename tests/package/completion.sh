#!/usr/bin/env bash
# completion.sh COMPLETION_FILE DTUCFG: checks what the completion offers,
# and that it offers every option each command's --help names.
set -eo pipefail
completion=$1 dtucfg=$2
# shellcheck source=/dev/null
source /usr/share/bash-completion/bash_completion
# shellcheck source=/dev/null
source "$completion"

failed=0
# complete WORD...: the words of the command line, the last one being completed.
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _dtucfg dtucfg "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '
}
expect() {
  local want=$1 got
  shift
  got=$(complete_line "$@")
  if [ "$got" != "$want" ]; then
    echo "completion of '$*': got '$got', want '$want'" >&2
    failed=1
  fi
}

expect "write" dtucfg wr
expect "--no-verify" dtucfg write unit.ini --no
expect "ini json raw" dtucfg read --port sim --format ""
expect "json" dtucfg show unit.ini --format j
expect "all" dtucfg --timeout 5 restart --port a
expect "" dtucfg trace --port a
expect "release report" dtucfg batch re
expect "--row" dtucfg batch void lot-1 --db DSN=x --r
expect "" dtucfg line --batch lot-1 --station ""
expect "--profile" dtucfg trace --report r.csv --pro

for command in ports search read write diff restart factory-reset line trace show batch \
  "batch create" "batch status" "batch report" "batch release" "batch void" "batch serve"; do
  read -r -a words <<<"$command"
  offered=" $(complete_line dtucfg "${words[@]}" -) "
  options=$("$dtucfg" "${words[@]}" --help | sed -n '/^Options:/,/^$/p' | grep -oE '^ +-[^ ]+' | tr ',' ' ')
  for option in $options; do
    if [[ $offered != *" $option "* ]]; then
      echo "completion of 'dtucfg $command -' lacks $option" >&2
      failed=1
    fi
  done
done
exit $failed
