#!/usr/bin/env python3
"""Writes deterministic, realistic feed documents for trying the XML parser by hand:

    tools/gen_feeds.py OUT_DIR [--seed N]

RSS 2.0 and Atom from 100 KB to 5 MB in UTF-8 (escaped HTML in descriptions, CDATA, non-ASCII
text, character references), one windows-1252 variant (curly quotes and the euro sign from
0x80..0x9F) and one UTF-16LE variant with a byte order mark. Check them with
build/release/bin/xml_bench --check OUT_DIR/*.xml. The benchmark builds equivalent documents
itself, so nothing at run time depends on this script.
"""
import os
import random
import sys

ASCII = ["the", "feed", "reader", "update", "podcast", "episode", "news", "market", "weather",
         "release", "version", "notes", "about", "with", "from", "today"]
LATIN = ["café", "naïve", "Zürich", "señor", "à la", "déjà", "garçon", "øre"]
CP1252 = ["“quoted”", "it’s", "€5", "–", "…"]
WIDE = ["日本語", "Ελληνικά", "новости", "😀", "—"]


def sentence(r, n, cp1252_only):
    out = []
    for _ in range(n):
        k = r.randrange(20)
        if k < 2:
            out.append(r.choice(LATIN))
        elif k < 3:
            out.append(r.choice(CP1252 if cp1252_only else WIDE))
        else:
            out.append(r.choice(ASCII))
    return " ".join(out)


def feed(atom, target, seed, cp1252_only=False, label="utf-8"):
    r = random.Random(seed)
    d = ['<?xml version="1.0" encoding="%s"?>\n' % label]
    size = len(d[0])
    if atom:
        d.append('<feed xmlns="http://www.w3.org/2005/Atom">\n  <title type="text">%s</title>\n'
                 '  <id>urn:uuid:60a76c80-d399-11d9-b93C-0003939e0af6</id>\n' % sentence(r, 4, cp1252_only))
    else:
        d.append('<rss version="2.0" xmlns:content="http://purl.org/rss/1.0/modules/content/">\n<channel>\n'
                 '  <title>%s</title>\n  <link>https://example.org/</link>\n' % sentence(r, 4, cp1252_only))
    n = 0
    while size < target:
        if atom:
            item = ('  <entry>\n    <title>%s</title>\n    <link rel="alternate" href="https://example.org/e/%d"/>\n'
                    '    <id>tag:example.org,2024:%d</id>\n    <updated>2024-01-01T10:00:00Z</updated>\n'
                    '    <summary type="html">&lt;b&gt;%s&lt;/b&gt;</summary>\n'
                    '    <content type="xhtml"><div xmlns="http://www.w3.org/1999/xhtml"><p>%s '
                    '<a href="https://example.org/">a &lt;link&gt;</a></p><p><em>%s</em></p></div></content>\n'
                    '  </entry>\n' % (sentence(r, 6, cp1252_only), n, n, sentence(r, 20, cp1252_only),
                                     sentence(r, 40, cp1252_only), sentence(r, 10, cp1252_only)))
        else:
            item = ('  <item>\n    <title>%s &amp; more #%d</title>\n'
                    '    <link>https://example.org/items/%d?a=1&amp;b=2</link>\n'
                    '    <guid isPermaLink="false">item-%d</guid>\n'
                    '    <pubDate>Mon, 0%d Jan 2024 10:00:00 +0000</pubDate>\n'
                    '    <description>&lt;p&gt;%s &lt;a href=&quot;https://example.org/%d&quot;&gt;link&lt;/a&gt;'
                    ' &#8212; &#x2026;&lt;/p&gt;</description>\n'
                    '    <content:encoded><![CDATA[<p>%s</p><img src="x.png"/>]]></content:encoded>\n'
                    '    <enclosure url="https://example.org/ep%d.mp3" length="%d" type="audio/mpeg"/>\n'
                    '  </item>\n' % (sentence(r, 6, cp1252_only), n, n, n, 1 + n % 9, sentence(r, 30, cp1252_only),
                                     n, sentence(r, 60, cp1252_only), n, r.randrange(1 << 31)))
        d.append(item)
        size += len(item.encode("utf-8"))
        n += 1
    d.append("</feed>\n" if atom else "</channel>\n</rss>\n")
    return "".join(d)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 1
    out = sys.argv[1]
    seed = int(sys.argv[3]) if len(sys.argv) > 3 and sys.argv[2] == "--seed" else 1
    os.makedirs(out, exist_ok=True)
    docs = {
        "rss_100KB.xml": feed(False, 100 << 10, seed).encode("utf-8"),
        "rss_1MB.xml": feed(False, 1 << 20, seed + 1).encode("utf-8"),
        "rss_5MB.xml": feed(False, 5 << 20, seed + 2).encode("utf-8"),
        "atom_100KB.xml": feed(True, 100 << 10, seed + 3).encode("utf-8"),
        "atom_1MB.xml": feed(True, 1 << 20, seed + 4).encode("utf-8"),
        "rss_windows1252_1MB.xml": feed(False, 1 << 20, seed + 5, True, "windows-1252").encode("cp1252"),
        "atom_utf16_1MB.xml": b"\xff\xfe" + feed(True, 1 << 20, seed + 6, False, "UTF-16").encode("utf-16-le"),
    }
    for name, data in docs.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
