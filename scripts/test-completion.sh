#!/usr/bin/env bash
# Tests the shell completion of norvale-cli by completing command lines with it.
#   bash: the completion function is driven with COMP_WORDS/COMP_CWORD, once with
#         bash-completion's helpers loaded (when installed) and once without them: commands,
#         a command's options, --mode and --type values, folders or files after --to, image
#         files and block devices for a SOURCE.
#   zsh:  the file passes `zsh -n`, compinit picks it up for norvale-cli in `zsh -f`, and
#         completions typed into an interactive zsh (through zpty) offer the --mode values and
#         the --type kinds not given yet.
# Exits with 77 when the shell (zsh) is missing.
# Usage: test-completion.sh bash|zsh COMPLETION_FILE
set -euo pipefail

shell=${1:?usage: test-completion.sh bash|zsh COMPLETION_FILE}
file=$(realpath "${2:?usage: test-completion.sh bash|zsh COMPLETION_FILE}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A folder with a disk image and a folder in it, for SOURCE and --to.
mkdir "$work/rescued"
truncate -s 1M "$work/card.img"

bash_case() {
    local helpers=$1
    bash --norc --noprofile -s "$file" "$work" "$helpers" <<'BASH'
set -uo pipefail
file=$1 work=$2 helpers=$3
bc=/usr/share/bash-completion/bash_completion
if [[ $helpers == with ]]; then
    [[ -r $bc ]] || { echo "bash-completion not installed: its helpers not tried"; exit 0; }
    source "$bc"
fi
source "$file"
failed=0
# complete WORD...: completes the last word of "norvale-cli WORD..." into $got (sorted, one line).
complete_line() {
    COMP_WORDS=(norvale-cli "$@")
    COMP_CWORD=$#
    COMP_LINE="${COMP_WORDS[*]}"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _norvale_cli
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    got=${got% }
}
expect() { # expect "WORDS" "EXPECTED": the completion is exactly EXPECTED (sorted)
    local words=$1 want
    want=$(printf '%s\n' $2 | sort | tr '\n' ' ')
    eval "complete_line $words"
    [[ $got == "${want% }" ]] && return
    echo "$helpers helpers: norvale-cli $words<TAB> offered [$got], expected [${want% }]"
    failed=1
}
cd "$work"
expect "''" "sources detect scan list recover image"
expect "-" "-h --help --version"
expect "recover --" "--mode --partition --resume --restart --quiet --damaged --threads --direct
    --type --ext --to --allow-same-device --keep-partial --no-skip-existing --no-space-check --help"
expect "image -" "--to --partition --rescue --force --allow-same-device -q --quiet -h --help"
expect "scan --mode ''" "deleted full carve"
expect "list --type photo,au" "photo,audio"
expect "recover --type photo,audio," \
    "photo,audio,video photo,audio,document photo,audio,archive photo,audio,others"
expect "scan --threads ''" ""
expect "recover --partition ''" ""
expect "scan ca" "card.img"
expect "sources --image ca" "card.img"
expect "recover card.img --to ''" "rescued"
expect "image card.img --to ''" "card.img rescued"
expect "recover card.img --t" "--threads --to --type"
# Under /dev/ only block devices that hold data are offered.
complete_line detect /dev/
for device in $got; do
    if [[ ! -b $device ]]; then
        echo "$helpers helpers: SOURCE offered $device, which is not a block device"
        failed=1
    fi
done
exit $failed
BASH
}

case $shell in
bash)
    status=0
    bash_case with || status=1
    bash_case without || status=1
    [[ $status == 0 ]] && echo "bash completion completes commands, options, values and sources"
    exit $status
    ;;
zsh)
    if ! command -v zsh >/dev/null; then
        echo "zsh not found: zsh completion not tested"
        exit 77
    fi
    zsh -n "$file"
    timeout 30 zsh -f -s "$file" "$work" <<'ZSH'
file=$1 work=$2
fpath=(${file:h} $fpath)
autoload -Uz compinit
compinit -u -D
if [[ ${_comps[norvale-cli]-} != _norvale-cli ]]; then
    print -r -- "compinit did not take ${file:t} for norvale-cli"
    exit 1
fi
# Types a line and a Tab into an interactive zsh; prints the matches its compadd received.
zmodload zsh/zpty
zpty shell zsh -f -i
# Runs a command in it and waits until it has finished, so that the next Tab reaches the line
# editor and not a command still reading its input.
run() {
    zpty -w shell "$1; print -r -- DO''NE"
    zpty -r shell out '*DONE*'
}
run "PROMPT=''; fpath=(${file:h} \$fpath); autoload -Uz compinit; compinit -u -D"
run 'compadd() { local -a m; builtin compadd -A m "$@"; print -rl -- "" "<"${^m}">" >/dev/tty
    builtin compadd "$@"; }'
offered() {
    local out
    zpty -w -n shell "$1"$'\t'
    zpty -w shell $'\C-u'"print -r -- END''OF''TRY"
    zpty -r shell out '*ENDOFTRY*'
    print -r -- ${(o)${(u)${(M)${(f)out//$'\r'}:#\<*\>}}}
}
failed=0
expect() {
    local got=$(offered $1)
    [[ $got == $2 ]] && return
    print -r -- "norvale-cli ${1#norvale-cli }<TAB> offered [$got], expected [$2]"
    failed=1
}
expect 'norvale-cli recover --mode ' '<carve> <deleted> <full>'
expect 'norvale-cli list --type photo,' '<archive> <audio> <document> <others> <video>'
expect 'norvale-cli ' '<detect> <image> <list> <recover> <scan> <sources>'
run "cd ${(q)work}"
expect 'norvale-cli recover card.img --to ' '<rescued>'
# A SOURCE: the image file and the folder, besides this machine's block devices.
got=$(offered 'norvale-cli scan ')
if [[ " $got " != *" <card.img> "* || " $got " != *" <rescued> "* ]]; then
    print -r -- "norvale-cli scan <TAB> offered [$got], without card.img and rescued"
    failed=1
fi
zpty -d shell
exit $failed
ZSH
    echo "zsh completion loads through compinit and completes values"
    ;;
*)
    echo "usage: test-completion.sh bash|zsh COMPLETION_FILE" >&2
    exit 2
    ;;
esac
