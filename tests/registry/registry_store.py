"""What the mock registry holds: the registered resources, their parents, node health and garbage collection.

Rules of an IS-04 registry that the store keeps:
- a resource is taken only while the resources it names as parents are held (a device needs its node,
  sources, flows, senders and receivers need their device, a flow also needs its source);
- removing a resource removes everything that names it as a parent, down to the last descendant;
- a node lives as long as heartbeats arrive: one that has gone `expiry` seconds without one (counted
  from its registration or its last heartbeat) is removed together with all its descendants.
"""

import time

TYPES = ("node", "device", "source", "flow", "sender", "receiver")

# Members through which a resource names its parents, with the parents' types.
PARENTS = {
    "node": (),
    "device": (("node_id", "node"),),
    "source": (("device_id", "device"),),
    "flow": (("device_id", "device"), ("source_id", "source")),
    "sender": (("device_id", "device"),),
    "receiver": (("device_id", "device"),),
}


class Journal:
    """A numbered, append-only record (oldest entries dropped beyond `limit`) read as "everything after N"."""

    def __init__(self, limit=100000):
        self.items = []
        self.last = 0
        self.limit = limit

    def add(self, item):
        self.last += 1
        item["seq"] = self.last
        self.items.append(item)
        if len(self.items) > self.limit:
            del self.items[: len(self.items) - self.limit]
        return item

    def since(self, seq):
        return [i for i in self.items if i["seq"] > seq]


class Refused(Exception):
    """A request the registry turns down, with the HTTP status and the texts of the error document."""

    def __init__(self, status, error, debug=None):
        super().__init__(error)
        self.status = status
        self.error = error
        self.debug = debug


class Store:
    def __init__(self, expiry, clock=time.monotonic):
        self.expiry = expiry
        self.clock = clock
        self.resources = {t: {} for t in TYPES}  # type -> id -> document as posted
        self.type_of = {}  # id -> type
        self.last_health = {}  # node id -> clock() of the registration or the last heartbeat
        self.health_seconds = {}  # node id -> wall-clock seconds of the same instant
        self.events = Journal()  # what happened to the held resources, in order
        # Called as listener(rtype, rid, pre, post) for every change: pre or post is None for a new or a
        # removed resource.
        self.listeners = []

    # -- registration -----------------------------------------------------------------------------

    def put(self, rtype, doc):
        """Registers or updates a resource; True when it was new. Raises Refused."""
        rid = doc.get("id")
        if not isinstance(rid, str):
            raise Refused(400, "the resource has no id")
        held_as = self.type_of.get(rid)
        if held_as is not None and held_as != rtype:
            raise Refused(400, f"id {rid} is registered as a {held_as}, not a {rtype}")
        for member, ptype in PARENTS[rtype]:
            pid = doc.get(member)
            if pid not in self.resources[ptype]:
                raise Refused(400, f"the {rtype}'s {member} names no registered {ptype}",
                              f"{rtype} {rid}: {member}={pid!r} is unknown to this registry")
        created = rid not in self.resources[rtype]
        pre = self.resources[rtype].get(rid)
        self.resources[rtype][rid] = doc
        self.type_of[rid] = rtype
        if created and rtype == "node":
            self._alive(rid)
        self._event("created" if created else "updated", rtype, rid, version=doc.get("version"))
        self._notify(rtype, rid, pre, doc)
        return created

    def get(self, rtype, rid):
        return self.resources[rtype].get(rid)

    def delete(self, rtype, rid, reason="request"):
        """Removes a resource and its descendants; False when it was not held."""
        if rid not in self.resources[rtype]:
            return False
        for ctype, cid in self._children(rtype, rid):
            if cid in self.resources[ctype]:  # a flow is a child of its device and of its source
                self.delete(ctype, cid, "parent")
        pre = self.resources[rtype].pop(rid)
        del self.type_of[rid]
        self.last_health.pop(rid, None)
        self.health_seconds.pop(rid, None)
        self._event("deleted", rtype, rid, reason=reason)
        self._notify(rtype, rid, pre, None)
        return True

    def _children(self, ptype, pid):
        return [(ctype, cid) for ctype in TYPES for cid, doc in self.resources[ctype].items()
                if any(doc.get(member) == pid and t == ptype for member, t in PARENTS[ctype])]

    def forget(self):
        """Drops everything, as a registry that restarts without persistence."""
        for rtype, held in self.resources.items():
            gone = list(held.items())
            held.clear()
            for rid, pre in gone:
                self._notify(rtype, rid, pre, None)
        self.type_of.clear()
        self.last_health.clear()
        self.health_seconds.clear()
        self._event("forgotten", None, None)

    # -- health -----------------------------------------------------------------------------------

    def heartbeat(self, node_id):
        """Wall-clock seconds at which the heartbeat was recorded, or None for an unknown node."""
        if node_id not in self.resources["node"]:
            return None
        return self._alive(node_id)

    def _alive(self, node_id):
        self.last_health[node_id] = self.clock()
        self.health_seconds[node_id] = int(time.time())
        return self.health_seconds[node_id]

    def next_expiry(self):
        """clock() at which the next node expires, or None without nodes."""
        if not self.last_health:
            return None
        return min(self.last_health.values()) + self.expiry

    def expire(self):
        """Removes every node whose last sign of life is more than `expiry` seconds old."""
        now = self.clock()
        gone = [nid for nid, t in self.last_health.items() if now - t >= self.expiry]
        for nid in gone:
            self.delete("node", nid, "expiry")
        return gone

    # -- read-back --------------------------------------------------------------------------------

    def snapshot(self):
        return {t + "s": dict(held) for t, held in self.resources.items()}

    def _notify(self, rtype, rid, pre, post):
        for listener in self.listeners:
            listener(rtype, rid, pre, post)

    def _event(self, kind, rtype, rid, **extra):
        event = {"event": kind, "type": rtype, "id": rid, "time": time.time(), "monotonic": time.monotonic()}
        event.update(extra)
        self.events.add(event)
