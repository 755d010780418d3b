# Sourced by the scripts: the project's own Wine prefix inside the build tree.
# Never touches any other prefix.
TOVRA_ROOT=${TOVRA_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX=${TOVRA_WINEPREFIX:-$TOVRA_ROOT/build/wineprefix}
# A test that changes machine-wide state runs in the prefix ctest handed it as
# the resource "wineprefix" (see tovra_wine_machine in cmake/TovraBuild.cmake).
if [[ ${CTEST_RESOURCE_GROUP_0_WINEPREFIX:-} =~ ^id:([0-9]+), ]]; then
  WINEPREFIX=$WINEPREFIX-${BASH_REMATCH[1]}
fi
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

# wine_prepare: create the prefix once, then keep a persistent wineserver and the
# prefix's background processes running with stdio detached, so that programs run
# with captured output exit cleanly and fast. Every prefix of the build is a copy
# of one freshly booted template: a copy takes a second, a first boot many.
wine_prepare() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    local template=$TOVRA_ROOT/build/wineprefix-template
    (
      flock 9
      if [ ! -f "$template/system.reg" ]; then
        echo "preparing Wine prefix in $template (first boot takes a few seconds)"
        rm -rf "$template"
        WINEPREFIX=$template wineboot -i </dev/null >/dev/null 2>&1 || true
        WINEPREFIX=$template wineserver -w
      fi
    ) 9>"$template.lock"
    rm -rf "$WINEPREFIX"
    cp -a "$template" "$WINEPREFIX.partial" && mv "$WINEPREFIX.partial" "$WINEPREFIX"
  fi
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine wineboot </dev/null >/dev/null 2>&1 || true
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
}
