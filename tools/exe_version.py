#!/usr/bin/env python3
"""Prints the version resource of Windows programs and, when asked, checks it.

    exe_version.py FILE...
        prints each file's FileVersion, ProductVersion and version strings;
    exe_version.py --expect-version X.Y.Z --description NAME=TEXT... [--product TEXT]
                   [--version-of PROGRAM] FILE...
        also fails (exit 1) unless every file has
          - FileVersion and ProductVersion X.Y.Z.0, both the binary ones and the strings,
          - one string table, US English in Unicode (040904B0), and the matching
            VarFileInfo Translation (0x0409, 1200),
          - OriginalFilename and InternalName equal to its own file name,
          - the FileDescription given for its file name (every file needs one),
          - the ProductName given by --product,
          - no CompanyName,
          - if its manifest names the exe (assemblyIdentity), the same version there;
        and unless PROGRAM --version (a native build) prints "<name> X.Y.Z".
"""
import argparse
import os
import re
import subprocess
import sys

try:
    import pefile
except ImportError:
    sys.exit("exe_version.py needs pefile (Debian: python3-pefile): run scripts/deps.sh")

US_ENGLISH_UNICODE = "040904B0"
RT_MANIFEST = 24
TRANSLATION = (0x0409, 1200)


def four_part(version):
    """X.Y.Z -> X.Y.Z.0: a Windows version has four parts."""
    parts = version.split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() for p in parts):
        sys.exit(f"not a version: {version!r}")
    return ".".join(parts + ["0"] * (4 - len(parts)))


def split_version(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def manifest_version(pe):
    """The version in the exe's own assemblyIdentity in its manifest; None without one."""
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    kinds = resources.entries if resources else []
    for kind in kinds:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                # The first assemblyIdentity is the exe's own; later ones are its dependencies.
                identity = re.search(rb"<assemblyIdentity\b[^>]*>", data)
                version = identity and re.search(rb'\bversion="([^"]*)"', identity.group(0))
                if version:
                    return version.group(1).decode("ascii")
    return None


def read_version(path):
    """The version resource of PATH as a dict; None when it has none."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    info = {
        "binary FileVersion": split_version(fixed.FileVersionMS, fixed.FileVersionLS),
        "binary ProductVersion": split_version(fixed.ProductVersionMS, fixed.ProductVersionLS),
        "tables": {},
        "translations": [],
        "manifest version": manifest_version(pe),
    }
    for entries in getattr(pe, "FileInfo", []):
        for entry in entries:
            if entry.Key == b"StringFileInfo":
                for table in entry.StringTable:
                    info["tables"][table.LangID.decode("ascii").upper()] = {
                        key.decode("utf-8"): value.decode("utf-8")
                        for key, value in table.entries.items()}
            elif entry.Key == b"VarFileInfo":
                for var in entry.Var:
                    words = var.entry.get(b"Translation", "").split()
                    info["translations"] += [
                        (int(words[i], 16), int(words[i + 1], 16))
                        for i in range(0, len(words) - 1, 2)]
    return info


def show(path, info):
    print(path)
    if info is None:
        print("  (no version resource)")
        return
    print(f"  {'binary FileVersion':<22}{info['binary FileVersion']}")
    print(f"  {'binary ProductVersion':<22}{info['binary ProductVersion']}")
    for lang, strings in info["tables"].items():
        print(f"  strings {lang}:")
        for key, value in strings.items():
            print(f"    {key:<20}{value}")
    for lang, codepage in info["translations"]:
        print(f"  {'Translation':<22}0x{lang:04X}, {codepage}")
    if info["manifest version"] is not None:
        print(f"  {'manifest version':<22}{info['manifest version']}")


def check(path, info, version, descriptions, product):
    """The list of what is wrong with PATH's version resource."""
    if info is None:
        return ["no version resource"]
    name = os.path.basename(path)
    problems = []
    for field in ("FileVersion", "ProductVersion"):
        if info["binary " + field] != version:
            problems.append(f"binary {field} is {info['binary ' + field]}, not {version}")
    if list(info["tables"]) != [US_ENGLISH_UNICODE]:
        problems.append(f"string tables {list(info['tables'])}, not [{US_ENGLISH_UNICODE}]")
    if info["translations"] != [TRANSLATION]:
        problems.append(f"Translation {info['translations']}, not [{TRANSLATION}]")
    strings = info["tables"].get(US_ENGLISH_UNICODE, {})
    wanted = {"FileVersion": version, "ProductVersion": version,
              "OriginalFilename": name, "InternalName": name}
    if name not in descriptions:
        problems.append(f"no --description given for {name}")
    else:
        wanted["FileDescription"] = descriptions[name]
    if product is not None:
        wanted["ProductName"] = product
    for field, value in wanted.items():
        if strings.get(field) != value:
            problems.append(f"{field} is {strings.get(field)!r}, not {value!r}")
    if "CompanyName" in strings:
        problems.append(f"has a CompanyName: {strings['CompanyName']!r}")
    if info["manifest version"] not in (None, version):
        problems.append(f"manifest version is {info['manifest version']!r}, not {version}")
    return problems


def check_program(program, version):
    """PROGRAM --version must print '<its name> VERSION'."""
    out = subprocess.run([program, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                         text=True, timeout=60, check=False)
    print(f"{program} --version: {out.stdout.strip()!r} (exit {out.returncode})")
    name = os.path.splitext(os.path.basename(program))[0]
    expected = f"{name} {version}"
    if out.returncode != 0 or out.stdout.strip() != expected:
        return [f"{program} --version: expected {expected!r}, exit 0"]
    return []


def main():
    parser = argparse.ArgumentParser(description="Prints and checks Windows version resources.")
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--expect-version", metavar="VERSION",
                        help="the version (from CMake) every file must carry, as VERSION.0")
    parser.add_argument("--description", action="append", default=[], metavar="NAME=TEXT",
                        help="the FileDescription of the file called NAME")
    parser.add_argument("--product", metavar="TEXT", help="the ProductName of every file")
    parser.add_argument("--version-of", action="append", default=[], metavar="PROGRAM",
                        help="a native program whose --version must print the version")
    args = parser.parse_args()

    descriptions = {}
    for pair in args.description:
        name, sep, text = pair.partition("=")
        if not sep:
            parser.error(f"--description {pair!r}: expected NAME=TEXT")
        descriptions[name] = text
    checking = args.expect_version is not None
    if not checking and (descriptions or args.product or args.version_of):
        parser.error("--description, --product and --version-of need --expect-version")

    failed = 0
    for path in args.files:
        info = read_version(path)
        show(path, info)
        if checking:
            problems = check(path, info, four_part(args.expect_version), descriptions,
                             args.product)
            for problem in problems:
                print(f"  FAIL: {problem}")
            failed += bool(problems)
    for program in args.version_of:
        problems = check_program(program, args.expect_version)
        for problem in problems:
            print(f"  FAIL: {problem}")
        failed += bool(problems)
    if checking:
        total = len(args.files) + len(args.version_of)
        print(f"{total - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
