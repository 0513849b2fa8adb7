"""Packs cross-built extension modules (for Windows x64, or for Linux on
64-bit ARM) into a wheel.

    make_wheel.py --metadata DIST_INFO --package SRC_DIR --tag TAG --out DIR MODULE...

TAG is cp3X-cp3X-win_amd64 or cp3X-cp3X-linux_aarch64 (auditwheel then
gives the latter its manylinux tag).

DIST_INFO is the build backend's own metadata (scikit-build-core's
prepare_metadata_for_build_wheel: METADATA and the licence files, the same
as in the Linux wheels); its WHEEL file is written anew with TAG. The
package's files come from SRC_DIR as the backend takes them (the C++ sources
and headers stay out), the modules beside them. RECORD lists every file with
its sha256 and size. Prints the wheel's path.
"""
import argparse
import base64
import hashlib
import pathlib
import re
import sys
import zipfile

# Kept out of the wheel, as pyproject.toml's wheel.exclude keeps them.
EXCLUDED_SUFFIXES = {".cpp", ".h", ".def"}
# A fixed time for every entry: the same inputs give the same wheel.
ZIP_TIME = (2020, 1, 1, 0, 0, 0)
# The file name ending of a module for each platform tag, given cp3X.
MODULE_SUFFIXES = {
    "win_amd64": lambda cp: f".{cp}-win_amd64.pyd",
    "linux_aarch64": lambda cp: f".cpython-{cp[2:]}-aarch64-linux-gnu.so",
}


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--metadata", type=pathlib.Path, required=True)
    parser.add_argument("--package", type=pathlib.Path, required=True)
    parser.add_argument("--tag", required=True)
    parser.add_argument("--out", type=pathlib.Path, required=True)
    parser.add_argument("modules", type=pathlib.Path, nargs="+")
    args = parser.parse_args(argv)

    tag = re.fullmatch(r"(cp3\d+)-cp3\d+-(win_amd64|linux_aarch64)", args.tag)
    if not tag:
        parser.error(f"not a CPython win_amd64 or linux_aarch64 tag: {args.tag}")
    suffix = MODULE_SUFFIXES[tag[2]](tag[1])
    dist_info = args.metadata.name
    match = re.fullmatch(r"([A-Za-z0-9_.]+)-([^-]+)\.dist-info", dist_info)
    if not match:
        parser.error(f"not a .dist-info folder: {args.metadata}")
    name, version = match.groups()
    package = args.package.name

    files = {}  # archive name -> bytes, in the order written
    for path in sorted(args.package.rglob("*")):
        if (path.is_file() and path.suffix not in EXCLUDED_SUFFIXES and "__pycache__" not in path.parts
                and path.suffix not in {".pyc", ".so", ".pyd"}):
            files[f"{package}/{path.relative_to(args.package).as_posix()}"] = path.read_bytes()
    for module in args.modules:
        if not module.name.endswith(suffix):
            parser.error(f"{module.name} is not built for {args.tag}")
        files[f"{package}/{module.name}"] = module.read_bytes()
    for path in sorted(args.metadata.rglob("*")):
        relative = path.relative_to(args.metadata).as_posix()
        if path.is_file() and relative not in {"WHEEL", "RECORD"}:
            files[f"{dist_info}/{relative}"] = path.read_bytes()
    files[f"{dist_info}/WHEEL"] = (
        "Wheel-Version: 1.0\n"
        "Generator: quillmaret tools/tasks/make_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {args.tag}\n").encode()

    record = [record_line(arcname, data) for arcname, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()

    args.out.mkdir(parents=True, exist_ok=True)
    wheel = args.out / f"{name}-{version}-{args.tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for arcname, data in files.items():
            info = zipfile.ZipInfo(arcname, ZIP_TIME)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    print(wheel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
