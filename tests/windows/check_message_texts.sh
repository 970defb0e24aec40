#!/bin/sh
# check_message_texts.sh <objdump> <image.sys> <texts.txt>
# Fails unless every line of texts.txt is in the image's resource section as a Unicode message text
# followed by its "\r\n": what the event log shows for the driver's events is what the image carries,
# not only what the source file says.
set -u
objdump=$1
image=$2
texts=$3
[ -f "$image" ] || { echo "$image: missing" >&2; exit 1; }
[ -f "$texts" ] || { echo "$texts: missing" >&2; exit 1; }

# The .rsrc bytes as UTF-16LE characters, one message text per line: CR LF ends a text, a NUL or a
# character outside printable ASCII is shown as '~' (it never occurs inside the texts).
decoded=$("$objdump" -s -j .rsrc "$image" | awk '
  /^ [0-9a-f]+ / {
    for (i = 2; i <= 5; i++) {
      w = $i
      if (w !~ /^[0-9a-f]+$/) break
      for (j = 1; j < length(w); j += 2) bytes[n++] = substr(w, j, 2)
    }
  }
  END {
    hex = "0123456789abcdef"
    for (k = 0; k + 1 < n; k += 2) {
      lo = (index(hex, substr(bytes[k], 1, 1)) - 1) * 16 + index(hex, substr(bytes[k], 2, 1)) - 1
      hi = bytes[k + 1]
      if (hi != "00") { printf "~"; continue }
      if (lo == 13) { cr = 1; continue }
      if (lo == 10 && cr) { printf "\n"; cr = 0; continue }
      if (cr) { printf "~"; cr = 0 }
      if (lo >= 32 && lo < 127) printf "%c", lo; else printf "~"
    }
    printf "\n"
  }') || { echo "$image: objdump failed" >&2; exit 1; }

fail=0
count=0
while IFS= read -r text || [ -n "$text" ]; do
  [ -n "$text" ] || continue
  count=$((count + 1))
  # Each text starts a record (after its length and flags) and ends with CR LF.
  if ! printf '%s\n' "$decoded" | sed 's/^.*~//' | grep -Fxq -- "$text"; then
    echo "$image: message text not found: $text" >&2
    fail=1
  fi
done < "$texts"
[ "$count" -gt 0 ] || { echo "$texts: no texts" >&2; exit 1; }
exit $fail
