"""The program's message texts, read from its compiled catalogue grep.kvb, for
the suites that check what the program prints: a message is named by its
number and its arguments, and its text is expanded as the program does it.

Only the Python standard library is used.
"""

import struct


class CatalogueError(Exception):
    pass


class Catalogue:
    """The message texts of a compiled catalogue (grep.kvb), and their
    expansion the way the program does it."""

    MAGIC = 0x1122

    def __init__(self, texts):
        self.texts = texts  # message index (-number) -> bytes

    @classmethod
    def from_catalogue(cls, path):
        """Reads the binary catalogue grep.kvb."""
        with open(path, "rb") as f:
            image = f.read()
        if len(image) < 8:
            raise CatalogueError("%s is too short" % path)
        magic, text_area = struct.unpack_from("<ii", image, 0)
        if magic != cls.MAGIC:
            raise CatalogueError("%s has the wrong magic %#x" % (path, magic))
        texts = {}
        pos = 8
        while pos + 8 <= len(image):
            number, offset = struct.unpack_from("<ii", image, pos)
            pos += 8
            if offset < 0:
                break
            start = text_area + offset
            end = image.find(b"\x00", start)
            if start > len(image) or end < 0:
                raise CatalogueError("entry %d points outside the file" % number)
            texts[-number if number <= 0 else 0] = image[start:end]
        return cls(texts)

    def raw(self, number):
        text = self.texts.get(-number)
        if not text:
            raise CatalogueError("the catalogue has no text for message %d" % number)
        return text

    def expand(self, number, slots):
        text = self.raw(number)
        out = bytearray()
        i = 0
        while i < len(text):
            c = text[i]
            if c != 0x25:  # '%'
                out.append(c)
                i += 1
                continue
            following = text[i + 1:i + 2]
            if following == b"%":
                out += b"%"
                i += 2
            elif following == b"s":
                digit = text[i + 2:i + 3]
                if not (digit and digit.isdigit()):
                    raise CatalogueError("message %d refers to an argument without a digit" % number)
                out += slots.get(int(digit), b"")  # an unset slot shows nothing
                i += 3
            else:
                out += b"%"
                i += 1
        return bytes(out)
