#!/bin/sh
# Starts or stops a private sound server with one silent output, so that the desktop tests play
# sound and video previews on machines without sound hardware (build servers, containers).
# Nothing happens where PulseAudio is not installed: the tests then check the "cannot play" path.
#
#   scripts/test-sound.sh start DIR    server socket at DIR/native
#   scripts/test-sound.sh stop DIR
set -u

action=${1:-}
dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
command -v pulseaudio >/dev/null || exit 0

stop() {
    [ -f "$dir/pid" ] || return 0
    pid=$(cat "$dir/pid" 2>/dev/null)
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
    rm -f "$dir/pid"
}

case "$action" in
    start)
        mkdir -p "$dir"
        stop
        # Its own home and runtime folder: no settings or sockets of the user are touched.
        HOME="$dir" PULSE_RUNTIME_PATH="$dir" XDG_CONFIG_HOME="$dir" \
            pulseaudio -n --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes \
            --log-target=newfile:"$dir/log" \
            -L "module-null-sink sink_name=silent" \
            -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/native" 2>/dev/null
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            [ -S "$dir/native" ] && exit 0
            sleep 0.2
        done
        echo "test-sound: the sound server did not start (see $dir/log)" >&2
        exit 0
        ;;
    stop) stop ;;
    *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
exit 0
