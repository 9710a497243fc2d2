"""Every document the node serves, checked against AMWA's published schemas: IS-04 v1.0, v1.2 and v1.3
for the Node API, IS-05 v1.0 and v1.1 for the Connection API. The schema folder comes from QEL_NMOS_SCHEMAS;
without it the checks are skipped."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402

SCHEMAS = os.environ.get("QEL_NMOS_SCHEMAS", "")
IS04_VERSIONS = ("v1.0", "v1.2", "v1.3")
IS04 = {v: os.path.join(SCHEMAS, "is-04", v) for v in IS04_VERSIONS}
# What only v1.3 documents carry: (collection, list member, member of each entry).
V13_ONLY = (("self", ("api", "endpoints"), "authorization"), ("self", ("services",), "authorization"),
            ("self", ("interfaces",), "attached_network_device"), ("devices", ("controls",), "authorization"))
IS05_VERSIONS = ("v1.0", "v1.1")
IS05 = {v: os.path.join(SCHEMAS, "is-05", v) for v in IS05_VERSIONS}

try:
    import jsonschema
except ImportError:  # pragma: no cover - the Debian package python3-jsonschema provides it
    jsonschema = None


def missing_reason():
    if jsonschema is None:
        return "python3-jsonschema is not installed"
    if not SCHEMAS or not all(map(os.path.isdir, list(IS04.values()) + list(IS05.values()))):
        return f"AMWA schemas not found (QEL_NMOS_SCHEMAS={SCHEMAS!r}); schema checks skipped"
    return None


def validator(folder, name):
    """A draft-4 validator whose relative $refs resolve in the schema's own folder."""
    path = os.path.join(folder, name)
    with open(path) as f:
        schema = json.load(f)
    resolver = jsonschema.RefResolver(base_uri="file://" + folder + "/", referrer=schema)
    return jsonschema.Draft4Validator(schema, resolver=resolver, format_checker=jsonschema.draft4_format_checker)


def is05_validator(version, name):
    """The validator of IS-05 schema `name` ("sender-response-schema.json") at a version: v1.0 names most of
    its schemas with a "v1.0-" prefix."""
    folder = IS05[version]
    return validator(folder, name if os.path.exists(os.path.join(folder, name)) else f"{version}-{name}")


def is05_errors(version, name, document):
    """What IS-05 schema `name` of that version finds wrong with document ([] without the schemas)."""
    if missing_reason():
        return []
    return [f"{'/'.join(map(str, e.absolute_path)) or '(document)'}: {e.message}"
            for e in is05_validator(version, name).iter_errors(document)]


