"""Pieces shared by the payload generator (make_payload.py) and the checks (check_payload.py,
tests/check_imports.py): the catalogue's ASN.1 types (asn1crypto), PE facts and the Authenticode image hash
(pefile), and the layout of the protection manifest. Needs python3-asn1crypto and python3-pefile."""
import hashlib
import struct

import pefile
from asn1crypto import algos, cms, core, x509

OID_CTL = '1.3.6.1.4.1.311.10.1'                   # the signed content type of a catalogue
OID_CATALOG_LIST = '1.3.6.1.4.1.311.12.1.1'        # subject usage: a catalogue
OID_CATALOG_LIST_MEMBER = '1.3.6.1.4.1.311.12.1.2'
OID_CAT_NAMEVALUE = '1.3.6.1.4.1.311.12.2.1'       # a member's name/value attribute ("File")
OID_CAT_MEMBERINFO = '1.3.6.1.4.1.311.12.2.2'      # a member's subject interface package
OID_SPC_INDIRECT_DATA = '1.3.6.1.4.1.311.2.1.4'
OID_SPC_PE_IMAGE_DATA = '1.3.6.1.4.1.311.2.1.15'   # the digest is the Authenticode image hash of a PE file
OID_SPC_FLAT_FILE_DATA = '1.3.6.1.4.1.311.2.1.25'  # the digest is over the whole file

# --- Catalogue ----------------------------------------------------------------------------------------------
# asn1crypto knows CMS but not Microsoft's Authenticode and trust-list types: they are declared here.


class SpcString(core.Choice):
    _alternatives = [('unicode', core.BMPString, {'implicit': 0}), ('ascii', core.IA5String, {'implicit': 1})]


class SpcLink(core.Choice):
    _alternatives = [('url', core.IA5String, {'implicit': 0}), ('file', SpcString, {'explicit': 2})]


