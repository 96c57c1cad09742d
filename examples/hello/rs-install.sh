#!/bin/sh
# Install hook of the example package. The deploy command runs it with /bin/sh
# from the unpacked package root on every host; a non-zero exit makes the
# host's state ERROR. Running it twice gives the same result.
set -eu
target="${HELLO_TARGET:-${RS_APP_DIR:-$PWD}/installed}"
mkdir -p "$target"
cp hello.sh "$target/hello.sh"
chmod 0755 "$target/hello.sh"
"$target/hello.sh" > "$target/greeting.txt"
echo "hello: installed on ${RS_HOST:-this host} in $target"
