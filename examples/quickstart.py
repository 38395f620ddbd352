"""A first walk through kovra_api: record changes, read them back, ship them as bytes.

A graph diff collects the changes one side makes to a graph (nodes added or updated,
nodes deleted, edges added, edges deleted) so that they can be sent as one compact
document and applied elsewhere: to a database, a cache, or another process's copy of
the graph. Later changes combine with earlier ones as they arrive, so the diff holds
only the net effect.

Run with:  python examples/quickstart.py
"""

import uuid

from kovra_api import PyGraphDiff
from kovra_tools.document import annotate  # the annotated dump of `kovra dump`

# Node ids go in as 16 raw bytes and come out as the usual UUID text.
hub = uuid.UUID("a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf").bytes
leaf = uuid.UUID("b0b1b2b3-b4b5-b6b7-b8b9-babbbcbdbebf").bytes
gone = uuid.UUID("c0c1c2c3-c4c5-c6c7-c8c9-cacbcccdcecf").bytes


def show(title: str, diff: PyGraphDiff) -> None:
    print(title)
    # num_nodes counts updated and deleted nodes alike; num_edges counts `from` groups.
    updated, deleted = len(diff.new_or_updated_nodes()), len(diff.deleted_nodes())
    print(f"  nodes: {diff.num_nodes()} ({updated} new or updated, {deleted} deleted)"
          f"   edge groups: {diff.num_edges()}")
    for node, update in diff.new_or_updated_nodes().items():
        print(f"  new or updated node {node}: {update}")
    for node in diff.deleted_nodes():
        print(f"  deleted node        {node}")
    for source, targets in diff.new_or_updated_edges().items():
        for target, weight in targets.items():
            print(f"  edge {source} -> {target}  weight {weight}")
    for source, targets in diff.deleted_edges().items():
        for target in targets:
            print(f"  deleted edge {source} -> {target}")
    print()


diff = PyGraphDiff()
diff.add_node(hub, {"label": "Hub", "size": 2.5})
diff.add_edge(hub, leaf, 0.5)
diff.delete_node(gone)
show("The diff as recorded:", diff)

data = diff.to_bytes()
print(f"Serialised to {len(data)} bytes (docs/format.md describes every field):")
print(annotate(data))
print()

copy = PyGraphDiff.from_bytes(data)
show("Rebuilt from those bytes:", copy)

# An edge to a node marked deleted is refused silently: nothing changes.
edges_before = copy.new_or_updated_edges()
copy.add_edge(hub, gone, 1.0)
refused = copy.new_or_updated_edges() == edges_before
print(f"add_edge(hub -> deleted node) was {'refused' if refused else 'recorded'}:"
      f" the edges are {'unchanged' if refused else 'changed'}.\n")

# Re-adding a deleted node revives it with a clean update; after that the edge is taken.
copy.add_node(gone, {"red": 200, "show_label": True})
copy.add_edge(hub, gone, 1.0)
show("After reviving the deleted node and adding the edge again:", copy)
