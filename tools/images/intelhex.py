"""Intel HEX records as the image files hold them, and the flat image the
update tool makes of them.

One record line is ":" and upper-case hex digits: byte count, 16-bit
address, record type, the data bytes and a checksum that makes the sum of
all bytes 0 modulo 256. The tool acts on two record types:

  * data (0): its bytes land at the window offset plus the record address;
  * extended linear address (4): the second of its two bytes selects the
    64 KiB window (offset = that byte * 65536); the first is not looked at,
    since the unit's images run from 0x8000xxxx (microcontroller) or
    0x0000xxxx (logic).

Every other record changes nothing. The flat image is 0xFF where no data
lands and ends with the last data record of the text; it must lie within
the tool's 4 MiB image area.

The image generator, the stand-in maker and the test runners all read and
write records through this module.
"""

import collections
import re

DATA = 0
END_OF_FILE = 1
EXTENDED_SEGMENT_ADDRESS = 2
START_SEGMENT_ADDRESS = 3
EXTENDED_LINEAR_ADDRESS = 4
START_LINEAR_ADDRESS = 5
TYPE_NAMES = {DATA: "data", END_OF_FILE: "end of file",
              EXTENDED_SEGMENT_ADDRESS: "extended segment address",
              START_SEGMENT_ADDRESS: "start segment address",
              EXTENDED_LINEAR_ADDRESS: "extended linear address",
              START_LINEAR_ADDRESS: "start linear address"}

IMAGE_AREA = 4 * 1024 * 1024  # the tool's image buffer: every offset falls below it
WINDOW = 0x10000
UPPER_HEX = re.compile(rb"[0-9A-F]*")

Record = collections.namedtuple("Record", "type address data")


class RecordError(ValueError):
    """What is wrong with one record; the caller adds where it is."""


def record_line(record_type, address, data=b""):
    """One record line: start code, upper-case hex, checksum, CR LF."""
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, record_type]) + bytes(data)
    checksum = -sum(body) & 0xFF
    return b":" + (body + bytes([checksum])).hex().upper().encode("ascii") + b"\r\n"


def parse_record(line):
    """The Record of one line (bytes, without its line end).

    Raises RecordError for a line that is not a whole, right record in
    upper-case hex. The record type is not judged here.
    """
    if not line.startswith(b":"):
        raise RecordError("not a record line: it does not start with ':'")
    digits = line[1:]
    good = UPPER_HEX.match(digits).end()
    if good != len(digits):
        raise RecordError("character %r in column %d is not an upper-case hex digit"
                          % (digits[good:good + 1].decode("latin-1"), good + 2))
    if len(digits) % 2:
        raise RecordError("odd number of hex digits (%d)" % len(digits))
    if len(digits) < 10:
        raise RecordError("record too short: %d hex digits, at least 10 needed" % len(digits))
    raw = bytes.fromhex(digits.decode("ascii"))
    count = raw[0]
    if len(raw) != count + 5:
        raise RecordError("byte count %d does not match the line, which holds %d data bytes"
                          % (count, len(raw) - 5))
    if sum(raw) & 0xFF:
        raise RecordError("wrong checksum 0x%02X, the record needs 0x%02X"
                          % (raw[-1], (raw[-1] - sum(raw)) & 0xFF))
    return Record(raw[3], raw[1] << 8 | raw[2], raw[4:-1])


class FlatImage:
    """The tool's conversion, one record at a time."""

    def __init__(self):
        self.area = bytearray(b"\xff") * IMAGE_AREA
        self.window = 0  # the offset the last extended linear address selected
        self.length = 0

    def apply(self, record):
        """Applies one record; for a data record its (start, end) offsets, else
        None. Raises RecordError where the tool would refuse the record."""
        if record.type == EXTENDED_LINEAR_ADDRESS:
            if len(record.data) != 2:
                raise RecordError("extended linear address record with %d data byte%s, needs exactly 2"
                                  % (len(record.data), "" if len(record.data) == 1 else "s"))
            self.window = record.data[1] * WINDOW
            if self.window >= IMAGE_AREA:
                raise RecordError("extended linear address 0x%s puts data at offset 0x%X, beyond the "
                                  "4 MiB image area" % (record.data.hex().upper(), self.window))
            return None
        if record.type != DATA:
            return None
        start = self.window + record.address
        end = start + len(record.data)
        if end > IMAGE_AREA:
            raise RecordError("data at offsets 0x%X to 0x%X runs past the 4 MiB image area"
                              % (start, end - 1))
        self.area[start:end] = record.data
        self.length = end
        return start, end

    def image(self):
        return bytes(self.area[:self.length])


def convert(text):
    """The flat image of a whole Intel HEX text (bytes or str) as the tool
    makes it; RecordError names the line of the first record it can't take."""
    if isinstance(text, str):
        text = text.encode("ascii")
    flat = FlatImage()
    for number, line in enumerate(text.split(b"\n"), 1):
        line = line.rstrip(b"\r")
        if line:
            try:
                flat.apply(parse_record(line))
            except RecordError as error:
                raise RecordError("line %d: %s" % (number, error)) from None
    return flat.image()


def checksum(image):
    """What the unit is told with an image: 0 minus the 32-bit sum of its bytes."""
    return -sum(image) & 0xFFFFFFFF
