// Runs under Wine: checks that the Windows builds of libcurl, gSOAP's
// runtime (with zlib) and pugixml are the ones the library needs, and that
// they work in one statically linked program.
#include <curl/curl.h>
#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "soapH.h"
#include "Smoke.nsmap"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
  if (!ok)
    ++failures;
}

// libcurl: TLS through Schannel, web protocols only, name look-ups on the
// caller's thread, and no CA file or folder of the build machine baked in
// (a Windows host would look for it at a meaningless path).
void checkCurl() {
  std::printf("libcurl %s\n", curl_version());
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  check(info->ssl_version && std::strstr(info->ssl_version, "Schannel"), "TLS backend is Schannel");
  check((info->features & CURL_VERSION_SSL) != 0, "TLS is available");
  check((info->features & CURL_VERSION_ASYNCHDNS) == 0, "no resolver thread");
  check((info->features & CURL_VERSION_LIBZ) != 0, "compressed downloads are decoded (zlib)");
  check(info->cainfo == nullptr && info->capath == nullptr, "no CA bundle or CA path baked in");
  bool onlyWeb = true;
  for (const char* const* p = info->protocols; *p; ++p)
    onlyWeb = onlyWeb && (std::strcmp(*p, "http") == 0 || std::strcmp(*p, "https") == 0);
  check(onlyWeb, "protocols are http and https only");

  check(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK, "curl_global_init");
  CURL* easy = curl_easy_init();
  check(easy != nullptr, "curl_easy_init");
  curl_easy_cleanup(easy);
  curl_global_cleanup();
}

// gSOAP: a context created and freed, and a request with non-ASCII text
// written gzip-compressed and read back through the generated serializers.
void checkGsoap() {
  const std::string text = "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac <&>";
  std::ostringstream out;
  {
    soap* ctx = soap_new1(SOAP_C_UTFSTRING | SOAP_ENC_ZLIB);
    check(ctx != nullptr, "soap_new1");
    smk__echo request{};
    request.text = soap_strdup(ctx, text.c_str());
    ctx->os = &out;
    check(soap_write_smk__echo(ctx, &request) == SOAP_OK, "request written compressed");
    ctx->os = nullptr;
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);
  }
  // Compressed output goes out as an HTTP message with a gzip body, as on
  // the wire; reading it back takes the same road as a compressed reply.
  const std::string wire = out.str();
  const std::size_t body = wire.find("\r\n\r\n");
  check(wire.find("Content-Encoding: gzip\r\n") < body && body + 6 <= wire.size() &&
          static_cast<unsigned char>(wire[body + 4]) == 0x1f &&
          static_cast<unsigned char>(wire[body + 5]) == 0x8b,
        "written body is gzip");

  soap* ctx = soap_new1(SOAP_C_UTFSTRING);
  std::istringstream in(wire);
  ctx->is = &in;
  smk__echo back{};
  check(soap_read_smk__echo(ctx, &back) == SOAP_OK, "request read back");
  check(back.text && text == back.text, "text survives the round trip");
  ctx->is = nullptr;
  soap_destroy(ctx);
  soap_end(ctx);
  soap_free(ctx);
}

void checkPugixml() {
  pugi::xml_document doc;
  const pugi::xml_parse_result parsed = doc.load_string("<a n=\"7\"><b>\xe2\x82\xac</b></a>");
  check(static_cast<bool>(parsed), "pugixml parses");
  check(doc.child("a").attribute("n").as_int() == 7, "pugixml attribute");
  check(std::strcmp(doc.child("a").child_value("b"), "\xe2\x82\xac") == 0, "pugixml text");
}

}  // namespace

int main() {
  checkCurl();
  checkGsoap();
  checkPugixml();
  std::printf("%d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
