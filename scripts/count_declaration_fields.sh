#!/usr/bin/env bash
# Counts what a module author can set in the engine's declarations and the
# glue macros the engine's headers define.
#
#   scripts/count_declaration_fields.sh [--each]
#
# A field is one member declaration (a ';' at the top level of the struct's
# body, outside nested braces and parentheses) of the declarations a module
# fills: RowModule, RowTable, RowTexts, RowProperty and SingleObject.  The
# other structs of the two headers (Property, Sibling, NestedManagers, ...)
# are listed apart with --each.  A glue macro is a '#define IGD1_' line in include/*.h.
set -euo pipefail
cd "$(dirname "$0")/.."

declarations='RowModule RowTable RowTexts RowProperty SingleObject'

# "struct field-count" for every struct of the engine's two headers.
struct_fields() {
  sed -e 's://.*$::' include/collection.h include/single_object.h |
    awk '
      {
        text = $0
        if (depth == 0 && match(text, /^[ \t]*struct [A-Za-z_][A-Za-z_0-9]* *(:[^{;]*)?\{/)) {
          name = text; sub(/^[ \t]*struct /, "", name); sub(/[ :{].*$/, "", name)
          depth = 0; paren = 0; fields = 0; inside = 1
          text = substr(text, RSTART + RLENGTH - 1)
        }
        if (!inside) next
        for (i = 1; i <= length(text); ++i) {
          c = substr(text, i, 1)
          if (c == "{") ++depth
          else if (c == "}") { if (--depth == 0) { print name, fields; inside = 0; break } }
          else if (c == "(") ++paren
          else if (c == ")") --paren
          else if (c == ";" && depth == 1 && paren == 0) ++fields
        }
      }'
}

counts=$(struct_fields)
total=0
for name in $declarations; do
  n=$(awk -v s="$name" '$1 == s { print $2 }' <<<"$counts")
  total=$((total + n))
  [ "${1:-}" = "--each" ] && printf '  %-16s %3d\n' "$name" "$n"
done
if [ "${1:-}" = "--each" ]; then
  echo "  the other structs of the two headers (not counted):"
  awk -v d=" $declarations " 'index(d, " " $1 " ") == 0 { printf "    %-22s %3d\n", $1, $2 }' \
    <<<"$counts"
fi
macros=$(grep -h '^[ \t]*#[ \t]*define IGD1_' include/*.h | wc -l)
echo "declaration fields: $total"
echo "glue macros: $macros"
