#!/bin/sh
# Writes a linker version script that exports every symbol of the system's
# zlib under its own version, except the names given after the output file.
# usage: zlib_version_map.sh LIBZ_SO OUTPUT [EXCLUDED...]
set -eu
lib=$1 out=$2
shift 2
objdump -T "$lib" | awk -v excluded=" $* " '
  NF < 2 || $0 ~ /\*UND\*/ { next }
  $(NF-1) ~ /^ZLIB_/ && $NF != $(NF-1) {
    if (index(excluded, " " $NF " ") == 0) syms[$(NF-1)] = syms[$(NF-1)] "    " $NF ";\n"
    order[$(NF-1)] = 1
  }
  END {
    for (v in order) printf "%s {\n  global:\n%s};\n", v, syms[v]
  }' > "$out.tmp"
# A catch-all node keeps everything else (the excluded names) local.
printf 'ZLIB_STUB_LOCAL {\n  local: *;\n};\n' >> "$out.tmp"
mv "$out.tmp" "$out"
