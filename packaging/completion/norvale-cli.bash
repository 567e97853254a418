# bash completion for norvale-cli                                  -*- shell-script -*-
#
# Completes the commands, each command's options, the values of --mode and of --type (a
# comma-separated list: after "photo," the other kinds are offered), folders after recover --to,
# files after image --to, and for a SOURCE (and sources --image) the block devices of this
# machine together with files, as disk images may have any name. It reads only
# /sys/class/block and the folders being completed: norvale-cli itself is never run, since it may
# need root. Works with bash-completion's helpers when they are loaded, and without them.
# shellcheck disable=SC2207 # COMPREPLY=($(compgen ...)): words the script chose, no file names

# The block devices that hold data (a size above zero): disks and their partitions, loop devices
# with an attached file. Empty card readers and unused loop devices are left out.
_norvale_cli_devices()
{
    local entry name size
    for entry in /sys/class/block/*; do
        name=${entry##*/}
        case $name in
            ram* | zram*) continue ;;
        esac
        read -r size 2>/dev/null <"$entry/size" || continue
        name=${name//!//} # cciss!c0d0 is /dev/cciss/c0d0
        [[ $size != 0 && -b /dev/$name ]] && printf '%s\n' "/dev/$name"
    done
}

# Files, or folders with -d; appended to COMPREPLY.
_norvale_cli_files()
{
    if declare -F _filedir >/dev/null; then
        _filedir ${1:+"$1"}
        return
    fi
    compopt -o filenames 2>/dev/null
    if [[ ${1-} == -d ]]; then
        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -d -- "$cur")
    else
        mapfile -t -O ${#COMPREPLY[@]} COMPREPLY < <(compgen -f -- "$cur")
    fi
}

# A disk, a partition or an image file. Under /dev/ only block devices are offered, except in
# the folders of links to them (/dev/disk/by-id/..., /dev/mapper/...).
_norvale_cli_source()
{
    local IFS=$'\n'
    case $cur in
        /dev/disk/* | /dev/mapper/*)
            _norvale_cli_files
            ;;
        /dev/*)
            COMPREPLY=($(compgen -W "$(_norvale_cli_devices)" -- "$cur"))
            ;;
        *)
            COMPREPLY=($(compgen -W "$(_norvale_cli_devices)" -- "$cur"))
            _norvale_cli_files
            ;;
    esac
}

# The kinds of --type, as a comma-separated list: the kinds not yet named after the last comma.
_norvale_cli_kinds()
{
    local prefix='' kind left=''
    [[ $cur == *,* ]] && prefix=${cur%,*},
    for kind in photo audio video document archive others; do
        [[ ,$prefix == *,$kind,* ]] || left+=" $kind"
    done
    COMPREPLY=($(compgen -P "$prefix" -W "$left" -- "${cur##*,}"))
}

_norvale_cli()
{
    local cur prev words cword split=false
    if declare -F _init_completion >/dev/null; then
        _init_completion -s || return
    else
        COMPREPLY=()
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur=${COMP_WORDS[cword]}
        prev=${COMP_WORDS[cword - 1]}
        # Bash splits "--mode=ca" into "--mode", "=", "ca"; a caller may pass it whole.
        if [[ $cur == --*=* ]]; then
            prev=${cur%%=*}
            cur=${cur#*=}
            split=true
        elif [[ $cur == = ]]; then
            cur=''
        elif [[ $prev == = ]] && ((cword > 1)); then
            prev=${COMP_WORDS[cword - 2]}
        fi
    fi

    # The command is the first word that is not an option (the global ones take no value).
    local command='' i=1
    while ((i < cword)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]}
            break
        fi
        ((i++))
    done
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W '-h --help --version' -- "$cur"))
        else
            COMPREPLY=($(compgen -W 'sources detect scan list recover image' -- "$cur"))
        fi
        return
    fi

    local scan='--mode --partition --resume --restart -q --quiet --damaged --threads --direct'
    local options
    case $command in
        sources) options='--all --json --image' ;;
        detect) options='' ;;
        scan) options=$scan ;;
        list) options="$scan --type --ext --tree --json" ;;
        recover)
            options="$scan --type --ext --to --allow-same-device --keep-partial"
            options+=' --no-skip-existing --no-space-check'
            ;;
        image) options='--to --partition --rescue --force --allow-same-device -q --quiet' ;;
        *) return ;;
    esac
    options+=' -h --help'

    case $prev in
        --mode)
            COMPREPLY=($(compgen -W 'deleted full carve' -- "$cur"))
            return
            ;;
        --type)
            _norvale_cli_kinds
            return
            ;;
        --to)
            if [[ $command == recover ]]; then
                _norvale_cli_files -d
            else
                _norvale_cli_files
            fi
            return
            ;;
        --image)
            _norvale_cli_source
            return
            ;;
        --partition | --threads | --ext)
            return # a number or a list of extensions: nothing to offer
            ;;
    esac
    $split && return

    # Whether the SOURCE was given already: a word after the command that is neither an option
    # nor an option's value.
    local given=false
    for ((i++; i < cword; i++)); do
        case ${words[i]} in
            --mode | --partition | --threads | --type | --ext | --to | --image)
                [[ ${words[i + 1]-} == = ]] && ((i++))
                ((i++))
                ;;
            -*) ;;
            *) given=true ;;
        esac
    done
    if [[ $cur == -* || $command == sources ]] || $given; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        _norvale_cli_source
    fi
} &&
    complete -F _norvale_cli norvale-cli

# ex: filetype=sh
