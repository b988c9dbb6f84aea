"""Just enough of the protobuf wire format to take a real message apart, spoil
one field and put it back together, without any protobuf library.

A message is a list of [field_number, wire_type, value]; value is an int for
varint and fixed fields, bytes for length-delimited ones. Order and unknown
fields survive a round trip unchanged.
"""

VARINT, FIXED64, LEN, FIXED32 = 0, 1, 2, 5


def readVarint(data, pos):
    value, shift = 0, 0
    while True:
        if pos >= len(data) or shift > 63:
            raise ValueError("truncated varint")
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            return value, pos


def varint(value):
    value &= (1 << 64) - 1
    out = bytearray()
    while True:
        b = value & 0x7F
        value >>= 7
        if value:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def parse(data):
    fields, pos = [], 0
    while pos < len(data):
        key, pos = readVarint(data, pos)
        number, wire = key >> 3, key & 7
        if wire == VARINT:
            value, pos = readVarint(data, pos)
        elif wire == FIXED64:
            value, pos = int.from_bytes(data[pos:pos + 8], "little"), pos + 8
        elif wire == FIXED32:
            value, pos = int.from_bytes(data[pos:pos + 4], "little"), pos + 4
        elif wire == LEN:
            n, pos = readVarint(data, pos)
            value, pos = bytes(data[pos:pos + n]), pos + n
        else:
            raise ValueError("wire type %d" % wire)
        if pos > len(data):
            raise ValueError("truncated field")
        fields.append([number, wire, value])
    return fields


def serialize(fields):
    out = bytearray()
    for number, wire, value in fields:
        out += varint(number << 3 | wire)
        if wire == VARINT:
            out += varint(value)
        elif wire == FIXED64:
            out += value.to_bytes(8, "little")
        elif wire == FIXED32:
            out += value.to_bytes(4, "little")
        else:
            out += varint(len(value)) + value
    return bytes(out)


def get(fields, number):
    return [f for f in fields if f[0] == number]


def setField(fields, number, wire, value):
    """Replace every occurrence of a field, or append it when absent."""
    hits = get(fields, number)
    if not hits:
        fields.append([number, wire, value])
    for f in hits:
        f[1], f[2] = wire, value


def editNested(fields, number, edit):
    """Apply edit(sub_fields, index) to every nested message of a field."""
    for i, f in enumerate(get(fields, number)):
        sub = parse(f[2])
        edit(sub, i)
        f[2] = serialize(sub)


if __name__ == "__main__":
    # A quick self-check of the codec on hand-built bytes.
    msg = [[1, VARINT, 300], [3, LEN, b"\x01\x02"], [4, FIXED32, 7], [5, FIXED64, 1 << 40]]
    assert parse(serialize(msg)) == msg
    assert varint(-1) == b"\xff" * 9 + b"\x01"
    print("pbwire ok")
