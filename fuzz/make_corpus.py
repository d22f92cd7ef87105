#!/usr/bin/env python3
# Writes the seed corpora in fuzz/corpus/<target>/. The files are committed;
# this script says how they were made and makes them again after a change.
import json
import os
import plistlib

top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(top, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as file:
        file.write(data)


# The shell's output. The first two bytes steer the harness: byte 0's high
# bit makes 64 bytes the longest message, its low bits and byte 1 seed the
# sizes of the reads.
def shell(name, text, control=b"\x10\x07"):
    write("shell_output", name, control + (text.encode() if isinstance(text, str) else text))


every_route = "\n".join([
    '{"panel":{"id":7,"call":"show","title":"Settings","width":480,"height":320}}',
    '{"hotkeys":[{"key":"cmd+k","url":"acme://k"},{"key":"cmd+j","url":"acme://j","when":"front:com.example.front"}]}',
    '{"watch":"apps"}',
    '{"menu":[{"title":"Open the dashboard","id":"open"},{"title":"Quit Acme","id":"quit"}]}',
    '{"popUp":true}',
    '{"badge":{"pid":4242,"text":"3 new","ms":900}}',
    '{"focus":"replies"}',
    '{"url":"acme://open/item/123456","result":{"ok":true},"focus":"keep","panel":3}',
    '{"url":"acme://open/missing","error":"not found","panel":2147483648}',
]) + "\n"
shell("every_route", every_route)
shell("every_route_in_small_reads", every_route, b"\x00\x01")
shell("console", "\n".join([
    "2025-01-31T12:34:56.789Z info  worker 17: finished job 123456 in 42 ms",
    "",
    "  {not json at all, but it opens like an object",
    "\t{\"menu\":[{\"title\":\"indented, still a message\"}]}\r",
    "{\"menu\":\"a menu that is no array\"}",
    "{\"watch\":\"apps\",\"and\":\"more\"}",
    "[\"an array is no message\"]",
    "{\"popUp\":false}",
    "a line without its line feed",
]))
shell("long_lines", "x" * 3000 + "\n" + '{"menu":[{"title":"' + "m" * 200 + '"}]}\n' + "tail without feed " * 20, b"\x85\x33")
shell("nested_arrays",
      '{"menu":[{"title":"deep","items":' + "[" * 300 + "]" * 300 + "}]}\n"
      + '{"a":1,"b":' + "[" * 1100 + "]" * 1100 + "}\n")
shell("wide_numbers",
      '{"a":123456789012345678901234567890,"b":' + "[" * 64 + "]" * 64 + "}\n"
      + '{"url":"acme://x","result":1e999,"panel":99999999999999999999}\n'
      + '{"badge":{"pid":1.0,"text":"t","ms":1e400}}\n'
      + '{"badge":{"pid":18446744073709551615,"text":"t"}}\n')
shell("odd_bytes", b'{"menu":[{"title":"\xff\xfe"}]}\n{"url":"a\x00b","result":1}\n{"badge":{"pid":1,"text":"\\ud800"}}\n'
      b'{"url":"acme://\xc3\xa9","result":null}\n{"focus":"replies","focus":"replies"}\n{"watch":"apps","watch":"apps"}\n')

# Runtime descriptors, as the tests write them.
def descriptor(name, text):
    write("runtime_descriptor", name, text)


descriptor("script_shell", '{"bun":"~/bun","shell":"Contents/Resources/shell.ts","unit":"acme-menu","logs":"~/Library/Logs/acme",'
           '"data":"~/.acme","socket":"/tmp/acme.sock","copy":"Contents/c","temporary":"true","wait":"2.5"}')
descriptor("frozen_shell", '{"executable":"Acme Shell","unit":"straße-menü","helperBundle":"Contents/Helpers/Acme Helper.app"}')
descriptor("environment", '{"bun":"/opt/bun/bin/bun","shell":"s.js","environment":{"PATH":"/bin","HOME":"~/inner",'
           '"RES":"Contents/Resources/x","SWIFT_VIEWS_DYLIB":"/elsewhere"},"wait":"1e1"}')
descriptor("mixed_members", '{"bun":"~/bun","temporary":true,"n":1,"null":null,"list":[1,"a",{"b":[]}],"dup":1,"dup":"two",'
           '"environment":{"A":"x","B":1},"unit":"ǆ-ŉ-ﬃ"}')
descriptor("nested", '{"a":' + "[" * 511 + "]" * 511 + "}")
descriptor("too_deep", '{"a":' + "[" * 600 + "]" * 600 + "}")
descriptor("not_an_object", '["bun","shell"]')
descriptor("bad_text", b'{"a":"\xc0\xaf","b":"\\ud800","c":1e999}')

# Info.plist, XML and binary, with URL types, services and hot keys.
info = {
    "CFBundleIdentifier": "com.example.acme",
    "CFBundleURLTypes": [{"CFBundleURLName": "Acme", "CFBundleURLSchemes": ["Acme", "acme-x"]}, {"CFBundleURLSchemes": ["Other"]}],
    "KestruneURLSchemes": ["extra"],
    "NSServices": [{"NSMenuItem": {"default": "Open in Acme"}, "NSMessage": "openInAcme", "NSSendTypes": ["NSStringPboardType"]}],
    "KestruneHotKeys": [
        {"key": "cmd+shift+k", "url": "acme://k"},
        {"key": "cmd+j", "url": "acme://j", "when": "front:com.example.front", "action": "toggle"},
        {"key": "no url"},
    ],
    "KestruneLinkExtension": "AcmeLink",
    "Numbers": [1, -2, 3.5, True, False, 18446744073709551615],
}
write("info_plist", "info.xml", plistlib.dumps(info, fmt=plistlib.FMT_XML))
write("info_plist", "info.binary", plistlib.dumps(info, fmt=plistlib.FMT_BINARY))
nested = {"KestruneHotKeys": [{"key": "k", "url": "u"}]}
for _ in range(40):
    nested = {"inner": [nested]}
write("info_plist", "nested.binary", plistlib.dumps(nested, fmt=plistlib.FMT_BINARY))
write("info_plist", "wrong_shapes.xml", plistlib.dumps({
    "CFBundleURLTypes": [{"CFBundleURLSchemes": "acme"}, "x"],
    "NSServices": [{"NSMessage": "m"}, 1],
    "KestruneHotKeys": {"key": "k", "url": "u"},
}, fmt=plistlib.FMT_XML))

# Link files: what the file holds.
write("link_file", "spaces", "  acme://open/x\n")
write("link_file", "relay", "acme-other://relay")
write("link_file", "upper", "OTHER://x?y=%41#f")
write("link_file", "unicode_space", b"\xef\xbb\xbf\xc2\xa0acme://[::1]:80/p\xe2\x80\xa8")
write("link_file", "limit", "acme://x?" + "a" * (32768 - 9))

# URL texts from outside; the first byte is also the sender's process id
# (minus 16), so some seeds start with a sender of 1.
write("url_doors", "plain", "acme://open/settings")
write("url_doors", "file", "file:///tmp/a%20b.acmelink")
write("url_doors", "full", "ACME://user:pw@host:8080/p?q=1&r=2#frag")
write("url_doors", "invalid", b"acme-x://relay\xff")
write("url_doors", "sender_1", b"\x11acme://x")

# Menu messages: the rows a shell draws.
write("menu_rows", "menu", json.dumps({"menu": [
    {"kind": "header", "title": "Acme", "symbol": "star", "pointSize": 14, "badge": "circle"},
    {"id": "open", "title": "Open", "enabled": True, "key": "⌘O", "symbol": "doc"},
    {"kind": "separator"},
    {"id": "more", "title": "More", "submenu": True, "enabled": True},
    {"id": "deep", "parent": "more", "title": "Deep", "key": "key:⌥⌘Space"},
    {"kind": "separator", "parent": "more"},
    {"id": "f", "section": "footer", "submenu": True},
    {"id": "fc", "parent": "f"},
    {"id": "host.x", "hidden": True, "checked": False},
]}, ensure_ascii=False))
write("menu_rows", "loop", json.dumps({"menu": [
    {"id": "a", "submenu": True, "parent": "b"}, {"id": "b", "submenu": True, "parent": "a"},
    {"submenu": True}, {"id": "", "parent": "", "submenu": True}]}))
write("menu_rows", "chain", json.dumps({"menu": [
    {"id": "m%d" % i, "submenu": True, **({"parent": "m%d" % (i - 1)} if i else {})} for i in range(60)]}))

# Bytes a client of the host socket sends. Byte 0 seeds the sizes of the
# reads, byte 1's low bit picks a line limit of 64 bytes.
def requests(name, text, control=b"\x07\x00"):
    write("host_requests", name, control + (text.encode() if isinstance(text, str) else text))


every_request = "\n".join([
    '{"refresh":true}',
    '{"url":"acme://open/settings?x=1"}',
    '{"url":"ACME://Open"}',
    '{"url":"https://example.com"}',
    '{"url":"/no/scheme"}',
    '{"invoke":"open","title":"Open"}',
    '{"invoke":"open","title":"Opened"}',
    '{"invoke":"quit","title":"Quit Acme"}',
    '{"invoke":"gone"}',
    '{"invoke":"bad","title":1}',
    '{"invoke":"lines","title":"two\\nlines"}',
    '{"refresh":false,"url":7,"invoke":"open","title":"Open"}',
    '{"refresh":"true"}',
    '{}',
    '',
    '[1,2]',
    'refresh',
    '{"refresh":true}\r',
]) + "\n"
requests("every_request", every_request)
requests("every_request_in_small_reads", every_request, b"\x00\x00")
requests("line_over_a_short_limit", '{"refresh":true}\n' + "x" * 100 + '\n{"refresh":true}\n', b"\x20\x01")
requests("unfinished", '{"invoke":"open","title":"Open"}\n{"refresh":tr', b"\x03\x00")
requests("url_limits", '{"url":"acme://x?' + "a" * (32768 - 9) + '"}\n{"url":"acme://x?' + "a" * (32768 - 8) + '"}\n', b"\xff\x00")
requests("odd_bytes", b'{"url":"acme://\xff"}\n{"invoke":"\\ud800"}\n{"refresh":true}\x00junk\n'
         b'{"invoke":"\xc3\xa9","title":"\xc3\xa9"}\n{"url":"acme://\\u0000"}\n'
         + b'{"refresh":true,"x":' + b"[" * 40 + b"]" * 40 + b"}\n")


# Hot keys: key strings, URLs, the shell's lists, remote settings and files.
def hot_keys(name, text):
    write("hot_keys", name, text)


hot_keys("modifiers_and_key", "⌃⌥⇧⌘K")
hot_keys("top_left_key", "⌘§")
hot_keys("accented_key", "⌘K\u0301")
hot_keys("flag_key", "⌘🇩🇪")
hot_keys("sharp_s", "⌘ß")
hot_keys("url", "myapp://open/settings/?x=1#f")
hot_keys("stray_bytes", b"\xe2\x8c\x98\xff\xe2\x8c")
hot_keys("shell_list", json.dumps({"hotkeys": [
    {"key": "toggle", "url": "acme://toggle", "code": 40, "modifiers": 256},
    {"key": "big", "url": "acme://big", "code": 4294967295, "modifiers": 6144, "options": 1},
    {"key": "bad", "url": "acme://bad", "code": -1, "modifiers": 0},
    {"key": "float", "url": "acme://f", "code": 1.5, "modifiers": 0},
    {"key": "opts", "url": "acme://o", "code": 2, "modifiers": 0, "options": "x"},
]}))
hot_keys("bridge", json.dumps({"routes": {"⌃⌥K": "köprü", "x": "burada"}, "press": ["/bin/press", "{key}"]},
                              ensure_ascii=False))
hot_keys("config", '{"forward":"1"}')
hot_keys("remote_settings", json.dumps({"KestruneRemoteMachines": {
    "bundles": ["com.remote.a"], "config": "Remote/config.json", "key": "forward", "session": ["com.remote.a"]}}))


# Badge requests and panel messages as the shell writes them.
def badge(name, text):
    write("badge_requests", name, text)


badge("plain", '{"badge":{"pid":4242,"text":"3 new","ms":900}}')
badge("defaults", '{"badge":{"pid":1}}')
badge("odd_values", '{"badge":{"pid":1.9,"text":5,"ms":"soon"}}')
badge("huge_ms", '{"badge":{"pid":2147483647,"text":"x","ms":1e300}}')
badge("negative", '{"badge":{"pid":-3,"ms":-1}}')
badge("not_an_object", '{"badge":[1,2]}')


def panel(name, text):
    write("panel_messages", name, text)


panel("open", '{"panel":{"name":"settings","call":"open","look":"{\\"tab\\":2}"}}')
panel("update", '{"panel":{"name":"settings","call":"update"}}')
panel("close", '{"panel":{"name":"about","call":"close","look":7}}')
panel("odd_name", '{"panel":{"name":"set-tings 2","call":"open"}}')
panel("other_call", '{"panel":{"name":"settings","call":"hide"}}')
panel("not_strings", '{"panel":{"name":1,"call":["open"]}}')
panel("long_name", '{"panel":{"name":"' + "n" * 3000 + '","call":"prepare"}}')
