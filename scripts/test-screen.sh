#!/usr/bin/env bash
# test-screen.sh BUILD_DIR SOURCE_DIR: the sample shell as a person sees it,
# on a virtual screen through Wine's X11 driver. Its desktop covers the
# screen; the logo's key colour shows the wallpaper and the logo's own
# colours show themselves; the taskbar is there, its clock ticks and the
# startup items appear on it. A second copy's question is answered "No" by a
# click, and the first copy runs on; "Quit shell" from the taskbar's menu
# ends the shell with exit code 0.
set -eu
build=$(realpath "$1") source=$(realpath "$2")
preset=$(basename "$build")
why=$("$source/scripts/wine.sh" status "$preset")
[ "$why" = ok ] || { echo "not run: $why"; exit 0; }
. "$source/scripts/screen.sh"
install=$build/screen-test
stage_sample "$install"

# A solid wallpaper, so that every pixel's colour is known; the shell runs
# until "Quit shell". The rest is the sample's shell.rc as it stands.
wallpaper=20,90,60 taskbar=36,36,44 logo=(48 48 128) # left top size, as LogoPosition below says
sed -i -e 's/^ *Wallpaper .*//' -e "s/WallpaperColor .*/WallpaperColor ${wallpaper//,/ }/" \
       -e 's/CoreSeconds [0-9]*/CoreSeconds 0/' -e "s/LogoPosition .*/LogoPosition ${logo[*]} ${logo[2]}/" \
       -e "s/TaskbarColor .*/TaskbarColor ${taskbar//,/ }/" "$install/shell.rc"
picture=$install/screen.png
fail() { echo "$1 (the screen: $picture)"; exit 1; }
expect_pixel() { # what, x, y, colour
  local seen
  seen=$(pixel "$picture" "$2" "$3")
  [ "$seen" = "$4" ] || fail "$1: at $2,$3 the screen shows $seen, not $4"
}
# How many pixels of a part of the picture are not of a colour.
other_than() { # colour, geometry
  convert "$picture" -crop "$2" +repage -fill black -opaque "rgb($1)" -fill white +opaque black \
          -format '%[fx:int(mean*w*h+0.5)]' info:
}

open_display
trap 'wine_run "$install/shellctl.exe" quit --force-after 5000 >/dev/null 2>&1 || true; close_display' EXIT
wine_run "$install/launcher.exe" >"$install/launcher.txt" 2>&1 &
launcher=$!
wine_run "$install/shellctl.exe" ready 60000 >/dev/null || { cat "$install/launcher.txt"; echo "the shell was not ready"; exit 1; }

# The core draws after it is ready, and the items arrive as they start: look
# until the logo and the third item are there.
bar_top=$((screen_height - 32)) items="300x32+362+$((screen_height - 32))"
for _ in $(seq 100); do
  shot "$picture"
  [ "$(pixel "$picture" $((logo[0] + logo[2] / 2)) $((logo[1] + logo[2] / 2)))" = 255,200,0 ] &&
    [ "$(other_than $taskbar "$items")" -gt 0 ] && break
  sleep 0.2
done

expect_pixel "the desktop's top left corner" 0 0 $wallpaper
expect_pixel "the desktop's top right corner" $((screen_width - 1)) 0 $wallpaper
expect_pixel "the taskbar's left end" 0 $((screen_height - 1)) $taskbar
expect_pixel "the taskbar's right end" $((screen_width - 1)) $((screen_height - 1)) $taskbar
# The logo is 64 by 64 pixels, drawn at twice its size: key colour in a
# 6-pixel frame and the corners of its blue square, a yellow disc inside.
expect_pixel "the logo's key colour (its frame)" $((logo[0] + 4)) $((logo[1] + 4)) $wallpaper
expect_pixel "the logo's key colour (a corner of its square)" $((logo[0] + 14)) $((logo[1] + 14)) $wallpaper
expect_pixel "the logo's blue" $((logo[0] + 20)) $((logo[1] + logo[2] / 2)) 0,120,215
expect_pixel "the logo's yellow" $((logo[0] + logo[2] / 2)) $((logo[1] + logo[2] / 2)) 255,200,0
[ "$(convert "$picture" -crop "${logo[2]}x${logo[2]}+${logo[0]}+${logo[1]}" +repage -fill white -opaque 'rgb(255,0,255)' \
     -fill black +opaque white -format '%[fx:int(mean*w*h+0.5)]' info:)" = 0 ] ||
  fail "the logo's key colour shows on the desktop"
[ "$(other_than $taskbar "$items")" -gt 0 ] || fail "no startup item on the taskbar"
clock="90x32+$((screen_width - 100))+$bar_top"
before=$(convert "$picture" -crop "$clock" +repage -format '%#' info:)
sleep 1.2
shot "$picture"
[ "$(convert "$picture" -crop "$clock" +repage -format '%#' info:)" != "$before" ] || fail "the clock does not tick"

# A second copy asks; a click on "No" ends it with 0, and the first runs on.
wine_run "$install/launcher.exe" >"$install/second.txt" 2>&1 &
second=$!
read -r x y < <(where button "Brevant - Continue Loading?" "&No") || exit 1
click "$x" "$y"
status=0
wait $second || status=$?
[ $status = 0 ] || fail "the second copy answered No ended with $status"
wine_run "$install/shellctl.exe" running >/dev/null || fail "the first copy ended with the second"

# "Quit shell" from the taskbar's menu ends the shell, in order, with 0.
click $((screen_width / 2)) $((bar_top + 16)) 3
read -r x y < <(where menu) || exit 1
click "$x" "$y"
status=0
wait $launcher || status=$?
[ $status = 0 ] || fail "the shell ended with $status after Quit shell"
echo "the desktop covers the screen, the logo is transparent where its key colour is, the taskbar ticks and shows the startup items; No ends a second copy, Quit shell the shell"
