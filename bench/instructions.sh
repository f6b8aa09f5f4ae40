#!/bin/sh
# Instructions of one decode and one encode of each payload, counted by
# callgrind, for one or two builds of bench/codec_once side by side (the
# second column divided by the first). Machine load does not change them.
#   bench/instructions.sh PAYLOAD_DIR CODEC_ONCE [OTHER_CODEC_ONCE]
set -eu
dir=$1
shift
count() {
  # measuredDecode or measuredEncode
  fn=measured$(echo "$2" | sed 's/^./\U&/')
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="*$fn*" \
    "$1" "$2" "$3" 2>&1 >/dev/null | sed -n 's/.*Collected : *//p'
}
for payload in mixed-100k mixed-1m mixed-10m binary-10m strings; do
  for direction in decode encode; do
    a=$(count "$1" "$direction" "$dir/$payload.xml")
    if [ $# -gt 1 ]; then
      b=$(count "$2" "$direction" "$dir/$payload.xml")
      echo "$payload $direction $a $b $(echo "scale=3; $b / $a" | bc)"
    else
      echo "$payload $direction $a"
    fi
  done
done
