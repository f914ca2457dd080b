#!/usr/bin/env python3
"""Checks of the built payload, run by ctest on the build machine (no Wine involved).

  check_payload.py OPTIONS driver SYS VERSION     x64 native image importing only ntoskrnl.exe, correct
                                                  checksum, no exports, VERSIONINFO of VERSION
  check_payload.py OPTIONS inf VERSION            INF: demand-start kernel service Pellimar, catalogue,
                                                  DriverVer, files to the drivers directory
  check_payload.py OPTIONS catalog                CAT verifies against the root and lists the SYS by its
                                                  Authenticode hash and the INF by its flat hash (SHA-1)
  check_payload.py OPTIONS manifest               SIG verifies as a detached signature over KVM, GRD
                                                  gives the SHA-1 of KVM, KVM describes the driver
  check_payload.py OPTIONS qzreg                  PLQZREG32.EXE builds: 32-bit (release/) and x64,
                                                  GUI subsystem, statically linked
  check_payload.py OPTIONS embedded EXE           EXE carries exactly the seven BINARYRC resources, each
                                                  byte for byte the payload file
  check_payload.py OPTIONS signatures FILE...     each FILE carries a SHA-1 Authenticode signature with a
                                                  SHA-256 one nested in it (a catalogue: SHA-1 alone), each
                                                  verifying against the root, a PE image's over its image
                                                  hash; a copy changed after signing does not verify

OPTIONS: --openssl PATH --osslsigncode PATH --root-cert PEM --payload DIR (the payload set; relative
paths are taken there)
Exit status 0 when every check passed; each failure is printed."""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The build runs these scripts from the source tree: leave no __pycache__ behind in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from payload_common import (KVM_IMAGE, KVM_PATH, KVM_SERVICE, OID_SPC_FLAT_FILE_DATA,  # noqa: E402
                            OID_SPC_PE_IMAGE_DATA, authenticode_digest, embedded_signatures, imports, pe_image,
                            read_catalog, read_kvm, resources, signed_data, version_info)

PAYLOAD_IDS = {110: 'PELLIMAR64x86.SYS', 112: 'PELLIMAR64x86.INF', 113: 'PELLIMAR64x86.CAT', 114: 'PLQZREG32.EXE',
               119: 'PELLMAR.KVM', 120: 'PELLMAR.GRD', 121: 'PELLMAR.SIG'}
# A statically linked MinGW program imports from the system only; a dynamic one would also need
# libstdc++-6.dll, libgcc_s_*.dll or libwinpthread-1.dll, which no Windows machine has.
SYSTEM_DLLS = {'kernel32.dll', 'advapi32.dll', 'user32.dll', 'msvcrt.dll'}
AMD64, I386 = 0x8664, 0x14C
NATIVE, GUI = 1, 2


