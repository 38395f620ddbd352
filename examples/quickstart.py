"""A first walk through kovra_api: record changes, read them back, ship them as bytes.

Run with:  python examples/quickstart.py
"""

import uuid

from kovra_api import PyGraphDiff

# Node ids go in as 16 raw bytes and come out as the usual UUID text.
hub = uuid.UUID("a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf").bytes
leaf = uuid.UUID("b0b1b2b3-b4b5-b6b7-b8b9-babbbcbdbebf").bytes
gone = uuid.UUID("c0c1c2c3-c4c5-c6c7-c8c9-cacbcccdcecf").bytes


def show(title: str, diff: PyGraphDiff) -> None:
    print(f"{title}")
    print(f"  nodes: {diff.num_nodes()}   edge groups: {diff.num_edges()}")
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
print(f"Serialised to {len(data)} bytes:")
for offset in range(0, len(data), 32):
    print(f"  {offset:04x}  {data[offset:offset + 32].hex(' ')}")
print()

copy = PyGraphDiff.from_bytes(data)
show("Rebuilt from those bytes:", copy)

# Later changes combine with earlier ones: an edge to a node marked deleted is
# silently refused, and re-adding a deleted node starts from a clean update.
copy.add_edge(hub, gone, 1.0)
copy.add_node(gone, {"red": 200, "show_label": True})
show("After refusing an edge and reviving a node:", copy)
