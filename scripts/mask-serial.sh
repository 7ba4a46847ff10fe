#!/bin/sh
# Runs a program where the machine's built-in serial ports (/dev/ttyS*) are
# /dev/null: nothing started from it can reach a real UART.
#
#   scripts/mask-serial.sh PROGRAM [ARGS...]
#
# Wine maps the first real serial port it finds to COM256 in every prefix,
# past the 255 ports scripts/wine-prefix.sh points elsewhere, and the
# wineserver opens devices for its clients. So every Wine program (and the
# wineserver it starts) runs through here. Needs root for the private mount
# namespace; without it the program runs as it is.
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  exec unshare --mount --propagation private -- sh -c '
    for port in /dev/ttyS*; do
      if [ -c "$port" ]; then mount --bind /dev/null "$port"; fi
    done
    exec "$@"' sh "$@"
fi
exec "$@"
