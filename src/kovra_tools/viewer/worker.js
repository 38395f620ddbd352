// The viewer's data, away from the page: reads and decodes a document, indexes it, and
// answers the page's questions (a page of a table, a search, a node's neighbourhood)
// with only what is shown. The page's thread never holds the document, so a large one
// cannot freeze it. One worker serves one document; the page starts a new one per load.
// js/test/viewer_worker.test.js checks its index against decode's Maps over tests/vectors/.
import { decodeColumns, float32Text, idText } from "../js/kovra_document.js";

const ID_BYTES = 16;
// How often, at most, reading reports its progress.
const PROGRESS_MS = 100;

let doc = null; // the index of the loaded document, below
const sorted = new Map(); // "table column" -> rows in that order (ascending)

self.onmessage = (event) => {
  const message = event.data;
  if (message.type === "load") {
    load(message).catch((error) => post({ type: "error", kind: "internal", message: String(error?.message ?? error) }));
    return;
  }
  let answer;
  try {
    answer = answerFor(message);
  } catch (error) {
    answer = { error: String(error?.message ?? error) };
  }
  post({ type: message.type, request: message.request, ...answer });
};

function post(message) {
  self.postMessage(message);
}

function answerFor(message) {
  if (message.type === "page") return page(message);
  if (message.type === "search") return search(message.query, message.limit);
  if (message.type === "node") return neighbourhood(message.id, message.cap);
  throw new Error(`unknown request ${message.type}`);
}

// ---- loading ---------------------------------------------------------------------------

async function load({ url, file }) {
  let bytes;
  if (file) {
    bytes = await readStream(file.stream(), file.size);
  } else {
    let response;
    try {
      response = await fetch(url, { cache: "no-store" });
    } catch (error) {
      post({ type: "error", kind: "network", message: String(error?.message ?? error) });
      return;
    }
    if (!response.ok) {
      post({ type: "error", kind: "http", status: response.status, statusText: response.statusText });
      return;
    }
    const length = Number(response.headers.get("content-length"));
    bytes = await readStream(response.body, Number.isFinite(length) && length > 0 ? length : 0);
  }
  post({ type: "progress", stage: "decoding", done: bytes.length, total: bytes.length });
  let columns;
  try {
    columns = decodeColumns(bytes);
  } catch (error) {
    post({ type: "error", kind: "document", message: String(error?.message ?? error) });
    return;
  }
  post({ type: "progress", stage: "indexing", done: bytes.length, total: bytes.length });
  doc = index(columns);
  sorted.clear();
  places.clear();
  post({ type: "loaded", summary: summary(columns, bytes.length) });
}

// The stream's bytes in one array, reporting how many have come.
async function readStream(stream, total) {
  const chunks = [];
  let done = 0, reported = 0;
  post({ type: "progress", stage: "reading", done, total });
  for (const reader = stream.getReader(); ; ) {
    const { value, done: end } = await reader.read();
    if (end) break;
    chunks.push(value);
    done += value.length;
    const now = performance.now();
    if (now - reported >= PROGRESS_MS) {
      reported = now;
      post({ type: "progress", stage: "reading", done, total });
    }
  }
  if (chunks.length === 1) return chunks[0];
  const bytes = new Uint8Array(done);
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk, at);
    at += chunk.length;
  }
  return bytes;
}

function summary(c, length) {
  const groups = (g) => g.offsets.length - 1;
  return {
    nodes: c.nodes.label.length,
    deletedNodes: c.deletedNodes.length / ID_BYTES,
    edges: c.edges.weights.length,
    edgeGroups: groups(c.edges),
    deletedEdges: c.deletedEdges.to.length / ID_BYTES,
    deletedEdgeGroups: groups(c.deletedEdges),
    numNodes: c.nodes.label.length + c.deletedNodes.length / ID_BYTES,
    numEdges: groups(c.edges) + groups(c.deletedEdges),
    byteLength: c.byteLength,
    trailing: length - c.byteLength,
  };
}

// ---- the index ---------------------------------------------------------------------------

// Every id of the document gets one number (a "node"): its bytes are row `node` of
// `ids`. The sections' rows then refer to nodes, and each node knows its record, whether
// it is deleted, its groups and the rows that point at it.
function index(c) {
  const table = new NodeTable(c.nodes.label.length + c.deletedNodes.length / ID_BYTES + c.edges.offsets.length);
  const nodeOfRecord = table.addAll(c.nodes.ids);
  const nodeOfDeleted = table.addAll(c.deletedNodes);
  const edges = groupIndex(table, c.edges);
  const cut = groupIndex(table, c.deletedEdges);
  const count = table.count;
  const record = new Int32Array(count).fill(-1);
  nodeOfRecord.forEach((node, row) => (record[node] = row));
  const deleted = new Uint8Array(count);
  for (const node of nodeOfDeleted) deleted[node] = 1;
  return {
    c, table, count, record, deleted, nodeOfRecord, nodeOfDeleted, edges, cut,
    outEdges: groupOfNode(edges.fromNode, count), outCut: groupOfNode(cut.fromNode, count),
    inEdges: rowsInto(edges.toNode, count), inCut: rowsInto(cut.toNode, count),
  };
}

