#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The README's table of environment variables and the manual pages describe the
# same variables: each variable of the table is described (as an item of its
# ENVIRONMENT section) in the page of every program that reads it (generator's
# for its driver libraries, labbench-sim's for the simulators), and no page
# describes a variable the table lacks. Build-time variables of the scripts
# (read by `scripts/...` alone) belong to the README only.
# Usage: environment_test.sh <README.md> <folder of the page sources (*.1.in)>
set -u
readme=$1
pages=$2
. "$(dirname "$0")/../support/checks.sh"

# "VARIABLE<TAB>read by" for each row of the README's table.
readme_rows() {
  awk -F'|' '
    /^## Environment variables/ { table = 1; next }
    table && /^## / { exit }
    table && /^\| `/ {
      n = split($2, names, ",")
      for (i = 1; i <= n; i++) {
        name = names[i]
        gsub(/[` <>]/, "", name)
        readers = $3
        gsub(/^ +| +$/, "", readers)
        print name "\t" readers
      }
    }' "$readme"
}

# The variables a page describes: the items (.TP tags) of its ENVIRONMENT section.
page_variables() {
  awk '
    /^\.SH / { section = $2; next }
    section == "ENVIRONMENT" && /^\.TP/ { tag = 1; next }
    section == "ENVIRONMENT" && tag {
      tag = 0
      line = $0
      sub(/^\.[A-Z]+ /, "", line)  # the font macro
      gsub(/_ +/, "_", line)        # .BI NAME_ N: a variable with a number in its name
      while (match(line, /[A-Z][A-Z0-9_]*[A-Z0-9]/)) {
        word = substr(line, RSTART, RLENGTH)
        if (word != "B" && word != "BR" && word != "I" && word != "IR") print word
        line = substr(line, RSTART + RLENGTH)
      }
    }' "$1" | sort -u
}

[ -n "$(readme_rows)" ] || fail "no table under '## Environment variables' in $readme"
for page in generator deska labbench-sim labbench-sim-instrument; do
  [ -f "$pages/$page.1.in" ] || fail "no manual page $pages/$page.1.in"
done
generator_page=$(page_variables "$pages/generator.1.in")
deska_page=$(page_variables "$pages/deska.1.in")
sim_page=$(page_variables "$pages/labbench-sim.1.in")

described_in() {  # described_in <variable> <page's variables>
  printf '%s\n' "$2" | grep -qx "$1"
}

documented=""
while IFS=$'\t' read -r variable readers; do
  case $readers in
    *'`scripts/'*) case $readers in *program*|*simulat*) ;; *) continue ;; esac ;;
  esac
  documented="$documented $variable"
  described_in "$variable" "$generator_page
$deska_page
$sim_page" || fail "$variable (README: read by $readers) is in no manual page"
  case $readers in
    *generator*|*"both programs"*|*"SCPI link"*)
      described_in "$variable" "$generator_page" || fail "$variable (README: read by $readers) is not in generator(1)" ;;
  esac
  case $readers in
    *deska*|*"both programs"*)
      described_in "$variable" "$deska_page" || fail "$variable (README: read by $readers) is not in deska(1)" ;;
  esac
  case $readers in
    *simulat*)
      described_in "$variable" "$sim_page" || fail "$variable (README: read by $readers) is not in labbench-sim(1)" ;;
  esac
done < <(readme_rows)

for page in generator deska labbench-sim labbench-sim-instrument; do
  for variable in $(page_variables "$pages/$page.1.in"); do
    case " $documented " in
      *" $variable "*) ;;
      *) fail "$page(1) describes $variable, which the README's table lacks" ;;
    esac
  done
done

finish "difference(s) between the README and the manual pages" "README and manual pages describe the same $(echo $documented | wc -w) environment variables"
