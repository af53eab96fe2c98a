#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Validates every JSON document the tool's tests kept against the schema that
its "format" and "version" name, and proves on copies of them that the schemas
refuse what breaks the convention.

Usage: check_json_documents.py SCHEMA_DIR DOCUMENT_DIR
"""
import copy
import json
import pathlib
import sys

import jsonschema

# Each row breaks a kept document of its format at a JSON pointer: "set" a
# value, "rename" the key to the value, or "drop" it. Every row must be refused.
BROKEN = [
    ("rerazera-info", "/format", "rename", "schema"),
    ("rerazera-info", "/header/crc_computed", "set", 0x10000),
    ("rerazera-info", "/entries", "set", 5),
    ("rerazera-list", "/entries/0/file_id", "set", "0x00000001"),
    ("rerazera-list", "/entries/0/file_id", "set", 0x100000000),
    ("rerazera-list", "/entries/0/description", "rename", "desc"),
    ("rerazera-list", "/version", "set", 1),
    ("rerazera-verify", "/packages/0/verdict", "drop", None),
    ("rerazera-verify", "/packages/0/report/subfiles/0/head_crc", "set", -1),
    ("rerazera-verify", "/packages/0/report/subfiles/0/crc", "set", {"stored": 1}),
    ("rerazera-diff", "/entries/0/changes/0", "set", "everything"),
    ("rerazera-diff", "/entries/0/file_id_hex", "set", "0x00000001"),
    ("rerazera-manifest", "/entries/0/file_id", "set", "0x00000001"),
    ("rerazera-manifest", "/header/crc", "rename", "header_crc"),
    ("rerazera-manifest", "/entries/0/aux0", "drop", None),
    ("rerazera-manifest", "/format", "set", "rerazera-nothing"),
]


def load_schemas(folder):
    schemas = {}
    for path in sorted(folder.glob("*.v*.schema.json")):
        name, version = path.name[: -len(".schema.json")].rsplit(".v", 1)
        schema = json.loads(path.read_text())
        jsonschema.Draft202012Validator.check_schema(schema)
        schemas[(name, int(version))] = jsonschema.Draft202012Validator(schema)
    return schemas


def problems(schemas, doc):
    key = (doc.get("format"), doc.get("version")) if isinstance(doc, dict) else None
    if key not in schemas:
        return [f"no schema for format {key}"]
    return [f"{'/'.join(map(str, e.absolute_path))}: {e.message}"
            for e in schemas[key].iter_errors(doc)]


def broken(doc, pointer, action, value):
    """A copy of doc with one change, or None where the pointer leads nowhere."""
    doc = copy.deepcopy(doc)
    *path, last = [int(p) if p.isdigit() else p for p in pointer.split("/")[1:]]
    parent = doc
    try:
        for p in path:
            parent = parent[p]
        if action != "set" or isinstance(parent, list):
            parent[last]  # the key must exist
    except (KeyError, IndexError, TypeError):
        return None
    if action == "set":
        parent[last] = value
    else:
        old = parent.pop(last)
        if action == "rename":
            parent[value] = old
    return doc


def main():
    schemas = load_schemas(pathlib.Path(sys.argv[1]))
    kept = sorted(pathlib.Path(sys.argv[2]).glob("*.json"))
    failures = []
    docs = {}
    for path in kept:
        try:
            doc = json.loads(path.read_text())
        except ValueError as e:
            failures.append(f"{path.name}: not JSON: {e}")
            continue
        failures += [f"{path.name}: {p}" for p in problems(schemas, doc)[:5]]
        if isinstance(doc, dict):
            docs.setdefault(doc.get("format"), []).append(doc)
    failures += [f"no kept document of format {name}" for name, _ in schemas if name not in docs]
    for name, pointer, action, value in BROKEN:
        copies = (broken(d, pointer, action, value) for d in docs.get(name, []))
        bad = next((c for c in copies if c is not None), None)
        if bad is None:
            failures.append(f"{name} {pointer}: no kept document has it")
        elif not problems(schemas, bad):
            failures.append(f"{name} {pointer} {action} {value!r}: accepted")
    print(f"{len(kept)} documents, {len(schemas)} schemas, {len(BROKEN)} broken copies")
    for f in failures:
        print(f, file=sys.stderr)
    return 1 if failures or not kept else 0


if __name__ == "__main__":
    sys.exit(main())