// The nodes of a group section's `from` and `to` ids, and each row's group.
function groupIndex(table, g) {
  const fromNode = table.addAll(g.from);
  const toNode = table.addAll(g.to);
  const groupOfRow = new Int32Array(toNode.length);
  for (let k = 0; k + 1 < g.offsets.length; k++) {
    for (let row = g.offsets[k], end = g.offsets[k + 1]; row < end; row++) groupOfRow[row] = k;
  }
  return { g, fromNode, toNode, groupOfRow, rows: toNode.length };
}

function groupOfNode(fromNode, count) {
  const group = new Int32Array(count).fill(-1);
  fromNode.forEach((node, k) => (group[node] = k));
  return group;
}

// For each node, the rows whose `to` it is: rows[start[n]] to rows[start[n + 1]].
function rowsInto(toNode, count) {
  const start = new Uint32Array(count + 1);
  for (let row = 0; row < toNode.length; row++) start[toNode[row] + 1]++;
  for (let n = 0; n < count; n++) start[n + 1] += start[n];
  const rows = new Uint32Array(toNode.length);
  const at = start.slice(0, count);
  for (let row = 0; row < toNode.length; row++) rows[at[toNode[row]]++] = row;
  return { start, rows };
}

// Ids to node numbers, by open addressing over their four words; the keys are
// random, and the seed keeps a crafted document from lining its ids up in one run.
class NodeTable {
  constructor(expected) {
    this.words = new Int32Array(4 * Math.max(expected, 16));
    this.count = 0;
    this.slots = new Int32Array(tableSizeFor(expected)).fill(-1);
    this.seed = (Math.random() * 2 ** 32) | 0;
  }

  get ids() {
    return new Uint8Array(this.words.buffer, 0, ID_BYTES * this.count);
  }

  // The node of each 16-byte row of `bytes`, adding the new ones.
  addAll(bytes) {
    const rows = bytes.length / ID_BYTES;
    const words = bytes.byteOffset % 4 === 0
      ? new Int32Array(bytes.buffer, bytes.byteOffset, rows * 4)
      : new Int32Array(bytes.slice().buffer);
    const nodes = new Int32Array(rows);
    for (let r = 0; r < rows; r++) nodes[r] = this.add(words[4 * r], words[4 * r + 1], words[4 * r + 2], words[4 * r + 3]);
    return nodes;
  }

  add(a, b, c, d) {
    if (2 * (this.count + 1) > this.slots.length) this.grow();
    const mask = this.slots.length - 1, w = this.words;
    let slot = mix(a, b, c, d, this.seed) & mask;
    for (let n = this.slots[slot]; n >= 0; slot = (slot + 1) & mask, n = this.slots[slot]) {
      if (w[4 * n] === a && w[4 * n + 1] === b && w[4 * n + 2] === c && w[4 * n + 3] === d) return n;
    }
    const n = this.count++;
    if (4 * this.count > w.length) {
      this.words = new Int32Array(2 * w.length);
      this.words.set(w);
    }
    const row = this.words;
    row[4 * n] = a;
    row[4 * n + 1] = b;
    row[4 * n + 2] = c;
    row[4 * n + 3] = d;
    this.slots[slot] = n;
    return n;
  }

  grow() {
    const w = this.words;
    this.slots = new Int32Array(2 * this.slots.length).fill(-1);
    const mask = this.slots.length - 1;
    for (let n = 0; n < this.count; n++) {
      let slot = mix(w[4 * n], w[4 * n + 1], w[4 * n + 2], w[4 * n + 3], this.seed) & mask;
      while (this.slots[slot] >= 0) slot = (slot + 1) & mask;
      this.slots[slot] = n;
    }
  }

  // The node of a 36-character id text, or -1.
  find(text) {
    const bytes = hexBytes(text.replaceAll("-", ""));
    if (bytes === null || bytes.length !== ID_BYTES) return -1;
    const words = new Int32Array(bytes.buffer);
    const [a, b, c, d] = words;
    const mask = this.slots.length - 1, w = this.words;
    let slot = mix(a, b, c, d, this.seed) & mask;
    for (let n = this.slots[slot]; n >= 0; slot = (slot + 1) & mask, n = this.slots[slot]) {
      if (w[4 * n] === a && w[4 * n + 1] === b && w[4 * n + 2] === c && w[4 * n + 3] === d) return n;
    }
    return -1;
  }
}

