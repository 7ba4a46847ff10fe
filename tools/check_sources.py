#!/usr/bin/env python3
"""Checks the rules of the house that the sources themselves can show
(docs/design.md names each rule and this check):

- each folder of src/ includes only from the folders it sits on, and no
  source lies directly in src/;
- outside the platform files (*_win32.*, *_posix.*) no platform header is
  included, no #if asks which platform this is, and no __has_include looks;
- the core includes no header that brings allocating containers (but for
  the port listing, which only dtucfg uses);
- what one database server writes its own way is said only in its dialect
  file (src/line/dialect_*.cpp): no INTERVAL, TIMESTAMP WITH, RETURNING,
  SKIP LOCKED or pg_ in a string anywhere else, and no SQLSTATE in dtucfg's
  strings; ODBC's headers are included by the ODBC wrapper alone, and
  libmicrohttpd's by batch serve's server alone;
- sources are .h and .cpp files, so that nothing escapes these checks.

Usage: check_sources.py SRC_DIR. Prints every breach with its file and line,
exits 1 when there is any.
"""

import os
import re
import sys

# Who may include from whom. The core is form, serial, protocol and settings;
# the form's program (app) and dtucfg (cli, then the production line, then
# the program's entry) sit on it. Nothing includes from a folder above it.
CORE = {"form", "protocol", "serial", "settings"}
LAYERS = {
    "form": {"form"},
    "serial": {"serial"},
    "protocol": {"form", "serial", "protocol"},
    "settings": {"form", "protocol", "settings"},
    "app": CORE | {"app"},
    "cli": CORE | {"cli"},
    "line": CORE | {"cli", "line"},
    "dtucfg": CORE | {"cli", "line", "dtucfg"},
}
# dtucfg's folders: they may use its libraries, and speak to a database.
DTUCFG = {"cli", "line", "dtucfg"}

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
LIBRARIES = re.compile(r"^(CLI/|nlohmann/)")
# ODBC's headers, and the one file that may include them.
ODBC_HEADER = re.compile(r"^(sql|sqlext|sqltypes|sqlucode|sqlspi|odbcinst|odbcinstext)\.h$")
ODBC_WRAPPER = os.path.join("line", "odbc.cpp")
# libmicrohttpd's header, and the one file that may include it: batch serve's
# server in the Linux build.
HTTP_HEADER = "microhttpd.h"
HTTP_SERVER = os.path.join("line", "http_server_posix.cpp")
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
    r"\b(_WIN32|_WIN64|WIN32|WIN64|_WINDOWS|WINVER|_WIN32_WINNT|__WINDOWS__|__MINGW32__|"
    r"__MINGW64__|_MSC_VER|__CYGWIN__|__MSYS__|__linux__|__linux|linux|__gnu_linux__|__unix__|"
    r"__unix|unix|__APPLE__|__MACH__|TARGET_OS_[A-Z_]+|__FreeBSD__|__NetBSD__|__OpenBSD__|"
    r"__DragonFly__|__sun|__HAIKU__|__ANDROID__|__EMSCRIPTEN__|__QNX__|_POSIX_[A-Z_]*|"
    r"_XOPEN_[A-Z_]*|__GLIBC__|__BIONIC__|_GNU_SOURCE)\b")
HAS_INCLUDE = re.compile(r"\b__has_include(_next)?\b")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
CONDITION = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif|elifdef|elifndef)\b(.*)")
# A server's own SQL, as it may appear in a string.
SERVER_SQL = re.compile(r"\b(INTERVAL|TIMESTAMP WITH|RETURNING|SKIP LOCKED)\b|\bpg_")
SQLSTATE = re.compile(r'^"(?=[0-9A-Z]*[0-9])[0-9A-Z]{5}"$')
SOURCE_SUFFIXES = (".h", ".cpp")
OTHER_SOURCES = (".hh", ".hpp", ".hxx", ".h++", ".inc", ".inl", ".ipp", ".tcc", ".c", ".cc",
                 ".cxx", ".c++")


