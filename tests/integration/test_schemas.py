"""Every document the node serves, checked against AMWA's published schemas: IS-04 v1.0, v1.2 and v1.3
for the Node API, IS-05 v1.0 for the Connection API. The schema folder comes from QEL_NMOS_SCHEMAS; without it the
checks are skipped."""
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
IS05 = os.path.join(SCHEMAS, "is-05", "v1.0")
CONNECTION = "/x-nmos/connection/v1.0/single"

try:
    import jsonschema
except ImportError:  # pragma: no cover - the Debian package python3-jsonschema provides it
    jsonschema = None


def missing_reason():
    if jsonschema is None:
        return "python3-jsonschema is not installed"
    if not SCHEMAS or not all(map(os.path.isdir, IS04.values())) or not os.path.isdir(IS05):
        return f"AMWA schemas not found (QEL_NMOS_SCHEMAS={SCHEMAS!r}); schema checks skipped"
    return None


def validator(folder, name):
    """A draft-4 validator whose relative $refs resolve in the schema's own folder."""
    path = os.path.join(folder, name)
    with open(path) as f:
        schema = json.load(f)
    resolver = jsonschema.RefResolver(base_uri="file://" + folder + "/", referrer=schema)
    return jsonschema.Draft4Validator(schema, resolver=resolver, format_checker=jsonschema.draft4_format_checker)


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

    # IS-05 v1.0
    def assertAllValid(self, kind, leaves, schema):
        resources = self.senders if kind == "senders" else self.receivers
        for resource in resources:
            for leaf in leaves:
                with self.subTest(leaf, id=resource["id"]):
                    self.assertValid(IS05, schema, f"{CONNECTION}/{kind}/{resource['id']}/{leaf}")

    def test_receiver_constraints(self):
        self.assertAllValid("receivers", ("constraints",), "v1.0-constraints-schema.json")

    def test_sender_constraints(self):
        self.assertAllValid("senders", ("constraints",), "v1.0-constraints-schema.json")

    def test_sender_active_and_staged_parameters(self):
        self.assertAllValid("senders", ("active", "staged"), "v1.0-sender-response-schema.json")

    def test_receiver_active_and_staged_parameters(self):
        self.assertAllValid("receivers", ("active", "staged"), "v1.0-receiver-response-schema.json")

    def test_a_staged_sender_answers_with_a_valid_stage_document(self):
        url = f"{CONNECTION}/senders/{self.senders[0]['id']}/staged"
        document = {"master_enable": True, "activation": {"mode": "activate_immediate"}}
        self.assertValid(IS05, "v1.0-sender-stage-schema.json", url, document)
        status, _, body = self.node.request("PUT", url, document)
        self.assertEqual(status, 200)
        # The answer is the whole staged resource, as a response document.
        self.assertValid(IS05, "v1.0-sender-response-schema.json", url, json.loads(body))


if __name__ == "__main__":
    unittest.main()
