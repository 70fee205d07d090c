#!/usr/bin/env python3
# Writes the seed corpora of the fuzz targets into corpus/<target>/: small
# inputs made from the formats' own cases, sound and damaged. Run it again
# after changing a case here; the fuzzers and the replay tests read the
# committed files, not this script. Not a fuzzer: it makes no random inputs.
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIGNATURE = bytes([0xBE, 0xEF, 0x85, 0xA1])
BLOCK = 131072


def header(data_length, stored_length):
    return struct.pack('<II', data_length, stored_length)


def raw(data):
    return header(len(data), len(data)) + data


def compressed(data, level=9):
    stream = zlib.compress(data, level)
    assert len(stream) < len(data)
    return header(len(data), len(stream)) + stream


def codec_seeds():
    text = b'The quick brown fox jumps over the lazy dog. ' * 40
    stream = zlib.compress(text, 9)
    flipped = bytearray(stream)
    flipped[len(flipped) // 2] ^= 0x55
    bad_adler = bytearray(stream)
    bad_adler[-1] ^= 0x01
    short_stream = zlib.compress(b'x' * 50, 9)
    long_stream = zlib.compress(b'y' * 100, 9)
    return {
        'empty': b'',
        'plain_two_bytes': b'ab',
        'plain_text': b'hello, card',
        'signature_only': SIGNATURE,
        'abc_raw': SIGNATURE + raw(b'abc'),
        'zeros_one_block': SIGNATURE + compressed(bytes(BLOCK)),
        'zeros_and_one_more': SIGNATURE + compressed(bytes(BLOCK)) + raw(b'\0'),
        'text_compressed_then_raw': SIGNATURE + compressed(text) + raw(b'tail'),
        'other_level': SIGNATURE + compressed(text, 1),
        'header_cut_in_data_length': SIGNATURE + raw(b'abc') + b'\x03\x00',
        'header_cut_in_stored_length': SIGNATURE + raw(b'abc') + b'\x03\x00\x00\x00\x03',
        'data_length_zero': SIGNATURE + header(0, 0) + raw(b'abc'),
        'data_length_zero_stored_set': SIGNATURE + header(0, 7) + raw(b'abc'),
        'data_length_above_block': SIGNATURE + header(BLOCK + 1, BLOCK + 1) + b'z' * 16,
        'data_length_huge': SIGNATURE + header(0xFFFFFFFF, 12) + b'z' * 12,
        'stored_larger_than_data': SIGNATURE + header(3, 1000) + b'abc' + raw(b'next'),
        'compressed_stored_zero': SIGNATURE + header(5, 0) + raw(b'abc'),
        'raw_payload_cut': SIGNATURE + header(10, 10) + b'abc',
        'compressed_payload_cut': SIGNATURE + header(len(text), len(stream)) + stream[:len(stream) // 2],
        'stream_damaged': SIGNATURE + header(len(text), len(stream)) + bytes(flipped) + raw(b'after'),
        'adler_damaged': SIGNATURE + header(len(text), len(stream)) + bytes(bad_adler) + raw(b'after'),
        'stream_shorter_than_data': SIGNATURE + header(100, len(short_stream)) + short_stream + raw(b'after'),
        'stream_longer_than_data': SIGNATURE + header(10, len(long_stream)) + long_stream + raw(b'after'),
        'blocks_without_signature': raw(b'abc') + compressed(text),
    }


def utf16(text):
    return text.encode('utf-16-le')


def exempt_input(name, stored):
    units = len(name.encode('utf-16-le')) // 2
    return struct.pack('<H', units) + utf16(name) + utf16(stored)


def exempt_seeds():
    full_list = ''.join('.t%04d' % i for i in range(500))[:2047]
    return {
        'mp3_listed': exempt_input('song.MP3', '.wmv.mp3'),
        'txt_not_listed': exempt_input('notes.txt', '.wmv.mp3'),
        'prefix_of_item': exempt_input('clip.mp', '.wmv.mp3'),
        'item_prefix_of_type': exempt_input('clip.mp3x', '.wmv.mp3'),
        'no_dot': exempt_input('README', '.wmv.mp3'),
        'dot_at_end': exempt_input('name.', '..mp3'),
        'dotted_type': exempt_input('a.tar.gz', '.tar.gz'),
        'path_with_folders': exempt_input('\\Music\\Old.Band\\track.WMV', '.wmv'),
        'empty_list': exempt_input('song.mp3', ''),
        'empty_name': exempt_input('', '.mp3'),
        'non_ascii_case': exempt_input('\u0444\u0430\u0439\u043b.\u0414\u041e\u041a', '.\u0434\u043e\u043a'),
        'long_type': exempt_input('x.' + 'a' * 254, '.' + 'a' * 254),
        'type_filling_buffer': exempt_input('x.' + 'b' * 253, '.' + 'b' * 253),
        'full_list_last_item': exempt_input('file.t0340', full_list),
        'list_without_nul': struct.pack('<H', 5) + utf16('a.xyz') + b'.\0x\0' * 1100,
    }


def entry(name, type_, data):
    name_bytes = utf16(name)
    fields = struct.pack('<III', type_, len(name_bytes) // 2, len(data))
    checksum = zlib.crc32(name_bytes + data, zlib.crc32(fields)) & 0xFFFFFFFF
    return b'QREG' + fields + struct.pack('<I', checksum) + name_bytes + data


REG_NONE, REG_SZ, REG_BINARY, REG_DWORD = 0, 1, 3, 4


def registry_seeds():
    exception = (utf16('.wmv.mp3') + b'\0\0').ljust(4096, b'\0')
    good = entry('Data', REG_SZ, utf16('the stored text') + b'\0\0')
    return {
        'value_sz': good,
        'value_dword': entry('Data', REG_DWORD, struct.pack('<I', 7)),
        'value_empty': entry('Data', REG_BINARY, b''),
        'value_other_case': entry('DATA', REG_BINARY, b'\x01\x02\x03'),
        'value_exception_list': entry('Data', REG_SZ, exception),
        'key_name_sub': entry('Sub', REG_NONE, b''),
        'key_name_other_case': entry('sUB', REG_NONE, b''),
        'wrong_name': entry('Other', REG_SZ, b'x\0\0\0'),
        'empty_name': entry('', REG_SZ, b''),
        'header_only': good[:20],
        'cut_in_header': good[:7],
        'last_byte_missing': good[:-1],
        'byte_too_many': good + b'\0',
        'checksum_wrong': good[:16] + bytes([good[16] ^ 0x80]) + good[17:],
        'magic_wrong': b'QREH' + good[4:],
        'all_zero': bytes(len(good)),
        'lengths_overflow': b'QREG' + struct.pack('<IIII', REG_SZ, 0xFFFFFFFF, 0xFFFFFFFF, 0),
        'empty': b'',
    }


def fat_seeds():
    def names(*parts):
        return b'\0\0'.join(utf16(p) for p in parts)
    return {
        'plain_file': names('a.txt'),
        'in_folder': names('\\dir\\b.txt', 'dir\\c.txt'),
        'dot_dot': names('..\\x'),
        'dot_dot_deep': names('a\\..\\..\\b'),
        'dot_dot_sentinel': names('..\\sentinel', '..\\..\\sentinel-top'),
        'trailing_dots': names('...\\sentinel', '.. \\sentinel'),
        'dot': names('.\\a.txt'),
        'through_link': names('link'),
        'through_up': names('up\\sentinel', 'up\\outside\\new.txt'),
        'link_other_case': names('LINK', 'Up\\x'),
        'wildcards': names('*', 'dir\\*.t?t'),
        'wildcard_up': names('..\\*'),
        'forward_slash': names('../sentinel', 'dir/../../sentinel'),
        'colon_stream': names('a.txt:stream'),
        'control_char': names('a\x01b'),
        'long_name': names('n' * 255, 'n' * 256),
        'long_path': names('\\'.join(['d' * 50] * 6)),
        'unpaired_surrogate': utf16('a') + b'\x00\xd8' + utf16('.txt'),
        'non_ascii': names('\u0444\u0430\u0439\u043b.txt', 'dir\\\u00e9t\u00e9'),
        'root': names('\\', ''),
        'doubled_separators': names('\\\\dir\\\\\\b.txt', 'dir\\\\new'),
        'move_into_self': names('dir', 'dir\\inner'),
        'empty': b'',
    }


def write(target, seeds):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), 'wb') as out:
            out.write(data)


if __name__ == '__main__':
    write('codec_decode', codec_seeds())
    write('exempt', exempt_seeds())
    write('registry_entry', registry_seeds())
    write('fat_names', fat_seeds())
