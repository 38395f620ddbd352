"""What a user would write instead of kovra_api: the same rules with dicts and sets.

The class mirrors PyGraphDiff method for method, so the benchmark drives both with
the same loops. Ids are kept as the caller's 16-byte `bytes` objects, node updates
as dicts of the present fields, weights as Python floats (no binary32 narrowing),
and the state is serialised with pickle protocol 5. Arguments are not validated:
this is the fast, trusting version, a lower bound for plain Python.
"""

import pickle

FIELDS = ("label", "url", "size", "red", "green", "blue", "show_label")


def id_text(raw):
    h = raw.hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


class PyGraphDiff:
    __slots__ = ("_deleted_edges", "_deleted_nodes", "_edges", "_nodes")

    def __init__(self):
        self._nodes = {}  # id -> {field: value}
        self._deleted_nodes = set()
        self._edges = {}  # from -> {to: weight}
        self._deleted_edges = {}  # from -> {to}

    def add_node(self, id, update):
        record = {key: update[key] for key in FIELDS if key in update}
        stored = self._nodes.get(id)
        if stored is None:
            self._nodes[id] = record
        else:
            stored.update(record)
        self._deleted_nodes.discard(id)

    def delete_node(self, id):
        self._nodes.pop(id, None)
        edges = self._edges
        edges.pop(id, None)
        # Incoming edges are found by walking every group: the straightforward way.
        deleted_edges = self._deleted_edges
        for source, targets in edges.items():
            if id in targets:
                deleted = deleted_edges.get(source)
                if deleted is None:
                    deleted_edges[source] = {id}
                else:
                    deleted.add(id)
                del targets[id]
        self._deleted_nodes.add(id)

    def add_edge(self, from_, to, weight):
        deleted_nodes = self._deleted_nodes
        if from_ in deleted_nodes or to in deleted_nodes:
            return None
        deleted = self._deleted_edges.get(from_)
        if deleted is not None:
            deleted.discard(to)
            if not deleted:
                del self._deleted_edges[from_]
        targets = self._edges.get(from_)
        if targets is None:
            self._edges[from_] = {to: float(weight)}
        else:
            targets[to] = float(weight)
        return None

    def delete_edge(self, from_, to):
        deleted = self._deleted_edges.get(from_)
        if deleted is None:
            self._deleted_edges[from_] = {to}
        else:
            deleted.add(to)
        targets = self._edges.get(from_)
        if targets is not None:
            targets.pop(to, None)
            if not targets:
                del self._edges[from_]

    def clear(self):
        self._nodes.clear()
        self._deleted_nodes.clear()
        self._edges.clear()
        self._deleted_edges.clear()

    def num_nodes(self):
        return len(self._nodes) + len(self._deleted_nodes)

    def num_edges(self):
        return len(self._edges) + len(self._deleted_edges)

    def new_or_updated_nodes(self):
        return {id_text(key): dict(record) for key, record in self._nodes.items()}

    def deleted_nodes(self):
        return [id_text(key) for key in self._deleted_nodes]

    def new_or_updated_edges(self):
        return {
            id_text(source): {id_text(to): weight for to, weight in targets.items()}
            for source, targets in self._edges.items()
            if targets
        }

    def deleted_edges(self):
        return {
            id_text(source): [id_text(to) for to in targets]
            for source, targets in self._deleted_edges.items()
            if targets
        }

    def to_bytes(self):
        state = (self._nodes, self._deleted_nodes, self._edges, self._deleted_edges)
        return pickle.dumps(state, protocol=5)

    @staticmethod
    def from_bytes(data):
        diff = PyGraphDiff()
        (diff._nodes, diff._deleted_nodes, diff._edges, diff._deleted_edges) = pickle.loads(data)
        return diff

    # Benchmark plumbing, not part of the mirrored API.
    @staticmethod
    def _from_state(nodes, deleted_nodes, edges, deleted_edges):
        diff = PyGraphDiff()
        diff._nodes, diff._deleted_nodes = nodes, deleted_nodes
        diff._edges, diff._deleted_edges = edges, deleted_edges
        return diff

    def _state(self):
        return self._nodes, self._deleted_nodes, self._edges, self._deleted_edges