def is_platform_file(name):
    stem = os.path.splitext(name)[0]
    return stem.endswith("_win32") or stem.endswith("_posix")


def is_dialect_file(relative):
    return re.match(r"^line[/\\]dialect_[a-z0-9]+\.cpp$", relative) is not None


def strings(text):
    """(line, literal) for every string literal in text, raw strings whole;
    comments and character literals are passed over."""
    found = []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += text.count("\n", i, end)
            i = end
        elif c == "R" and text.startswith('"', i + 1) and (i == 0 or not text[i - 1].isalnum()):
            open_paren = text.find("(", i + 2)
            delimiter = text[i + 2:open_paren]
            end = text.find(")" + delimiter + '"', open_paren)
            end = n if end < 0 else end + len(delimiter) + 2
            found.append((line, text[open_paren + 1:end - len(delimiter) - 2]))
            line += text.count("\n", i, end)
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            if c == '"':
                found.append((line, text[i:j + 1]))
            i = j + 1
        else:
            i += 1
    return found


def check_file(path, relative, folder, name):
    breaches = []
    platform = is_platform_file(name)
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    for number, line in enumerate(text.split("\n"), 1):
        where = "%s:%d: " % (path, number)
        include = INCLUDE.match(line)
        if include and include.group(1) == '"':
            target = include.group(2).split("/")[0]
            if "/" in include.group(2) and target not in LAYERS.get(folder, {folder}):
                breaches.append(where + "%s/ may not include from %s/" % (folder, target))
        elif include:
            header = include.group(2)
            odbc = ODBC_HEADER.match(header)
            if odbc and relative != ODBC_WRAPPER:
                breaches.append(where + "<%s> belongs in %s alone" % (header, ODBC_WRAPPER))
            elif header == HTTP_HEADER and relative != HTTP_SERVER:
                breaches.append(where + "<%s> belongs in %s alone" % (header, HTTP_SERVER))
            elif not odbc and not platform and header not in STANDARD and not (
                    folder in DTUCFG and LIBRARIES.search(header)):
                breaches.append(where + "<%s> belongs in a _win32 or _posix file" % header)
            if folder in CORE and header in ALLOCATING and not LISTING.match(name):
                breaches.append(where + "<%s> allocates; the core may not use it" % header)
        condition = CONDITION.match(line)
        if condition and not platform and PLATFORM_MACRO.search(condition.group(2)):
            breaches.append(where + "a platform #if belongs in a _win32 or _posix file")
        if not platform and HAS_INCLUDE.search(line):
            breaches.append(where + "__has_include asks after the platform; a _win32 or _posix "
                                    "file belongs there")
    if not is_dialect_file(relative):
        for number, literal in strings(text):
            where = "%s:%d: " % (path, number)
            sql = SERVER_SQL.search(literal)
            if sql:
                breaches.append(where + "%s is one server's SQL; it belongs in its dialect file "
                                        "(line/dialect_*.cpp)" % sql.group(0))
            if folder in DTUCFG and SQLSTATE.match(literal):
                breaches.append(where + "the SQLSTATE %s is the dialect's to read" % literal)
    return breaches


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    src = sys.argv[1]
    breaches = []
    files = 0
    for entry in sorted(os.listdir(src)):
        directory = os.path.join(src, entry)
        if not os.path.isdir(directory):
            breaches.append("%s: a file directly in src/; each belongs in a folder's room" %
                            directory)
            continue
        if entry not in LAYERS:
            breaches.append("%s: a folder the rules do not know; add it to LAYERS" % directory)
            continue
        for root, _, names in os.walk(directory):
            for name in sorted(names):
                path = os.path.join(root, name)
                if name.lower().endswith(OTHER_SOURCES):
                    breaches.append("%s: sources here are .h or .cpp files" % path)
                    continue
                if name.endswith(SOURCE_SUFFIXES):
                    files += 1
                    breaches += check_file(path, os.path.relpath(path, src), entry, name)
    for breach in breaches:
        print(breach)
    print("%d files, %d breaches" % (files, len(breaches)))
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