function tableSizeFor(count) {
  let size = 16;
  while (size < 2 * count) size *= 2;
  return size;
}

function mix(a, b, c, d, seed) {
  let h = seed ^ a;
  h = Math.imul(h ^ (h >>> 16), 0x85ebca6b) ^ b;
  h = Math.imul(h ^ (h >>> 13), 0xc2b2ae35) ^ c;
  h = Math.imul(h ^ (h >>> 16), 0x85ebca6b) ^ d;
  h = Math.imul(h ^ (h >>> 13), 0xc2b2ae35);
  return (h ^ (h >>> 16)) >>> 0;
}

function hexBytes(hex) {
  if (hex.length % 2 || !/^[0-9a-fA-F]*$/.test(hex)) return null;
  const bytes = new Uint8Array(hex.length / 2);
  for (let i = 0; i < bytes.length; i++) bytes[i] = parseInt(hex.slice(2 * i, 2 * i + 2), 16);
  return bytes;
}

function nodeText(node) {
  return idText(doc.table.ids, ID_BYTES * node);
}

// ---- what a node looks like on the page ---------------------------------------------------

// The fields of node `node`'s record that are present, as the page shows them.
function nodeRecord(node) {
  const row = doc.record[node];
  if (row < 0) return null;
  const n = doc.c.nodes, present = n.present[row];
  const has = (f) => (present & (1 << f)) !== 0;
  const out = {};
  if (has(0)) out.label = n.label[row];
  if (has(1)) out.size = n.size[row];
  if (has(1)) out.sizeText = numberText(n.size[row]);
  if (has(2)) out.url = n.url[row];
  if (has(3)) out.red = n.red[row];
  if (has(4)) out.green = n.green[row];
  if (has(5)) out.blue = n.blue[row];
  if (has(6)) out.showLabel = n.showLabel[row] === 1;
  return out;
}

// A binary32 as the document writes it: 0.1, not the digits of its binary64 widening.
function numberText(value) {
  return Number.isFinite(value) ? float32Text(value) : String(value);
}

function nodeSummary(node) {
  return { id: nodeText(node), record: nodeRecord(node), deleted: doc.deleted[node] === 1 };
}

// ---- tables ---------------------------------------------------------------------------------

// The four tables' rows in document order, and the sort keys of their columns.
const TABLES = {
  nodes: {
    rows: () => doc.nodeOfRecord.length,
    rowsOf: (node) => (doc.record[node] < 0 ? [] : [doc.record[node]]),
    cells: (row) => ({ ...nodeSummary(doc.nodeOfRecord[row]) }),
    keys: {
      id: (row) => doc.nodeOfRecord[row],
      label: (row) => textKey(doc.c.nodes, row, 0, "label"),
      url: (row) => textKey(doc.c.nodes, row, 2, "url"),
      size: (row) => (doc.c.nodes.present[row] & 2 ? doc.c.nodes.size[row] : NaN),
      colour: (row) => colourKey(doc.c.nodes, row),
      showLabel: (row) => (doc.c.nodes.present[row] & 64 ? doc.c.nodes.showLabel[row] : -1),
    },
  },
  deletedNodes: {
    rows: () => doc.nodeOfDeleted.length,
    rowsOf: (node) => {
      const row = doc.nodeOfDeleted.indexOf(node);
      return row < 0 ? [] : [row];
    },
    cells: (row) => ({ id: nodeText(doc.nodeOfDeleted[row]) }),
    keys: { id: (row) => doc.nodeOfDeleted[row] },
  },
  edges: {
    rows: () => doc.edges.rows,
    rowsOf: (node) => rowsTouching(doc.edges, doc.outEdges, doc.inEdges, node),
    cells: (row) => ({ ...edgeEnds(doc.edges, row), weight: numberText(doc.c.edges.weights[row]) }),
    keys: {
      from: (row) => doc.edges.fromNode[doc.edges.groupOfRow[row]],
      to: (row) => doc.edges.toNode[row],
      weight: (row) => doc.c.edges.weights[row],
    },
  },
  deletedEdges: {
    rows: () => doc.cut.rows,
    rowsOf: (node) => rowsTouching(doc.cut, doc.outCut, doc.inCut, node),
    cells: (row) => edgeEnds(doc.cut, row),
    keys: {
      from: (row) => doc.cut.fromNode[doc.cut.groupOfRow[row]],
      to: (row) => doc.cut.toNode[row],
    },
  },
};
// Columns whose keys are node numbers, ordered by the ids' text.
const ID_COLUMNS = new Set(["id", "from", "to"]);

