"""What the built exe is as a Windows file: its imports and its embedded resources."""

import os
import struct
import subprocess
import unittest

from harness import EXE

# DLLs that every 64-bit Windows 10/11 ships; the runtime must be linked in, not imported.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "user32.dll", "mmdevapi.dll",
               "advapi32.dll", "oleaut32.dll"}

RT_VERSION = 16
RT_MANIFEST = 24


def read_resources(path):
    """Returns {(type id, name id): bytes} from the exe's resource section (a small PE reader)."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "PE32+"
    resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    table = optional + optional_size
    rsrc_offset = None
    for index in range(sections):
        header = table + 40 * index
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
        if rva <= resource_rva < rva + max(size, raw_size):
            rsrc_offset = raw + resource_rva - rva
            section_rva, section_raw = rva, raw
    assert rsrc_offset is not None, "no resource section"

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, rsrc_offset + directory + 12)
        for index in range(named + ids):
            name, target = struct.unpack_from("<II", data, rsrc_offset + directory + 16 + 8 * index)
            yield name, target

    found = {}
    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for _language, leaf in entries(name_dir & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, rsrc_offset + leaf)
                start = section_raw + rva - section_rva
                found[(type_id, name_id)] = data[start:start + size]
    return found


class Executable(unittest.TestCase):
    def test_imports_only_dlls_that_ship_with_windows(self):
        dump = subprocess.run([os.environ["OAH_OBJDUMP"], "-p", EXE], check=True,
                              capture_output=True, text=True).stdout
        imported = {line.split("DLL Name:")[1].strip().lower()
                    for line in dump.splitlines() if "DLL Name:" in line}
        self.assertIn("kernel32.dll", imported)
        self.assertLessEqual(imported, SYSTEM_DLLS, "unexpected imports: %s" % (imported - SYSTEM_DLLS))

    def test_manifest_runs_as_invoker_on_windows_10_and_11(self):
        manifest = read_resources(EXE)[(RT_MANIFEST, 1)].decode("utf-8")
        self.assertIn('requestedExecutionLevel level="asInvoker"', manifest)
        self.assertIn("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", manifest)

    def test_version_resource_names_the_product(self):
        version = read_resources(EXE)[(RT_VERSION, 1)]
        self.assertIn("ProductName".encode("utf-16-le"), version)
        self.assertIn("ostrel-audio-helper".encode("utf-16-le"), version)
        self.assertIn("FileVersion".encode("utf-16-le"), version)


if __name__ == "__main__":
    unittest.main()
