#!/usr/bin/env python3
"""Runs every profile script through the real profile functions (profile_ops.exe
under Wine, in a private prefix of the kind --arch names) and through the portable INI store
(ini_script), and fails unless the values read and the resulting files agree
byte for byte.

scripts/NAME.txt is the script; scripts/NAME.ini, when present, is the file the
script starts from (otherwise there is no file)."""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def run(cmd, env=None):
    done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if done.returncode != 0:
        sys.exit(f"{cmd[0]} failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return done.stdout


def file_bytes(path):
    return path.read_bytes() if path.exists() else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--profile-ops", required=True)
    parser.add_argument("--ini-script", required=True)
    parser.add_argument("--scripts", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--prefix-tool", required=True)
    parser.add_argument("--arch", choices=("win32", "win64"), default="win32")
    args = parser.parse_args()

    work = pathlib.Path(args.work)
    prefix = work / "prefix"
    work.mkdir(parents=True, exist_ok=True)
    # The prefix tool maps every COM port away from real devices; Wine runs nowhere else.
    subprocess.run([args.prefix_tool, "--arch", args.arch, str(prefix)], check=True,
                   stdout=subprocess.DEVNULL)
    env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all")
    loader = "WINE32" if args.arch == "win32" else "WINE64"
    wine = os.environ.get(loader, os.path.join(ROOT, "scripts", loader.lower()))

    failures = 0
    scripts = sorted(pathlib.Path(args.scripts).glob("*.txt"))
    for script in scripts:
        initial = script.with_suffix(".ini")
        results = {}
        for side in ("wine", "native"):
            folder = work / script.stem / side
            shutil.rmtree(folder, ignore_errors=True)
            folder.mkdir(parents=True)
            ini = folder / "test.ini"
            if initial.exists():
                shutil.copyfile(initial, ini)
            if side == "wine":
                out = run([wine, args.profile_ops, windows_path(script.resolve()),
                           windows_path(ini.resolve())], env)
            else:
                out = run([args.ini_script, str(script), str(ini)])
            results[side] = (out.replace(b"\r\n", b"\n"), file_bytes(ini))
        wine_out, wine_file = results["wine"]
        native_out, native_file = results["native"]
        if wine_out != native_out:
            failures += 1
            print(f"FAIL {script.name}: values read differ\n--- wine\n{wine_out.decode()}"
                  f"--- native\n{native_out.decode()}")
        elif wine_file != native_file:
            failures += 1
            print(f"FAIL {script.name}: files differ\n--- wine\n{wine_file!r}\n--- native\n"
                  f"{native_file!r}")
        else:
            print(f"ok   {script.name}")
    subprocess.run([os.environ.get("WINESERVER", os.path.join(ROOT, "scripts", "wineserver")), "-k"],
                   env=env)
    if not scripts:
        sys.exit("no scripts found")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
