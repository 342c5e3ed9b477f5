#!/bin/bash
# Writes a firmware image the program accepts, for the run command: SIZE
# bytes with a valid header at offset 0 (image base 0xBFC01000, the declared
# size, entry 0xBFC01000) and random bytes after it, into the Wine prefix's
# temporary folder; prints its path as the program's file dialog takes it.
# Usage: tools/mkimage.sh SIZE   (WINEPREFIX set)
set -eu
size="${1:?usage: mkimage.sh SIZE}"
[[ "$size" =~ ^[0-9]+$ ]] && [ "$size" -ge 128 ] && [ "$size" -le 2097152 ] ||
    { echo "mkimage: SIZE from 128 to 2097152 bytes" >&2; exit 2; }
user="$(id -un)"
folder="${WINEPREFIX:?}/drive_c/users/$user/Temp"
name="tessel-image-$size.bin"
mkdir -p "$folder"
# A 32-bit word as four bytes, most significant first.
word() { printf "\\x$(printf %02x $(($1 >> 24 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 & 255)))"; }
{
    word 0x1234BFC0; word 0x56781080   # the header's own address, 128 bytes past the base, in two halves
    head -c 28 /dev/urandom
    word "$size"; word 0xBFC01000      # words 9 and 10: declared size, entry
    head -c $((size - 44)) /dev/urandom
} > "$folder/$name"
echo "C:\\users\\$user\\Temp\\$name"
