#!/usr/bin/python3
"""Writes the release's bill of materials, CycloneDX 1.6 JSON, from what the build really used:

- the product, its publisher, and the release's files with their SHA-256;
- for each executable, what the linker put into it: the start-up objects and the archive members
  its link map names, each mapped to the Debian package that owns it, with that package's version
  and licence; the project's own objects and the linker's pseudo-entries are left out;
- the system DLLs each executable imports, which Windows provides;
- the tools that made or changed the shipped bytes, as Debian packages.

Its only time is the commit's, and its serial number a name-based UUID of its content, so that it
is as reproducible as the rest of the release.

    sbom.py <out.cdx.json> --version V --publisher P --time <Unix seconds>
            --file F... --exe <name> <exe> <link map>... --tool <program or file>...

Run it with Debian's /usr/bin/python3; it needs dpkg, and x86_64-w64-mingw32-objdump for
tools/pe-imports.sh.
"""
import argparse
import datetime
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import urllib.parse
import uuid

# Reviewed by hand: the licence of what each package links into the executables. The Debian
# copyright files list every licence of a whole source package, which says nothing of the pieces
# linked here, so a package that the link maps name and this table lacks fails the release.
GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
LICENCES = [
    # crtbegin.o, crtend.o, libgcc.a (and libstdc++.a, where a member is used)
    (r"(gcc|g\+\+)-mingw-w64-(i686|x86-64)-(win32|posix)", GCC_RUNTIME),
    # crt2.o, libmingw32.a, libmingwex.a, libmoldname.a and the import libraries: the
    # mingw-w64 runtime, in the public domain where its files do not say ZPL 2.1
    (r"mingw-w64-(i686|x86-64)-dev", "ZPL-2.1 AND LicenseRef-mingw-w64-public-domain"),
]

ARCHIVE_MEMBERS = "Archive member included to satisfy reference by file (symbol)"
NEXT_SECTIONS = ("Allocating common symbols", "Discarded input sections", "Memory Configuration")


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def sha256(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def linked_files(link_map, project):
    """The files that the link put into the executable, canonical: start-up objects, and the
    archives from which it took at least one member. Relative paths are the build tree's."""
    text = open(link_map, encoding="utf-8").read()
    members = text.split(ARCHIVE_MEMBERS, 1)[1]
    for section in NEXT_SECTIONS:
        members = members.split(section, 1)[0]
    used = re.findall(r"^(\S+\.a)\(", members, re.M)
    objects = [path for path in re.findall(r"^LOAD (\S+)$", text, re.M) if path.endswith(".o")]
    build = os.path.dirname(os.path.abspath(link_map))
    files = {os.path.realpath(os.path.join(build, path)) for path in used + objects}
    return sorted(f for f in files if not f.startswith(project + os.sep))


def owners(paths):
    """The Debian package that owns each path, without its architecture qualifier."""
    owner = {}
    found = subprocess.run(("dpkg", "-S", *paths), capture_output=True, text=True).stdout
    for line in found.splitlines():
        package, path = line.split(": ", 1)
        owner[path] = package.split(":")[0]
    missing = [path for path in paths if path not in owner]
    if missing:
        sys.exit(f"sbom: no Debian package owns {', '.join(missing)}: its version is not known")
    return owner


def package_component(name):
    version, arch = run("dpkg-query", "-W", "-f=${Version} ${Architecture}", name).split()
    purl = f"pkg:deb/debian/{name}@{urllib.parse.quote(version, safe='')}?arch={arch}"
    return {"type": "library", "bom-ref": purl, "name": name, "version": version, "purl": purl}


def licence(name):
    for pattern, expression in LICENCES:
        if re.fullmatch(pattern, name):
            return expression
    sys.exit(f"sbom: the link maps name {name}, which the reviewed licence table lacks: "
             "add its licence to LICENCES in packaging/sbom.py")


def imports(exe, project):
    return run(os.path.join(project, "tools", "pe-imports.sh"), exe).split()


def bom(args, project):
    files = [{"type": "file", "bom-ref": f"file:{os.path.basename(path)}",
              "name": os.path.basename(path),
              "hashes": [{"alg": "SHA-256", "content": sha256(path)}]} for path in args.file]
    components, dependencies, packages = list(files), [], {}
    for name, exe, link_map in args.exe:
        inputs = linked_files(link_map, project)
        owner = owners(inputs)
        needs = []
        for path in inputs:
            package = owner[path]
            if package not in packages:
                packages[package] = package_component(package)
                packages[package]["licenses"] = [{"expression": licence(package)}]
                packages[package]["properties"] = []
            linked = {"name": "pelmorane:linked-into " + name, "value": path}
            packages[package]["properties"].append(linked)
            needs.append(packages[package]["bom-ref"])
        for dll in imports(exe, project):
            needs.append(f"windows:{dll}")
            if not any(c["bom-ref"] == needs[-1] for c in components):
                components.append({"type": "library", "bom-ref": needs[-1], "name": dll,
                                   "scope": "required", "description": "provided by Windows"})
        components.append({"type": "application", "bom-ref": f"exe:{name}", "name": name,
                           "version": args.version,
                           "hashes": [{"alg": "SHA-256", "content": sha256(exe)}]})
        dependencies.append({"ref": f"exe:{name}", "dependsOn": sorted(set(needs))})
    components += sorted(packages.values(), key=lambda c: c["name"])

    tools = {}
    for tool in args.tool:
        path = os.path.realpath(shutil.which(tool) or tool)
        package = owners([path])[path]
        tools[package] = package_component(package)
        tools[package]["type"] = "application"
        del tools[package]["bom-ref"]  # a tool's package may be linked too: one ref, one thing
    when = datetime.datetime.fromtimestamp(int(args.time), datetime.timezone.utc)
    product = {"type": "application", "bom-ref": "pelmorane", "name": "Pelmorane",
               "version": args.version, "publisher": args.publisher,
               "supplier": {"name": args.publisher}}
    dependencies.insert(0, {"ref": "pelmorane", "dependsOn": [f"exe:{n}" for n, _, _ in args.exe]})
    return {
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "serialNumber": "",
        "version": 1,
        "metadata": {
            "timestamp": when.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "tools": {"components": sorted(tools.values(), key=lambda c: c["name"])},
            "component": product,
        },
        "components": components,
        "dependencies": dependencies,
    }


def main():
    parser = argparse.ArgumentParser(description="Writes the release's CycloneDX SBOM.")
    parser.add_argument("out")
    parser.add_argument("--version", required=True)
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--time", required=True)
    parser.add_argument("--file", nargs="+", required=True)
    parser.add_argument("--exe", nargs=3, action="append", required=True)
    parser.add_argument("--tool", nargs="+", required=True)
    args = parser.parse_args()
    project = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))

    document = bom(args, project)
    content = json.dumps(document, indent=2) + "\n"
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "urn:sha256:" + hashlib.sha256(content.encode()).hexdigest())
    document["serialNumber"] = f"urn:uuid:{serial}"
    with open(args.out, "w", encoding="utf-8") as out:
        out.write(json.dumps(document, indent=2) + "\n")


if __name__ == "__main__":
    main()
