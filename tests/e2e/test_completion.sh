#!/usr/bin/env bash
# The bash completion: command lines completed through bash-completion as a
# shell would, and its option list against the program's --help.
source "$(dirname "$0")/lib.sh" "$1"
LOADER=/usr/share/bash-completion/bash_completion
[[ -f $LOADER ]] || skip "bash-completion is not installed"
SCRIPT=$(realpath "$(dirname "$0")/../../docs/drive-test.bash-completion")
mkdir "$WORK/card dir" "$WORK/logs"
touch "$WORK/run.csv" "$WORK/logs/a.csv"

# complete LINE: the sorted completions of LINE with the cursor at its end.
# The words are split as bash splits them, at blanks and at '='.
complete_line() {
  (cd "$WORK" && bash --norc --noprofile -c '
    source "$1" && source "$2" || exit 1
    COMP_LINE=$3 COMP_POINT=${#3}
    read -ra COMP_WORDS <<<"${3//=/ = }"
    [[ $3 == *[\ =] ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _drive_test drive-test "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd" "' _ "$LOADER" "$SCRIPT" "$1")
}

while IFS='|' read -r line want; do
  check "completion of '$line'" "$(complete_line "$line")" "$want"
done <<'EOF'
drive-test |chart list probe verify
drive-test --no|--no-verify
drive-test --yes --d|--delete --dir --duration
drive-test --min-speed v|V10 V30 V6 V60 V90
drive-test --min-speed=U|U1 U3
drive-test --dir |card dir logs
drive-test --size |
drive-test --log |card dir logs run.csv
drive-test --json=r|run.csv
drive-test --chart logs/|logs/a.csv
drive-test verify --ex|--expect-bytes
drive-test verify --quiet |card dir logs run.csv
drive-test chart -o out.svg l|logs
drive-test chart -- -|
drive-test list --|--help --json
drive-test list --json |card dir logs run.csv
drive-test list |
drive-test probe --re|--restore
drive-test probe --journal=r|run.csv
drive-test probe -y |card dir logs run.csv
EOF

# Every option of the test run and every speed class that --help lists, and no other.
"$DT" --help >"$OUT"
check "options against --help" "$(complete_line "drive-test --q --")" \
  "$(grep -oE '^ +(-[a-zA-Z], )?--[a-z-]+' "$OUT" | grep -oE -- '--[a-z-]+' | sort | paste -sd' ')"
"$DT" list --help >"$WORK/list-help"
check "list options against list --help" "$(complete_line "drive-test list -")" \
  "$(grep -oE '^ +(-[a-zA-Z], )?--[a-z-]+' "$WORK/list-help" | grep -oE -- '-[a-zA-Z]\b|--[a-z-]+' | sort | paste -sd' ')"
check "probe options against probe --help" "$(complete_line "drive-test probe --")" \
  "$("$DT" probe --help | grep -oE '^ +(-[a-zA-Z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort | paste -sd' ')"
check "speed classes against --help" "$(complete_line "drive-test --min-speed ")" \
  "$(sed -n 's/.*a speed class: //p' "$OUT" | tr ' ' '\n' | sort | paste -sd' ')"
finish