class Checker:
    def __init__(self, args):
        self.args = args
        self.failures = 0

    def expect(self, condition, what, detail=''):
        print(('ok:   ' if condition else 'FAIL: ') + what + ('' if condition or not detail else '\n' + detail))
        if not condition:
            self.failures += 1
        return condition

    def path(self, name):
        return os.path.join(self.args.payload, name)

    def read(self, name):
        with open(self.path(name), 'rb') as f:
            return f.read()

    def run(self, *argv):
        return subprocess.run(list(argv), capture_output=True, text=True)

    def verify(self, path, *options):
        """osslsigncode verify against the root: (passed, its output)."""
        result = self.run(self.args.osslsigncode, 'verify', '-CAfile', self.args.root_cert, *options, '-in', path)
        return result.returncode == 0, (result.stdout + result.stderr).strip()

    def pe_facts(self, name, machine, subsystem, resources=False):
        pe = pe_image(self.read(name), resources)
        magic = 0x20B if machine == AMD64 else 0x10B
        self.expect(pe.FILE_HEADER.Machine == machine and pe.OPTIONAL_HEADER.Magic == magic,
                    '%s is for machine 0x%X with optional header 0x%X' % (name, machine, magic))
        self.expect(pe.OPTIONAL_HEADER.Subsystem == subsystem, '%s has subsystem %d' % (name, subsystem))
        return pe

    def version_is(self, pe, name, version, fixed_strings):
        try:
            quad, strings = version_info(pe)
        except ValueError as e:
            self.expect(False, '%s has a version resource (%s)' % (name, e))
            return
        self.expect('.'.join(map(str, quad)) == version, '%s fixed file version %s is %s' % (name, '.'.join(map(str, quad)), version))
        self.expect(strings.get('FileVersion') == version, '%s FileVersion string "%s" is %s' % (name, strings.get('FileVersion'), version))
        for key, value in fixed_strings.items():
            self.expect(strings.get(key) == value, '%s %s is "%s" (found "%s")' % (name, key, value, strings.get(key)))

    # --- checks -------------------------------------------------------------------------------------------

    def driver(self, name, version):
        pe = self.pe_facts(name, AMD64, NATIVE, resources=True)
        dlls = sorted({dll.lower() for dll, _f in imports(pe)})
        self.expect(dlls == ['ntoskrnl.exe'], 'driver imports from ntoskrnl.exe only (found %s)' % dlls)
        self.expect(pe.OPTIONAL_HEADER.CheckSum != 0 and pe.verify_checksum(), 'driver image checksum is set and correct')
        exports = getattr(pe, 'DIRECTORY_ENTRY_EXPORT', None)
        self.expect(exports is None or not exports.symbols, 'driver exports nothing')
        self.version_is(pe, 'driver', version, {'CompanyName': 'Norvatek', 'FileDescription': 'Pellimar event filter driver',
                                                'OriginalFilename': 'PELLIMAR64x86.SYS'})

    def inf(self, version):
        raw = self.read('PELLIMAR64x86.INF')
        self.expect(raw.count(b'\n') == raw.count(b'\r\n') > 0, 'INF lines end in CR LF')
        sections, current = {}, None
        for line in raw.decode('ascii').splitlines():
            line = line.split(';', 1)[0].strip()
            if line.startswith('[') and line.endswith(']'):
                current = sections.setdefault(line[1:-1].strip().lower(), [])
            elif line and current is not None:
                key, sep, value = line.partition('=')
                current.append((key.strip().lower(), value.strip()) if sep else (line.lower(), None))

        def values(section, key):
            return [v for k, v in sections.get(section.lower(), []) if k == key.lower()]

        self.expect(values('Version', 'Signature') == ['"$WINDOWS NT$"'], 'INF signature is $WINDOWS NT$')
        self.expect(values('Version', 'CatalogFile') == ['PELLIMAR64x86.CAT'], 'INF names catalogue PELLIMAR64x86.CAT')
        driver_ver = values('Version', 'DriverVer')
        match = re.fullmatch(r'(\d\d)/(\d\d)/(\d{4}),(\S+)', driver_ver[0]) if len(driver_ver) == 1 else None
        self.expect(match is not None and 1 <= int(match.group(1)) <= 12 and 1 <= int(match.group(2)) <= 31
                    and match.group(4) == version, 'INF DriverVer %s is mm/dd/yyyy,%s' % (driver_ver, version))

        services = [v for name in sections if name.endswith('.services') for v in values(name, 'AddService')]
        self.expect(len(services) == 1, 'INF adds one service (found %s)' % services)
        parts = [p.strip() for p in services[0].split(',')] if services else []
        self.expect(parts[:1] == ['Pellimar'], 'the service is named Pellimar')
        service = parts[2] if len(parts) > 2 else ''
        for key, want in (('ServiceType', '1'), ('StartType', '3'), ('ErrorControl', '1'),
                          ('ServiceBinary', r'%12%\PELLIMAR64x86.SYS')):
            self.expect(values(service, key) == [want], 'service %s = %s (found %s)' % (key, want, values(service, key)))

        copies = [v for name in sections if name.startswith('defaultinstall') for v in values(name, 'CopyFiles')]
        self.expect(len(copies) == 1, 'INF copies one file list')
        file_list = copies[0] if copies else ''
        self.expect(('pellimar64x86.sys', None) in sections.get(file_list.lower(), []), 'the file list holds the driver')
        dest = values('DestinationDirs', file_list) or values('DestinationDirs', 'DefaultDestDir')
        self.expect(dest == ['12'], 'the driver goes to DestinationDirs 12 (the drivers directory)')
        self.expect(values('DestinationDirs', 'DefaultDestDir') == ['12'], 'DefaultDestDir is 12')

    def catalog(self):
        cat, sys_name = self.path('PELLIMAR64x86.CAT'), 'PELLIMAR64x86.SYS'
        passed, output = self.verify(cat)
        self.expect(passed, 'catalogue signature verifies against the root', output)
        try:
            members = read_catalog(self.read('PELLIMAR64x86.CAT'))
        except (ValueError, KeyError) as e:
            self.expect(False, 'catalogue content parses (%s)' % e)
            return
        self.expect(sorted(members) == ['PELLIMAR64x86.INF', sys_name],
                    'catalogue lists exactly the SYS and the INF (found %s)' % sorted(members))
        # The driver by the hash that ignores its own signature, the INF by the hash of the whole file.
        for name, kind, digest in ((sys_name, OID_SPC_PE_IMAGE_DATA, authenticode_digest(self.read(sys_name), 'sha1')),
                                   ('PELLIMAR64x86.INF', OID_SPC_FLAT_FILE_DATA, hashlib.sha1(self.read('PELLIMAR64x86.INF')).digest())):
            self.expect(members.get(name) == (digest.hex().upper(), kind, digest), 'catalogue lists %s by %s %s'
                        % (name, kind, digest.hex().upper()), 'found %s' % (members.get(name),))
        # osslsigncode's own reading of the catalogue finds the driver; a changed driver it does not find.
        with tempfile.TemporaryDirectory() as tmp:
            changed = changed_copy(self.path(sys_name), tmp)
            for path, want in ((self.path(sys_name), True), (changed, False)):
                passed, output = self.verify(path, '-catalog', cat)
                self.expect(passed == want, '%s driver %s found in the catalogue'
                            % ('the' if want else 'a changed', 'is' if want else 'is not'), output)

    def manifest(self):
        kvm_path, sig = self.path('PELLMAR.KVM'), self.path('PELLMAR.SIG')
        kvm = self.read('PELLMAR.KVM')
        encap = signed_data(self.read('PELLMAR.SIG'))['encap_content_info']
        self.expect(encap['content_type'].native == 'data' and encap['content'].native is None, 'signature is detached, over data')
        result = self.run(self.args.openssl, 'cms', '-verify', '-inform', 'DER', '-in', sig, '-binary', '-content', kvm_path,
                          '-CAfile', self.args.root_cert, '-purpose', 'any', '-out', os.devnull)
        self.expect(result.returncode == 0, 'signature verifies over PELLMAR.KVM against the root ' + result.stderr.strip())

        grd = self.read('PELLMAR.GRD')
        self.expect(grd.count(b'\n') == grd.count(b'\r\n') > 0, 'GRD lines end in CR LF')
        text = grd.decode('ascii')
        sections = re.findall(r'^\[([^\]]+)\]', text, re.M)
        self.expect(sections[:2] == ['Manifest', 'Digest'], 'GRD has [Manifest] and [Digest] sections (found %s)' % sections)
        self.expect(re.search(r'^\[Manifest\]\r\n(?:[^\[].*\r\n)*?File=PELLMAR\.KVM\r\n', text, re.M) is not None,
                    'GRD names PELLMAR.KVM')
        digest = re.search(r'^\[Digest\]\r\n(?:[^\[].*\r\n)*?SHA1=([0-9A-Fa-f]{40})\r\n', text, re.M)
        self.expect(digest is not None and digest.group(1).lower() == hashlib.sha1(kvm).hexdigest(),
                    'GRD SHA1 is the SHA-1 of PELLMAR.KVM')

        try:
            header, records = read_kvm(kvm)
        except (ValueError, IndexError) as e:
            self.expect(False, 'KVM parses (%s)' % e)
            return
        self.expect(True, 'KVM header, record count and closing digest are consistent')
        driver = self.read('PELLIMAR64x86.SYS')
        images = [body for rtype, _f, body in records if rtype == KVM_IMAGE]
        self.expect(len(images) == 1 and images[0][:4] == len(driver).to_bytes(4, 'little')
                    and images[0][4:36] == hashlib.sha256(driver).digest()
                    and images[0][36:].decode('utf-16-le').rstrip('\0') == 'PELLIMAR64x86.SYS',
                    'KVM names the driver of this set with its size and SHA-256')
        quad = version_info(pe_image(driver, resources=True))[0]
        self.expect(header[7] == (quad[0] << 48 | quad[1] << 32 | quad[2] << 16 | quad[3]), 'KVM carries the driver version')
        self.expect(any(rtype == KVM_SERVICE and body.decode('utf-16-le').rstrip('\0') == 'Pellimar'
                        for rtype, _f, body in records), 'KVM names the service')
        self.expect(sum(rtype == KVM_PATH for rtype, _f, _b in records) > 0, 'KVM lists protected paths')

    def qzreg(self):
        for name, machine in (('release/PLQZREG32.EXE', I386), ('PLQZREG32.EXE', AMD64)):
            pe = self.pe_facts(name, machine, GUI, resources=True)
            dlls = {dll.lower() for dll, _f in imports(pe)}
            self.expect(dlls and dlls <= SYSTEM_DLLS, '%s imports from system DLLs only (%s)' % (name, sorted(dlls)))
            manifests = [data for rtype, rid, _l, data in resources(pe) if rtype == 24 and rid == 1]
            self.expect(len(manifests) == 1 and b'level="asInvoker"' in manifests[0], '%s has its asInvoker manifest' % name)
            self.version_is(pe, name, '2.4.0.3', {'OriginalFilename': 'PLQZREG32.EXE', 'CompanyName': 'Norvatek'})

    def embedded(self, exe):
        found = resources(self.pe_facts(exe, AMD64, GUI, resources=True))
        named_types = sorted({rtype for rtype, _n, _l, _d in found if isinstance(rtype, str)})
        self.expect(named_types == ['BINARYRC'], 'the only custom resource type is BINARYRC (found %s)' % named_types)
        payload = [(rid, data) for rtype, rid, _l, data in found if rtype == 'BINARYRC']
        ids = sorted(rid for rid, _d in payload)
        self.expect(ids == sorted(PAYLOAD_IDS), 'exactly the seven payload ids %s (found %s)' % (sorted(PAYLOAD_IDS), ids))
        for rid, data in payload:
            if rid in PAYLOAD_IDS:
                self.expect(data == self.read(PAYLOAD_IDS[rid]), 'resource %d is %s byte for byte' % (rid, self.path(PAYLOAD_IDS[rid])))

    def signatures(self, *files):
        with tempfile.TemporaryDirectory() as tmp:
            for path in files:
                name = os.path.basename(path)
                wanted = ['SHA1'] if path.lower().endswith('.cat') else ['SHA1', 'SHA256']
                passed, output = self.verify(path)
                # osslsigncode exits 0 when any one signature verifies: each one's own result is read.
                results = verified_signatures(output)
                self.expect(passed and results == [(digest, True) for digest in wanted] and 'MISMATCH' not in output,
                            '%s: signatures %s, each verifying against the root (found %s)' % (name, '+'.join(wanted), results),
                            output)
                data = open(path, 'rb').read()
                if data[:2] == b'MZ':
                    # What was signed is the image hash that the catalogue lists too (as SHA-1 there).
                    self.expect(embedded_signatures(data) == [(d.lower(), authenticode_digest(data, d.lower())) for d in wanted],
                                '%s: each signature is over the image hash of the file in its own digest' % name)
                passed, output = self.verify(changed_copy(path, tmp))
                self.expect(not passed, '%s: a copy changed after signing fails the verification' % name, output)


