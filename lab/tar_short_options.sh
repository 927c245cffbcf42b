#!/bin/sh
# BusyBox tar as built without long options (FEATURE_TAR_LONG_OPTIONS off, as
# on many units): any argument that starts with "--", except "--" itself,
# which ends the options, is refused the way such a build refuses it (the C
# library's option parser, then the usage text; status 1). Everything else
# goes to the full BusyBox's tar.
for arg in "$@"; do
    case $arg in
    --) break ;;
    --*)
        {
            echo "tar: invalid option -- '-'"
            /bin/busybox tar --help 2>&1 | sed -n '1,3p'
        } >&2
        exit 1
        ;;
    esac
done
exec /bin/busybox tar "$@"
