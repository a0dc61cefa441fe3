#!/usr/bin/env bash
# Generates the SOAP serializers, client stubs and server skeleton from the
# service definition into the build tree, then brings the generated code to
# the wire format the server expects (see the rules below).
#   generate.sh <service-definition.h> <output-dir>
#
# soapcpp2 flags: -e rpc/encoded bindings, -x no sample messages, -w no WSDL,
# -L no soapClientLib/soapServerLib, -d output directory.
#
# Every rule below is checked: when soapcpp2 changes what it emits and a rule
# no longer applies, generation fails instead of silently producing another
# wire format. tests/wire (the golden request tests) covers the result.
set -euo pipefail
def="$1"; out="$2"
mkdir -p "$out"
soapcpp2 -e -x -w -L -d "$out" -I/usr/share/gsoap/import "$def" >/dev/null 2>&1 \
  || soapcpp2 -e -x -w -L -d "$out" -I/usr/share/gsoap/import "$def"

client="$out/soapClient.cpp"
server="$out/soapServer.cpp"
serial="$out/soapC.cpp"
encoding='http://schemas.xmlsoap.org/soap/encoding/'

# Applies a sed program to a file and fails unless it changed exactly the
# expected number of lines.
rewrite() {
  local file="$1" expected="$2" program="$3" before after changed
  before="$(mktemp)"; cp "$file" "$before"
  sed -i -e "$program" "$file"
  changed="$(diff "$before" "$file" | grep -c '^>' || true)"
  rm -f "$before"
  if [ "$changed" != "$expected" ]; then
    echo "generate.sh: rule '$program' changed $changed lines of $(basename "$file"), expected $expected" >&2
    exit 1
  fi
}

ops="$(grep -c '^int qor__' "$def")"

# 1. encodingStyle goes on the operation element (request) and on the
#    response element (emulator), not on SOAP-ENV:Body.
rewrite "$client" "$ops" 's|soap->encodingStyle = ""; /\* use SOAP encoding style \*/|soap->encodingStyle = NULL; /* set on the operation element below */|'
rewrite "$client" "$((2 * ops))" "s@|| soap_put_qor__@|| soap_set_attr(soap, \"SOAP-ENV:encodingStyle\", \"$encoding\", 1) || soap_put_qor__@"
rewrite "$server" "$ops" 's|soap->encodingStyle = ""; /\* use SOAP encoding style \*/|soap->encodingStyle = NULL; /* set on the response element below */|'
rewrite "$server" "$((2 * ops))" "s@|| response.soap_put(soap, \"qor:@|| soap_set_attr(soap, \"SOAP-ENV:encodingStyle\", \"$encoding\", 1) || response.soap_put(soap, \"qor:@"

# 2. Every request carries the header SOAPAction: "" (the runtime leaves the
#    header out when the action is null).
rewrite "$client" "$ops" 's|^\tsoap_begin(soap);$|\tif (!soap_action) soap_action = ""; /* SOAPAction: "" */\n\tsoap_begin(soap);|'

# 3. A reply is read only when the Body's element is the expected response
#    element (the runtime would accept any element name); any other element
#    is read as a SOAP Fault.
awk '
  /^SOAP_FMAC5 int SOAP_FMAC6 soap_recv_qor__[A-Za-z0-9_]+\(struct soap \*soap, qor__[A-Za-z0-9_]+ &response\)/ {
    match($0, /qor__[A-Za-z0-9_]+ &response/)
    type = substr($0, RSTART + 5, RLENGTH - 5 - length(" &response"))
  }
  /response\.soap_get\(soap, "", NULL\);/ && type != "" {
    sub(/response\.soap_get\(soap, "", NULL\);/, "response.soap_get(soap, \"qor:" type "\", NULL);")
    type = ""
    fixed++
  }
  { print }
  END { if (fixed != expected) { print "generate.sh: response tag rule fixed " fixed " of " expected > "/dev/stderr"; exit 1 } }
' expected="$ops" "$client" > "$client.tmp"
mv "$client.tmp" "$client"

# 4. SOAP-encoded arrays carry xsi:type="SOAP-ENC:Array" besides their
#    SOAP-ENC:arrayType.
arrays="$(grep -c 'if (soap_array_begin_out(soap, tag, id, t, NULL))' "$serial")"
[ "$arrays" -ge 7 ] || { echo "generate.sh: found only $arrays array writers" >&2; exit 1; }
rewrite "$serial" "$arrays" 's/if (soap_array_begin_out(soap, tag, id, t, NULL))/if (soap_set_attr(soap, "xsi:type", "SOAP-ENC:Array", 1) || soap_array_begin_out(soap, tag, id, t, NULL))/'

# 5. Decoded records are moved without their copy-assignment, which refuses
#    on purpose (see wire/record_relocation.h).
rewrite "$serial" 1 's|^#include "soapH.h"$|#include "soapH.h"\n#include "wire/record_relocation.h"|'
saves="$(grep -c 'soap_block<qor__[A-Za-z0-9_]*>::save(' "$serial")"
rewrite "$serial" "$saves" 's/soap_block<\(qor__[A-Za-z0-9_]*\)>::save(/pelox_save_records<\1>(/'
copies="$(grep -c '\*(qor__[A-Za-z0-9_]*\*)p = \*(qor__[A-Za-z0-9_]*\*)q;' "$serial")"
rewrite "$serial" "$copies" 's/\*(\(qor__[A-Za-z0-9_]*\)\*)p = \*(qor__[A-Za-z0-9_]*\*)q;/pelox_relocate_record((\1*)p, (const \1*)q);/'

# The runtime's own namespace table (wire/namespaces.cpp) replaces the
# generated one.
rm -f "$out"/*.nsmap
