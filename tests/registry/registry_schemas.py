"""Checks registered documents against AMWA's IS-04 resource schemas (draft 4) of the version they are
registered at, read from a folder that holds is-04/VERSION/{node,device,source,flow,sender,receiver}.json
and the files they refer to."""

import json
import os

try:
    import jsonschema
except ImportError:  # the Debian package python3-jsonschema provides it
    jsonschema = None

RESOURCE_SCHEMAS = ("node", "device", "source", "flow", "sender", "receiver")


class Schemas:
    def __init__(self, folder, versions=("v1.2",)):
        """`folder` is the schema root (the one holding is-04/); `reason` says why nothing is checked."""
        self.validators = {}  # version -> resource type -> validator
        self.reason = None
        if jsonschema is None:
            self.reason = "python3-jsonschema is not installed"
            return
        for version in versions:
            base = os.path.abspath(os.path.join(folder, "is-04", version)) if folder else ""
            if not base or not os.path.isfile(os.path.join(base, "node.json")):
                self.reason = f"no IS-04 {version} schemas under {folder!r}"
                self.validators = {}
                return
            self.validators[version] = {name: self.load(base, name) for name in RESOURCE_SCHEMAS}

    @staticmethod
    def load(base, name):
        """The validator of schema `name` ("node", or a file name) in the folder `base`."""
        if not name.endswith(".json"):
            name += ".json"
        with open(os.path.join(base, name)) as f:
            schema = json.load(f)
        # Relative $refs ("resource_core.json") resolve in the schema's own folder.
        resolver = jsonschema.RefResolver(base_uri="file://" + base + "/", referrer=schema)
        return jsonschema.Draft4Validator(schema, resolver=resolver,
                                          format_checker=jsonschema.draft4_format_checker)

    @property
    def active(self):
        return self.reason is None

    def problems(self, version, rtype, doc):
        """Up to five texts "path: message" for what the schema of `rtype` at `version` refuses; empty
        when valid."""
        if not self.active:
            return []
        errors = sorted(self.validators[version][rtype].iter_errors(doc),
                        key=lambda e: list(map(str, e.absolute_path)))
        return [f"{'/'.join(map(str, e.absolute_path)) or '(document)'}: {e.message}" for e in errors[:5]]
