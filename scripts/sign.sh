#!/bin/bash
# Authenticode-signs Windows programs in place with SHA-256, and with an
# RFC 3161 timestamp when a timestamp server is given. The certificate comes
# from the environment only, never from the command line or the repository:
#   VELTA_SIGN_PFX            the PFX (PKCS#12) file: key and certificate chain
#   VELTA_SIGN_PASSWORD       its password
#   VELTA_SIGN_TIMESTAMP_URL  an RFC 3161 timestamp server (optional)
# Usage: scripts/sign.sh FILE...
# A file is replaced only by a completely signed copy; any failure (a wrong
# password, an unreachable timestamp server) leaves it as it was and ends with 1.
set -eu
if [ -z "${VELTA_SIGN_PFX:-}" ]; then
    echo "sign: no certificate; set VELTA_SIGN_PFX and VELTA_SIGN_PASSWORD" >&2
    exit 1
fi
options=(-pkcs12 "$VELTA_SIGN_PFX" -h sha256 -n VeltaAI)
if [ -n "${VELTA_SIGN_TIMESTAMP_URL:-}" ]; then
    options+=(-ts "$VELTA_SIGN_TIMESTAMP_URL")
fi
for file in "$@"; do
    signed=$file.signed
    rm -f "$signed"
    # The password reaches osslsigncode through a pipe, never its arguments.
    if ! log=$(osslsigncode sign "${options[@]}" \
        -readpass <(printf '%s' "${VELTA_SIGN_PASSWORD:-}") \
        -in "$file" -out "$signed" 2>&1); then
        echo "sign: $file could not be signed:" >&2
        echo "$log" >&2
        rm -f "$signed"
        exit 1
    fi
    chmod --reference="$file" "$signed"
    mv -f "$signed" "$file"
    echo "sign: signed $file"
done
