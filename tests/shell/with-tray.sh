#!/bin/sh
# Runs a shell test on a virtual X display that has a notification area (trayer), so the
# tray code runs for real. Exits 77 (skipped) where Xvfb or trayer is not installed.
# Usage: with-tray.sh <test executable> [test functions...]
command -v xvfb-run >/dev/null 2>&1 && command -v trayer >/dev/null 2>&1 || {
    echo "xvfb-run or trayer missing: tray test skipped"
    exit 77
}
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    trayer --edge bottom --align right --widthtype pixel --width 100 \
        --heighttype pixel --height 32 >/dev/null 2>&1 &
    tray=$!
    # trayer claims the notification area right after it starts.
    i=0
    while [ $i -lt 50 ] && ! xdotool search --class trayer >/dev/null 2>&1; do
        sleep 0.1
        i=$((i + 1))
    done
    QT_QPA_PLATFORM=xcb VANTREL_REQUIRE_TRAY=1 "$@"
    status=$?
    kill $tray
    exit $status
' with-tray "$@"
