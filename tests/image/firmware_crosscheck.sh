#!/usr/bin/env bash
# Runs the firmware test with the CRCs that srec_cat computes over the same
# S-record file: over the two areas as they are, and over one range from the
# first to the last byte with the hole filled with 0xFF.
#   firmware_crosscheck.sh FIRMWARE.s19 EMULATOR... TEST.exe
set -euo pipefail
srec=$1
shift
crc() {
  # The CRC lands at the address behind the data; take it off the hex dump.
  local end=$1
  shift
  srec_cat "$srec" "$@" -crc16-b-e "$end" -no-augment -crop "$end" $((end + 2)) \
    -o - -hex-dump 2>/dev/null | awk '{print $2 $3; exit}'
}
# Last address + 1 of the data, as srec_info reports the data ranges.
end=$(srec_info "$srec" | awk '/ - / {last=$NF} END {print "0x" last}')
end=$((end + 1))
first=$(srec_info "$srec" | awk '/^Data:/ {print "0x" $2}')
TW_SRECCAT_CRC_AREAS=$(crc "$end")
TW_SRECCAT_CRC_FILLED=$(crc "$end" -fill 0xFF "$first" "$end")
export TW_SRECCAT_CRC_AREAS TW_SRECCAT_CRC_FILLED
echo "srec_cat: CRC over the areas $TW_SRECCAT_CRC_AREAS, filled $TW_SRECCAT_CRC_FILLED"
exec "$@"
