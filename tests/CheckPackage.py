#!/usr/bin/env python3
"""Runs scripts/package into temporary folders and checks what a release publishes.

Usage: CheckPackage.py <repository root>

Checked: the exact set of files; the archive holds exactly brindle.exe and README.md,
the built executable and the repository's README, dated SOURCE_DATE_EPOCH; each
.sha256 file names its file and holds its hash; the winget manifests (identifier,
version, locale, portable installer, command, address, hash) and the scoop manifest
(version, address, hash, executable) agree with the files; every version equals the
one in brindle.exe's version resource; every address comes from BRINDLE_RELEASE_URL,
or by default from the project's GitHub releases; and packaging the same build twice
gives the same archive.
"""

import hashlib
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

import yaml

PACKAGE_ID = "Brindle.Brindle"
DEFAULT_URL = "https://github.com/brindle-sandbox/brindle/releases/download/v{version}"
# The archive's files are dated by SOURCE_DATE_EPOCH; a fixed one keeps the check
# independent of git (2023-11-14 22:13:20 UTC, an even second as zip's dates need).
SOURCE_DATE_EPOCH = 1700000000
OTHER_URL = "https://downloads.example.org/brindle/test-release"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def file_version(exe):
    """The file version in the VS_FIXEDFILEINFO of a PE file's version resource."""
    signature = struct.pack("<I", 0xFEEF04BD)
    at = exe.find(signature)
    if at < 0 or exe.find(signature, at + 1) >= 0:
        raise SystemExit("brindle.exe does not hold exactly one VS_FIXEDFILEINFO")
    # dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS
    _, _, high, low = struct.unpack_from("<4I", exe, at)
    return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def load_yaml(path):
    # BaseLoader keeps every scalar a string, as winget reads them: a version such
    # as 1.10 stays "1.10" instead of becoming a number.
    with open(path, encoding="utf-8") as f:
        return yaml.load(f, Loader=yaml.BaseLoader)


def read_sha256_file(path, name):
    with open(path, encoding="ascii") as f:
        lines = f.read().splitlines()
    if not check(len(lines) == 1, f"{path}: expected one line, got {len(lines)}"):
        return None
    match = re.fullmatch(r"([0-9a-f]{64})  (\S+)", lines[0])
    if not check(match is not None, f"{path}: not in sha256sum's format: {lines[0]!r}"):
        return None
    check(match.group(2) == name, f"{path}: names {match.group(2)}, not {name}")
    return match.group(1)


def package(root, dist, release_url):
    env = dict(os.environ)
    env["SOURCE_DATE_EPOCH"] = str(SOURCE_DATE_EPOCH)
    env.pop("BRINDLE_RELEASE_URL", None)
    if release_url is not None:
        env["BRINDLE_RELEASE_URL"] = release_url
    subprocess.run([os.path.join(root, "scripts", "package"), dist], env=env, check=True,
                   stdout=subprocess.DEVNULL)


