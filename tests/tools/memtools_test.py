#!/usr/bin/python3
"""memwrite and memdump against a sparse 4 GiB file that stands in for /dev/mem.

The outer process creates the file in a fresh folder under /var/tmp and re-runs this script inside a private mount
namespace (unshare -m), where the file is bind-mounted over /dev/mem. Right before every tool run the
script checks that /dev/mem is that very file (device and inode) and aborts the whole run otherwise,
so the tools never reach real physical memory. Where the machine has no /dev/mem at all, an overlay
inside the namespace provides the mount point, so the host's /dev stays untouched. The folder is removed
at the end, also on failure.

Usage: memtools_test.py <memwrite> <memdump>      (root only; exit 77 = skipped)
Tools built for another architecture run behind the command in QEL_TARGET_RUNNER (an emulator).
"""
import os
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

FAKE_SIZE = 1 << 32
PAGE = 0x1000
REFUSED = 255  # exit status of every refused request
BAD_ADDRESS = "bad address and/or size\n"
FILL = 0x5A  # every watched byte holds this before a test, so writes of any other value show

WINDOWS = [(0x00000000, 0x40000000), (0x60000000, 0x20000), (0xE000B000, 0x2000)]


def watched_pages():
    """Pages around every window edge, the bottom and the top of the address range."""
    pages = {0, FAKE_SIZE - PAGE}
    for base, size in WINDOWS:
        pages |= {base - PAGE, base, base + size - PAGE, base + size}
    pages |= {0x1000, 0x60000000 + PAGE}
    return sorted(p for p in pages if 0 <= p < FAKE_SIZE)


class Sandbox:
    fake = None
    memwrite = None
    memdump = None
    fd = None

    @classmethod
    def verify_devmem(cls):
        """Aborts everything unless /dev/mem is the bind-mounted test file."""
        try:
            want = os.stat(cls.fake)
            got = os.stat("/dev/mem")
            same = stat.S_ISREG(got.st_mode) and (got.st_dev, got.st_ino) == (want.st_dev, want.st_ino) \
                and got.st_size == FAKE_SIZE
        except OSError as error:
            same, got = False, error
        if not same:
            print("ABORT: /dev/mem is not the test file %s: %s" % (cls.fake, got), file=sys.stderr, flush=True)
            os._exit(3)

    @classmethod
    def run(cls, tool, *args):
        cls.verify_devmem()
        runner = shlex.split(os.environ.get("QEL_TARGET_RUNNER", ""))
        done = subprocess.run([*runner, tool, *args], capture_output=True, text=True, timeout=60)
        if done.stderr:
            print(done.stderr, file=sys.stderr)
        return done.returncode, done.stdout

    @classmethod
    def read(cls, addr, length):
        return os.pread(cls.fd, length, addr)

    @classmethod
    def write(cls, addr, data):
        os.pwrite(cls.fd, data, addr)


class MemTestCase(unittest.TestCase):
    def setUp(self):
        self.pages = watched_pages()
        for page in self.pages:
            Sandbox.write(page, bytes([FILL]) * PAGE)

    def snapshot(self):
        return {page: Sandbox.read(page, PAGE) for page in self.pages}

    def changes(self, before):
        """Every watched byte that differs from the snapshot, as {address: new value}."""
        after = self.snapshot()
        diff = {}
        for page, old in before.items():
            new = after[page]
            diff.update({page + i: new[i] for i in range(PAGE) if old[i] != new[i]})
        return diff

    def memwrite(self, *args):
        return Sandbox.run(Sandbox.memwrite, *args)

    def memdump(self, *args):
        return Sandbox.run(Sandbox.memdump, *args)

    def assert_written(self, addr, value, expected):
        """memwrite succeeds silently and changes exactly the expected bytes."""
        before = self.snapshot()
        self.assertEqual(self.memwrite(addr, value), (0, ""), (addr, value))
        self.assertEqual(self.changes(before), expected, (addr, value))

    def assert_refused(self, tool, args, message):
        """The tool prints message, exits with the refusal status and changes nothing."""
        before = self.snapshot()
        self.assertEqual(Sandbox.run(tool, *args), (REFUSED, message), args)
        self.assertEqual(self.changes(before), {}, args)

    def assert_write_refused(self, addr, value, message=BAD_ADDRESS):
        self.assert_refused(Sandbox.memwrite, [addr, value], message)

    def assert_dump_refused(self, addr, length, message=BAD_ADDRESS):
        self.assert_refused(Sandbox.memdump, [addr, length], message)


