#!/usr/bin/env bash
# The pipeline's goals on one directory, in pairs within one run (the order
# alternates inside each pair), SIZE_GIB per run:
#   write    = time inside the write calls / write-phase wall time
#              (write_active_sec / wall_elapsed_sec of the summary; goal >= 0.95)
#   verify   = verification wall time (`drive-test verify`, elapsed of its last
#              row) / the same reads alone (dd, the same 8 MiB blocks, O_DIRECT,
#              no compare; goal <= 1.10)
# each for the program on all its CPUs (pipeline) and held to one CPU (the
# sequential path), with the write median and verification mean in MB/s, the
# peak RSS of the pipelined runs and their CPU seconds per GiB. The three
# verification timings are taken ROUNDS times per pair in turn (the order
# rotates) and the pair keeps each one's median; "cpus" is how many CPUs the
# whole machine kept busy during the reads alone (from /proc/stat): where the
# device's own copying fills every CPU, no compare can hide behind it.
# Usage: bench/pipeline-goals.sh DIR SIZE_GIB PAIRS [BINARY] [ROUNDS]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:?directory}"; dir="${dir%/}/"
size_gib="${2:?size in GiB}"
pairs="${3:?number of pairs}"
binary="${4:-$root/build/drive-test}"
rounds="${5:-3}"
file="${dir}tesselmark-drive-test.bin"
work="$(mktemp -d)"
trap 'rm -rf "$work"; rm -f "$file"' EXIT
one_cpu="$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')"

# write [PREFIX...]: prints "active/wall median_mbps rss_kib cpu_s"
write() {
    rm -f "$file" "$work/w.csv"; sync
    /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" "$binary" --dir "$dir" --size "$size_gib" \
        --min-speed 0 --no-verify --keep --log "$work/w.csv" --yes --quiet >/dev/null
    read -r rss user sys < "$work/time"
    awk -F= -v rss="$rss" -v cpu="$(echo "$user + $sys" | bc)" '
        /^# wall_elapsed_sec=/ { w = $2 } /^# write_active_sec=/ { a = $2 }
        /^# write_median_mbps=/ { m = $2 }
        END { printf "%.4f %.1f %d %.2f\n", a / w, m, rss, cpu }' "$work/w.csv"
}

# verify [PREFIX...]: prints "wall_s mean_mbps rss_kib cpu_s"
verify() {
    rm -f "$work/v.csv"
    /usr/bin/time -f '%M %U %S' -o "$work/time" "$@" "$binary" verify --log "$work/v.csv" \
        --yes --quiet "$file" >/dev/null
    read -r rss user sys < "$work/time"
    awk -F, -v rss="$rss" -v cpu="$(echo "$user + $sys" | bc)" '
        $1 == "verify" { e = $3; m = $8 }
        END { printf "%.4f %.1f %d %.2f\n", e, m, rss, cpu }' "$work/v.csv"
}

# The reads alone: "seconds busy_cpus".
reads() {
    local b0 b1
    b0="$(awk '/^cpu / { print $2 + $3 + $4 + $6 + $7 + $8 }' /proc/stat)"
    dd if="$file" of=/dev/null bs=8M iflag=direct 2> "$work/dd"
    b1="$(awk '/^cpu / { print $2 + $3 + $4 + $6 + $7 + $8 }' /proc/stat)"
    awk -v busy="$((b1 - b0))" -v hz="$(getconf CLK_TCK)" '/copied/ {
        for (i = 1; i <= NF; i++) if ($i ~ /^s,?$/) s = $(i - 1)
        printf "%s %.2f\n", s, busy / hz / s }' "$work/dd"
}

# median of the arguments
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The three verification timings, ROUNDS times in rotating order: prints the
# medians "all_line one_line reads cpus" (all_line = wall MB/s rss cpu).
verifications() {
    local r k a=() o=() d=() c=() last_all=""
    for r in $(seq 0 $((rounds - 1))); do
        for k in 0 1 2; do
            case $(((k + r) % 3)) in
                0) last_all="$(verify env)"; a+=("${last_all%% *}") ;;
                1) set -- $(verify taskset -c "$one_cpu"); o+=("$1") ;;
                2) set -- $(reads); d+=("$1"); c+=("$2") ;;
            esac
        done
    done
    set -- $last_all
    echo "$(median "${a[@]}") $2 $3 $4 $(median "${o[@]}") $(median "${d[@]}") $(median "${c[@]}")"
}

printf '%-4s | %-28s | %-28s | %-9s %-9s %-9s %5s %7s %7s | %s\n' pair "write all: ratio MB/s rss cpu" \
    "write one: ratio MB/s rss cpu" ver_all ver_one reads cpus r_all r_one "verify all: MB/s rss cpu"
for n in $(seq 1 "$pairs"); do
    if [ $((n % 2)) -eq 1 ]; then
        wa="$(write env)"; wo="$(write taskset -c "$one_cpu")"
    else
        wo="$(write taskset -c "$one_cpu")"; wa="$(write env)"
    fi
    ve="$(verifications)"
    set -- $wa $wo $ve
    awk -v n="$n" -v wa="$1 $2 $3 $4" -v wo="$5 $6 $7 $8" -v va="$9" -v vam="${10}" -v var="${11}" \
        -v vac="${12}" -v vo="${13}" -v rd="${14}" -v cpus="${15}" 'BEGIN {
        printf "%-4s | %-28s | %-28s | %-9.3f %-9.3f %-9.3f %5.2f %7.3f %7.3f | %.1f %d %.2f\n",
               n, wa, wo, va, vo, rd, cpus, va / rd, vo / rd, vam, var, vac
    }' | tee -a "$work/table"
done
awk '{ wa[NR] = $3; wo[NR] = $8; va[NR] = $17; vo[NR] = $18 }
     function median(a,    i, j, t, s) {
         for (i = 1; i <= NR; i++) s[i] = a[i]
         for (i = 1; i <= NR; i++) for (j = i + 1; j <= NR; j++) if (s[j] < s[i]) { t = s[i]; s[i] = s[j]; s[j] = t }
         return NR % 2 ? s[(NR + 1) / 2] : (s[NR / 2] + s[NR / 2 + 1]) / 2
     }
     END { printf "median of %d pairs: write calls / wall: all CPUs %.3f, one CPU %.3f (goal >= 0.95); " \
                  "verification / reads alone: all CPUs %.3f, one CPU %.3f (goal <= 1.10)\n",
                  NR, median(wa), median(wo), median(va), median(vo) }' "$work/table"
awk '/^cpu / { print "host steal so far (jiffies): " $9 }' /proc/stat