def verified_signatures(output):
    """[(digest algorithm, verified)] of each signature in the output of osslsigncode verify, in its order."""
    results = []
    for block in re.split(r'^Signature Index: ', output, flags=re.M)[1:]:
        digest = re.search(r'^Message digest algorithm\s*:\s*(\S+)', block, re.M)
        results.append((digest.group(1) if digest else '?', 'Signature verification: ok' in block))
    return results


def changed_copy(path, directory):
    """A copy of a signed file with one signed byte changed: one in the first section of a PE image, one
    of a member digest of a catalogue, one of the maker's name in an MSI's string pool."""
    copy = os.path.join(directory, 'changed-' + os.path.basename(path))
    shutil.copyfile(path, copy)
    data = bytearray(open(copy, 'rb').read())
    if data[:2] == b'MZ':
        at = pe_image(bytes(data)).sections[0].PointerToRawData + 16
    elif path.lower().endswith('.msi'):
        at = data.find(b'Norvatek')
    else:
        at = data.find(next(iter(read_catalog(bytes(data)).values()))[2])
    data[at] ^= 0x01
    open(copy, 'wb').write(data)
    return copy


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ('--openssl', '--osslsigncode', '--root-cert', '--payload'):
        parser.add_argument(option, required=True)
    parser.add_argument('check', choices=['driver', 'inf', 'catalog', 'manifest', 'qzreg', 'embedded', 'signatures'])
    parser.add_argument('operands', nargs='*')
    args = parser.parse_args()
    arity = {'driver': 2, 'inf': 1, 'catalog': 0, 'manifest': 0, 'qzreg': 0, 'embedded': 1}
    if len(args.operands) != arity.get(args.check, len(args.operands) or -1):
        parser.error('%s takes %s operands' % (args.check, arity.get(args.check, 'one or more')))
    checker = Checker(args)
    getattr(checker, args.check)(*args.operands)
    print('%d failure(s)' % checker.failures)
    return 1 if checker.failures else 0


if __name__ == '__main__':
    sys.exit(main())
