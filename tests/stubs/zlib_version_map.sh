#!/bin/sh
# Writes a linker version script for relinking the system's static zlib as a
# libz.so.1 that exports what the shared one exports, with the same versions,
# except the names given after the output file.
# usage: zlib_version_map.sh LIBZ_SO LIBZ_A OUTPUT [EXCLUDED...]
set -eu
shared=$1 archive=$2 out=$3
shift 3
exported=$(objdump -T "$shared" | awk 'NF >= 2 && $0 !~ /\*UND\*/ && $NF != $(NF-1) { print $NF }')
objdump -T "$shared" | awk -v excluded=" $* " '
  NF < 2 || $0 ~ /\*UND\*/ { next }
  $(NF-1) ~ /^ZLIB_/ && $NF != $(NF-1) {
    if (index(excluded, " " $NF " ") == 0) syms[$(NF-1)] = syms[$(NF-1)] "    " $NF ";\n"
    order[$(NF-1)] = 1
  }
  END {
    for (v in order) printf "%s {\n  global:\n%s};\n", v, syms[v]
  }' > "$out.tmp"
# Local: the excluded names and the archive's internal globals, which the
# shared library does not export either. Unversioned exports stay as they are.
{
  printf 'ZLIB_STUB_LOCAL {\n  local:\n'
  for name in "$@"; do printf '    %s;\n' "$name"; done
  nm -g --defined-only "$archive" | awk 'NF == 3 { print $3 }' | sort -u | while read -r name; do
    case " $(echo $exported) " in
      *" $name "*) ;;
      *) printf '    %s;\n' "$name" ;;
    esac
  done
  printf '};\n'
} >> "$out.tmp"
mv "$out.tmp" "$out"
