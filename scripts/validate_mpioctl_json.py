#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Validates mpioctl --json documents against the JSON Schema of their command.

usage: validate_mpioctl_json.py SCHEMA_DIR DOCUMENT...

Each DOCUMENT is the text of one document; the schema is
SCHEMA_DIR/<command>.schema.json. Exits 0 when every document is valid, 1
with the reasons otherwise (also when no document is given), 2 on bad usage.
"""
import json
import pathlib
import sys

import jsonschema


def problems(schema_dir, text):
    try:
        document = json.loads(text)
    except json.JSONDecodeError as e:
        return [f"not JSON: {e}"]
    command = document.get("command") if isinstance(document, dict) else None
    if not isinstance(command, str):
        return ["no command member to choose a schema by"]
    path = schema_dir / f"{command}.schema.json"
    if not path.is_file():
        return [f"no schema {path}"]
    schema = json.loads(path.read_text())
    validator = jsonschema.Draft202012Validator(schema)
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
    failed = 0
    for text in documents:
        found = problems(schema_dir, text)
        if found:
            failed += 1
            print(f"invalid document: {text}", file=sys.stderr)
            for line in found:
                print(f"  {line}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
