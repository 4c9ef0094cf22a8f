#!/usr/bin/env bash
# Every option a program's --help lists is in its manual page, and the page renders without a groff warning.
#   manpages.sh MANDIR PROGRAM...    (MANDIR/NAME.1 or NAME.1.gz per PROGRAM)
set -uo pipefail
mandir=$1
shift
status=0
for program in "$@"; do
  name=$(basename "$program")
  page=$mandir/$name.1
  [ -f "$page" ] || page=$page.gz
  if ! source=$(zcat -f "$page"); then
    echo "FAIL $name: no manual page in $mandir"; status=1; continue
  fi
  warnings=$(groff -man -Tascii -ww -z <<<"$source" 2>&1)
  if [ -n "$warnings" ]; then echo "FAIL $name.1: $warnings"; status=1; fi
  text=$(groff -man -Tascii -P-cbou -rLL=250n -rHY=0 <<<"$source" 2>/dev/null)
  # Options are the first column of the help's indented lines beginning with '-'.
  options=$("$program" --help | sed -n 's/^ \{1,\}\(-[^ ]*\).*/\1/p' | tr ',' '\n' | sed -n '/^-/p' | sort -u)
  [ -n "$options" ] || { echo "FAIL $name: no options in --help"; status=1; }
  missing=0
  for option in $options; do
    if ! grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|\$)" <<<"$text"; then
      echo "FAIL $name.1 lacks $option"; missing=1; status=1
    fi
  done
  [ $missing = 1 ] || echo "$name: $(wc -w <<<"$options") options, all in $name.1"
done
exit $status
