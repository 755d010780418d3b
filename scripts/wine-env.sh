# Sourced by the scripts: the project's own Wine prefix inside the build tree.
# Never touches any other prefix.
TOVRA_ROOT=${TOVRA_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX=${TOVRA_WINEPREFIX:-$TOVRA_ROOT/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# wine_prepare: create the prefix once, then keep a persistent wineserver and the
# prefix's background processes running with stdio detached, so that programs run
# with captured output exit cleanly and fast.
wine_prepare() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "preparing Wine prefix in $WINEPREFIX (first boot takes a few seconds)"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
}
