#!/usr/bin/env bash
# test.sh PRESET...: runs each PRESET's tests (built already), printing one
# line per result, the output of any test that fails and ctest's summary,
# then, as the last lines, what each preset ran. A Windows preset whose
# programs this host cannot run gets only the tests that read its built
# files; it is never counted as passed. Exits 0 only if everything that
# could run passed.
set -uo pipefail
cd "$(dirname "$0")/.."
export WINE32_STATUS WINE64_STATUS
WINE32_STATUS=$(scripts/wine.sh status win32)
WINE64_STATUS=$(scripts/wine.sh status win64)

summary=() failed=0
for preset in "$@"; do
  filter=() why=ok
  case $preset in
    win32) why=$WINE32_STATUS ;;
    win64) why=$WINE64_STATUS ;;
  esac
  if [ "$why" = ok ]; then
    case $preset in
      win32 | win64)
        prefix=build/$preset/wineprefix
        if [ ! -f "$prefix/.ready" ]; then
          echo "== preparing the Wine prefix for $preset (the first time: under a minute)"
          WINE_PREFIX_TEMPLATE=$prefix-template scripts/wine.sh prefix "$prefix" "$preset" || { summary+=("$preset: FAILED: no Wine prefix"); failed=1; continue; }
        fi ;;
    esac
    echo "== testing $preset"
  else
    echo "== inspecting $preset (its programs cannot run here: $why)"
    filter=(-LE wine)
  fi
  status=0
  # Twice the cores: most Wine tests wait on the programs they drive more
  # than they compute. A test that runs away ends at the time-out.
  ctest --preset "$preset" "${filter[@]}" -j "$(( $(nproc) * 2 ))" --timeout 900 --no-label-summary 2>&1 | grep -vE '^( +Start +[0-9]+: |Test project )' || status=$?
  # The prefixes' servers would stay up a while after the last program:
  # the suite leaves nothing running behind it.
  if [ "$why" = ok ] && [ "$preset" != native ]; then
    scripts/wine.sh end build/"$preset"/wineprefix*/
  fi
  if [ $status != 0 ]; then
    summary+=("$preset: FAILED (see above)")
    failed=1
  elif [ "$why" = ok ]; then
    summary+=("$preset: all tests run, all passed")
  else
    summary+=("$preset: built and inspected, not run: $why")
  fi
done

echo "== what ran"
printf '%s\n' "${summary[@]}"
exit $failed