def check_dist(root, dist, url_pattern):
    built = read_bytes(os.path.join(root, "build", "mingw", "brindle.exe"))
    version_numbers = file_version(built)
    names = sorted(os.listdir(dist))
    zips = [n for n in names if n.endswith("-win-x64.zip")]
    if not check(len(zips) == 1, f"expected one release archive, got {zips}"):
        return
    version = zips[0][len("brindle-"):-len("-win-x64.zip")]
    parts = [int(p) for p in version.split(".")]
    check(tuple(parts + [0] * (4 - len(parts))) == version_numbers,
          f"archive version {version} is not brindle.exe's version {version_numbers}")
    base = f"brindle-{version}-win-x64"
    url = url_pattern.format(version=version)

    expected_names = sorted([f"{base}.zip", f"{base}.zip.sha256", f"{base}.exe", f"{base}.exe.sha256",
                             f"{PACKAGE_ID}.yaml", f"{PACKAGE_ID}.installer.yaml",
                             f"{PACKAGE_ID}.locale.en-US.yaml", "brindle.json"])
    if not check(names == expected_names, f"dist holds {names}, expected {expected_names}"):
        return

    archive = read_bytes(os.path.join(dist, f"{base}.zip"))
    executable = read_bytes(os.path.join(dist, f"{base}.exe"))
    with zipfile.ZipFile(os.path.join(dist, f"{base}.zip")) as z:
        check(sorted(z.namelist()) == ["README.md", "brindle.exe"],
              f"archive holds {z.namelist()}, expected brindle.exe and README.md")
        check(z.read("brindle.exe") == built, "brindle.exe in the archive is not the one built")
        check(z.read("README.md") == read_bytes(os.path.join(root, "README.md")),
              "README.md in the archive is not the repository's")
        dated = time.gmtime(SOURCE_DATE_EPOCH)[:6]
        for info in z.infolist():
            check(info.date_time == dated, f"{info.filename} in the archive is dated {info.date_time}, not {dated}")
    check(executable == built, f"{base}.exe is not the brindle.exe built")

    zip_hash = read_sha256_file(os.path.join(dist, f"{base}.zip.sha256"), f"{base}.zip")
    exe_hash = read_sha256_file(os.path.join(dist, f"{base}.exe.sha256"), f"{base}.exe")
    check(zip_hash == sha256(archive), f"{base}.zip.sha256 does not hold the archive's hash")
    check(exe_hash == sha256(executable), f"{base}.exe.sha256 does not hold the executable's hash")

    manifests = {kind: load_yaml(os.path.join(dist, f"{PACKAGE_ID}{suffix}.yaml"))
                 for kind, suffix in [("version", ""), ("installer", ".installer"),
                                      ("defaultLocale", ".locale.en-US")]}
    for kind, manifest in manifests.items():
        check(manifest.get("PackageIdentifier") == PACKAGE_ID, f"winget {kind}: identifier")
        check(manifest.get("PackageVersion") == version, f"winget {kind}: version")
        check(manifest.get("ManifestType") == kind, f"winget {kind}: ManifestType")
        check(manifest.get("ManifestVersion") == "1.6.0", f"winget {kind}: ManifestVersion")
    check(manifests["version"].get("DefaultLocale") == "en-US", "winget version: DefaultLocale")
    locale = manifests["defaultLocale"]
    check(locale.get("PackageLocale") == "en-US", "winget defaultLocale: PackageLocale")
    for field in ["Publisher", "PackageName", "License", "ShortDescription"]:
        check(bool(locale.get(field)), f"winget defaultLocale: {field} missing")
    installer = manifests["installer"]
    check(installer.get("InstallerType") == "portable", "winget installer: InstallerType")
    check(installer.get("Commands") == ["brindle"], "winget installer: Commands")
    installers = installer.get("Installers") or []
    if check(len(installers) == 1, f"winget installer: {len(installers)} installers, expected 1"):
        check(installers[0].get("Architecture") == "x64", "winget installer: Architecture")
        check(installers[0].get("InstallerUrl") == f"{url}/{base}.exe",
              f"winget installer: InstallerUrl {installers[0].get('InstallerUrl')}, expected {url}/{base}.exe")
        check(installers[0].get("InstallerSha256", "").lower() == sha256(executable),
              "winget installer: InstallerSha256 is not the executable's hash")

    with open(os.path.join(dist, "brindle.json"), encoding="utf-8") as f:
        scoop = json.load(f)
    check(scoop.get("version") == version, "scoop: version")
    check(scoop.get("url") == f"{url}/{base}.zip", f"scoop: url {scoop.get('url')}, expected {url}/{base}.zip")
    check(scoop.get("hash") == sha256(archive), "scoop: hash is not the archive's hash")
    check(scoop.get("bin") == "brindle.exe", "scoop: bin")
    for field in ["description", "homepage", "license"]:
        check(bool(scoop.get(field)), f"scoop: {field} missing")
    check(scoop.get("description") == locale.get("ShortDescription"), "scoop and winget describe brindle differently")
    return archive


def main():
    root = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as second:
        package(root, first, None)
        archive = check_dist(root, first, DEFAULT_URL)
        package(root, second, OTHER_URL)
        check_dist(root, second, OTHER_URL)
        if archive is not None:
            names = [n for n in os.listdir(second) if n.endswith(".zip")]
            check(read_bytes(os.path.join(second, names[0])) == archive,
                  "packaging the same sources twice gave different archives")
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print("package: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
