"""Every document the node serves, checked against AMWA's published schemas: IS-04 v1.2 for the Node
API, IS-05 v1.0 for the Connection API. The schema folder comes from QEL_NMOS_SCHEMAS; without it the
checks are skipped."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import nmos_node  # noqa: E402

SCHEMAS = os.environ.get("QEL_NMOS_SCHEMAS", "")
IS04 = os.path.join(SCHEMAS, "is-04", "v1.2")
IS05 = os.path.join(SCHEMAS, "is-05", "v1.0")
CONNECTION = "/x-nmos/connection/v1.0/single"

try:
    import jsonschema
except ImportError:  # pragma: no cover - the Debian package python3-jsonschema provides it
    jsonschema = None


def missing_reason():
    if jsonschema is None:
        return "python3-jsonschema is not installed"
    if not SCHEMAS or not os.path.isdir(IS04) or not os.path.isdir(IS05):
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

    # IS-04 v1.2
    def test_the_node(self):
        self.assertValid(IS04, "node.json", "/x-nmos/node/v1.2/self")

    def test_the_lists(self):
        for collection in ("devices", "sources", "flows", "senders", "receivers"):
            with self.subTest(collection):
                self.assertValid(IS04, collection + ".json", f"/x-nmos/node/v1.2/{collection}")

    def test_each_single_resource(self):
        for collection in ("devices", "sources", "flows", "senders", "receivers"):
            for resource in self.node.get_json(f"/x-nmos/node/v1.2/{collection}"):
                with self.subTest(collection, id=resource["id"]):
                    self.assertValid(IS04, collection[:-1] + ".json",
                                     f"/x-nmos/node/v1.2/{collection}/{resource['id']}")

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
