"""Pieces shared by the payload generator (make_payload.py) and its checks (check_payload.py): a minimal
DER encoder and decoder, a PE reader (headers, sections, resources, version information) and the layout
of the catalogue content and of the protection manifest. Standard library only: the build machine has
python3 and nothing else."""
import hashlib
import struct

# --- DER ----------------------------------------------------------------------------------------------

OID_SHA1 = '1.3.14.3.2.26'
OID_CTL = '1.3.6.1.4.1.311.10.1'                   # the signed content type of a catalogue
OID_CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'        # subject usage: a catalogue
OID_CATALOG_LIST_MEMBER = '1.3.6.1.4.1.311.12.1.2'
OID_CAT_NAMEVALUE = '1.3.6.1.4.1.311.12.2.1'       # a member's name/value attribute ("File")
OID_SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
OID_SPC_FLAT_FILE_DATA = '1.3.6.1.4.1.311.2.1.25'  # the digest is over the whole file


def der(tag, body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, 'big')
        head = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + head + body


def der_seq(*items):
    return der(0x30, b''.join(items))


def der_set(*items):
    # DER orders the members of a SET OF by their encodings.
    return der(0x31, b''.join(sorted(items)))


def der_int(value):
    return der(0x02, value.to_bytes(value.bit_length() // 8 + 1, 'big', signed=True))


def der_oid(dotted):
    parts = [int(p) for p in dotted.split('.')]
    body = bytearray([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.append(0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(reversed(chunk))
    return der(0x06, bytes(body))


def der_null():
    return b'\x05\x00'


def der_octets(data):
    return der(0x04, data)


def der_bmp(text):
    return der(0x1E, text.encode('utf-16-be'))


def der_utctime(stamp):
    return der(0x17, stamp.strftime('%y%m%d%H%M%SZ').encode('ascii'))


class Node:
    """One decoded DER element: tag, raw body, and children when constructed."""

    def __init__(self, tag, body):
        self.tag = tag
        self.body = body
        self.children = der_parse_all(body) if tag & 0x20 else []

    def oid(self):
        if self.tag != 0x06:
            raise ValueError('not an OBJECT IDENTIFIER')
        first = self.body[0]
        parts = [first // 40, first % 40]
        value = 0
        for b in self.body[1:]:
            value = (value << 7) | (b & 0x7F)
            if not b & 0x80:
                parts.append(value)
                value = 0
        return '.'.join(str(p) for p in parts)


def der_parse_one(data, pos=0):
    tag = data[pos]
    n = data[pos + 1]
    pos += 2
    if n & 0x80:
        count = n & 0x7F
        if count == 0 or count > 4:
            raise ValueError('unsupported DER length')
        n = int.from_bytes(data[pos:pos + count], 'big')
        pos += count
    if pos + n > len(data):
        raise ValueError('DER element runs past its container')
    return Node(tag, data[pos:pos + n]), pos + n


def der_parse_all(data):
    nodes, pos = [], 0
    while pos < len(data):
        node, pos = der_parse_one(data, pos)
        nodes.append(node)
    return nodes


def der_parse(data):
    node, end = der_parse_one(data)
    if end != len(data):
        raise ValueError('trailing bytes after the DER element')
    return node

# --- Catalogue content ---------------------------------------------------------------------------------
# A certificate trust list as Windows catalogues lay it out (subject usage "catalogue", one trusted
# subject per member, identified by its digest as UTF-16 hex text, with a "File" name attribute and an
# indirect-data attribute holding the digest). The digests are SHA-1 of each whole file.


def member_tag(digest):
    return digest.hex().upper().encode('utf-16-le')


def catalog_member(name, data):
    digest = hashlib.sha1(data).digest()
    name_value = der_seq(der_bmp('File'), der_int(0x10010001), der_octets((name + '\0').encode('utf-16-le')))
    indirect = der_seq(der_seq(der_oid(OID_SPC_FLAT_FILE_DATA)),
                       der_seq(der_seq(der_oid(OID_SHA1), der_null()), der_octets(digest)))
    attributes = der_set(der_seq(der_oid(OID_CAT_NAMEVALUE), der_set(name_value)),
                         der_seq(der_oid(OID_SPC_INDIRECT_DATA), der_set(indirect)))
    return der_seq(der_octets(member_tag(digest)), attributes)


def catalog_content(members, stamp):
    """members: list of (file name, bytes). Returns the DER of the trust list."""
    entries = [catalog_member(name, data) for name, data in members]
    list_id = hashlib.sha256(b''.join(entries)).digest()[:16]
    return der_seq(der_seq(der_oid(OID_CATALOG_LIST)),
                   der_octets(list_id),
                   der_utctime(stamp),
                   der_seq(der_oid(OID_CATALOG_LIST_MEMBER), der_null()),
                   der_seq(*entries))


def read_catalog_content(data):
    """Returns {file name: (tag text, SHA-1 digest)} from the DER of a trust list; raises on any
    departure from the layout above."""
    ctl = der_parse(data)
    usage, _list_id, _when, algorithm, subjects = ctl.children
    if usage.children[0].oid() != OID_CATALOG_LIST or algorithm.children[0].oid() != OID_CATALOG_LIST_MEMBER:
        raise ValueError('not a catalogue list')
    found = {}
    for subject in subjects.children:
        tag, attributes = subject.children
        name = digest = None
        for attribute in attributes.children:
            kind, values = attribute.children
            value = values.children[0]
            if kind.oid() == OID_CAT_NAMEVALUE:
                label, _flags, text = value.children
                if label.body.decode('utf-16-be') == 'File':
                    name = text.body.decode('utf-16-le').rstrip('\0')
            elif kind.oid() == OID_SPC_INDIRECT_DATA:
                data_kind, digest_info = value.children
                if data_kind.children[0].oid() != OID_SPC_FLAT_FILE_DATA:
                    raise ValueError('member digest is not over the flat file')
                algorithm_id, octets = digest_info.children
                if algorithm_id.children[0].oid() != OID_SHA1:
                    raise ValueError('member digest is not SHA-1')
                digest = octets.body
        if name is None or digest is None:
            raise ValueError('catalogue member without a name or a digest')
        found[name] = (tag.body.decode('utf-16-le'), digest)
    return found

# --- PE images -------------------------------------------------------------------------------------------

RT_VERSION = 16


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b'MZ':
            raise ValueError('no MZ header')
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('no PE signature')
        self.machine, nsections, _, _, _, opt_size, self.characteristics = struct.unpack_from('<HHIIIHH', data, pe + 4)
        self.opt = pe + 24
        self.magic = struct.unpack_from('<H', data, self.opt)[0]
        dirs = self.opt + (112 if self.magic == 0x20B else 96)
        self.checksum_offset = self.opt + 64
        self.checksum = struct.unpack_from('<I', data, self.checksum_offset)[0]
        self.subsystem = struct.unpack_from('<H', data, self.opt + 68)[0]
        self.directories = [struct.unpack_from('<II', data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        table = self.opt + opt_size
        for i in range(nsections):
            name, vsize, rva, raw_size, raw_ptr = struct.unpack_from('<8sIIII', data, table + 40 * i)
            self.sections.append((name.rstrip(b'\0').decode('ascii', 'replace'), rva, vsize, raw_ptr, raw_size))

    def offset(self, rva):
        for _name, start, vsize, raw_ptr, raw_size in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw_ptr + rva - start
        raise ValueError('RVA 0x%X is in no section' % rva)

    def resources(self):
        """[(type, name, language, bytes)]; string names are returned as str, ids as int."""
        rva, size = self.directories[2]
        if not size:
            return []
        base = self.offset(rva)
        out = []

        def entries(directory):
            named, ids = struct.unpack_from('<HH', self.data, base + directory + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from('<II', self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from('<H', self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode('utf-16-le')
                yield key, target

        for rtype, t in entries(0):
            for rname, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from('<II', self.data, base + leaf)
                    start = self.offset(data_rva)
                    out.append((rtype, rname, lang, self.data[start:start + data_size]))
        return out

    def version_info(self):
        """(file version quad as a tuple, {string name: value}) from the image's VERSIONINFO."""
        blobs = [data for rtype, _name, _lang, data in self.resources() if rtype == RT_VERSION]
        if len(blobs) != 1:
            raise ValueError('expected one version resource, found %d' % len(blobs))
        return parse_version_info(blobs[0])


def pe_checksum(data, checksum_offset):
    """The image checksum as the Windows loader computes it (the field itself counted as zero)."""
    length = len(data)
    data = bytearray(data)
    data[checksum_offset:checksum_offset + 4] = b'\0\0\0\0'
    if length % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack('<H', bytes(data)):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


def _version_node(blob, pos):
    length, value_length, value_type = struct.unpack_from('<HHH', blob, pos)
    end = pos + length
    key_end = pos + 6
    while blob[key_end:key_end + 2] != b'\0\0':
        key_end += 2
    key = blob[pos + 6:key_end].decode('utf-16-le')
    value_at = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if value_type == 1 else value_length
    value = blob[value_at:value_at + value_size]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < end:
        node, child_end = _version_node(blob, child)
        children.append(node)
        child = (child_end + 3) & ~3
    return (key, value_type, value, children), end


def parse_version_info(blob):
    (key, _type, fixed, children), _ = _version_node(blob, 0)
    if key != 'VS_VERSION_INFO' or len(fixed) < 52 or struct.unpack_from('<I', fixed, 0)[0] != 0xFEEF04BD:
        raise ValueError('no fixed version record')
    ms, ls = struct.unpack_from('<II', fixed, 8)
    quad = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for ckey, _t, _v, tables in children:
        if ckey != 'StringFileInfo':
            continue
        for _lang, _t2, _v2, values in tables:
            for name, _t3, text, _c in values:
                strings[name] = text.decode('utf-16-le').rstrip('\0')
    return quad, strings

# --- Protection manifest (PELLMAR.KVM) ---------------------------------------------------------------------
# Little-endian. A 64-byte header, then records of (type u16, flags u16, length u32, data padded to 8),
# ending with an END record that holds the SHA-256 of every byte before it.

KVM_MAGIC = b'KVMF'
KVM_HEADER = struct.Struct('<4sHHIIIIQ16s16s')   # 64 bytes
KVM_RECORD = struct.Struct('<HHI')
KVM_IMAGE, KVM_SECTION, KVM_PAGES, KVM_PATH, KVM_SERVICE, KVM_TRUSTED, KVM_END = 1, 2, 3, 4, 5, 6, 0xFFFF
KVM_PAGE_SIZE = 4096
KVM_PATH_FILE, KVM_PATH_DIRECTORY, KVM_PATH_REGISTRY_KEY = 1, 2, 3


def read_kvm(data):
    """Returns (header fields, [(type, flags, data)]) and checks the sizes and the END digest."""
    if len(data) < KVM_HEADER.size:
        raise ValueError('manifest shorter than its header')
    header = KVM_HEADER.unpack_from(data, 0)
    magic, version, header_size, total, count = header[:5]
    if magic != KVM_MAGIC or version != 1 or header_size != KVM_HEADER.size or total != len(data):
        raise ValueError('bad manifest header')
    records, pos = [], header_size
    while pos < len(data):
        rtype, flags, length = KVM_RECORD.unpack_from(data, pos)
        body = data[pos + KVM_RECORD.size:pos + KVM_RECORD.size + length]
        if rtype == KVM_END and body != hashlib.sha256(data[:pos]).digest():
            raise ValueError('manifest digest does not match its content')
        records.append((rtype, flags, body))
        pos += KVM_RECORD.size + ((length + 7) & ~7)
    if len(records) != count or not records or records[-1][0] != KVM_END:
        raise ValueError('manifest record count or END record wrong')
    return header, records