function edgeEnds(section, row) {
  const from = section.fromNode[section.groupOfRow[row]], to = section.toNode[row];
  return { from: nodeText(from), to: nodeText(to), fromLabel: nodeRecord(from)?.label, toLabel: nodeRecord(to)?.label };
}

function textKey(n, row, f, key) {
  return n.present[row] & (1 << f) ? n[key][row] : null;
}

function colourKey(n, row) {
  if ((n.present[row] & 0b111000) === 0) return -1;
  return (n.red[row] << 16) | (n.green[row] << 8) | n.blue[row];
}

// The rows of an edge section from or to the node, in document order.
function rowsTouching(section, out, into, node) {
  const rows = new Set(outRows(section, out[node]));
  for (const row of inRows(into, node)) rows.add(row);
  return [...rows].sort((a, b) => a - b);
}

// Rows offset to offset + count of a table, or of its rows that mention the node with
// the id `node`, in the document's order or sorted by a column.
function page({ table, sort, descending, offset, count, node }) {
  const t = TABLES[table];
  let order = sort ? sortedRows(table, sort) : null;
  if (node) {
    const n = doc.table.find(node);
    const mine = n < 0 ? [] : t.rowsOf(n);
    if (order) {
      const place = placeIn(table, sort, order);
      mine.sort((a, b) => place[a] - place[b]);
    }
    order = mine;
  }
  const total = order ? order.length : t.rows();
  const start = Math.max(0, Math.min(offset, Math.max(0, total - 1)));
  const end = Math.min(total, start + count);
  const rows = [];
  for (let i = start; i < end; i++) {
    const at = descending ? total - 1 - i : i;
    const row = order ? order[at] : at;
    rows.push({ position: i, ...t.cells(row) });
  }
  return { table, total, offset: start, rows };
}

// Each row's place in `order`, made once per column and kept.
const places = new Map();
function placeIn(table, column, order) {
  const name = `${table} ${column}`;
  if (!places.has(name)) {
    const place = new Uint32Array(order.length);
    order.forEach((row, i) => (place[row] = i));
    places.set(name, place);
  }
  return places.get(name);
}

// The table's rows ordered by a column, made once per column and kept. Absent values
// (null, NaN, -1 keys) come first; ties keep document order.
function sortedRows(table, column) {
  const name = `${table} ${column}`;
  if (sorted.has(name)) return sorted.get(name);
  const t = TABLES[table], key = t.keys[column];
  if (!key) throw new Error(`no column ${column} in ${table}`);
  const total = t.rows();
  const order = Uint32Array.from({ length: total }, (_, i) => i);
  if (column === "label" || column === "url") {
    const keys = Array.from({ length: total }, (_, row) => key(row));
    order.sort((a, b) => compareTexts(keys[a], keys[b]) || a - b);
  } else {
    const rank = ID_COLUMNS.has(column) ? idRanks() : null;
    const keys = new Float64Array(total);
    for (let row = 0; row < total; row++) {
      const value = rank ? rank[key(row)] : key(row);
      keys[row] = Number.isNaN(value) ? -Infinity : value;
    }
    order.sort((a, b) => keys[a] - keys[b] || a - b);
  }
  sorted.set(name, order);
  return order;
}

function compareTexts(a, b) {
  if (a === b) return 0;
  if (a === null) return -1;
  if (b === null) return 1;
  return a < b ? -1 : 1;
}

// Each node's place among all ids in the order of their text (the order of their bytes).
let ranks = null;
function idRanks() {
  if (ranks?.doc === doc) return ranks.rank;
  const ids = doc.table.ids, count = doc.count;
  const big = new Uint32Array(4 * count);
  for (let n = 0; n < count; n++) {
    for (let w = 0; w < 4; w++) {
      const p = ID_BYTES * n + 4 * w;
      big[4 * n + w] = ((ids[p] << 24) | (ids[p + 1] << 16) | (ids[p + 2] << 8) | ids[p + 3]) >>> 0;
    }
  }
  const order = Uint32Array.from({ length: count }, (_, i) => i);
  order.sort((a, b) => big[4 * a] - big[4 * b] || big[4 * a + 1] - big[4 * b + 1] ||
    big[4 * a + 2] - big[4 * b + 2] || big[4 * a + 3] - big[4 * b + 3]);
  const rank = new Uint32Array(count);
  order.forEach((node, i) => (rank[node] = i));
  ranks = { doc, rank };
  return rank;
}

