#!/usr/bin/env python3
"""Checks the rules of the house that the sources themselves can show:

- each folder of src/ includes only from the folders below it;
- outside the platform files (*_win32.*, *_posix.*) no platform header is
  included and no #if asks which platform this is;
- the core includes no header that brings allocating containers (but for
  the port listing, which only dtucfg uses).

Usage: check_sources.py SRC_DIR. Prints every breach with its file and line,
exits 1 when there is any.
"""

import os
import re
import sys

# Who may include from whom. The core is form, protocol, serial and settings;
# the form's program (app) and dtucfg (cli) sit on it and never on each other.
CORE = {"form", "protocol", "serial", "settings"}
LAYERS = {
    "form": {"form"},
    "protocol": {"form", "protocol", "serial"},
    "serial": {"protocol", "serial"},
    "settings": {"form", "protocol", "settings"},
    "app": CORE | {"app"},
    "cli": CORE | {"cli"},
}

# Angle-bracket headers the portable sources may use: the C++ library, and
# for dtucfg its libraries. Anything else (windows.h, unistd.h, termios.h,
# sys/..., openssl/...) belongs in a platform file.
STANDARD = set("""
    algorithm any array atomic bitset cassert cctype cerrno cfloat charconv chrono cinttypes
    climits clocale cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef
    cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution
    filesystem forward_list fstream functional future initializer_list iomanip ios iosfwd
    iostream istream iterator limits list locale map memory memory_resource mutex new numeric
    optional ostream queue random ratio regex scoped_allocator set shared_mutex sstream stack
    stdexcept streambuf string string_view system_error thread tuple type_traits typeindex
    typeinfo unordered_map unordered_set utility valarray variant vector
""".split())
LIBRARIES = {"cli": re.compile(r"^(CLI/|nlohmann/|sql\.h$|sqlext\.h$)")}
# The core allocates nothing: none of these may reach it.
ALLOCATING = set("""
    condition_variable deque filesystem forward_list fstream functional future iostream list map
    memory mutex queue regex set sstream stack stdexcept string thread unordered_map unordered_set
    vector
""".split())
# Listing the ports is dtucfg's alone (the form offers fixed names), so it
# may build lists.
LISTING = re.compile(r"^port_(list|names)")
PLATFORM_MACRO = re.compile(
    r"\b(_WIN32|_WIN64|WIN32|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|__linux__|__unix__|"
    r"__APPLE__|_POSIX_[A-Z_]*|__GLIBC__)\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
CONDITION = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif)\b(.*)")


def is_platform_file(name):
    stem = os.path.splitext(name)[0]
    return stem.endswith("_win32") or stem.endswith("_posix")


def check_file(path, folder, name):
    breaches = []
    platform = is_platform_file(name)
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            where = "%s:%d: " % (path, number)
            include = INCLUDE.match(line)
            if include and include.group(1) == '"':
                target = include.group(2).split("/")[0]
                if "/" in include.group(2) and target not in LAYERS.get(folder, {folder}):
                    breaches.append(where + "%s/ may not include from %s/" % (folder, target))
            elif include:
                header = include.group(2)
                library = LIBRARIES.get(folder)
                if not platform and header not in STANDARD and not (library and library.search(header)):
                    breaches.append(where + "<%s> belongs in a _win32 or _posix file" % header)
                if folder in CORE and header in ALLOCATING and not LISTING.match(name):
                    breaches.append(where + "<%s> allocates; the core may not use it" % header)
            condition = CONDITION.match(line)
            if condition and not platform and PLATFORM_MACRO.search(condition.group(2)):
                breaches.append(where + "a platform #if belongs in a _win32 or _posix file")
    return breaches


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    src = sys.argv[1]
    breaches = []
    files = 0
    for folder in sorted(os.listdir(src)):
        directory = os.path.join(src, folder)
        if not os.path.isdir(directory):
            continue
        if folder not in LAYERS:
            breaches.append("%s: a folder the rules do not know; add it to LAYERS" % directory)
            continue
        for root, _, names in os.walk(directory):
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    files += 1
                    breaches += check_file(os.path.join(root, name), folder, name)
    for breach in breaches:
        print(breach)
    print("%d files, %d breaches" % (files, len(breaches)))
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
