#!/bin/sh
# Builds if needed, starts the bundled receiver on loopback, uploads one range
# of a sample file and checks that the receiver stored exactly that range.
set -eu
cd "$(dirname "$0")/.."
[ -x build/uploader ] || scripts/setup.sh

work=$(mktemp -d)
receiver_pid=""
cleanup() {
    [ -n "$receiver_pid" ] && kill "$receiver_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

head -c 8388608 /dev/urandom > "$work/sample.bin"
python3 receiver/receiver.py --store "$work/received" > "$work/receiver.out" &
receiver_pid=$!
for _ in $(seq 100); do
    grep -q '^port ' "$work/receiver.out" 2>/dev/null && break
    sleep 0.1
done
port=$(sed -n 's/^port //p' "$work/receiver.out")
[ -n "$port" ] || { echo "The receiver did not start." >&2; exit 1; }

start=1000
end=6243000
status=0
build/uploader "http://127.0.0.1:$port/upload" demo-token "$work/sample.bin" "$start" "$end" "" "" false 2>&1 || status=$?
echo "Exit status: $status"
tail -c +$((start + 1)) "$work/sample.bin" | head -c $((end - start)) | cmp - "$work/received/0001.body"
echo "The receiver stored exactly bytes $start to $end of the file."
exit "$status"
