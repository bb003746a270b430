"""Readers for what the release checks look into: PE executables (headers,
sections, imports, resources, version information, build id, debug link) and
minidumps (modules and the exception)."""
import re
import struct
from dataclasses import dataclass, field

RT_ICON, RT_RCDATA, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 10, 14, 16, 24


@dataclass
class Section:
    name: str
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


@dataclass
class PeFile:
    data: bytes
    time_stamp: int = 0
    image_base: int = 0
    image_size: int = 0
    checksum: int = 0
    sections: list = field(default_factory=list)
    directories: list = field(default_factory=list)

    @classmethod
    def read(cls, path):
        with open(path, "rb") as stream:
            return cls.parse(stream.read())

    @classmethod
    def parse(cls, data):
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        _, count, time_stamp, symbols, symbol_count, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not PE32+")
        image = cls(data)
        image.time_stamp = time_stamp
        image.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        image.image_size = struct.unpack_from("<I", data, optional + 56)[0]
        image.checksum = struct.unpack_from("<I", data, optional + 64)[0]
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        image.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(directory_count)]
        strings = symbols + 18 * symbol_count  # long section names live in the COFF string table
        at = optional + optional_size
        for _ in range(count):
            raw_name, vsize, vaddr, rsize, roffset = struct.unpack_from("<8sIIII", data, at)
            name = raw_name.rstrip(b"\0").decode("latin-1")
            if name.startswith("/") and symbols:
                offset = strings + int(name[1:])
                name = data[offset:data.index(b"\0", offset)].decode("latin-1")
            image.sections.append(Section(name, vaddr, vsize, roffset, rsize))
            at += 40
        return image

    def section(self, name):
        return next((s for s in self.sections if s.name == name), None)

    def offset(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
                return s.raw_offset + rva - s.virtual_address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def string_at(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imported_names(self, rva):
        """The function names (or "#ordinal") of a zero-ended lookup table."""
        names, at = [], self.offset(rva)
        while entry := struct.unpack_from("<Q", self.data, at)[0]:
            names.append(f"#{entry & 0xFFFF}" if entry >> 63 else self.string_at((entry & 0x7FFFFFFF) + 2))
            at += 8
        return names

    def imports(self):
        """{DLL name: [functions]} of the import directory: what the loader maps
        before the program's first instruction."""
        rva, size = self.directories[1]
        found, at = {}, self.offset(rva) if size else None
        while at is not None:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not name:
                break
            found[self.string_at(name)] = self.imported_names(lookup or thunks)
            at += 20
        return found

    def delay_imports(self):
        """{DLL name: [functions]} of every delay-import descriptor in the image.
        dlltool's delay libraries put their descriptors into .text and leave the
        delay-import directory empty, so they are found by their shape: RVA
        attributes (1), the name, handle, address and name tables, then zeros."""
        found = {}
        for section in self.sections:
            content = self.data[section.raw_offset:section.raw_offset + section.raw_size]
            at = content.find(b"\1\0\0\0")
            while 0 <= at <= len(content) - 32:
                if at % 4 == 0:
                    _, name, handle, iat, names, *rest = struct.unpack_from("<8I", content, at)
                    if name and handle and iat and names and not any(rest):
                        try:
                            dll = self.string_at(name)
                            if re.fullmatch(r"[\w.-]+\.dll", dll, re.IGNORECASE):
                                found[dll] = self.imported_names(names)
                        except (ValueError, struct.error):
                            pass
                at = content.find(b"\1\0\0\0", at + 1)
        return found

    def build_id(self):
        """(GUID bytes, age, name) of the CodeView record, or None."""
        rva, size = self.directories[6] if len(self.directories) > 6 else (0, 0)
        for at in range(0, size, 28):
            entry = self.offset(rva + at)
            kind, data_size, data_rva = struct.unpack_from("<III", self.data, entry + 12)
            if kind == 2 and data_size >= 24:
                record = self.offset(data_rva)
                if self.data[record:record + 4] == b"RSDS":
                    guid = self.data[record + 4:record + 20]
                    age = struct.unpack_from("<I", self.data, record + 20)[0]
                    name = self.data[record + 24:record + data_size].split(b"\0")[0].decode()
                    return guid, age, name
        return None

    def debug_id(self):
        found = self.build_id()
        if not found:
            return None
        guid, age, _ = found
        d1, d2, d3 = struct.unpack_from("<IHH", guid)
        rest = guid[8:].hex()
        return f"{d1:08x}-{d2:04x}-{d3:04x}-{rest[:4]}-{rest[4:]}-{age:x}"

    def code_id(self):
        return f"{self.time_stamp:08X}{self.image_size:x}"

    def debug_link(self):
        """(file name, CRC-32) of .gnu_debuglink, or None."""
        s = self.section(".gnu_debuglink")
        if not s:
            return None
        content = self.data[s.raw_offset:s.raw_offset + s.raw_size]
        name = content.split(b"\0")[0]
        crc_at = (len(name) + 1 + 3) & ~3
        return name.decode(), struct.unpack_from("<I", content, crc_at)[0]

    def resources(self):
        """{(type, name, language): bytes}; names are ints or strings."""
        rva, _ = self.directories[2]
        base = self.offset(rva)
        found = {}

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if name & 0x80000000:
                    text_at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, text_at)[0]
                    name = self.data[text_at + 2:text_at + 2 + 2 * length].decode("utf-16-le")
                yield name, target

        for kind, kind_target in entries(base):
            for name, name_target in entries(base + (kind_target & 0x7FFFFFFF)):
                for language, leaf in entries(base + (name_target & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found[(kind, name, language)] = self.data[start:start + size]
        return found


def parse_version_info(blob):
    """(fixed file info numbers, {string name: value}) of a VS_VERSIONINFO."""
    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", blob, at)
        end_key = at + 6
        while blob[end_key:end_key + 2] != b"\0\0":
            end_key += 2
        key = blob[at + 6:end_key].decode("utf-16-le")
        value_at = (end_key + 2 + 3) & ~3
        value_size = value_length * (2 if kind == 1 else 1)
        children_at = (value_at + value_size + 3) & ~3
        return key, length, value_at, value_length, kind, children_at

    key, length, value_at, _, _, children_at = node(0)
    if key != "VS_VERSION_INFO":
        raise ValueError("not a version resource")
    signature, _, ms_file, ls_file, ms_product, ls_product = struct.unpack_from("<IIIIII", blob, value_at)
    if signature != 0xFEEF04BD:
        raise ValueError("no fixed file information")
    numbers = {"file": (ms_file >> 16, ms_file & 0xFFFF, ls_file >> 16, ls_file & 0xFFFF),
               "product": (ms_product >> 16, ms_product & 0xFFFF, ls_product >> 16, ls_product & 0xFFFF)}
    strings = {}

    def walk(at, end, depth):
        while at < end:
            key, size, value_at, value_length, kind, children = node(at)
            if size == 0:
                break
            if depth == 2 and kind == 1:
                strings[key] = blob[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
            elif depth < 2:
                walk(children, at + size, depth + 1)
            at = (at + size + 3) & ~3

    walk(children_at, length, 0)
    return numbers, strings


def icon_images(ico):
    """The images of an .ico file, in file order."""
    _, _, count = struct.unpack_from("<HHH", ico, 0)
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
        images.append(ico[offset:offset + size])
    return images


@dataclass
class Module:
    base: int
    size: int
    time_stamp: int
    name: str
    cv_record: bytes


@dataclass
class Minidump:
    modules: list
    exception_code: int
    exception_address: int

    @classmethod
    def read(cls, path):
        with open(path, "rb") as stream:
            data = stream.read()
        if data[:4] != b"MDMP":
            raise ValueError("not a minidump")
        count, directory = struct.unpack_from("<II", data, 8)
        modules, code, address = [], None, None
        for i in range(count):
            kind, size, rva = struct.unpack_from("<III", data, directory + 12 * i)
            if kind == 4:  # module list
                for m in range(struct.unpack_from("<I", data, rva)[0]):
                    at = rva + 4 + 108 * m
                    base, image_size, _, time_stamp, name_rva = struct.unpack_from("<QIIII", data, at)
                    cv_size, cv_rva = struct.unpack_from("<II", data, at + 24 + 52)
                    name_length = struct.unpack_from("<I", data, name_rva)[0]
                    name = data[name_rva + 4:name_rva + 4 + name_length].decode("utf-16-le")
                    modules.append(Module(base, image_size, time_stamp, name, data[cv_rva:cv_rva + cv_size]))
            elif kind == 6:  # exception
                code, _, _, address = struct.unpack_from("<IIQQ", data, rva + 8)
        if code is None:
            raise ValueError("the minidump holds no exception")
        return cls(modules, code, address)

    def module_at(self, address):
        return next((m for m in self.modules if m.base <= address < m.base + m.size), None)
