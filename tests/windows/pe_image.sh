# pe_image.sh: sourced by the image checks with $objdump and $image set. Reads the image's headers
# (or exits, naming the image) and sets
#   headers          what objdump -p printed
#   characteristics  the file header characteristics (hex digits), empty when there are none
#   is_dll           yes when IMAGE_FILE_DLL (0x2000) is among them, else no
#   imports          the names of the DLLs the image imports from
# problem TEXT reports a fault of the image and makes the check fail ($fail);
# require_subsystem N NAME reports an image whose subsystem is not N.
fail=0
problem() { echo "$image: $*" >&2; fail=1; }

[ -f "$image" ] || { echo "$image: missing" >&2; exit 1; }
headers=$("$objdump" -p "$image") || { echo "$image: objdump failed" >&2; exit 1; }

require_subsystem() {
  echo "$headers" | grep -Eq "^Subsystem[[:space:]]+0*$1[[:space:]]" ||
    problem "subsystem is not $2 ($1): $(echo "$headers" | grep '^Subsystem')"
}

characteristics=$(echo "$headers" | sed -n 's/^Characteristics[[:space:]]*0x\([0-9a-fA-F]*\).*/\1/p' | head -n 1)
is_dll=no
if [ -n "$characteristics" ] && [ $(( 0x$characteristics & 0x2000 )) -ne 0 ]; then
  is_dll=yes
fi

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p')
