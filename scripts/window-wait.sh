# Sourced: waits for X windows of Windows programs on $DISPLAY (Wine names the
# window class after the program's file; CLASS is xdotool's --classname pattern).
#
# xdotool stops a whole search at the first X error, and a window of any program
# that closes between xdotool listing it and asking about it (a splash, a page
# of a wizard, a program that ends) gives BadWindow. So a search counts only
# when it ran to its end, and a window found only while it is still shown.
#   window_shown ID              whether the window exists and is viewable
#   search_shown CLASS           one search: the ids of the shown windows of
#                                CLASS; fails when an X error cut it short
#   wait_window CLASS [SECONDS]  waits (default 60 s) for a shown window of
#                                CLASS and prints its id; on timeout says which
#                                windows were shown and fails
#   shown_windows                id, class and title of each shown window
# window_poll: seconds between searches (default 0.1).
window_poll=${window_poll:-0.1}

window_shown() {
    xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'
}

search_shown() {
    local out w
    out=$(xdotool search --onlyvisible --classname "$1" 2>&1) || true
    case $out in *"X Error"*) return 1 ;; esac
    for w in $out; do
        if [[ $w =~ ^[0-9]+$ ]] && window_shown "$w"; then echo "$w"; fi
    done
    return 0
}

wait_window() {
    local class=$1 seconds=${2:-60} found cut=0
    local end=$((SECONDS + seconds))
    while :; do
        if found=$(search_shown "$class"); then
            if [ -n "$found" ]; then
                echo "${found%%$'\n'*}"
                return 0
            fi
        else
            cut=$((cut + 1))
        fi
        [ $SECONDS -lt $end ] || break
        sleep "$window_poll"
    done
    {
        echo "no window of $class within $seconds s ($cut searches cut short by an X error); shown were:"
        shown_windows | sed 's/^/  /'
    } >&2
    return 1
}

shown_windows() {
    local out w class try
    for try in 1 2 3 4 5; do
        # Any class: the window manager's frames and their parts have none.
        out=$(xdotool search --onlyvisible --classname . 2>&1) || true
        case $out in *"X Error"*) sleep 0.1; continue ;; esac
        for w in $out; do
            [[ $w =~ ^[0-9]+$ ]] || continue
            class=$(xprop -id "$w" WM_CLASS 2>/dev/null | sed -n 's/^WM_CLASS([A-Z_]*) = //p')
            [ -n "$class" ] && echo "$w $class \"$(xdotool getwindowname "$w" 2>/dev/null)\""
        done
        return 0
    done
    echo "(not listed: every search was cut short by an X error)"
}
