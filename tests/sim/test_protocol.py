"""aes67fw-sim websocket protocol: handshake, documents, heartbeats, messages 10 and 14, several clients."""

import copy
import sys

sys.dont_write_bytecode = True

from sim_testcase import UUID_RE, SimTestCase, main  # noqa: E402
from ws_client import ConnectionClosed, HandshakeError  # noqa: E402

TX_MEMBERS = {"id": str, "name": str, "enabled": bool, "address": str, "address2": str, "port": int,
              "index": int, "source_id": str, "samples-per-packet": int, "channels": int, "src": list,
              "codec": str}
RX_MEMBERS = {"id": str, "name": str, "info": str, "source": str, "source2": str, "enabled": bool}


class Documents(SimTestCase):
    def test_handshake_accepts_firmware_subprotocol(self):
        ws = self.connect()
        self.assertEqual(ws.accepted_protocol, "WS-protocol")

    def test_first_message_is_configuration(self):
        _, config, _ = self.connect_and_read_documents()
        self.assertRegex(config["node_id"], UUID_RE)
        self.assertRegex(config["device_id"], UUID_RE)
        self.assertEqual(config["sync"], {"fs": 48000})
        self.assertEqual(len(config["tx-streams"]), 8)
        self.assertEqual(len(config["rx-streams"]), 8)
        for i, stream in enumerate(config["tx-streams"]):
            self.assertEqual(set(stream), set(TX_MEMBERS))
            for name, kind in TX_MEMBERS.items():
                self.assertIsInstance(stream[name], kind, name)
            self.assertEqual(stream["index"], i)
            self.assertRegex(stream["id"], UUID_RE)
            self.assertRegex(stream["source_id"], UUID_RE)
            self.assertEqual(len(stream["src"]), stream["channels"])
        for stream in config["rx-streams"]:
            self.assertEqual(set(stream), set(RX_MEMBERS))
            for name, kind in RX_MEMBERS.items():
                self.assertIsInstance(stream[name], kind, name)
        tx = config["tx-streams"]
        self.assertEqual({s["codec"] for s in tx}, {"L24", "L16"})
        self.assertEqual({s["samples-per-packet"] for s in tx}, {48, 6})
        self.assertTrue(any(s["address"].startswith("239.") for s in tx))
        self.assertTrue(any(s["address"].startswith("192.168.") for s in tx))
        ids = [s["id"] for s in tx] + [s["source_id"] for s in tx] + [s["id"] for s in config["rx-streams"]]
        self.assertEqual(len(ids), len(set(ids)))

    def test_second_message_is_state(self):
        _, config, state = self.connect_and_read_documents()
        self.assertRegex(state["mac"], r"^([0-9A-F]{2}:){5}[0-9A-F]{2}$")
        self.assertEqual(state["ip"], self.sim.host)  # where it listens
        self.assertTrue(state["name"])
        self.assertEqual(state["syncState"][0], "Slave")
        self.assertGreater(len(state["syncState"]), 1)
        self.assertEqual(state["tx-streams"], config["tx-streams"])
        self.assertEqual(state["rx-streams"], config["rx-streams"])
        tx_names = state["TXTB"][0]
        for stream in config["tx-streams"]:
            for channel in stream["src"]:
                self.assertIsInstance(tx_names[channel], str)
        self.assertTrue(all(isinstance(n, str) for n in state["RXTB"][0]))

    def test_heartbeats_arrive(self):
        ws, _, _ = self.connect_and_read_documents()
        for _ in range(2):
            ws.wait_for(lambda m: m.get("cmd") == 3)

    def test_no_subprotocol_is_refused(self):
        with self.assertRaises((HandshakeError, ConnectionClosed, ConnectionError)):
            ws = self.connect(subprotocol=None)
            ws.recv_message()

    def test_other_path_is_refused(self):
        with self.assertRaises((HandshakeError, ConnectionClosed, ConnectionError)):
            ws = self.connect(path="/other")
            ws.recv_message()
        self.connect_and_read_documents()


