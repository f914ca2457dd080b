#!/usr/bin/env python3
"""Checks of the built payload, run by ctest on the build machine (no Wine involved).

  check_payload.py OPTIONS driver SYS VERSION     x64 native image importing only ntoskrnl.exe, correct
                                                  checksum, no exports, VERSIONINFO of VERSION
  check_payload.py OPTIONS inf VERSION            INF: demand-start kernel service Pellimar, catalogue,
                                                  DriverVer, files to the drivers directory
  check_payload.py OPTIONS catalog                CAT verifies against the test root and lists the SHA-1
                                                  of the SYS and the INF
  check_payload.py OPTIONS manifest               SIG verifies as a detached signature over KVM, GRD
                                                  gives the SHA-1 of KVM, KVM describes the driver
  check_payload.py OPTIONS qzreg                  PLQZREG32.EXE builds: 32-bit (release) and x64 (test),
                                                  GUI subsystem, statically linked
  check_payload.py OPTIONS embedded EXE QZREG     EXE carries exactly the seven BINARYRC resources, each
                                                  byte for byte the payload file (QZREG for id 114)

OPTIONS: --objdump PATH --openssl PATH --root-cert PEM --payload DIR
Exit status 0 when every check passed; each failure is printed."""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile

# The build runs these scripts from the source tree: leave no __pycache__ behind in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from payload_common import (KVM_IMAGE, KVM_PATH, KVM_SERVICE, OID_CTL, PeImage, der_parse, pe_checksum,  # noqa: E402
                            read_catalog_content, read_kvm)

OID_DATA = '1.2.840.113549.1.7.1'
OID_SIGNED_DATA = '1.2.840.113549.1.7.2'
PAYLOAD_IDS = {110: 'PELLIMAR64x86.SYS', 112: 'PELLIMAR64x86.INF', 113: 'PELLIMAR64x86.CAT', 114: 'PLQZREG32.EXE',
               119: 'PELLMAR.KVM', 120: 'PELLMAR.GRD', 121: 'PELLMAR.SIG'}
# A statically linked MinGW program imports from the system only; a dynamic one would also need
# libstdc++-6.dll, libgcc_s_*.dll or libwinpthread-1.dll, which no Windows machine has.
SYSTEM_DLLS = {'kernel32.dll', 'advapi32.dll', 'user32.dll', 'msvcrt.dll'}


