#!/usr/bin/env bash
# Generates the SOAP serializers, client stubs and server skeleton from the
# service definition into the build tree, then brings the generated writers
# to the wire format the server expects (see the rules below).
#   generate.sh <service-definition.h> <output-dir>
set -euo pipefail
def="$1"; out="$2"
mkdir -p "$out"
soapcpp2 -e -x -w -L -d "$out" -I/usr/share/gsoap/import "$def" >/dev/null
