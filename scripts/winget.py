#!/usr/bin/python3
"""The winget manifest of the Windows installer, for the maker to submit to winget's
repository, and its check against winget's schemas.

usage: winget.py write MSI FOLDER [--url ADDRESS]
       winget.py check FOLDER

write puts the three files of a multi-file manifest (version, installer, default locale) in
FOLDER, for the package at MSI: its SHA-256, product code and version, both scopes with their
switches, the publisher and the licence. ADDRESS is where the maker publishes the package; by
default the releases/VERSION/ folder of the homepage the package links to. check validates
each file against its schema (tests/windows/winget) and exits 1 when one does not match."""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMAS = os.path.join(ROOT, "tests", "windows", "winget")
MANIFEST_VERSION = "1.6.0"
IDENTIFIER = "Kolup.KolupUpdater"
PUBLISHER = "The Kolup Updater developers"
KINDS = ("version", "installer", "defaultLocale")


def msi_properties(msi):
    table = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True,
                           text=True, check=True).stdout
    return dict(line.split("\t", 1) for line in table.splitlines()[3:] if "\t" in line)


def yaml_text(kind, fields):
    """YAML as winget's own manifests are laid out; every string quoted as JSON, which YAML
    reads the same."""
    lines = ["# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json"
             % (kind, MANIFEST_VERSION), ""]

    def emit(value, indent, key=None):
        pad = " " * indent
        head = pad + (key + ":" if key else "")
        if isinstance(value, dict):
            if key:
                lines.append(head)
                indent += 2
            for name, item in value.items():
                emit(item, indent, name)
        elif isinstance(value, list):
            lines.append(head)
            for item in value:
                if isinstance(item, dict):
                    first = True
                    for name, inner in item.items():
                        start = len(lines)
                        emit(inner, indent + 2, name)
                        if first:
                            lines[start] = pad + "- " + lines[start][indent + 2:]
                            first = False
                else:
                    lines.append(pad + "- " + json.dumps(item))
        else:
            lines.append(head + " " + json.dumps(value))

    emit(fields, 0)
    return "\n".join(lines) + "\n"


def write(msi, folder, url=None):
    properties = msi_properties(msi)
    version = properties["ProductVersion"]
    # The homepage the package's own entry links to, as the metadata names it.
    homepage = properties["ARPHELPLINK"]
    with open(msi, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest().upper()
    url = url or "%sreleases/%s/%s" % (homepage, version, os.path.basename(msi))
    common = {"PackageIdentifier": IDENTIFIER, "PackageVersion": version}
    installer = {"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": digest}
    manifests = {
        "version": {**common, "DefaultLocale": "en-US"},
        "installer": {
            **common,
            "InstallerType": "msi",
            "InstallModes": ["interactive", "silent", "silentWithProgress"],
            "InstallerSwitches": {"Silent": "/qn", "SilentWithProgress": "/qb"},
            "UpgradeBehavior": "install",
            "ProductCode": properties["ProductCode"],
            "AppsAndFeaturesEntries": [{
                "DisplayName": properties["ProductName"], "Publisher": PUBLISHER,
                "DisplayVersion": version, "ProductCode": properties["ProductCode"],
                "UpgradeCode": properties["UpgradeCode"]}],
            "Installers": [
                {**installer, "Scope": "machine", "ElevationRequirement": "elevationRequired"},
                {**installer, "Scope": "user",
                 "InstallerSwitches": {"Custom": "ALLUSERS=2 MSIINSTALLPERUSER=1"}},
            ],
        },
        "defaultLocale": {
            **common,
            "PackageLocale": "en-US",
            "Publisher": PUBLISHER,
            "PublisherUrl": homepage,
            "PackageName": "Kolup Updater",
            "PackageUrl": homepage,
            "License": "Proprietary",
            "Copyright": "Copyright 2026 The Kolup Updater developers",
            "ShortDescription": "Keeps the installed Kolup engine up to date.",
            "Description": "Kolup Updater shows the installed Kolup engine's version, checks the "
                           "maker's web host for a newer one, downloads its setup program with a "
                           "live progress bar and starts it when the window closes.",
            "Moniker": "kolup-updater",
            "Tags": ["kolup", "updater"],
        },
    }
    os.makedirs(folder, exist_ok=True)
    names = []
    for kind in KINDS:
        fields = {**manifests[kind], "ManifestType": kind, "ManifestVersion": MANIFEST_VERSION}
        name = "%s%s.yaml" % (IDENTIFIER, "" if kind == "version" else "." + kind)
        with open(os.path.join(folder, name), "w") as f:
            f.write(yaml_text(kind, fields))
        names.append(name)
    return names


def check(folder):
    import jsonschema
    import yaml

    problems = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name)) as f:
            manifest = yaml.safe_load(f)
        kind = manifest.get("ManifestType") if isinstance(manifest, dict) else None
        if kind not in KINDS:
            problems.append("%s: no manifest type winget knows" % name)
            continue
        with open(os.path.join(SCHEMAS, "manifest.%s.%s.json" % (kind, MANIFEST_VERSION))) as f:
            schema = json.load(f)
        for error in jsonschema.Draft7Validator(schema).iter_errors(manifest):
            problems.append("%s: %s at %s" % (name, error.message, list(error.absolute_path)))
    for problem in problems:
        print(problem, file=sys.stderr)
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    writing = commands.add_parser("write")
    writing.add_argument("msi")
    writing.add_argument("folder")
    writing.add_argument("--url")
    commands.add_parser("check").add_argument("folder")
    args = parser.parse_args()
    if args.command == "write":
        write(args.msi, args.folder, args.url)
    elif not check(args.folder):
        sys.exit(1)


if __name__ == "__main__":
    main()