@unittest.skipIf(missing_reason(), missing_reason())
class ServedDocumentsValidate(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.node = nmos_node.RunningNode().start()
        cls.senders = cls.node.get_json("/x-nmos/node/v1.2/senders")
        cls.receivers = cls.node.get_json("/x-nmos/node/v1.2/receivers")

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def assertValid(self, folder, schema, path, document=None):
        doc = self.node.get_json(path) if document is None else document
        errors = sorted(validator(folder, schema).iter_errors(doc), key=lambda e: list(e.absolute_path))
        reasons = [f"{'/'.join(map(str, e.absolute_path)) or '(document)'}: {e.message}" for e in errors[:5]]
        self.assertFalse(errors, f"{path} refused by {schema}:\n  " + "\n  ".join(reasons))

    # IS-04, every version
    def test_every_node_api_document_at_every_version(self):
        for version in IS04_VERSIONS:
            base = f"/x-nmos/node/{version}"
            with self.subTest(version):
                self.assertValid(IS04[version], "node.json", base + "/self")
            for collection in ("devices", "sources", "flows", "senders", "receivers"):
                with self.subTest(version, collection=collection):
                    self.assertValid(IS04[version], collection + ".json", f"{base}/{collection}")
                for resource in self.node.get_json(f"{base}/{collection}"):
                    with self.subTest(version, collection=collection, id=resource["id"]):
                        self.assertValid(IS04[version], collection[:-1] + ".json",
                                         f"{base}/{collection}/{resource['id']}")

    def test_members_of_v1_3_only_at_v1_3(self):
        for version in IS04_VERSIONS:
            docs = {"self": [self.node.get_json(f"/x-nmos/node/{version}/self")],
                    "devices": self.node.get_json(f"/x-nmos/node/{version}/devices")}
            for collection, where, member in V13_ONLY:
                for doc in docs[collection]:
                    entries = doc
                    for step in where:
                        entries = entries.get(step, {})
                    present = [member in entry for entry in entries]
                    with self.subTest(version, collection=collection, member=member):
                        if version != "v1.3":
                            self.assertFalse(any(present), entries)
                        elif member == "authorization":
                            self.assertTrue(present and all(present), entries)
                            self.assertTrue(all(entry[member] is False for entry in entries))

    # IS-05, every version
    def assertValid05(self, version, schema, path, document=None):
        doc = self.node.get_json(path) if document is None else document
        self.assertEqual(is05_errors(version, schema, doc)[:5], [], f"{path} refused by {version} {schema}")

    def test_every_connection_api_document_at_every_version(self):
        for version in IS05_VERSIONS:
            base = f"/x-nmos/connection/{version}"
            tree = (("", "connectionapi-base.json"), ("/single", "connectionapi-single.json"),
                    ("/bulk", "connectionapi-bulk.json"), ("/single/senders", "sender-receiver-base.json"),
                    ("/single/receivers", "sender-receiver-base.json"))
            for path, schema in tree:
                with self.subTest(version, path=path):
                    self.assertValid05(version, schema, base + path)
            leaves = {"senders": [("", "connectionapi-sender.json"), ("/constraints", "constraints-schema.json"),
                                  ("/staged", "sender-response-schema.json"),
                                  ("/active", "sender-response-schema.json")],
                      "receivers": [("", "connectionapi-receiver.json"), ("/constraints", "constraints-schema.json"),
                                    ("/staged", "receiver-response-schema.json"),
                                    ("/active", "receiver-response-schema.json")]}
            for kind, resources in (("senders", self.senders), ("receivers", self.receivers)):
                for leaf, schema in leaves[kind] + ([("/transporttype", "transporttype-response-schema.json")]
                                                    if version != "v1.0" else []):
                    for resource in resources:
                        with self.subTest(version, kind=kind, leaf=leaf, id=resource["id"]):
                            self.assertValid05(version, schema, f"{base}/single/{kind}/{resource['id']}{leaf}")

    def test_a_staged_sender_answers_with_a_valid_stage_document_at_every_version(self):
        document = {"master_enable": True, "activation": {"mode": "activate_immediate"}}
        for version in IS05_VERSIONS:
            url = f"/x-nmos/connection/{version}/single/senders/{self.senders[0]['id']}/staged"
            with self.subTest(version):
                self.assertValid05(version, "sender-stage-schema.json", url, document)
                status, _, body = self.node.request("PUT", url, document)
                self.assertEqual(status, 200)
                # The answer is the whole staged resource, as a response document.
                self.assertValid05(version, "sender-response-schema.json", url, json.loads(body))

    # Receivers' capabilities, as every IS-04 version's receiver schema reads them
    def test_receivers_state_what_they_can_take(self):
        for receiver in self.receivers:
            caps = receiver["caps"]
            self.assertEqual(caps["media_types"], ["audio/L16", "audio/L20", "audio/L24"])
            self.assertRegex(caps["version"], r"^[0-9]+:[0-9]+$")
            self.assertLessEqual(tuple(map(int, caps["version"].split(":"))),
                                 tuple(map(int, receiver["version"].split(":"))))
            for constraint_set in caps["constraint_sets"]:
                self.assertIsInstance(constraint_set["urn:x-nmos:cap:meta:label"], str)
                self.assertEqual(constraint_set["urn:x-nmos:cap:format:media_type"], {"enum": caps["media_types"]})
                self.assertEqual(constraint_set["urn:x-nmos:cap:format:sample_rate"], {"enum": [{"numerator": 48000}]})
        for version in IS04_VERSIONS:
            for receiver in self.receivers:
                with self.subTest(version, id=receiver["id"]):
                    path = f"/x-nmos/node/{version}/receivers/{receiver['id']}"
                    self.assertEqual(self.node.get_json(path)["caps"], receiver["caps"])
                    self.assertValid(IS04[version], "receiver.json", path)

if __name__ == "__main__":
    unittest.main()
