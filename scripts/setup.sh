#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the fuzzers, the
# benchmarks and the desktop program need. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  # Rebuilds on the same machine reuse earlier compilations.
  ccache
  libgtest-dev googletest libbenchmark-dev
  pxlib-dev
  clang libclang-rt-14-dev
  # The format and lint checks of scripts/test.sh and .ci/run.
  clang-format clang-tidy
  sqlite3 libsqlite3-dev
  locales
  # The desktop program: Qt 6 Widgets and its test library, the offscreen
  # platform the window tests run on, the X platform, Xvfb (and xauth, which
  # xvfb-run needs) for runs and screenshots without a display, and the
  # Liberation fonts that stand in for the fonts the windows ask for.
  qt6-base-dev qt6-qpa-plugins
  # The program's icon, drawn from app/vellum.svg.
  qt6-svg-dev
  # lrelease, which builds the translations of the windows.
  qt6-l10n-tools
  xvfb xauth
  fonts-liberation2
  # pdfinfo, pdftotext and pdftoppm, with which the tests and reviews look at
  # the PDFs the report engine writes (Qt's PrintSupport comes with
  # qt6-base-dev).
  poppler-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

# A locale with a decimal comma, so the tests can check that number texts do
# not follow the C library's locale.
if ! locale -a 2>/dev/null | grep -qi '^it_IT.utf-\?8$'; then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  if [[ -f /etc/locale.gen ]]; then
    $SUDO sed -i 's/^# *it_IT.UTF-8 UTF-8/it_IT.UTF-8 UTF-8/' /etc/locale.gen
    $SUDO locale-gen > /dev/null
  fi
fi