// ---- search -----------------------------------------------------------------------------------

// The nodes whose id starts with the query's hex digits (hyphens and case aside), then
// those whose label holds the query's text (case aside), each once; at most `limit`
// of them, with how many there are in all.
function search(query, limit) {
  const text = query.trim();
  if (text === "") return { query, total: 0, results: [] };
  const found = new Set();
  const hex = text.replaceAll("-", "").toLowerCase();
  if (/^[0-9a-f]{1,32}$/.test(hex)) {
    const ids = doc.table.ids;
    const digits = Uint8Array.from(hex, (ch) => parseInt(ch, 16));
    for (let n = 0; n < doc.count; n++) {
      let k = 0;
      for (const p = ID_BYTES * n; k < digits.length; k++) {
        const byte = ids[p + (k >> 1)];
        if ((k & 1 ? byte & 15 : byte >> 4) !== digits[k]) break;
      }
      if (k === digits.length) found.add(n);
    }
  }
  const needle = text.toLowerCase();
  const labels = doc.c.nodes.label, present = doc.c.nodes.present;
  for (let row = 0; row < labels.length; row++) {
    if (present[row] & 1 && labels[row].toLowerCase().includes(needle)) found.add(doc.nodeOfRecord[row]);
  }
  const results = [];
  for (const node of found) {
    if (results.length === limit) break;
    results.push({ ...nodeSummary(node), ...appearances(node) });
  }
  return { query, total: found.size, results };
}

// How many rows of each section mention the node.
function appearances(node) {
  const groupRows = (section, group) => (group < 0 ? 0 : section.g.offsets[group + 1] - section.g.offsets[group]);
  const into = (inRows) => inRows.start[node + 1] - inRows.start[node];
  return {
    edgesOut: groupRows(doc.edges, doc.outEdges[node]),
    edgesIn: into(doc.inEdges),
    deletedOut: groupRows(doc.cut, doc.outCut[node]),
    deletedIn: into(doc.inCut),
  };
}

// ---- a node's neighbourhood --------------------------------------------------------------------

// The node, and its neighbours through the four kinds of row, taken in turn from each
// kind so that a hub's drawing shows some of each; at most `cap` neighbours.
function neighbourhood(id, cap) {
  const node = doc.table.find(id);
  if (node < 0) return { id, missing: true };
  const kinds = [
    ["gained out", outRows(doc.edges, doc.outEdges[node]), (row) => doc.edges.toNode[row], true, true],
    ["gained in", inRows(doc.inEdges, node), (row) => fromOf(doc.edges, row), true, false],
    ["deleted out", outRows(doc.cut, doc.outCut[node]), (row) => doc.cut.toNode[row], false, true],
    ["deleted in", inRows(doc.inCut, node), (row) => fromOf(doc.cut, row), false, false],
  ];
  const neighbours = new Map(); // node -> index in `drawn`
  const drawn = [], edges = [];
  const all = new Set();
  for (const [, rows, other] of kinds) for (const row of rows) all.add(other(row));
  const next = kinds.map(() => 0);
  for (let progress = true; progress; ) {
    progress = false;
    for (let k = 0; k < kinds.length; k++) {
      const [kind, rows, other, gained, outward] = kinds[k];
      while (next[k] < rows.length) {
        const row = rows[next[k]++];
        const to = other(row);
        if (!neighbours.has(to)) {
          if (drawn.length === cap || to === node) {
            if (to === node) edges.push(edgeOf(kind, row, gained, outward, -1));
            continue;
          }
          neighbours.set(to, drawn.length);
          drawn.push(nodeSummary(to));
        }
        edges.push(edgeOf(kind, row, gained, outward, neighbours.get(to)));
        progress = true;
        break;
      }
    }
  }
  return {
    id,
    centre: { ...nodeSummary(node), ...appearances(node) },
    neighbours: drawn,
    edges,
    neighbourTotal: all.has(node) ? all.size - 1 : all.size,
    cap,
  };
}

function edgeOf(kind, row, gained, outward, neighbour) {
  return { kind, neighbour, outward, weight: gained ? numberText(doc.c.edges.weights[row]) : undefined };
}

function fromOf(section, row) {
  return section.fromNode[section.groupOfRow[row]];
}

function outRows(section, group) {
  if (group < 0) return [];
  const rows = [];
  for (let r = section.g.offsets[group]; r < section.g.offsets[group + 1]; r++) rows.push(r);
  return rows;
}

function inRows(into, node) {
  return into.rows.subarray(into.start[node], into.start[node + 1]);
}
