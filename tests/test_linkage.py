"""What the built module asks of the dynamic linker: libc only, one exported
entry point, and nothing of the C++ runtime."""

import importlib.util
import struct
import sys

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ELF shared objects only")

SHT_DYNAMIC, SHT_DYNSYM = 6, 11
DT_NULL, DT_NEEDED = 0, 1
STB_GLOBAL, STB_WEAK, STV_DEFAULT, SHN_UNDEF = 1, 2, 0, 0
# Referenced (weakly) by the C library's own start-up files in every shared
# object, and defined by libc itself.
FROM_LIBC = {"__cxa_finalize"}


def read_elf(path):
    """(needed libraries, dynamic symbols as (name, bind, visibility, defined))."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, "not a 64-bit little-endian ELF file"
    (e_machine,) = struct.unpack_from("<H", data, 18)
    e_shoff, = struct.unpack_from("<Q", data, 40)
    e_shentsize, e_shnum = struct.unpack_from("<HH", data, 58)
    assert e_machine == 62, "not x86-64"
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, e_shoff + i * e_shentsize) for i in range(e_shnum)]

    def text(strtab, offset):
        start = sections[strtab][4] + offset
        return data[start:data.index(b"\0", start)].decode()

    needed, symbols = [], []
    for _, kind, _, _, offset, size, link, _, _, entsize in sections:
        if kind == SHT_DYNAMIC:
            for at in range(offset, offset + size, entsize):
                tag, value = struct.unpack_from("<qQ", data, at)
                if tag == DT_NULL:
                    break
                if tag == DT_NEEDED:
                    needed.append(text(link, value))
        elif kind == SHT_DYNSYM:
            for at in range(offset + entsize, offset + size, entsize):   # entry 0 is the null symbol
                name, info, other, shndx = struct.unpack_from("<IBBH", data, at)
                symbols.append((text(link, name), info >> 4, other & 3, shndx != SHN_UNDEF))
    assert symbols, "no dynamic symbol table"
    return needed, symbols


@pytest.fixture(scope="module")
def elf():
    return read_elf(importlib.util.find_spec("api.orvane").origin)


def test_needs_libc_only(elf):
    needed, _ = elf
    assert [n for n in needed if n != "libc.so.6"] == []


def test_exports_the_entry_point_only(elf):
    _, symbols = elf
    exported = [name for name, bind, vis, defined in symbols
                if defined and bind in (STB_GLOBAL, STB_WEAK) and vis == STV_DEFAULT]
    assert exported == ["PyInit_orvane"]


def test_references_nothing_of_the_cxx_runtime(elf):
    _, symbols = elf
    undefined = {name for name, _, _, defined in symbols if not defined}
    runtime = sorted(n for n in undefined - FROM_LIBC if n.startswith(("_Z", "__cxa_", "__gxx_")))
    assert runtime == []