class Resend(SimTestCase):
    sim_args = ("--resend", "1")

    def test_documents_are_sent_again(self):
        ws, config, state = self.connect_and_read_documents()
        self.assertEqual(ws.wait_for(lambda m: m.get("cmd") == 0), config)
        self.assertEqual(ws.wait_for(lambda m: m.get("cmd") == 1), state)


class Messages(SimTestCase):
    def subscribe(self, ws, config, index, source):
        data = copy.deepcopy(config["rx-streams"][index])
        data["source"] = source
        data["enabled"] = True
        ws.send_json({"cmd": 10, "id": index, "data": data})

    def test_message_10_connects_receive_stream_and_pushes_documents(self):
        ws, config, _ = self.connect_and_read_documents()
        self.subscribe(ws, config, 1, "Program@studio-2")
        new_config = ws.wait_for(lambda m: m.get("cmd") == 0)
        new_state = ws.wait_for(lambda m: m.get("cmd") == 1)
        for doc in (new_config, new_state):
            self.assertEqual(doc["rx-streams"][1]["source"], "Program@studio-2")
            self.assertTrue(doc["rx-streams"][1]["enabled"])
            self.assertEqual(doc["rx-streams"][0], config["rx-streams"][0])
        self.assertEqual(self.sim.get_json("/scenario")["config"], new_config)

    def test_message_10_with_empty_source_disconnects(self):
        ws, config, _ = self.connect_and_read_documents()
        self.subscribe(ws, config, 0, "")
        new_config = ws.wait_for(lambda m: m.get("cmd") == 0)
        self.assertEqual(new_config["rx-streams"][0]["source"], "")

    def test_message_10_out_of_range_is_refused(self):
        ws, config, _ = self.connect_and_read_documents()
        self.subscribe(ws, config, 0, "x")
        ws.wait_for(lambda m: m.get("cmd") == 1)
        ws.send_json({"cmd": 10, "id": 8, "data": config["rx-streams"][0]})
        ws.wait_for(lambda m: m.get("cmd") == -1)
        self.assertEqual(self.sim.get_json("/scenario")["config"]["rx-streams"][0]["source"], "x")

    def test_message_14_is_recorded(self):
        ws, _, _ = self.connect_and_read_documents()
        ws.send_text('{"cmd" : 14, "data":"Receiver 3 connected", "id": 7}')
        self.sync_with(ws)
        received = self.sim.get_json("/received")
        self.assertIn({"cmd": 14, "data": "Receiver 3 connected", "id": 7}, received)

    def test_message_14_in_three_pieces(self):
        ws, _, _ = self.connect_and_read_documents()
        ws.send_fragmented('{"cmd" : 14, "data":"pieced together", "id": 1}', pieces=3)
        self.sync_with(ws)
        self.assertIn({"cmd": 14, "data": "pieced together", "id": 1}, self.sim.get_json("/received"))

    def test_message_14_with_unescaped_quotes_is_kept_verbatim(self):
        ws, _, _ = self.connect_and_read_documents()
        text = '{"cmd" : 14, "data":"say "hi"", "id": 2}'
        ws.send_text(text)
        ws.wait_for(lambda m: m.get("cmd") == -1)
        self.assertIn(text, self.sim.get_json("/received"))
        self.assertEqual(self.sim.request("DELETE", "/received")[0], 200)
        self.assertEqual(self.sim.get_json("/received"), [])


class SeveralClients(SimTestCase):
    def test_each_client_gets_documents_and_pushes_reach_all(self):
        clients = [self.connect_and_read_documents() for _ in range(3)]
        ws0, config, _ = clients[0]
        data = dict(config["rx-streams"][2], source="Ambience@other", enabled=True)
        ws0.send_json({"cmd": 10, "id": 2, "data": data})
        for ws, _, _ in clients:
            pushed = ws.wait_for(lambda m: m.get("cmd") == 0)
            self.assertEqual(pushed["rx-streams"][2]["source"], "Ambience@other")

    def test_client_leaving_does_not_disturb_others(self):
        ws1, _, _ = self.connect_and_read_documents()
        ws2, _, _ = self.connect_and_read_documents()
        ws1.close_socket()
        ws2.wait_for(lambda m: m.get("cmd") == 3)
        self.sync_with(ws2)


if __name__ == "__main__":
    main()
