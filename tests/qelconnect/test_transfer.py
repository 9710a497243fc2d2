"""File transfer: uploads through a temporary file, checksums, handles, downloads in 250-byte blocks."""
import io
import os
import stat
import tarfile
import struct
import threading
import time
import unittest

import qelproto as qp
from qeltest import DaemonTest, read_file, write_file

CONFIG = "/config/config"


def temp_files(folder="/config"):
    """Temporary files of uploads: the target's name with a suffix ending in ".tf"."""
    return [n for n in os.listdir(folder) if n.endswith(".tf")]


class TransferTest(DaemonTest):
    def setUp(self):
        super().setUp()
        write_file(CONFIG, b"old configuration\n")
        self.c = qp.BlockClient()

    def tearDown(self):
        self.c.close()

    def settle(self):
        """A round trip on the connection: everything the daemon does for earlier blocks is done."""
        self.c.send(qp.ID_READ_ANNOUNCE)
        self.c.expect(qp.ID_READ_ANNOUNCE)

    def test_upload_config_with_correct_crc_replaces_file(self):
        content = bytes(range(256)) * 3 + b"tail"
        code, handle, results = qp.upload(self.c, b"#Config", content)
        self.assertEqual(code, qp.FT_OK)
        self.assertEqual(results[0], (qp.FT_UPLOAD_NOTICE, handle, qp.crc32(content), "file transfer successful"))
        self.assertEqual(results[1], (qp.FT_OK, handle, qp.crc32(content), ""))
        self.assertEqual(read_file(CONFIG), content)
        self.assertEqual(temp_files(), [])
        # The handle is free again: five more transfers fit.
        for _ in range(5):
            self.assertEqual(qp.start_transfer(self.c, "r", b"#Config")[0], qp.FT_OK)

    def test_upload_with_wrong_crc_leaves_file_untouched(self):
        content = b"new configuration that must not land\n" * 20
        _, handle, results = qp.upload(self.c, b"#Config", content, crc=qp.crc32(content) ^ 1)
        self.assertEqual(results, [(qp.FT_WRONG_CRC, handle, qp.crc32(content), "wrong checksum")])
        self.settle()
        self.assertEqual(read_file(CONFIG), b"old configuration\n")
        self.assertEqual(temp_files(), [])

    def test_out_of_order_data_aborts(self):
        code, handle, _, _ = qp.start_transfer(self.c, "w", b"#Config", 600)
        self.assertEqual(code, qp.FT_OK)
        self.assertEqual(len(temp_files()), 1)
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 0, handle) + b"a" * 250)
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 300, handle) + b"b" * 250)
        result = qp.end_result(self.c.expect(qp.ID_END_TRANSFER))
        self.assertEqual(result, (qp.FT_ABORTED, handle, 0, "transfer time out"))
        self.settle()
        self.assertEqual(temp_files(), [])
        self.assertEqual(read_file(CONFIG), b"old configuration\n")

    def test_invalid_data_blocks_are_dropped(self):
        content = b"x" * 300
        code, handle, _, _ = qp.start_transfer(self.c, "w", b"/ram/drop-test", len(content))
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 0, 7) + b"bad handle")
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 5000, handle) + b"beyond the size")
        self.c.send(qp.ID_FILE_DATA, struct.pack(">I", 0))  # shorter than its header
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 0, handle) + content[:250])
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 250, handle) + content[250:])
        self.c.send(qp.ID_END_TRANSFER, bytes(4) + bytes([handle]) + struct.pack(">I", qp.crc32(content)))
        results = [qp.end_result(self.c.expect(qp.ID_END_TRANSFER)) for _ in range(2)]
        self.assertEqual(results[1][0], qp.FT_OK)
        self.assertEqual(read_file("/ram/drop-test"), content)

    def test_sixth_transfer_refused(self):
        for i in range(5):
            code, handle, _, _ = qp.start_transfer(self.c, "w", b"/ram/h%d" % i, 10)
            self.assertEqual((code, handle), (qp.FT_OK, i))
        self.assertEqual(qp.start_transfer(self.c, "r", b"#Config"),
                         (qp.FT_NO_HANDLE, 255, 0, "out of free file handles"))

    def test_download_600_bytes_in_three_blocks(self):
        content = os.urandom(600)
        write_file("/ram/six-hundred", content)
        code, got, crc, offsets = qp.download(self.c, b"/ram/six-hundred")
        self.assertEqual(code, qp.FT_OK)
        self.assertEqual(offsets, [(0, 250), (250, 250), (500, 100)])
        self.assertEqual(got, content)
        self.assertEqual(crc, qp.crc32(content))
        # A refused answer keeps the handle until the connection closes; an accepted one frees it.
        self.assertEqual(qp.download(self.c, b"/ram/six-hundred", answer_code=0xA2000000)[0], qp.FT_OK)
        for _ in range(4):
            self.assertEqual(qp.start_transfer(self.c, "w", b"/ram/x", 1)[0], qp.FT_OK)
        self.assertEqual(qp.start_transfer(self.c, "w", b"/ram/x", 1)[0], qp.FT_NO_HANDLE)

    def test_missing_directory_and_overlong_names(self):
        self.assertEqual(qp.start_transfer(self.c, "r", b"/ram/missing")[::3], (qp.FT_NO_FILE, "no such file"))
        self.assertEqual(qp.start_transfer(self.c, "r", b"/ram")[::3], (qp.FT_NO_FILE, "no such file"))
        long_name = b"/ram/" + b"n" * 248  # 253 characters
        self.assertEqual(qp.start_transfer(self.c, "r", long_name)[::3], (qp.FT_NO_FILE, "no such file"))
        self.assertEqual(qp.start_transfer(self.c, "w", long_name, 5)[::3],
                         (qp.FT_CANT_WRITE, "can't write file to file system"))
        self.assertEqual(qp.start_transfer(self.c, "w", b"/nonexistent-dir/f", 5)[0], qp.FT_CANT_WRITE)
        # A name length beyond the block is refused, not read past the data.
        self.c.send(qp.ID_START_TRANSFER, bytes(5) + b"r" + bytes(4) + bytes([200]) + b"/ram/x")
        self.assertEqual(struct.unpack(">I", self.c.expect(qp.ID_START_TRANSFER)[:4])[0], qp.FT_NO_FILE)
        # An unknown mode answers code 0 and starts nothing.
        self.assertEqual(qp.start_transfer(self.c, "x", b"#Config")[0], qp.FT_OK)
        for _ in range(5):
            self.assertEqual(qp.start_transfer(self.c, "w", b"/ram/y", 1)[0], qp.FT_OK)

    def test_state_archive_of_status_pages(self):
        write_file("/home/httpd/page.xml", b"<page/>")
        write_file("/home/httpd/skip.fw6", b"firmware")
        code, content, crc, _ = qp.download(self.c, b"#State")
        self.assertEqual(code, qp.FT_OK)
        self.assertEqual(crc, qp.crc32(content))
        with tarfile.open(fileobj=io.BytesIO(content), mode="r:gz") as tar:
            names = tar.getnames()
        self.assertIn("page.xml", names)
        self.assertNotIn("skip.fw6", names)

    def test_names_never_reach_a_shell(self):
        name = b"/ram/a b;touch pwned;'$(touch pwned2)`\"\n"
        content = b"payload"
        _, _, results = qp.upload(self.c, name, content)
        self.assertEqual(results[-1][0], qp.FT_OK)
        self.assertEqual(read_file(name.decode()), content)
        for d in ("/", "/ram"):  # the daemon runs in /
            self.assertFalse(set(os.listdir(d)) & {"pwned", "pwned2"})

    def test_closing_connection_aborts_upload(self):
        code, _, _, _ = qp.start_transfer(self.c, "w", b"#Config", 1000)
        self.assertEqual(code, qp.FT_OK)
        self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", 0, 0) + b"q" * 250)
        self.c.close()
        deadline = qp.Deadline(10)
        while temp_files() and not deadline.expired():
            time.sleep(0.01)
        self.assertEqual(temp_files(), [])
        self.assertEqual(read_file(CONFIG), b"old configuration\n")
        self.c = qp.BlockClient()

    def test_concurrent_uploads_of_one_target(self):
        # Two handles of one connection, data interleaved block by block: the last to finish wins.
        a, b = os.urandom(3000), os.urandom(2100)
        ha = qp.start_transfer(self.c, "w", b"#Config", len(a))[1]
        hb = qp.start_transfer(self.c, "w", b"#Config", len(b))[1]
        self.assertEqual(len(temp_files()), 2)
        for off in range(0, len(a), 250):
            for h, content in ((ha, a), (hb, b)):
                if off < len(content):
                    self.c.send(qp.ID_FILE_DATA, struct.pack(">IB", off, h) + content[off:off + 250])
        for h, content in ((ha, a), (hb, b)):
            self.c.send(qp.ID_END_TRANSFER, bytes(4) + bytes([h]) + struct.pack(">I", qp.crc32(content)))
        results = [qp.end_result(self.c.expect(qp.ID_END_TRANSFER)) for _ in range(4)]
        self.assertEqual([r[:2] for r in results],
                         [(qp.FT_UPLOAD_NOTICE, ha), (qp.FT_OK, ha), (qp.FT_UPLOAD_NOTICE, hb), (qp.FT_OK, hb)])
        self.assertEqual(read_file(CONFIG), b)
        self.assertEqual(temp_files(), [])
        # Two connections at once, many rounds: every answer is success and the file is one whole upload.
        others = [qp.BlockClient(), qp.BlockClient()]
        try:
            for round_ in range(10):
                contents = [os.urandom(1000 + 700 * round_ + 13 * i) for i in range(2)]
                answers = [None, None]

                def run(i):
                    answers[i] = qp.upload(others[i], b"#Config", contents[i])[2][-1]

                threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
                for t in threads:
                    t.start()
                for t in threads:
                    t.join(30)
                self.assertEqual([a[0] for a in answers], [qp.FT_OK, qp.FT_OK], answers)
                self.assertIn(read_file(CONFIG), contents, "round %d" % round_)
                self.assertEqual(temp_files(), [])
        finally:
            for o in others:
                o.close()

    def test_firmware_socket_and_special_files_refused(self):
        # An empty upload to the firmware's socket path must not replace the socket by a file.
        self.assertEqual(qp.start_transfer(self.c, "w", b"/tmp/fws", 0)[::3],
                         (qp.FT_CANT_WRITE, "can't write file to file system"))
        self.assertEqual(qp.start_transfer(self.c, "r", b"/tmp/fws")[::3], (qp.FT_NO_FILE, "no such file"))
        self.assertTrue(stat.S_ISSOCK(os.stat("/tmp/fws").st_mode))
        self.c.send(0x00000321, b"firmware still there")
        self.assertEqual(self.c.expect(0x00000321), b"ANS:firmware still there")
        # A named pipe is neither read (which would block for ever) nor replaced; nor is a folder.
        os.mkfifo("/ram/pipe")
        started = time.monotonic()
        # Six more readers, leaving room in the ten slots for connections of earlier tests whose threads
        # are still freeing theirs.
        clients = [qp.BlockClient() for _ in range(6)]
        try:
            for c in clients + [self.c]:
                self.assertEqual(qp.start_transfer(c, "r", b"/ram/pipe")[::3], (qp.FT_NO_FILE, "no such file"))
        finally:
            for c in clients:
                c.close()
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(qp.start_transfer(self.c, "w", b"/ram/pipe", 0)[0], qp.FT_CANT_WRITE)
        self.assertEqual(qp.start_transfer(self.c, "w", b"/ram", 0)[0], qp.FT_CANT_WRITE)
        self.assertTrue(stat.S_ISFIFO(os.stat("/ram/pipe").st_mode))
        self.assertEqual(temp_files("/ram") + temp_files("/tmp"), [])
        # Refusals keep no handle: five transfers still fit.
        for i in range(5):
            self.assertEqual(qp.start_transfer(self.c, "w", b"/ram/h%d" % i, 1)[0], qp.FT_OK)

    def test_end_block_without_checksum_is_not_success(self):
        # An end block that stops after the handle carries no checksum; nothing behind its length counts.
        code, handle, _, _ = qp.start_transfer(self.c, "w", b"/ram/empty", 0)
        self.assertEqual(code, qp.FT_OK)
        self.c.send(qp.ID_END_TRANSFER, bytes(4) + bytes([handle]))
        result = qp.end_result(self.c.expect(qp.ID_END_TRANSFER))
        self.assertEqual(result[::3], (qp.FT_WRONG_CRC, "wrong checksum"))
        self.settle()
        self.assertFalse(os.path.exists("/ram/empty"))
        # Only this upload's file: earlier tests' connections may still be closing.
        self.assertEqual([n for n in temp_files("/ram") if n.startswith("empty.")], [])


if __name__ == "__main__":
    unittest.main()
