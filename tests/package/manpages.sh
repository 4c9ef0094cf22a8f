#!/usr/bin/env bash
# Every option a program's --help lists is in its manual page and every option the page's OPTIONS name is in
# the help; the exit statuses the help lists are those of the page's EXIT STATUS; the page renders without a
# groff warning.
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
  # Options are the names before the text on the help's lines indented by 2 to 4 spaces and beginning with '-'.
  options=$("$program" --help | sed -n 's/^ \{2,4\}\(-[^ ].*\)/\1/p' | sed 's/  .*//' |
    grep -oE -- '(^|[ ,])--?[a-z][a-z0-9-]*' | tr -d ' ,' | sort -u)
  [ -n "$options" ] || { echo "FAIL $name: no options in --help"; status=1; }
  missing=0
  for option in $options; do
    if ! grep -qE -- "(^|[^[:alnum:]-])$option([^[:alnum:]-]|\$)" <<<"$text"; then
      echo "FAIL $name.1 lacks $option"; missing=1; status=1
    fi
  done
  # The page's option tags: the line after each .TP of OPTIONS.
  tagged=$(awk '/^\.SH/ { in_options = ($2 == "OPTIONS") } in_options && after_tp { print } { after_tp = /^\.TP/ }' <<<"$source" |
    sed 's/\\-/-/g' | grep -oE -- '(^|[ "])--?[a-z][a-z0-9-]*' | tr -d ' "' | sort -u)
  for option in $tagged; do
    if ! grep -qxF -- "$option" <<<"$options"; then
      echo "FAIL $name.1 names $option, which --help does not"; missing=1; status=1
    fi
  done
  # The exit statuses: "  N    ..." under the help's "Exit status:", ".B N" tags of the page's EXIT STATUS.
  helpCodes=$("$program" --help | sed -n '/^Exit status:/,$p' | sed -n 's/^  \([0-9]\{1,3\}\)  .*/\1/p' | sort -n | xargs)
  pageCodes=$(awk '/^\.SH/ { in_exit = ($2 == "EXIT") } in_exit && after_tp { print } { after_tp = /^\.TP/ }' <<<"$source" |
    sed -n 's/^\.B \([0-9]\{1,3\}\)$/\1/p' | sort -n | xargs)
  if [ -n "$helpCodes" ] && [ "$helpCodes" != "$pageCodes" ]; then
    echo "FAIL $name.1 EXIT STATUS lists '$pageCodes', --help '$helpCodes'"; missing=1; status=1
  fi
  [ $missing = 1 ] || echo "$name: $(wc -w <<<"$options") options, all in $name.1 and none more${helpCodes:+, exit statuses $helpCodes}"
done
exit $status
