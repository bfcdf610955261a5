# Shell functions over uci package files, sourced by the uci and
# change_storageshare_config stand-ins. They run in the calling shell:
# each extra process costs more than the whole package takes to read.
# Lines split into fields on white space, as awk splits them; a name or
# value loses one leading and one trailing quote, either kind (unq).

uci_ifs=$IFS
# space: space, tab, CR, VT, FF (written as they are: a $(printf ...)
# would cost a process); blank: space and tab.
space=' 	'
blank=' 	'

unq() { u=${1#[\"\']}; u=${u%[\"\']}; }

# The first three fields of the words given. CR, VT and FF are not IFS
# white space, so a run of them splits off empty words: awk has none.
fields() {
    f1=; f2=; f3=
    for w; do
        [ -n "$w" ] || continue
        if [ -z "$f1" ]; then f1=$w; elif [ -z "$f2" ]; then f2=$w; else f3=$w; break; fi
    done
}

# Splits $line into f1 f2 f3 (no pathname expansion of the words).
split_line() {
    set -f
    IFS=$space
    fields $line
    IFS=$uci_ifs
    set +f
}

# uci_value FILE SECTION [OPTION]: prints the section's type (no option) or
# the option's value; status 1 when there is none.
uci_value() {
    insec=0
    while IFS= read -r line || [ -n "$line" ]; do
        split_line
        if [ "$f1" = config ]; then
            unq "$f3"
            insec=0
            [ "$u" = "$2" ] || continue
            insec=1
            [ -n "${3-}" ] && continue
            unq "$f2"
            printf '%s\n' "$u"
            return 0
        fi
        [ $insec = 1 ] && [ "$f1" = option ] && [ "$f2" = "${3-}" ] || continue
        # ^[ \t]*option[ \t]+[^ \t]+[ \t]+ comes off; when it does not
        # match, the whole line is the value.
        whole=0
        v=${line#"${line%%[!$blank]*}"}
        case $v in option[$blank]*) v=${v#option} ;; *) whole=1 ;; esac
        v=${v#"${v%%[!$blank]*}"}
        name=${v%%[$blank]*}
        [ -n "$name" ] || whole=1
        v=${v#"$name"}
        case $v in [$blank]*) ;; *) whole=1 ;; esac
        v=${v#"${v%%[!$blank]*}"}
        [ $whole = 0 ] || v=$line
        unq "$v"
        printf '%s\n' "$u"
        return 0
    done < "$1"
    return 1
}

# Option lines written for OPTION VALUE pairs not written yet.
put_option() { printf "\toption %s '%s'\n" "$1" "$2"; written="$written$1 "; }
put_missing() {
    while [ $# -ge 2 ]; do
        case $written in *" $1 "*) ;; *) put_option "$1" "$2" ;; esac
        shift 2
    done
}
# Sets pv to the value paired with option $1 in the pairs that follow.
value_for() {
    n=$1
    shift
    while [ $# -ge 2 ]; do
        [ "$1" = "$n" ] && { pv=$2; return 0; }
        shift 2
    done
    return 1
}

# uci_rewrite FILE SECTION OPTION VALUE [OPTION VALUE]...: prints the
# package with each option set in the section, as one "uci set" each does:
# the option's first line in the section is replaced, later ones dropped, a
# missing one is added at the section's end. Status 1 without the section.
uci_rewrite() {
    file=$1
    section=$2
    shift 2
    insec=0
    seen=0
    written=' '
    while IFS= read -r line || [ -n "$line" ]; do
        split_line
        if [ "$f1" = config ]; then
            [ $insec = 0 ] || put_missing "$@"
            unq "$f3"
            insec=0
            [ "$u" != "$section" ] || { insec=1; seen=1; }
        elif [ $insec = 1 ] && [ "$f1" = option ] && value_for "$f2" "$@"; then
            case $written in *" $f2 "*) ;; *) put_option "$f2" "$pv" ;; esac
            continue
        fi
        printf '%s\n' "$line"
    done < "$file"
    [ $insec = 0 ] || put_missing "$@"
    [ $seen = 1 ]
}

# Takes the simulated device's lock, $KAL_ROOT/sim/.lock, which kal_server
# and kal_sim hold around each change of a state file, and holds it on
# descriptor 9 until the shell exits: call it before reading a package that
# is then rewritten. Status 1 when it is not free within a second.
uci_lock() {
    uci_lockfile=$KAL_ROOT/sim/.lock
    # Owner-only, as kal_server creates it.
    [ -e "$uci_lockfile" ] || (umask 077 && : >> "$uci_lockfile") 2>/dev/null || return 1
    exec 9< "$uci_lockfile" && flock -w 1 9
}

# Moves the file $1 over $2 so that a power cut leaves the old or the new
# package, never an empty one: the data reaches the disk before the rename,
# and the directory after it.
uci_install() {
    sync "$1" && mv -f "$1" "$2" && sync "${2%/*}"
}