class WriteWidthTest(MemTestCase):
    def test_one_byte(self):
        self.assert_written("60000003", "ab", {0x60000003: 0xAB})

    def test_two_bytes_in_fpga_window(self):
        self.assert_written("60000010", "1234", {0x60000010: 0x34, 0x60000011: 0x12})

    def test_four_bytes_in_mac_window(self):
        self.assert_written("e000b004", "deadbeef",
                            {0xE000B004: 0xEF, 0xE000B005: 0xBE, 0xE000B006: 0xAD, 0xE000B007: 0xDE})

    def test_four_bytes_in_sdram(self):
        self.assert_written("00001000", "cafebabe",
                            {0x1000: 0xBE, 0x1001: 0xBA, 0x1002: 0xFE, 0x1003: 0xCA})

    def test_leading_zeros_set_the_width(self):
        self.assert_written("60000020", "0012", {0x60000020: 0x12, 0x60000021: 0x00})
        self.assert_written("60000024", "00000001",
                            {0x60000024: 0x01, 0x60000025: 0, 0x60000026: 0, 0x60000027: 0})

    def test_prefix_and_upper_case(self):
        self.assert_written("0x60000030", "0xAB", {0x60000030: 0xAB})
        self.assert_written("E000B008", "BEEF", {0xE000B008: 0xEF, 0xE000B009: 0xBE})


class WriteAlignmentAndLengthTest(MemTestCase):
    def test_alignment(self):
        self.assert_write_refused("60000011", "1234", "error: addr not 2 byte aligned\n")
        self.assert_write_refused("60000012", "12345678", "error: addr not 4 byte aligned\n")
        self.assert_write_refused("60000011", "12345678", "error: addr not 4 byte aligned\n")
        self.assert_write_refused("e000b001", "1234", "error: addr not 2 byte aligned\n")

    def test_data_length(self):
        for value in ["1", "123", "12345", "123456", "1234567", "001234567", "0012345678"]:
            self.assert_write_refused("60000010", value, "error: data length not 1, 2 or 4 byte\n")


class WriteWindowEdgeTest(MemTestCase):
    def test_sdram_edges(self):
        self.assert_written("00000000", "12", {0x0: 0x12})
        self.assert_written("3ffffffe", "34", {0x3FFFFFFE: 0x34})
        self.assert_written("3ffffff8", "01020304",
                            {0x3FFFFFF8: 4, 0x3FFFFFF9: 3, 0x3FFFFFFA: 2, 0x3FFFFFFB: 1})
        self.assert_write_refused("3fffffff", "12")
        self.assert_write_refused("3ffffffe", "1234")
        self.assert_write_refused("3ffffffc", "12345678")
        self.assert_write_refused("40000000", "12")

    def test_fpga_edges(self):
        self.assert_write_refused("5fffffff", "12")
        self.assert_written("60000000", "12", {0x60000000: 0x12})
        self.assert_written("6001fffe", "34", {0x6001FFFE: 0x34})
        self.assert_written("6001fff8", "01020304",
                            {0x6001FFF8: 4, 0x6001FFF9: 3, 0x6001FFFA: 2, 0x6001FFFB: 1})
        self.assert_write_refused("6001ffff", "12")
        self.assert_write_refused("6001fffc", "12345678")
        self.assert_write_refused("60020000", "12")

    def test_mac_edges(self):
        self.assert_write_refused("e000afff", "12")
        self.assert_write_refused("e000affc", "12345678")
        self.assert_written("e000b000", "12", {0xE000B000: 0x12})
        self.assert_written("e000cffe", "34", {0xE000CFFE: 0x34})
        self.assert_written("e000cffc", "0102", {0xE000CFFC: 2, 0xE000CFFD: 1})
        self.assert_write_refused("e000cfff", "12")
        self.assert_write_refused("e000cffc", "12345678")
        self.assert_write_refused("e000d000", "12")


class WriteBadAddressTest(MemTestCase):
    def test_outside_every_window(self):
        self.assert_write_refused("50000000", "12")
        self.assert_write_refused("ffffffff", "12")

    def test_end_near_top_of_range_does_not_wrap(self):
        # 32-bit ends of these would be 3, 0 and 1: inside the SDRAM window.
        self.assert_write_refused("ffffffff", "12345678")
        self.assert_write_refused("fffffffc", "12345678")
        self.assert_write_refused("ffffffff", "1234")

    def test_numbers_beyond_32_bits(self):
        self.assert_write_refused("100000010", "12")
        self.assert_write_refused("1e000b000", "12")
        self.assert_write_refused("60000010", "1234567890")
        self.assert_write_refused("60000010", "123456789abcdef0")

    def test_text_that_is_not_one_hex_number(self):
        for addr, value in [("6000001g", "12"), ("60000010", "zz"), ("60000010", "1z"), ("-1", "12"),
                            ("", "12"), ("0x", "12"), (" 60000010", "12"), ("60000010", "-1"),
                            ("60000010", "0x")]:
            self.assert_write_refused(addr, value)


