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
#    is read as a SOAP Fault, and a Body without any element fails the call
#    (the runtime would return success with default values;
#    pelox_no_response in wire/generated_hooks.h).
rewrite "$client" 1 's|^#include "soapH.h"$|#include "soapH.h"\n#include "wire/generated_hooks.h"|'
awk '
  /^SOAP_FMAC5 int SOAP_FMAC6 soap_recv_qor__[A-Za-z0-9_]+\(struct soap \*soap, qor__[A-Za-z0-9_]+ &response\)/ {
    match($0, /qor__[A-Za-z0-9_]+ &response/)
    type = substr($0, RSTART + 5, RLENGTH - 5 - length(" &response"))
  }
  /response\.soap_get\(soap, "", NULL\);/ && type != "" {
    sub(/response\.soap_get\(soap, "", NULL\);/, "if (!response.soap_get(soap, \"qor:" type "\", NULL) \\&\\& soap->error == SOAP_NO_TAG)\n\t\treturn pelox_no_response(soap);")
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
rewrite "$serial" 2 's|^#include "soapH.h"$|#include "soapH.h"\n#include "wire/record_relocation.h"\n#include "wire/generated_hooks.h"|'
saves="$(grep -c 'soap_block<qor__[A-Za-z0-9_]*>::save(' "$serial")"
rewrite "$serial" "$saves" 's/soap_block<\(qor__[A-Za-z0-9_]*\)>::save(/pelox_save_records<\1>(/'
copies="$(grep -c '\*(qor__[A-Za-z0-9_]*\*)p = \*(qor__[A-Za-z0-9_]*\*)q;' "$serial")"
rewrite "$serial" "$copies" 's/\*(\(qor__[A-Za-z0-9_]*\)\*)p = \*(qor__[A-Za-z0-9_]*\*)q;/pelox_relocate_record((\1*)p, (const \1*)q);/'

# 6. Members of a record are matched by their local name: the runtime reads
#    an unprefixed member name only from an unqualified element, so a reply
#    that qualifies its members (<qor:url>) would decode as all members
#    absent. A leading colon matches the name with any prefix or none.
members="$(grep -c 'soap_in_[A-Za-z0-9_]*(soap, "[A-Za-z_][A-Za-z0-9_-]*", ' "$serial")"
[ "$members" -ge 150 ] || { echo "generate.sh: found only $members member readers" >&2; exit 1; }
rewrite "$serial" "$members" 's/\(soap_in_[A-Za-z0-9_]*(soap, "\)\([A-Za-z_][A-Za-z0-9_-]*", \)/\1:\2/g'

# 7. An encoded array is read into storage of its announced size only when
#    that size is believable; without a size ("xsd:string[]") or with a huge
#    one it is read item by item (pelox_presized_array).
presized="$(grep -c 'if (\*soap->arraySize)$' "$serial")"
[ "$presized" -ge 7 ] || { echo "generate.sh: found only $presized array readers" >&2; exit 1; }
rewrite "$serial" "$presized" 's/if (\*soap->arraySize)$/if (pelox_presized_array(soap))/'

# 8. Text is written as XML 1.0 that any conforming parser accepts: the
#    characters XML forbids become U+FFFD (pelox_xml_text).
rewrite "$serial" 1 's/return soap_outstring(soap, tag, id, a, type, SOAP_TYPE_string);/return soap_outstring(soap, tag, id, pelox_xml_text(soap, a), type, SOAP_TYPE_string);/'

# The runtime's own namespace table (wire/namespaces.cpp) replaces the
# generated one.
rm -f "$out"/*.nsmap
