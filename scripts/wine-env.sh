# Sourced, not run: starts what Windows programs need here and stops it again.
#   wine_env_start BUILD_DIR [visible]   Xvfb (unless visible and DISPLAY is set),
#                                        the Wine prefix, one persistent wineserver
#   wine_env_stop                        stops what wine_env_start started
#   in_japanese_locale COMMAND [ARG...]  runs a command in the ja_JP.UTF-8 locale:
#                                        every Wine process must (code page 932)

# The shell itself stays in the locale it started with, and only the
# commands get LANG and LC_ALL, through env. On a fresh machine setup.sh
# generates ja_JP.UTF-8 while this shell already runs, and the locale archive
# did not exist when the shell started: glibc tries to open the archive once
# per process and never again, so `export LC_ALL=ja_JP.UTF-8` here would make
# bash warn "setlocale: LC_ALL: cannot change locale". A new process finds it.
in_japanese_locale() {
    env LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 "$@"
}

wine_env_start() {
    local build=$1 visible=${2:-}
    export WINEPREFIX=$build/wineprefix
    source "$(dirname "${BASH_SOURCE[0]}")/arch.sh"
    if [ "$(qvpush_arch)" = x86_64 ]; then
        export WINEARCH=win64
        # /usr/bin/wine picks the 32-bit loader whenever it is installed, and
        # that one cannot start here: every "wine" of the run is the 64-bit one.
        mkdir -p "$build/winebin"
        printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$build/winebin/wine"
        chmod +x "$build/winebin/wine"
        case ":$PATH:" in *":$build/winebin:"*) ;; *) export PATH="$build/winebin:$PATH" ;; esac
    else
        export WINEARCH=win32
    fi
    # A prefix made for the other architecture cannot serve this one.
    if [ -f "$WINEPREFIX/.qvpush-ready" ] && [ "$(cat "$WINEPREFIX/.qvpush-ready")" != "$WINEARCH" ]; then
        wineserver -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    export WINEDEBUG=-all
    QVPUSH_XVFB_PID=
    if [ -z "$visible" ] || [ -z "${DISPLAY:-}" ]; then
        local n=90
        while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        QVPUSH_XVFB_PID=$!
        export DISPLAY=":$n"
        local i
        for i in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && break
            sleep 0.1
        done
    fi
    if [ ! -f "$WINEPREFIX/.qvpush-ready" ]; then
        # The prefix's first process starts services that inherit its output:
        # keep it away from any pipe.
        in_japanese_locale wine cmd /c exit >/dev/null 2>&1 </dev/null
        # Without a window manager, Wine waits about 2 s on every hide or
        # destroy of a managed window.
        in_japanese_locale wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
        echo "$WINEARCH" >"$WINEPREFIX/.qvpush-ready"
    fi
    # Persistent, so that each Wine process starts in a fraction of a second.
    # One may already run for this prefix; that one serves as well.
    in_japanese_locale wineserver -p 2>/dev/null || true
    in_japanese_locale wine cmd /c exit >/dev/null 2>&1 </dev/null
    if [ -n "$QVPUSH_XVFB_PID" ]; then
        # The desktop process (explorer.exe /desktop) starts with the first
        # window of a prefix and ends when the desktop has been unused for a
        # moment; it inherits the output of the process that started it, and
        # a test runner reading that output would wait until it ends. One
        # window kept open for the whole run starts it here, away from any
        # pipe, and keeps it. Minimized, it lies out of the way at the foot
        # of the screen: a full-size window mapped after a test's dialog would
        # cover it, and a screenshot of the dialog would show the unpainted
        # cover.
        in_japanese_locale wine start /min notepad.exe >/dev/null 2>&1 </dev/null
        local i
        for i in $(seq 1 100); do
            wine_desktop_running && break
            sleep 0.1
        done
    fi
}

# True when this prefix's desktop process runs.
wine_desktop_running() {
    local pid
    for pid in $(pgrep -f 'explorer.exe /desktop' 2>/dev/null); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && return 0
    done
    return 1
}

wine_env_stop() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    if [ -n "${QVPUSH_XVFB_PID:-}" ]; then
        kill "$QVPUSH_XVFB_PID" 2>/dev/null || true
        wait "$QVPUSH_XVFB_PID" 2>/dev/null || true
    fi
}
