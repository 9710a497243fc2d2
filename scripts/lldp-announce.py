#!/usr/bin/python3
"""Plays a switch port on one network interface: writes LLDP frames (chassis id a MAC address, port id a
port name) as a switch announces itself, so that the node on the other end of the link learns where it is
plugged in. For demos and conformance runs inside a private network namespace, as root; never run it on
an interface of a real network.

    scripts/lldp-announce.py IFACE [--chassis 00-1b-21-aa-bb-0c] [--port "Ethernet1/7"] [--ttl 3600]
                             [--count 1] [--interval 30]"""
import argparse
import socket
import struct
import time

NEAREST_BRIDGE = bytes.fromhex("0180c200000e")
LLDP_ETHERTYPE = 0x88CC


def tlv(kind, value):
    return struct.pack("!H", kind << 9 | len(value)) + value


def frame(chassis_mac, port_name, ttl):
    body = tlv(1, bytes([4]) + chassis_mac)  # chassis id, subtype MAC address
    body += tlv(2, bytes([5]) + port_name.encode())  # port id, subtype interface name
    body += tlv(3, struct.pack("!H", ttl)) + tlv(0, b"")
    return NEAREST_BRIDGE + chassis_mac + struct.pack("!H", LLDP_ETHERTYPE) + body


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("iface")
    parser.add_argument("--chassis", default="00-1b-21-aa-bb-0c", help="MAC address, xx-xx-xx-xx-xx-xx")
    parser.add_argument("--port", default="Ethernet1/7")
    parser.add_argument("--ttl", type=int, default=3600)
    parser.add_argument("--count", type=int, default=1, help="frames to send; 0: until interrupted")
    parser.add_argument("--interval", type=float, default=30.0)
    args = parser.parse_args()
    mac = bytes.fromhex(args.chassis.replace("-", "").replace(":", ""))
    if len(mac) != 6 or not 0 <= args.ttl <= 65535 or not args.port:
        parser.error("the chassis is a MAC address, the TTL 0 to 65535, the port a name")
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as s:
        s.bind((args.iface, 0))
        sent = 0
        while True:
            s.send(frame(mac, args.port, args.ttl))
            sent += 1
            print(f"LLDP sent on {args.iface}: chassis {args.chassis} port {args.port} ttl {args.ttl}", flush=True)
            if args.count and sent >= args.count:
                break
            time.sleep(args.interval)


if __name__ == "__main__":
    main()
