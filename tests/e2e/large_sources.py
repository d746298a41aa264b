#!/usr/bin/python3
"""Writes flat OpenDocument sources of large files, for the office's converter
to turn into large .doc, .docx and .xls files quickly: the size comes from
random data no writer can compress.

  large_sources.py fodt OUT TEXT PARAGRAPHS KILOBYTES
                                             PARAGRAPHS long paragraphs holding
                                             TEXT, and where KILOBYTES is not 0
                                             an image of random pixels that size
  large_sources.py html OUT TEXT PARAGRAPHS  the same paragraphs as a web page
  large_sources.py fods OUT TEXT ROWS        one sheet, TEXT in its first cell
                                             and ROWS cells of random letters
"""
import base64
import os
import struct
import sys
import zlib

HEAD = ('<?xml version="1.0" encoding="UTF-8"?>\n<office:document '
        'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
        'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
        'xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" '
        'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
        'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
        'office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.%s">\n')


def noise_png(kilobytes):
    side = int((kilobytes * 1024 / 3) ** 0.5) + 1
    rows = b''.join(b'\0' + os.urandom(side * 3) for _ in range(side))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))
    return (b'\x89PNG\r\n\x1a\n' +
            chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(rows, 1)) + chunk(b'IEND', b''))


def paragraph(i, text):
    return ('第%d段：这是一段很长的正文，里面有%s，还有更多的文字用来填满文档的内容。'
            'Paragraph %d with some Latin text too.' % (i, text, i))


def write_html(out, text, paragraphs):
    with open(out, 'w', encoding='utf-8') as f:
        f.write('<html><head><meta charset="utf-8"></head><body>\n')
        for i in range(paragraphs):
            f.write('<p>%s</p>\n' % paragraph(i, text))
        f.write('</body></html>\n')


def write_fodt(out, text, paragraphs, kilobytes):
    with open(out, 'w', encoding='utf-8') as f:
        f.write(HEAD % 'text')
        f.write('<office:body><office:text>')
        for i in range(paragraphs):
            f.write('<text:p>%s</text:p>' % paragraph(i, text))
        if kilobytes:
            f.write('<text:p><draw:frame draw:name="noise" text:anchor-type="as-char" '
                    'svg:width="5cm" svg:height="5cm"><draw:image><office:binary-data>' +
                    base64.b64encode(noise_png(kilobytes)).decode() +
                    '</office:binary-data></draw:image></draw:frame></text:p>')
        f.write('</office:text></office:body></office:document>\n')


def write_fods(out, text, rows):
    def row(value):
        return ('<table:table-row><table:table-cell office:value-type="string"><text:p>%s'
                '</text:p></table:table-cell></table:table-row>' % value)
    with open(out, 'w', encoding='utf-8') as f:
        f.write(HEAD % 'spreadsheet')
        f.write('<office:body><office:spreadsheet><table:table table:name="数据">' + row(text))
        for _ in range(rows):
            f.write(row(base64.b32encode(os.urandom(30)).decode()))
        f.write('</table:table></office:spreadsheet></office:body></office:document>\n')


if __name__ == '__main__':
    if sys.argv[1] == 'html':
        write_html(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif sys.argv[1] == 'fodt':
        write_fodt(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    else:
        write_fods(sys.argv[2], sys.argv[3], int(sys.argv[4]))
