// A large graph diff document from a fixed seed, for the viewer's page tests: about
// 72 MB, 248,000 nodes and 1.23 million edges, so that loading it shows whether the
// page stays responsive. Built here rather than committed.
import { encode, idText } from "../kovra_document.js";

// A small fixed-seed generator (xorshift32): the same document on every run.
function generator(seed) {
  let state = seed >>> 0 || 1;
  return () => {
    state ^= state << 13;
    state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5;
    state >>>= 0;
    return state;
  };
}

function ids(next, count) {
  const bytes = new Uint8Array(16 * count);
  const words = new Uint32Array(bytes.buffer);
  for (let i = 0; i < words.length; i++) words[i] = next();
  return Array.from({ length: count }, (_, i) => bytes.subarray(16 * i, 16 * i + 16));
}

// The shape of the document; `scale` shrinks it for quicker runs.
export function largeDocument({ scale = 1, seed = 20261208 } = {}) {
  const next = generator(seed);
  const updated = Math.round(200_000 * scale);
  const deleted = Math.round(48_000 * scale);
  const nodes = ids(next, updated);
  const gone = ids(next, deleted);
  const records = nodes.map((id, i) => {
    const r = next();
    const update = {
      label: `node ${i} ${idText(id).slice(0, 8)}`,
      size: 0.5 + (r % 64) / 8,
      url: `/nodes/${idText(id)}`,
      red: r & 255,
      green: (r >>> 8) & 255,
      blue: (r >>> 16) & 255,
    };
    if (i % 3 === 0) update.showLabel = i % 2 === 0;
    return [id, update];
  });
  // The hub: the first node, with more edges than the drawing shows, and a label the
  // tests search for.
  records[0][1] = { label: "Needle hub", size: 6, red: 200, green: 30, blue: 40, showLabel: true };
  const edges = [];
  const hubRows = new Map(nodes.slice(1, 301).map((to) => [to, 0.25]));
  edges.push([nodes[0], hubRows]);
  const gained = Math.round(1_000_000 * scale) - hubRows.size;
  // Groups of 1 to 19 rows from the nodes in turn to random nodes.
  for (let made = 0, k = 1; made < gained; k++) {
    const from = nodes[k];
    const count = Math.min(1 + (next() % 19), gained - made);
    const rows = new Map();
    while (rows.size < count) rows.set(nodes[next() % updated], (next() % 1000) / 100);
    edges.push([from, rows]);
    made += count;
  }
  // Deleted edges, from nodes that gained edges too: into deleted nodes (as deleting a
  // node records them) and between updated nodes.
  const deletedEdges = [];
  const cut = Math.round(230_000 * scale);
  for (let made = 0, k = Math.round(updated / 4); made < cut; k++) {
    const from = nodes[k];
    const count = Math.min(1 + (next() % 9), cut - made);
    const rows = new Set();
    while (rows.size < count) rows.add(next() % 2 ? gone[next() % deleted] : nodes[next() % updated]);
    deletedEdges.push([from, rows]);
    made += count;
  }
  const [lastFrom, lastRows] = edges.at(-1);
  const lastEdge = { from: idText(lastFrom), to: idText([...lastRows.keys()].at(-1)) };
  const bytes = encode({ newOrUpdatedNodes: records, deletedNodes: gone, newOrUpdatedEdges: edges, deletedEdges });
  // The records of the hub and of the nodes it points at.
  const updates = new Map(records.slice(0, hubRows.size + 1).map(([id, update]) => [idText(id), update]));
  return { bytes, hub: idText(nodes[0]), updates, lastEdge, edges: hubRows.size + gained };
}
