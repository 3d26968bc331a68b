#!/bin/sh
# usage: wine_session.sh WINE_RUN COMMAND [ARGUMENT...]
# Runs COMMAND with one Wine server (for the prefix KIV_WINE_PREFIX names,
# which must exist) and Wine's own system processes kept up for its whole
# run, so that each Windows program the command starts through WINE_RUN (the
# build's wine-run) takes seconds, not the server's and services' start-up.
# They are started first, with their output apart from the command's: a
# service that held a test's output pipe open would keep the test from
# ending.
set -eu
wine_run=$1
shift
# (A server already running for the prefix is used as it is.)
WINEPREFIX=$KIV_WINE_PREFIX wineserver -p || true
"$wine_run" wineboot </dev/null >/dev/null 2>&1 || true
status=0
"$@" || status=$?
WINEPREFIX=$KIV_WINE_PREFIX wineserver -k || true
exit "$status"
