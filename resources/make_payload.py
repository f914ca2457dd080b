#!/usr/bin/env python3
"""Generates the payload's data files from the built driver.

  make_payload.py kvm SYS OUT         protection manifest PELLMAR.KVM for the driver image SYS
  make_payload.py grd KVM OUT         PELLMAR.GRD: names the manifest and gives its SHA-1
  make_payload.py catalog OUT FILE... unsigned catalogue listing each FILE by its SHA-1 (the Authenticode
                                      image hash of a PE image); osslsigncode signs it into PELLIMAR64x86.CAT

The catalogue's date is the build time, or SOURCE_DATE_EPOCH when set (reproducible builds)."""
import datetime
import hashlib
import os
import struct
import sys

# The build runs these scripts from the source tree: leave no __pycache__ behind in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from payload_common import (KVM_END, KVM_HEADER, KVM_IMAGE, KVM_MAGIC, KVM_PAGE_SIZE, KVM_PAGES,  # noqa: E402
                            KVM_PATH, KVM_PATH_DIRECTORY, KVM_PATH_FILE, KVM_PATH_REGISTRY_KEY, KVM_RECORD,
                            KVM_SECTION, KVM_SERVICE, KVM_TRUSTED, catalog_content, pe_image, version_info)

DRIVER_NAME = 'PELLIMAR64x86.SYS'
SERVICE_NAME = 'Pellimar'

# What the self-protection product guards for Pellimar, with the access it denies to everyone else:
# DELETE | WRITE_DAC | WRITE_OWNER, plus write access for files (FILE_WRITE_DATA | FILE_APPEND_DATA |
# FILE_WRITE_ATTRIBUTES) and for keys (KEY_SET_VALUE | KEY_CREATE_SUB_KEY).
DENY_FILE = 0x000D0000 | 0x0002 | 0x0004 | 0x0100
DENY_KEY = 0x000D0000 | 0x0002 | 0x0004
PROTECTED_PATHS = [
    (KVM_PATH_FILE, DENY_FILE, r'\SystemRoot\System32\drivers\PELLIMAR64x86.SYS'),
    (KVM_PATH_FILE, DENY_FILE, r'\SystemRoot\System32\drivers\PELLIMAR64x86.INF'),
    (KVM_PATH_FILE, DENY_FILE, r'\SystemRoot\System32\drivers\PELLIMAR64x86.CAT'),
    (KVM_PATH_DIRECTORY, DENY_FILE, r'%CommonProgramFiles%\Norvatek Shared\KVManifests'),
    (KVM_PATH_REGISTRY_KEY, DENY_KEY, r'\Registry\Machine\SYSTEM\CurrentControlSet\Services\Pellimar'),
    (KVM_PATH_REGISTRY_KEY, DENY_KEY, r'\Registry\Machine\SOFTWARE\Norvatek\Pellimar'),
]
# Programs allowed through that protection, so that an update can replace what is guarded: the installer
# (started from a product's setup or from its copy in the shared folder) and the updater's registration
# program, each only when signed by the maker.
TRUSTED_PROCESSES = [
    ('Norvatek', r'TOVRAND64x86.EXE'),
    ('Norvatek', r'%CommonProgramFiles%\Norvatek Shared\TOVRAND64x86.EXE'),
    ('Norvatek', r'%ProgramFiles%\Norvatek\PLQZREG32.EXE'),
]


def wide(text):
    return (text + '\0').encode('utf-16-le')


def record(rtype, body, flags=0):
    pad = (-len(body)) % 8
    return KVM_RECORD.pack(rtype, flags, len(body)) + body + b'\0' * pad


def make_kvm(driver):
    image = pe_image(driver, resources=True)
    quad, _strings = version_info(image)
    records = [record(KVM_IMAGE, struct.pack('<I', len(driver)) + hashlib.sha256(driver).digest() + wide(DRIVER_NAME))]
    for s in image.sections:
        body = struct.pack('<8sIII', s.Name, s.VirtualAddress, s.Misc_VirtualSize, s.SizeOfRawData)
        records.append(record(KVM_SECTION, body + hashlib.sha256(driver[s.PointerToRawData:s.PointerToRawData + s.SizeOfRawData]).digest()))
    pages = [driver[i:i + KVM_PAGE_SIZE] for i in range(0, len(driver), KVM_PAGE_SIZE)]
    records.append(record(KVM_PAGES, struct.pack('<II', KVM_PAGE_SIZE, len(pages)) +
                          b''.join(hashlib.sha256(p).digest() for p in pages)))
    for kind, deny, path in PROTECTED_PATHS:
        records.append(record(KVM_PATH, struct.pack('<II', kind, deny) + wide(path)))
    records.append(record(KVM_SERVICE, wide(SERVICE_NAME)))
    for signer, image_path in TRUSTED_PROCESSES:
        records.append(record(KVM_TRUSTED, wide(signer) + wide(image_path)))

    version = (quad[0] << 48) | (quad[1] << 32) | (quad[2] << 16) | quad[3]
    manifest_id = hashlib.sha256(b'Pellimar protection manifest' + driver).digest()[:16]
    product = b'Pellimar'.ljust(16, b'\0')
    body = b''.join(records)
    total = KVM_HEADER.size + len(body) + KVM_RECORD.size + 32
    head = KVM_HEADER.pack(KVM_MAGIC, 1, KVM_HEADER.size, total, len(records) + 1, 1, 0, version, manifest_id, product)
    content = head + body
    return content + record(KVM_END, hashlib.sha256(content).digest())


def make_grd(kvm):
    lines = ['[Manifest]', 'File=PELLMAR.KVM', 'Size=%d' % len(kvm),
             '[Digest]', 'SHA1=%s' % hashlib.sha1(kvm).hexdigest().upper(),
             '[Signature]', 'File=PELLMAR.SIG', 'Format=PKCS7']
    return ''.join(line + '\r\n' for line in lines).encode('ascii')


def build_time():
    epoch = os.environ.get('SOURCE_DATE_EPOCH')
    if epoch:
        return datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return datetime.datetime.now(datetime.timezone.utc)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def write(path, data):
    # Written beside and renamed, so that an interrupted build never leaves a half file that looks new.
    tmp = path + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
    os.replace(tmp, path)


def main(argv):
    if len(argv) == 3 and argv[0] == 'kvm':
        write(argv[2], make_kvm(read(argv[1])))
    elif len(argv) == 3 and argv[0] == 'grd':
        write(argv[2], make_grd(read(argv[1])))
    elif len(argv) >= 3 and argv[0] == 'catalog':
        members = [(os.path.basename(p), read(p)) for p in argv[2:]]
        write(argv[1], catalog_content(members, build_time()))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
