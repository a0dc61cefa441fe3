"""Checks pelox's --json documents against the written schema.

    python3 check_json_schema.py SCHEMA DOCUMENTS

DOCUMENTS is a JSON list of documents, each as one command printed it. Every
document that breaks the schema is printed with what is wrong; the exit
status is 1 then, else 0. The validator is python3-jsonschema's.
"""

import json
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    with open(sys.argv[2], encoding="utf-8") as f:
        documents = json.load(f)
    validator_class = jsonschema.validators.validator_for(schema)
    validator_class.check_schema(schema)
    validator = validator_class(schema)
    bad = 0
    for document in documents:
        errors = sorted(validator.iter_errors(document), key=lambda e: list(e.absolute_path))
        if errors:
            bad += 1
            print(json.dumps(document, indent=1)[:2000])
            for error in errors:
                print("  at /%s: %s" % ("/".join(str(p) for p in error.absolute_path), error.message))
    print("%d documents, %d break the schema" % (len(documents), bad))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
