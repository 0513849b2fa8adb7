"""What a cross-built module asks of the system that loads it, read from its
ELF file (pyelftools): the machine, the libraries it needs, the glibc symbol
versions it binds, and what it exports.

    python elf.py MODULE.so...

checks each module: built for aarch64, needing only glibc 2.17's
libraries and symbol versions, and, for _m3, exporting its init function
alone. Prints one line a module; exits 1 naming what is wrong."""
from __future__ import annotations

import dataclasses
import pathlib
import re
import sys

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection
from elftools.elf.sections import SymbolTableSection

# The oldest C library the manylinux_2_17 tag promises.
GLIBC_LIMIT = (2, 17)
# Parts of glibc 2.17 a module may need; nothing else, and never a C++ runtime.
ALLOWED_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1"}


@dataclasses.dataclass
class ModuleFacts:
    machine: str
    needed: list[str]
    versions: dict[str, list[str]]  # library -> the symbol versions bound in it
    imported: list[str]             # the undefined symbols it binds
    exported: list[str]             # the functions and data it defines for others

    def summary(self) -> str:
        bound = sorted({name for names in self.versions.values() for name in names})
        return f"needs {', '.join(self.needed)}, binds {', '.join(bound)}"

    def problems(self, init: str | None) -> list[str]:
        """What keeps the module from loading on any aarch64 Linux with glibc
        2.17 or later, or (given `init`) exposes more than that function."""
        found = []
        if self.machine != "EM_AARCH64":
            found.append(f"built for {self.machine}, not EM_AARCH64")
        if set(self.needed) - ALLOWED_LIBRARIES:
            found.append(f"needs {sorted(set(self.needed) - ALLOWED_LIBRARIES)}")
        for library, names in self.versions.items():
            for name in names:
                match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
                if not match or tuple(map(int, match.groups())) > GLIBC_LIMIT:
                    found.append(f"binds {name} of {library}")
        if init and self.exported != [init]:
            found.append(f"exports {self.exported}, not {init} alone")
        return found


def read(path: pathlib.Path) -> ModuleFacts:
    with path.open("rb") as f:
        elf = ELFFile(f)
        needed, versions, imported, exported = [], {}, [], []
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                needed += [tag.needed for tag in section.iter_tags("DT_NEEDED")]
            elif isinstance(section, GNUVerNeedSection):
                for library, auxiliaries in section.iter_versions():
                    versions[library.name] = sorted(aux.name for aux in auxiliaries)
            elif isinstance(section, SymbolTableSection) and section.name == ".dynsym":
                for symbol in section.iter_symbols():
                    if not symbol.name or symbol["st_info"]["bind"] == "STB_LOCAL":
                        continue
                    if symbol["st_shndx"] == "SHN_UNDEF":
                        imported.append(symbol.name)
                    elif symbol["st_info"]["type"] in ("STT_FUNC", "STT_OBJECT"):
                        exported.append(symbol.name)
        return ModuleFacts(elf["e_machine"], needed, versions, sorted(imported), sorted(exported))


def main(argv: list[str]) -> int:
    status = 0
    for name in argv:
        path = pathlib.Path(name)
        facts = read(path)
        # The test hooks also export the C++ allocation functions of the
        # library linked into them: only the shipped module is held to its
        # init function alone.
        module = path.name.split(".")[0]
        problems = facts.problems("PyInit_" + module if module == "_m3" else None)
        print(f"{path.name}: {'; '.join(problems) if problems else facts.summary()}")
        status |= bool(problems)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
