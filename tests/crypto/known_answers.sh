#!/usr/bin/env bash
# Regenerates the known answers of the package encryption format (tests/crypto/
# qv_encryption_test.cpp) by a route that shares no code with the installer: coreutils
# sha256sum/md5sum for the key derivation and digests, OpenSSL's AES-256 in ECB mode over
# counter blocks built here for the key stream.
#
#   tests/crypto/known_answers.sh
#
# Prints C++ constants ready to paste into the test.
set -euo pipefail

salt=3a9e51c702d46be8

# SHA-256 applied five times to the bytes given as hex.
sha5() {
  local hex=$1 i
  for i in 1 2 3 4 5; do
    hex=$(printf %s "$hex" | xxd -r -p | sha256sum | cut -c1-64)
  done
  printf %s "$hex"
}

tohex() { printf %s "$1" | xxd -p | tr -d '\n'; }

# Adds one to a 16-byte counter block read as a little-endian integer: byte 0 first.
increment_le() {
  local hex=$1 out="" i byte carry=1
  for ((i = 0; i < 16; i++)); do
    byte=$((16#${hex:i*2:2} + carry))
    if ((byte > 255)); then byte=0; carry=1; else carry=0; fi
    out+=$(printf %02x "$byte")
  done
  printf %s "$out"
}

# Key stream of the given number of blocks as one hex string.
keystream() {
  local key=$1 counter=$2 blocks=$3 i all=""
  for ((i = 0; i < blocks; i++)); do
    all+=$counter
    counter=$(increment_le "$counter")
  done
  printf %s "$all" | xxd -r -p | openssl enc -aes-256-ecb -nopad -K "$key" | xxd -p | tr -d '\n'
}

derive() {
  local p=$1
  d1=$(sha5 "$(tohex "$p")$salt")
  d2=$(sha5 "$d1$(tohex "$p")$salt")
  counter=${d2:0:32}
}

md5_of_hex_prefix() { printf %s "${1:0:$2*2}" | xxd -r -p | md5sum | cut -c1-32; }

emit() {
  local name=$1 p=$2
  derive "$p"
  # 257 blocks cover 4097 bytes, the longest length the test encrypts.
  local ks
  ks=$(keystream "$d1" "$counter" 257)
  echo "// passphrase \"$p\""
  echo "const KnownAnswer $name = {"
  echo "    \"$p\","
  echo "    \"$d1\",  // key"
  echo "    \"$d2\",  // iv"
  echo "    \"${ks:0:96}\",  // first 48 key-stream bytes"
  echo "    {"
  for n in 1 15 16 17 4095 4096 4097; do
    echo "        {$n, \"$(md5_of_hex_prefix "$ks" "$n")\"},"
  done
  echo "    },"
  echo "};"
}

emit kVersionPassphrase "4.2.1-r7"
emit kEmptyPassphrase ""

# A passphrase whose counter block starts with byte 0xff, so the second key-stream block
# already needs the carry into byte 1.
for ((n = 0; ; n++)); do
  derive "carry-$n"
  [ "${counter:0:2}" = ff ] && break
done
second=$(increment_le "$counter")
echo "// passphrase \"carry-$n\": counter block 0 $counter, block 1 $second"
echo "// (a carry towards byte 15 instead would give block 1 ${counter:0:30}$(printf %02x $(((16#${counter:30:2} + 1) % 256))))"
emit kCarryPassphrase "carry-$n"
