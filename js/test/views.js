// What a decoded document looks like through PyGraphDiff's views, in the JSON form of
// tests/vectors/vectors.json: Python's field names, empty groups left out, and the
// floats JSON cannot hold as "nan", "inf" and "-inf".
import { idText } from "../kovra_document.js";

export function plainFloat(x) {
  if (Number.isNaN(x)) return "nan";
  if (x === Infinity) return "inf";
  if (x === -Infinity) return "-inf";
  return x;
}

function plainUpdate(update) {
  const out = {};
  // The views list the two texts first.
  for (const key of ["label", "url", "size", "red", "green", "blue", "showLabel"]) {
    if (update[key] === undefined) continue;
    const value = key === "size" ? plainFloat(update[key]) : update[key];
    out[key === "showLabel" ? "show_label" : key] = value;
  }
  return out;
}

export function viewsOf(doc) {
  const groups = (map, row) =>
    Object.fromEntries(
      [...map].filter(([, rows]) => (rows.size ?? rows.length) > 0).map(([from, rows]) => [from, row(rows)]),
    );
  return {
    new_or_updated_nodes: Object.fromEntries(
      [...doc.newOrUpdatedNodes].map(([id, update]) => [id, plainUpdate(update)]),
    ),
    deleted_nodes: doc.deletedNodes,
    new_or_updated_edges: groups(doc.newOrUpdatedEdges, (rows) =>
      Object.fromEntries([...rows].map(([to, w]) => [to, plainFloat(w)])),
    ),
    deleted_edges: groups(doc.deletedEdges, (rows) => rows),
    num_nodes: doc.numNodes,
    num_edges: doc.numEdges,
  };
}

// decodeColumns in the shape of decode, to compare the two.
export function fromColumns(c) {
  const ids = (rows) => Array.from({ length: rows.length / 16 }, (_, i) => idText(rows, 16 * i));
  const grouped = (g, row) => {
    const from = ids(g.from), to = ids(g.to);
    return new Map(from.map((id, k) => [id, row(to, g.offsets[k], g.offsets[k + 1])]));
  };
  const fields = ["label", "size", "url", "red", "green", "blue", "showLabel"];
  const nodes = ids(c.nodes.ids).map((id, i) => {
    const update = {};
    fields.forEach((key, f) => {
      if (c.nodes.present[i] & (1 << f)) update[key] = key === "showLabel" ? c.nodes[key][i] === 1 : c.nodes[key][i];
    });
    return [id, update];
  });
  const deletedNodes = ids(c.deletedNodes);
  const edges = grouped(c.edges, (to, a, b) => new Map(to.slice(a, b).map((id, k) => [id, c.edges.weights[a + k]])));
  const deletedEdges = grouped(c.deletedEdges, (to, a, b) => to.slice(a, b));
  return {
    newOrUpdatedNodes: new Map(nodes),
    deletedNodes,
    newOrUpdatedEdges: edges,
    deletedEdges,
    numNodes: nodes.length + deletedNodes.length,
    numEdges: edges.size + deletedEdges.size,
  };
}
