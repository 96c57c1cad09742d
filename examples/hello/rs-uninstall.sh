#!/bin/sh
# Uninstall hook of the example package: undoes rs-install.sh. Succeeds when
# there is nothing left to remove.
set -eu
target="${HELLO_TARGET:-${RS_APP_DIR:-$PWD}/installed}"
rm -f "$target/hello.sh" "$target/greeting.txt"
[ -d "$target" ] && rmdir "$target" 2>/dev/null || true
echo "hello: removed from $target"
