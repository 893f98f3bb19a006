#!/usr/bin/python3
"""Checks a release's bill of materials: valid against the official CycloneDX 1.6 JSON schema
(third_party/cyclonedx, checked against its SHA-256s first; draft-07, with the two schemas it
references from the same folder, so that nothing is fetched), and every file's SHA-256 the one
that SHA256SUMS gives.

    sbom.py <pelmorane-<version>.cdx.json> <SHA256SUMS>
"""
import hashlib
import json
import os
import sys

import jsonschema

SCHEMAS = os.path.join(os.path.dirname(__file__), "..", "..", "third_party", "cyclonedx")


def schema_store():
    store = {}
    with open(os.path.join(SCHEMAS, "SHA256SUMS"), encoding="utf-8") as sums:
        for line in sums:
            digest, name = line.split()
            with open(os.path.join(SCHEMAS, name), "rb") as schema:
                content = schema.read()
            if hashlib.sha256(content).hexdigest() != digest:
                sys.exit(f"sbom: {name} is not the schema that was taken: its SHA-256 differs")
            # Referenced by file name, relative to the schema's own $id.
            store["http://cyclonedx.org/schema/" + name] = json.loads(content)
    return store


def main(sbom_path, sums_path):
    store = schema_store()
    schema = store["http://cyclonedx.org/schema/bom-1.6.SNAPSHOT.schema.json"]
    resolver = jsonschema.RefResolver.from_schema(schema, store=store)
    with open(sbom_path, encoding="utf-8") as sbom:
        bom = json.load(sbom)
    jsonschema.Draft7Validator(schema, resolver=resolver).validate(bom)
    print(f"sbom: {os.path.basename(sbom_path)} is valid CycloneDX {bom['specVersion']}")

    with open(sums_path, encoding="utf-8") as sums:
        expected = {name: digest for digest, name in (line.split() for line in sums)}
    files = {c["name"]: c["hashes"][0]["content"] for c in bom["components"] if c["type"] == "file"}
    listed = set(expected) - {os.path.basename(sbom_path)}
    if files != {name: expected[name] for name in listed}:
        sys.exit(f"sbom: its files and SHA-256s are not those of SHA256SUMS: {files}")
    print(f"sbom: its {len(files)} files have the SHA-256s of SHA256SUMS")


if __name__ == "__main__":
    main(*sys.argv[1:])
