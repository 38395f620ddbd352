// What a decoded document looks like through PyGraphDiff's views, in the JSON form of
// tests/vectors/vectors.json: Python's field names, empty groups left out, and the
// floats JSON cannot hold as "nan", "inf" and "-inf".

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
