# Sourced by the scripts that look at the shell as a person sees it (the
# screen test, make screenshot), with build set to a build directory: a
# virtual X display (Xvfb), a Wine prefix of the build with Wine's X11
# driver, and what a person does there: look (ImageMagick), click (xdotool).
screen_width=1024 screen_height=768
x11_driver='HKCU\Software\Wine\X11 Driver'

# Starts a virtual screen of its own and points DISPLAY and Wine at it; the
# caller's EXIT trap calls close_display.
open_display() {
  local tool
  for tool in Xvfb import convert xdotool; do
    command -v $tool >/dev/null || { echo "$tool is missing: scripts/install-deps.sh installs it"; exit 1; }
  done
  exec 8< <(Xvfb -displayfd 1 -screen 0 ${screen_width}x${screen_height}x24 -nolisten tcp 2>/dev/null)
  xvfb=$!
  local number
  read -r -t 30 number <&8 || { echo "Xvfb did not start"; exit 1; }
  export DISPLAY=:$number WINE_GRAPHICS=x11 WINE_RUN_PREFIX=$build/wineprefix-x11
  # A server of the prefix's from an earlier display would still draw there.
  "$source/scripts/wine.sh" end "$WINE_RUN_PREFIX"
  # No window manager runs here: Wine draws the windows' captions and frames.
  wine_run reg add "$x11_driver" /v Managed /d N /f >/dev/null 2>&1
}

close_display() {
  # A display with a window manager (make run's) gets managed windows again.
  wine_run reg delete "$x11_driver" /v Managed /f >/dev/null 2>&1 || true
  "$source/scripts/wine.sh" end "$WINE_RUN_PREFIX"
  kill "$xvfb" 2>/dev/null || true
}

wine_run() { "$build/wine-run" "$@"; }

# An installation of the sample shell in DIR, with the tests' helper beside it.
stage_sample() { # DIR
  rm -rf "$1"
  mkdir -p "$1"
  cp "$build"/bin/{launcher.exe,shellwatch.exe,shellctl.exe,componentcheck.exe,modutil.dll} "$build"/bin/samples/*.dll \
     "$source"/examples/{shell.rc,wallpaper.bmp,logo.bmp} "$build/bin/fixtures/whereis.exe" "$1/"
}

shot() { import -window root "$1"; }

# The colour at X Y of a picture, as "r,g,b".
pixel() { # FILE X Y
  convert "$1" -format "%[fx:int(255*p{$2,$3}.r)],%[fx:int(255*p{$2,$3}.g)],%[fx:int(255*p{$2,$3}.b)]" info:
}

# Waits until whereis.exe finds what it is asked for, and prints it.
where() { # whereis arguments...
  local i found
  for i in $(seq 200); do
    if found=$(wine_run "$install/whereis.exe" "$@" 2>/dev/null); then
      echo "${found//$'\r'/}"
      return 0
    fi
    sleep 0.1
  done
  echo "not on the screen after 20 s: $*" >&2
  return 1
}

click() { # X Y [BUTTON]
  xdotool mousemove "$1" "$2" click "${3:-1}"
}