class SpcPeImageData(core.Sequence):
    _fields = [('flags', core.BitString), ('file', SpcLink, {'explicit': 0, 'optional': True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('value', core.Any, {'optional': True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [('data', SpcAttributeTypeAndOptionalValue), ('message_digest', algos.DigestInfo)]


class CatNameValue(core.Sequence):
    _fields = [('tag', core.BMPString), ('flags', core.Integer), ('value', core.OctetString)]


class SetOfCatNameValue(core.SetOf):
    _child_spec = CatNameValue


class CatMemberInfo(core.Sequence):
    _fields = [('subject_guid', core.BMPString), ('cert_version', core.Integer)]


class SetOfCatMemberInfo(core.SetOf):
    _child_spec = CatMemberInfo


class SetOfSpcIndirectData(core.SetOf):
    _child_spec = SpcIndirectDataContent


class CatAttribute(core.Sequence):
    _fields = [('type', core.ObjectIdentifier), ('values', None)]
    _spec_callbacks = {'values': lambda self: {OID_CAT_NAMEVALUE: SetOfCatNameValue, OID_CAT_MEMBERINFO: SetOfCatMemberInfo,
                                               OID_SPC_INDIRECT_DATA: SetOfSpcIndirectData}[self['type'].dotted]}


class CatAttributes(core.SetOf):
    _child_spec = CatAttribute


class TrustedSubject(core.Sequence):
    _fields = [('identifier', core.OctetString), ('attributes', CatAttributes, {'optional': True})]


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class CatAlgorithm(core.Sequence):
    _fields = [('algorithm', core.ObjectIdentifier), ('parameters', core.Any, {'optional': True})]


class CertificateTrustList(core.Sequence):
    _fields = [('version', core.Integer, {'default': 0}),
               ('subject_usage', SubjectUsage),
               ('list_identifier', core.OctetString, {'optional': True}),
               ('sequence_number', core.Integer, {'optional': True}),
               ('this_update', x509.Time),
               ('next_update', x509.Time, {'optional': True}),
               ('subject_algorithm', CatAlgorithm),
               ('trusted_subjects', TrustedSubjects, {'optional': True}),
               ('extensions', x509.Extensions, {'explicit': 0, 'optional': True})]


class CatalogContent(core.Sequence):
    _fields = [('content_type', core.ObjectIdentifier), ('content', CertificateTrustList, {'explicit': 0})]


class CatalogSignedData(cms.SignedData):
    _spec_callbacks = {'encap_content_info': lambda self: CatalogContent}


# Windows' catalogues name the file of a PE member like this; the text is a leftover that nothing reads.
OBSOLETE_LINK = SpcLink(name='file', value=SpcString(name='unicode', value='<<<Obsolete>>>'))
# The subject interface package that hashes a member: PE images, and any file as a whole. Wine's
# CryptCATEnumerateMember refuses a member without it.
SIP_GUIDS = {OID_SPC_PE_IMAGE_DATA: '{C689AAB8-8E78-11D0-8C47-00C04FC295EE}',
             OID_SPC_FLAT_FILE_DATA: '{DE351A42-8E59-11D0-8C47-00C04FC295EE}'}


def member_digest(data):
    """(digest kind, SHA-1) under which a catalogue lists a file: the Authenticode image hash for a PE image,
    which stays the same when the file gets its own signature; the hash of the whole file otherwise. SHA-1,
    the only member hash that XP-era Windows reads in a catalogue."""
    if data[:2] == b'MZ':
        return OID_SPC_PE_IMAGE_DATA, authenticode_digest(data, 'sha1')
    return OID_SPC_FLAT_FILE_DATA, hashlib.sha1(data).digest()


def catalog_member(name, data):
    kind, digest = member_digest(data)
    value = SpcPeImageData({'flags': (), 'file': OBSOLETE_LINK}) if kind == OID_SPC_PE_IMAGE_DATA else None
    indirect = SpcIndirectDataContent({
        'data': {'type': kind, 'value': value},
        'message_digest': {'digest_algorithm': {'algorithm': 'sha1', 'parameters': core.Null()}, 'digest': digest}})
    name_value = CatNameValue({'tag': 'File', 'flags': 0x10010001, 'value': (name + '\0').encode('utf-16-le')})
    return {'identifier': digest.hex().upper().encode('utf-16-le'),   # the tag Windows looks members up by
            'attributes': [{'type': OID_CAT_NAMEVALUE, 'values': [name_value]},
                           {'type': OID_CAT_MEMBERINFO, 'values': [{'subject_guid': SIP_GUIDS[kind], 'cert_version': 512}]},
                           {'type': OID_SPC_INDIRECT_DATA, 'values': [indirect]}]}


def catalog_content(members, stamp):
    """members: list of (file name, bytes). Returns the unsigned catalogue: PKCS#7 signed data with no
    signer yet, carrying the trust list itself as its content (PKCS#7, not wrapped in an OCTET STRING as CMS
    would), as Windows' catalogues do; osslsigncode adds the signature."""
    subjects = [catalog_member(name, data) for name, data in members]
    ctl = CertificateTrustList({
        'subject_usage': [OID_CATALOG_LIST],
        'list_identifier': hashlib.sha256(b''.join(s['identifier'] for s in subjects)).digest()[:16],
        'this_update': x509.Time(name='utc_time', value=stamp),
        'subject_algorithm': {'algorithm': OID_CATALOG_LIST_MEMBER, 'parameters': core.Null()},
        'trusted_subjects': subjects})
    signed = CatalogSignedData({'version': 'v1', 'digest_algorithms': [], 'signer_infos': [],
                                'encap_content_info': {'content_type': OID_CTL, 'content': ctl}})
    return cms.ContentInfo({'content_type': 'signed_data', 'content': signed}).dump()


def signed_data(blob):
    """The SignedData of a DER PKCS#7 blob (a catalogue, PELLMAR.SIG, an Authenticode signature)."""
    info = cms.ContentInfo.load(blob)
    if info['content_type'].native != 'signed_data':
        raise ValueError('not PKCS#7 signed data')
    return info['content']


def read_catalog(blob):
    """{file name: (tag text, digest kind, SHA-1)} of a catalogue file."""
    content = signed_data(blob)['encap_content_info']
    if content['content_type'].dotted != OID_CTL:
        raise ValueError('catalogue content is not a trust list')
    ctl = content['content'].parse(CertificateTrustList)
    if ctl['subject_usage'].native != [OID_CATALOG_LIST] or ctl['subject_algorithm']['algorithm'].dotted != OID_CATALOG_LIST_MEMBER:
        raise ValueError('not a catalogue list')
    found = {}
    for subject in ctl['trusted_subjects']:
        attributes = {a['type'].dotted: a['values'][0] for a in subject['attributes']}
        name_value, indirect = attributes[OID_CAT_NAMEVALUE], attributes[OID_SPC_INDIRECT_DATA]
        if name_value['tag'].native != 'File' or indirect['message_digest']['digest_algorithm']['algorithm'].native != 'sha1':
            raise ValueError('catalogue member without a file name or a SHA-1 digest')
        found[name_value['value'].native.decode('utf-16-le').rstrip('\0')] = (
            subject['identifier'].native.decode('utf-16-le'), indirect['data']['type'].dotted,
            indirect['message_digest']['digest'].native)
    return found


OID_NESTED_SIGNATURE = '1.3.6.1.4.1.311.2.4.1'   # an unsigned attribute of the signer: another whole signature


def embedded_signatures(data):
    """[(digest algorithm, image digest)] that the Authenticode signatures embedded in a PE file sign: the
    primary signature's, then those of the signatures nested in it."""
    table = security_directory(pefile.PE(data=data, fast_load=True))
    if not table.Size:
        raise ValueError('the file carries no signature')
    # WIN_CERTIFICATE: length, revision, type (2 = PKCS#7 signed data); pefile leaves it unparsed.
    length, _revision, kind = struct.unpack_from('<IHH', data, table.VirtualAddress)
    if kind != 2:
        raise ValueError('certificate table entry of type %d, not PKCS#7' % kind)
    found = []
    pending = [signed_data(data[table.VirtualAddress + 8:table.VirtualAddress + length])]
    while pending:
        signed = pending.pop(0)
        indirect = signed['encap_content_info']['content'].parse(SpcIndirectDataContent)
        found.append((indirect['message_digest']['digest_algorithm']['algorithm'].native,
                      indirect['message_digest']['digest'].native))
        for attribute in signed['signer_infos'][0]['unsigned_attrs'] or []:
            if attribute['type'].dotted == OID_NESTED_SIGNATURE:
                pending += [signed_data(value.dump()) for value in attribute['values']]
    return found

# --- PE images -----------------------------------------------------------------------------------------------


def security_directory(pe):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']]


def authenticode_digest(data, algorithm):
    """The PE image hash that Authenticode signs and catalogues list: the file without its checksum field,
    its security directory entry and the certificate table that entry points to (for this one directory a
    file offset, not an RVA). pefile reads the headers; it has no such hash."""
    pe = pefile.PE(data=data, fast_load=True)
    checksum = pe.OPTIONAL_HEADER.get_field_absolute_offset('CheckSum')
    directory = security_directory(pe)
    entry = directory.get_file_offset()
    end = directory.VirtualAddress if directory.Size else len(data)
    return hashlib.new(algorithm, data[:checksum] + data[checksum + 4:entry] + data[entry + 8:end]).digest()


def pe_image(data, resources=False):
    pe = pefile.PE(data=data, fast_load=True)
    wanted = ['IMAGE_DIRECTORY_ENTRY_IMPORT', 'IMAGE_DIRECTORY_ENTRY_EXPORT'] + (['IMAGE_DIRECTORY_ENTRY_RESOURCE'] if resources else [])
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[d] for d in wanted])
    return pe


def imports(pe):
    """[(DLL name, function name or '#ordinal')]"""
    return [(entry.dll.decode('ascii'), imp.name.decode('ascii') if imp.name else '#%d' % imp.ordinal)
            for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []) for imp in entry.imports]


def resources(pe):
    """[(type, name, language, bytes)]; string names are returned as str, ids as int."""
    def key(entry):
        return str(entry.name) if entry.name is not None else entry.id
    root = getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None)
    return [(key(rtype), key(name), lang.id, pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size))
            for rtype in (root.entries if root else []) for name in rtype.directory.entries for lang in name.directory.entries]


def version_info(pe):
    """(file version quad as a tuple, {string name: value}) from the image's VERSIONINFO."""
    if len(getattr(pe, 'VS_FIXEDFILEINFO', [])) != 1:
        raise ValueError('expected one version resource')
    fixed = pe.VS_FIXEDFILEINFO[0]
    quad = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    strings = {k.decode(): v.decode() for info in pe.FileInfo[0] if info.Key == b'StringFileInfo'
               for table in info.StringTable for k, v in table.entries.items()}
    return quad, strings

# --- Protection manifest (PELLMAR.KVM) ---------------------------------------------------------------------
# Our own format, so no library knows it. Little-endian. A 64-byte header, then records of (type u16,
# flags u16, length u32, data padded to 8), ending with an END record that holds the SHA-256 of every byte
# before it.

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