class Checker:
    def __init__(self, args):
        self.args = args
        self.failures = 0

    def expect(self, condition, what):
        print(('ok:   ' if condition else 'FAIL: ') + what)
        if not condition:
            self.failures += 1
        return condition

    def payload(self, name):
        return os.path.join(self.args.payload, name)

    def objdump(self, path):
        return subprocess.run([self.args.objdump, '-p', path], check=True, capture_output=True, text=True).stdout

    def openssl(self, *argv):
        return subprocess.run([self.args.openssl] + list(argv), capture_output=True, text=True)

    def pe_facts(self, path, machine_format, magic, subsystem):
        """The header facts through objdump; returns its output."""
        text = self.objdump(path)
        name = os.path.basename(path)
        self.expect(re.search(r'file format ' + re.escape(machine_format) + r'\b', text) is not None,
                    '%s is %s' % (name, machine_format))
        self.expect(re.search(r'^Magic\s+%s\b' % magic, text, re.M) is not None, '%s has optional header magic %s' % (name, magic))
        found = re.search(r'^Subsystem\s+([0-9a-fA-F]+)', text, re.M)
        self.expect(found is not None and int(found.group(1), 16) == subsystem, '%s has subsystem %d' % (name, subsystem))
        return text

    @staticmethod
    def imported_dlls(objdump_text):
        return [m.lower() for m in re.findall(r'DLL Name: (\S+)', objdump_text)]

    def version_is(self, image, name, version, fixed_strings):
        try:
            quad, strings = image.version_info()
        except ValueError as e:
            self.expect(False, '%s has a version resource (%s)' % (name, e))
            return
        self.expect('.'.join(map(str, quad)) == version, '%s fixed file version %s is %s' % (name, '.'.join(map(str, quad)), version))
        self.expect(strings.get('FileVersion') == version, '%s FileVersion string "%s" is %s' % (name, strings.get('FileVersion'), version))
        for key, value in fixed_strings.items():
            self.expect(strings.get(key) == value, '%s %s is "%s" (found "%s")' % (name, key, value, strings.get(key)))

    # --- checks -------------------------------------------------------------------------------------------

    def driver(self, path, version):
        text = self.pe_facts(path, 'pei-x86-64', '020b', 1)
        dlls = self.imported_dlls(text)
        self.expect(dlls == ['ntoskrnl.exe'], 'driver imports from ntoskrnl.exe only (found %s)' % dlls)
        data = open(path, 'rb').read()
        image = PeImage(data)
        checksum = re.search(r'^CheckSum\s+([0-9a-fA-F]+)', text, re.M)
        self.expect(checksum is not None and int(checksum.group(1), 16) == pe_checksum(data, image.checksum_offset) != 0,
                    'driver image checksum is set and correct')
        exports = re.search(r'Number in:\s*\n\s*Export Address Table\s+([0-9a-fA-F]+)', text)
        self.expect(exports is None or int(exports.group(1), 16) == 0, 'driver exports nothing')
        self.version_is(image, 'driver', version, {'CompanyName': 'Norvatek',
                                                   'FileDescription': 'Pellimar event filter driver',
                                                   'OriginalFilename': 'PELLIMAR64x86.SYS'})

    def inf(self, version):
        raw = open(self.payload('PELLIMAR64x86.INF'), 'rb').read()
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

    def signed_data(self, path):
        """(encapsulated content type, content present) of a PKCS#7 signed data file."""
        info = der_parse(open(path, 'rb').read())
        self.expect(info.children[0].oid() == OID_SIGNED_DATA, '%s is PKCS#7 signed data' % os.path.basename(path))
        encap = info.children[1].children[0].children[2]
        return encap.children[0].oid(), len(encap.children) > 1

    def catalog(self):
        cat = self.payload('PELLIMAR64x86.CAT')
        content_type, attached = self.signed_data(cat)
        self.expect(content_type == OID_CTL and attached, 'catalogue carries a certificate trust list')
        with tempfile.TemporaryDirectory() as tmp:
            content = os.path.join(tmp, 'content.der')
            result = self.openssl('cms', '-verify', '-inform', 'DER', '-in', cat, '-binary', '-CAfile', self.args.root_cert,
                                  '-purpose', 'any', '-out', content)
            if not self.expect(result.returncode == 0, 'catalogue signature verifies against the test root ' + result.stderr.strip()):
                return
            try:
                members = read_catalog_content(open(content, 'rb').read())
            except (ValueError, IndexError, UnicodeDecodeError) as e:
                self.expect(False, 'catalogue content parses (%s)' % e)
                return
        self.expect(sorted(members) == ['PELLIMAR64x86.INF', 'PELLIMAR64x86.SYS'],
                    'catalogue lists exactly the SYS and the INF (found %s)' % sorted(members))
        for name in ('PELLIMAR64x86.SYS', 'PELLIMAR64x86.INF'):
            digest = hashlib.sha1(open(self.payload(name), 'rb').read()).digest()
            tag, listed = members.get(name, ('', b''))
            self.expect(listed == digest and tag == digest.hex().upper(), 'catalogue SHA-1 of %s matches the file' % name)

    def manifest(self):
        kvm_path, sig = self.payload('PELLMAR.KVM'), self.payload('PELLMAR.SIG')
        kvm = open(kvm_path, 'rb').read()
        content_type, attached = self.signed_data(sig)
        self.expect(content_type == OID_DATA and not attached, 'signature is detached, over data')
        result = self.openssl('cms', '-verify', '-inform', 'DER', '-in', sig, '-binary', '-content', kvm_path,
                              '-CAfile', self.args.root_cert, '-purpose', 'any', '-out', os.devnull)
        self.expect(result.returncode == 0, 'signature verifies over PELLMAR.KVM against the test root ' + result.stderr.strip())

        grd = open(self.payload('PELLMAR.GRD'), 'rb').read()
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
        driver = open(self.payload('PELLIMAR64x86.SYS'), 'rb').read()
        images = [body for rtype, _f, body in records if rtype == KVM_IMAGE]
        self.expect(len(images) == 1 and images[0][:4] == len(driver).to_bytes(4, 'little')
                    and images[0][4:36] == hashlib.sha256(driver).digest()
                    and images[0][36:].decode('utf-16-le').rstrip('\0') == 'PELLIMAR64x86.SYS',
                    'KVM names the driver with its size and SHA-256')
        quad = PeImage(driver).version_info()[0]
        self.expect(header[7] == (quad[0] << 48 | quad[1] << 32 | quad[2] << 16 | quad[3]), 'KVM carries the driver version')
        self.expect(any(rtype == KVM_SERVICE and body.decode('utf-16-le').rstrip('\0') == 'Pellimar'
                        for rtype, _f, body in records), 'KVM names the service')
        self.expect(sum(rtype == KVM_PATH for rtype, _f, _b in records) > 0, 'KVM lists protected paths')

    def qzreg(self):
        for path, machine_format, magic in ((self.payload(os.path.join('release', 'PLQZREG32.EXE')), 'pei-i386', '010b'),
                                            (self.payload('PLQZREG32.EXE'), 'pei-x86-64', '020b')):
            text = self.pe_facts(path, machine_format, magic, 2)
            dlls = set(self.imported_dlls(text))
            self.expect(dlls and dlls <= SYSTEM_DLLS, '%s %s imports from system DLLs only (%s)'
                        % (machine_format, os.path.basename(path), sorted(dlls)))
            image = PeImage(open(path, 'rb').read())
            manifests = [data for rtype, rid, _l, data in image.resources() if rtype == 24 and rid == 1]
            self.expect(len(manifests) == 1 and b'level="asInvoker"' in manifests[0], '%s has its asInvoker manifest' % machine_format)
            self.version_is(image, machine_format + ' PLQZREG32.EXE', '2.4.0.3', {'OriginalFilename': 'PLQZREG32.EXE',
                                                                                   'CompanyName': 'Norvatek'})

    def embedded(self, exe, qzreg):
        self.pe_facts(exe, 'pei-x86-64', '020b', 2)
        resources = PeImage(open(exe, 'rb').read()).resources()
        named_types = sorted({rtype for rtype, _n, _l, _d in resources if isinstance(rtype, str)})
        self.expect(named_types == ['BINARYRC'], 'the only custom resource type is BINARYRC (found %s)' % named_types)
        payload = [(rid, data) for rtype, rid, _l, data in resources if rtype == 'BINARYRC']
        ids = sorted(rid for rid, _d in payload)
        self.expect(ids == sorted(PAYLOAD_IDS), 'exactly the seven payload ids %s (found %s)' % (sorted(PAYLOAD_IDS), ids))
        for rid, data in payload:
            name = PAYLOAD_IDS.get(rid)
            if name is None:
                continue
            path = qzreg if rid == 114 else self.payload(name)
            want = open(path, 'rb').read()
            self.expect(len(data) == len(want), 'resource %d size %d equals %s size %d' % (rid, len(data), path, len(want)))
            self.expect(data == want, 'resource %d is %s byte for byte' % (rid, path))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--objdump', required=True)
    parser.add_argument('--openssl', required=True)
    parser.add_argument('--root-cert', required=True)
    parser.add_argument('--payload', required=True)
    parser.add_argument('check', choices=['driver', 'inf', 'catalog', 'manifest', 'qzreg', 'embedded'])
    parser.add_argument('operands', nargs='*')
    args = parser.parse_args()
    checker = Checker(args)
    arity = {'driver': 2, 'inf': 1, 'catalog': 0, 'manifest': 0, 'qzreg': 0, 'embedded': 2}
    if len(args.operands) != arity[args.check]:
        parser.error('%s takes %d operands' % (args.check, arity[args.check]))
    getattr(checker, args.check)(*args.operands)
    print('%d failure(s)' % checker.failures)
    return 1 if checker.failures else 0


if __name__ == '__main__':
    sys.exit(main())
