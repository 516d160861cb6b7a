#!/bin/busybox sh
# shellcheck shell=sh
# The init of check-uart's guests: it mounts what lowrad and the check need,
# runs /setup (what this guest loads and reports, and lowrad's texts that
# the commands below look for: images.py writes it), then runs what the host
# asks on the console, one command a line, and answers in lines that start
# with @.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t devtmpfs dev /dev
mkdir -p /sys && mount -t sysfs sysfs /sys

# The line of port $1 in the driver's /proc file: /proc/tty/driver/serial, or $2.
serial() { echo "@serial $(grep "^$1:" "/proc/tty/driver/${2:-serial}")"; }

# A device that a module makes once it has found the hardware: wait up to 10 s.
appear() {
    n=0
    while [ ! -e "$1" ] && [ $n -lt 100 ]; do
        sleep 0.1
        n=$((n + 1))
    done
}

# The guest's uptime when lowrad starts waiting for data and when it gives up.
stamp() {
    while IFS= read -r line; do
        case $line in
        "${waiting:?}" | "${timedout:?}")
            read -r up _ </proc/uptime
            echo "$up"
            ;;
        esac
    done
}

# shellcheck source=/dev/null
. /setup
echo @ready
while read -r command arguments; do
    # The arguments are words, split where they are used.
    # shellcheck disable=SC2086
    set -- $arguments
    case $command in
    lowrad)
        # lowrad PORT [DRIVER DEVICE]: lowrad on ttyS$PORT, or through the
        # runner on DEVICE shown to it as ttyS0; then the port's line in
        # /proc/tty/driver/DRIVER.
        program=/usr/bin/lowrad
        [ -n "$3" ] && program="/usr/bin/lowrad-run --map ttyS0=$3"
        { $program; echo $? >/status; } </dev/console | tee /out /dev/console | stamp >/times
        echo "@status $(cat /status)"
        echo "@times $(tr '\n' ' ' </times)"
        echo "@out $(base64 -w0 /out)"
        serial "$1" "$2"
        echo @ready
        ;;
    sh)
        sh -c "$arguments" >/out 2>&1
        echo "@status $?"
        echo "@out $(base64 -w0 /out)"
        echo @ready
        ;;
    # lowrad-doctor [user] [DEVICE...]: see doctor.py.
    doctor)
        if [ "$1" = user ]; then
            shift
            su user -c "/usr/bin/lowrad-doctor $*" >/out
        else
            /usr/bin/lowrad-doctor "$@" >/out
        fi
        echo "@doctor $? $(base64 -w0 /out)"
        echo @ready
        ;;
    opening)
        saved=$(stty -g)
        # Opened for reading and writing, a FIFO opens at once.
        mkfifo /said
        exec 5<>/said
        if [ "$1" = user ]; then
            printf '%s\nG\n' "$2" | su user -c /usr/bin/lowrad >/said &
        else
            printf '%s\nG\n' "$1" | /usr/bin/lowrad >/said &
        fi
        lowrad=$!
        while read -r line <&5; do
            case $line in
            "${opened:?}" | "${failed:?}")
                echo "@opening $line"
                break
                ;;
            esac
        done
        kill $lowrad 2>/dev/null
        wait $lowrad
        exec 5<&-
        rm /said
        stty "$saved"
        echo @ready
        ;;
    users)
        # users DEVICE...: root and user, and the devices given to the
        # group dialout, as Debian's udev rules give them.
        chmod 755 /
        mkdir -p /etc /run/lock
        printf 'root:x:0:0:root:/:/bin/sh\nuser:x:1000:1000:user:/:/bin/sh\n' >/etc/passwd
        printf 'root:x:0:\ndialout:x:20:\nuser:x:1000:\n' >/etc/group
        chgrp dialout "$@"
        chmod 660 "$@"
        echo @ready
        ;;
    hold)
        mkfifo /hold
        /usr/bin/flock "/dev/ttyS$1" cat </hold >/dev/null &
        holder=$!
        exec 4<>/hold
        until grep -q FLOCK /proc/locks; do sleep 0.1; done
        echo @ready
        ;;
    getty)
        getty -L 1200 "ttyS$1" vt100 &
        holder=$!
        until [ "$(readlink "/proc/$holder/fd/0")" = "/dev/ttyS$1" ]; do sleep 0.1; done
        echo @ready
        ;;
    release)
        exec 4>&-
        kill "$holder" 2>/dev/null
        wait "$holder"
        rm -f /hold
        echo @ready
        ;;
    off) poweroff -f ;;
    esac
done
