#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Validates mpioctl --json documents against the JSON Schema of their command.

usage: validate_mpioctl_json.py SCHEMA_DIR DOCUMENT...

Each DOCUMENT is the text of one document; the schema is
SCHEMA_DIR/<command>.schema.json. The $ref of a command's schema to the
shared definitions (common.schema.json) is resolved by $id among the
schemas of SCHEMA_DIR, wherever that directory is. Exits 0 when every
document is valid, 1 with the reasons otherwise (also when no document is
given), 2 on bad usage.
"""
import json
import pathlib
import sys

import jsonschema


def load_schemas(schema_dir):
    """Every schema of the directory, by its $id and by the name of its file
    without ".schema.json" (a command's name)."""
    by_id, by_name = {}, {}
    for path in sorted(schema_dir.glob("*.schema.json")):
        schema = json.loads(path.read_text())
        by_id[schema.get("$id", path.resolve().as_uri())] = schema
        by_name[path.name.removesuffix(".schema.json")] = schema
    return by_id, by_name


def validator_for(schema, schemas):
    """A validator of schema that finds the others by $id: through a
    referencing registry where jsonschema has one (4.18 and later), else
    through a RefResolver (Debian 12's 4.10)."""
    try:
        from referencing import Registry, Resource
    except ImportError:
        resolver = jsonschema.RefResolver.from_schema(schema, store=schemas)
        return jsonschema.Draft202012Validator(schema, resolver=resolver)
    registry = Registry().with_resources(
        (uri, Resource.from_contents(contents)) for uri, contents in schemas.items())
    return jsonschema.Draft202012Validator(schema, registry=registry)


def problems(schema_dir, schemas, by_name, text):
    try:
        document = json.loads(text)
    except json.JSONDecodeError as e:
        return [f"not JSON: {e}"]
    command = document.get("command") if isinstance(document, dict) else None
    if not isinstance(command, str):
        return ["no command member to choose a schema by"]
    if command == "common" or command not in by_name:  # common.schema.json describes no document
        return [f"no schema for the command {command!r} in {schema_dir}"]
    validator = validator_for(by_name[command], schemas)
    return [f"{'/'.join(map(str, e.absolute_path)) or '(document)'}: {e.message}"
            for e in validator.iter_errors(document)]


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    schema_dir = pathlib.Path(argv[1])
    documents = argv[2:]
    if not documents:
        print("validate_mpioctl_json: no document given", file=sys.stderr)
        return 1
    schemas, by_name = load_schemas(schema_dir)
    failed = 0
    for text in documents:
        found = problems(schema_dir, schemas, by_name, text)
        if found:
            failed += 1
            print(f"invalid document: {text}", file=sys.stderr)
            for line in found:
                print(f"  {line}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
