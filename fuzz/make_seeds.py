#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Reply seeds come from the golden wire fixtures (tests/wire/fixtures); the
others are small hand-made inputs. Run from anywhere; existing seeds of the
same name are overwritten, other files (inputs found by fuzzing and kept)
are left alone.
"""
import gzip
import os
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "tests", "wire", "fixtures")
SAMPLES = os.path.join(HERE, "..", "emulator", "samples", "catalogue")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


def http(body, status="200 OK", extra=b""):
    return (b"HTTP/1.1 " + status.encode() + b"\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: "
            + str(len(body)).encode() + b"\r\n" + extra + b"Connection: close\r\n\r\n" + body)


def chunked(body):
    out = b"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n"
    for i in range(0, len(body), 100):
        piece = body[i:i + 100]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


def replies():
    ops = set()
    for name in sorted(os.listdir(FIXTURES)):
        if name.endswith(".request.xml"):
            ops.add(name[: -len(".request.xml")])
    for op in sorted(ops):
        write("reply", op, op.encode() + b"\n" + http(fixture(op + ".reply.xml")))
    # Failures, given to one operation each.
    write("reply", "fault-client", b"GetJobStatus\n" + http(fixture("ClientFault.reply.xml"), "500 Internal Server Error"))
    write("reply", "fault-server", b"StopJob\n" + http(fixture("StopJob.reply.xml"), "500 Internal Server Error"))
    write("reply", "http-500", b"GetJobStatus\n" + fixture("Http500.reply.http"))
    write("reply", "closed-mid-reply", b"GetJobErrors\n" + fixture("ClosedMidReply.reply.http"))
    write("reply", "truncated", b"GetConfigurationSettings\n" + http(fixture("Truncated.reply.xml")))
    write("reply", "neither", b"CreateJob\n" + http(fixture("NeitherResponseNorFault.reply.xml")))
    # Other framings of the same replies.
    write("reply", "chunked", b"GetComponentInfo2\n" + chunked(fixture("GetComponentInfo2.reply.xml")))
    body = fixture("ValidateParameters.reply.xml")
    write("reply", "gzip", b"ValidateParameters\n" + http(gzip.compress(body), extra=b"Content-Encoding: gzip\r\n"))


def xml():
    write("xml", "properties", """<?xml version="1.0" encoding="UTF-8"?>
<properties>
  <property key="Name" kind="text"><value>a &amp; b &#x1F600; &#13;</value></property>
  <property key="On" kind="flag"><value>true</value></property>
  <property key="N" kind="integer"><value>-12</value></property>
  <property key="List" kind="texts"><value>x</value><value><![CDATA[<y>]]></value></property>
  <property key="Nums" kind="integers"><value>1</value><value>0x10</value></property>
  <property key="Odd" kind="unknown"/>
</properties>
""")
    write("xml", "doctype", """<?xml version="1.0"?><!DOCTYPE properties [<!ENTITY e "boom">]>
<properties><property key="k"><value>&e;</value></property></properties>""")
    with open(os.path.join(SAMPLES, "Examples", "Add Numbers.xml"), "rb") as f:
        write("xml", "component", f.read())


def urls():
    for i, url in enumerate(["server.example", "http://h", "https://h:8443/", "h:1/x", "http://[::1]:99",
                             "httpx", "", "https://h/qorvane/locator", "h/", "http://h:/"]):
        write("url", "url-%d" % i, url)


def status():
    write("status", "page", "Server: Qorvane workflow server\nVersion: 8.5\r\nStatus: available\n:empty name\nno colon\nLast:")
    write("status", "empty", "")


def registry():
    text = """Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\SOFTWARE\\Qorvane]
"SoapConnectTimeOut"=dword:0000000a
"Name"="a \\"quoted\\" \\\\ value"
@="default"
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Expand"=hex(2):25,00,54,00,00,00

[HKEY_CLASSES_ROOT\\Qorvane.Viewer\\CurVer]
@="Qorvane.Viewer.2"

[-HKEY_CLASSES_ROOT\\Gone]
; comment
"Long"="line \\
  continued"
"""
    write("registry", "utf8", text)
    write("registry", "utf16le", b"\xff\xfe" + text.encode("utf-16-le"))


def text():
    write("text", "ascii", "Hello, world 42")
    write("text", "mixed", "Z\u00fcrich \u2713 \U0001F600 0x1F yes")
    write("text", "invalid", b"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82 \xff")
    write("text", "utf16-surrogates", "a\ud800b\udc00".encode("utf-16-le", "surrogatepass"))


def compress():
    data = b"The quick brown fox jumps over the lazy dog. " * 40
    write("compress", "zlib", zlib.compress(data, 5))
    raw = zlib.compressobj(5, zlib.DEFLATED, -15)
    write("compress", "raw", raw.compress(data) + raw.flush())
    write("compress", "truncated", zlib.compress(data, 5)[:30])
    write("compress", "empty", b"")


def emulator_http():
    # The first byte chooses the piece size the parser is fed with (16 here).
    def write(target, name, data):
        globals()["write"](target, name, b"\x0f" + data)
    envelope = fixture("request-envelope.xml").replace(b"@OPERATION@", fixture("GetJobStatus.request.xml"))
    write("emulator_http", "post",
          b"POST /qorvane/runner HTTP/1.1\r\nHost: h\r\nContent-Type: text/xml\r\nContent-Length: "
          + str(len(envelope)).encode() + b"\r\n\r\n" + envelope)
    write("emulator_http", "chunked",
          b"POST /qorvane/upload?filename=a&SID=S HTTP/1.1\r\nTransfer-Encoding: chunked\r\nExpect: 100-continue\r\n\r\n"
          b"5\r\nhello\r\n0\r\nX-Trailer: 1\r\n\r\n")
    write("emulator_http", "pipelined",
          b"GET /qorvane/serverstatus?format=text HTTP/1.1\r\nHost: h\r\n\r\n"
          b"GET /qorvane/download?filename=a HTTP/1.0\r\n\r\n")


if __name__ == "__main__":
    replies()
    xml()
    urls()
    status()
    registry()
    text()
    compress()
    emulator_http()
