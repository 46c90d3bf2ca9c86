#!/bin/sh
# Fails when liborv.so exports anything beyond the C interface, the block
# encoder table and the brindle helpers, or lacks a function of the reader.
set -eu
lib="$1"
bad=$(nm -D --defined-only -C "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' \
  | grep -vE '^(orv[A-Z][A-Za-z0-9]*|ff_texturedspenc_init|brindle::.*|typeinfo( name)? for brindle::OrvException|vtable for brindle::OrvException)$' \
  | grep -vE '^(LIBORV|_init|_fini)' || true)
if [ -n "$bad" ]; then
  echo "unexpected exported symbols:"; echo "$bad"; exit 1
fi
# The reading interface of orv_reader.h, every function of it, and the
# encoder's entry point for records the reader gives.
for symbol in orvReaderOpen orvReaderClose orvReaderGetErrorMessage orvReaderGetNumSections \
    orvReaderGetSection orvReaderGetVideoInfo orvReaderGetAudioInfo orvReaderGetFramePts \
    orvReaderFindFrame orvReaderGetTextureLayout orvReaderReadTextures orvReaderDecodeFrame \
    orvReaderReadFrameRecord orvReaderReadAudio orvReaderReadAudioFloat orvReaderVerify \
    orvEncodeFrameRecord; do
  nm -D --defined-only "$lib" | grep -qw "$symbol" || { echo "$symbol is not exported"; exit 1; }
done
count=$(nm -D --defined-only "$lib" | wc -l)
echo "exported symbols ok ($count)"
