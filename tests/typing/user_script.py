"""What a typed user script does with kovra_api; `mypy --strict` must accept it, and it runs."""

from __future__ import annotations  # NodeUpdate exists for type checkers only

import uuid
from typing import TYPE_CHECKING, assert_type

from kovra_api import PyGraphDiff

if TYPE_CHECKING:  # a name for type checkers only
    from kovra_api import NodeUpdate

hub, leaf = uuid.uuid4().bytes, uuid.uuid4().bytes
diff = PyGraphDiff()
diff.add_node(hub, {"label": "Hub", "size": 2, "red": 200, "show_label": True})
diff.add_edge(hub, leaf, 0.5)
diff.delete_edge(hub, leaf)
diff.delete_node(leaf)

for node, update in diff.new_or_updated_nodes().items():
    assert_type(node, str)
    label: str | None = update.get("label")
    size: float | None = update.get("size")
    red: int | None = update.get("red")
    print(uuid.UUID(node).bytes, label, size, red, update.get("show_label"))
    diff.add_node(uuid.UUID(node).bytes, update)  # a view's update goes back in as it is

edges: dict[str, dict[str, float]] = diff.new_or_updated_edges()
gone: list[str] = diff.deleted_nodes()
cut: dict[str, list[str]] = diff.deleted_edges()
counts: tuple[int, int] = (diff.num_nodes(), diff.num_edges())
updates: list[NodeUpdate] = [{"label": "a"}, {"red": 1}]  # without the annotation, list[object]
diff.add_nodes([hub, leaf], updates)
copy = PyGraphDiff.from_bytes(diff.to_bytes())
assert_type(copy, PyGraphDiff)
copy.clear()
print(edges, gone, cut, counts)