class DumpTest(MemTestCase):
    def test_two_lines_of_mac_registers(self):
        Sandbox.write(0xE000B000, bytes(range(32)))
        before = self.snapshot()
        rc, out = self.memdump("e000b000", "20")
        self.assertEqual(rc, 0)
        self.assertEqual(out, "e000b000: 03020100 07060504 0b0a0908 0f0e0d0c \n"
                              "e000b010: 13121110 17161514 1b1a1918 1f1e1d1c \n")
        self.assertEqual(self.changes(before), {})

    def test_length_rounds_up_to_whole_lines(self):
        Sandbox.write(0x60000100, bytes(range(0x40, 0x60)))
        self.assertEqual(self.memdump("60000100", "1"), (0, "60000100: 43424140 47464544 4b4a4948 4f4e4d4c \n"))
        rc, out = self.memdump("60000100", "11")
        self.assertEqual(rc, 0)
        self.assertEqual(out.splitlines(), ["60000100: 43424140 47464544 4b4a4948 4f4e4d4c ",
                                            "60000110: 53525150 57565554 5b5a5958 5f5e5d5c "])
        self.assertEqual(self.memdump("60000100", "0"), (0, ""))

    def test_top_of_sdram(self):
        self.assert_dump_refused("3ffffff0", "10")
        self.assert_dump_refused("3fffffe0", "11")
        self.assertEqual(self.memdump("3fffffe0", "10"), (0, "3fffffe0: " + "5a5a5a5a " * 4 + "\n"))

    def test_fpga_and_mac_edges(self):
        self.assertEqual(self.memdump("6001ffe0", "10")[0], 0)
        self.assert_dump_refused("6001fff0", "10")
        self.assert_dump_refused("5ffffff0", "10")
        self.assertEqual(self.memdump("e000cfe0", "10")[0], 0)
        self.assert_dump_refused("e000cff0", "10")
        self.assert_dump_refused("e000aff0", "10")

    def test_bad_address_and_size(self):
        self.assert_dump_refused("50000000", "10")
        self.assert_dump_refused("fffffff0", "20")  # 32-bit end would wrap to 0x10
        self.assert_dump_refused("00000000", "ffffffff")
        self.assert_dump_refused("00000000", "100000000")
        self.assert_dump_refused("1e000b000", "10")
        self.assert_dump_refused("e000b000", "2o")

    def test_misaligned_address(self):
        self.assert_dump_refused("e000b002", "10", "error: addr not 4 byte aligned\n")
        self.assert_dump_refused("00000001", "10", "error: addr not 4 byte aligned\n")


class ArgumentCountTest(MemTestCase):
    def test_too_few_arguments(self):
        for tool in (Sandbox.memwrite, Sandbox.memdump):
            self.assert_refused(tool, [], "wrong argc count 1\n")
            self.assert_refused(tool, ["60000010"], "wrong argc count 2\n")


def provide_devmem_mount_point(workdir):
    """Inside the namespace only: an overlay over /dev whose upper layer holds an empty /dev/mem."""
    upper, work = os.path.join(workdir, "upper"), os.path.join(workdir, "work")
    os.mkdir(upper)
    os.mkdir(work)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=/dev,upperdir=%s,workdir=%s" % (upper, work), "/dev"], check=True)
    open("/dev/mem", "x").close()


def enter_sandbox(workdir, outer_ns, memwrite, memdump):
    """Inside the private namespace: puts the test file over /dev/mem and checks that it is there."""
    if os.readlink("/proc/self/ns/mnt") == outer_ns:
        print("ABORT: not in a private mount namespace", file=sys.stderr)
        os._exit(3)
    fake = os.path.join(workdir, "mem")
    if not os.path.lexists("/dev/mem"):
        provide_devmem_mount_point(workdir)
    subprocess.run(["mount", "--bind", fake, "/dev/mem"], check=True)
    Sandbox.fake, Sandbox.memwrite, Sandbox.memdump = fake, memwrite, memdump
    Sandbox.verify_devmem()
    Sandbox.fd = os.open(fake, os.O_RDWR)


def inner(workdir, outer_ns, memwrite, memdump):
    enter_sandbox(workdir, outer_ns, memwrite, memdump)
    try:
        result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
        return 0 if result.wasSuccessful() else 1
    finally:
        os.close(Sandbox.fd)


def run_in_sandbox(script, memwrite, memdump):
    """Runs `script --inner <folder> <namespace> <memwrite> <memdump>` in a private mount namespace,
    with the sparse file in a fresh folder under /var/tmp that is removed afterwards."""
    if os.geteuid() != 0:
        print("skipped: needs root for a private mount namespace")
        return 77
    workdir = tempfile.mkdtemp(prefix="memtools.", dir="/var/tmp")
    try:
        with open(os.path.join(workdir, "mem"), "wb") as fake:
            fake.truncate(FAKE_SIZE)
        return subprocess.run(["unshare", "-m", "--propagation", "private", "/usr/bin/python3",
                               os.path.abspath(script), "--inner", workdir, os.readlink("/proc/self/ns/mnt"),
                               os.path.abspath(memwrite), os.path.abspath(memdump)]).returncode
    finally:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--inner":
        sys.exit(inner(*sys.argv[2:]))
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(run_in_sandbox(__file__, sys.argv[1], sys.argv[2]))
