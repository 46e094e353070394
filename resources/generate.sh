#!/bin/bash
# Regenerates app.ico, app-256.png and splash.png from draw.py.
# Needs Debian's python3 with PIL (python3-pil) and a system font.
set -eu
cd "$(dirname "$0")"
exec /usr/bin/python3 draw.py "$PWD"
