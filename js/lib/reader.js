// The document reader (docs/format.md, "What a reader accepts"): decode and
// decodeColumns.
//
// Fast path and general twin, held together by js/test/twins.test.js (documents
// written by encode, then mutated: repeats, cut input, changed records, U+FEFF, bad
// UTF-8) and by tests/test_js_agreement.py against from_bytes: columnsInOnePass with
// documentOf (one_pass.js), for a document that is all there with no id twice where
// repeats are resolved, against decodeAny here, which numbers every id, resolves
// repeats as from_bytes does and says what is wrong.

import * as layoutJs from "./layout.js";
import * as idsJs from "./ids.js";
import * as recordJs from "./record.js";
import * as columnsJs from "./columns.js";
import * as onePassJs from "./one_pass.js";

const { COUNT_BYTES, DocumentError, ID_BYTES, TWO_32, WEIGHT_BYTES, asBytes, fail } = layoutJs;
const { IdNumbers, idTexts } = idsJs;
const { isUtf8, parseRecord } = recordJs;
const { RecordColumns, columnUpdate, columnsOf } = columnsJs;
const { columnsInOnePass, documentOf } = onePassJs;

/** @typedef {import("../kovra_document.js").NodeUpdate} NodeUpdate */
/** @typedef {import("../kovra_document.js").Document} Document */
/** @typedef {import("../kovra_document.js").DocumentColumns} DocumentColumns */

/**
 * The content of a document; throws DocumentError for what from_bytes refuses.
 * @param {Uint8Array | ArrayBuffer | ArrayBufferView} input
 * @returns {Document}
 */
export function decode(input) {
  const bytes = asBytes(input);
  const columns = columnsInOnePass(bytes);
  return columns !== null ? documentOf(columns) : decodeAny(bytes);
}

/**
 * The same content as decode, as typed arrays: ids as 16-byte rows, a group's rows at
 * offsets[g] ... offsets[g + 1], weights with their bits as written. Repeats are
 * resolved as decode resolves them.
 * @param {Uint8Array | ArrayBuffer | ArrayBufferView} input
 * @returns {DocumentColumns}
 */
export function decodeColumns(input) {
  const bytes = asBytes(input);
  const columns = columnsInOnePass(bytes);
  if (columns !== null) return columns.columns;
  // Repeats, or something wrong: decodeAny resolves the one and says what the other is.
  return columnsOf(decodeAny(bytes));
}

// ---- the outer layer -------------------------------------------------------------

// The general reader's cursor over the outer layer.
class Cursor {
  /** @param {Uint8Array} bytes */
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.at = 0;
  }

  left() {
    return this.bytes.length - this.at;
  }

  /**
   * @param {number} size
   * @param {string} what
   */
  need(size, what) {
    if (this.left() < size) {
      fail(`${what} at offset ${this.at} needs ${size} bytes, ${this.left()} remain`);
    }
  }

  // A count or length. Past 2^53 the value is not exact, but it then exceeds every
  // input and is never 16, which is all a reader asks of it.
  /** @param {string} what */
  u64(what) {
    this.need(COUNT_BYTES, what);
    const v = this.view;
    const value = v.getUint32(this.at + 4, true) * TWO_32 + v.getUint32(this.at, true);
    this.at += COUNT_BYTES;
    return value;
  }

  // The offset of the next id's 16 bytes.
  id() {
    const length = this.u64("id length");
    if (length > this.left()) fail(`id length ${length} at offset ${this.at - 8} exceeds the input`);
    if (length !== ID_BYTES) fail(`id length ${length} at offset ${this.at - 8} (must be 16)`);
    const at = this.at;
    this.at += ID_BYTES;
    return at;
  }

  // The start of the next record; its UTF-8 is checked with its JSON.
  record() {
    const length = this.u64("record length");
    if (length > this.left()) {
      fail(`record length ${length} at offset ${this.at - 8} exceeds the input`);
    }
    const start = this.at;
    this.at += length;
    return start;
  }
}

/**
 * Whether 24 bytes at p are an id of length 16 (within the input).
 * @param {Uint8Array} b
 * @param {number} p
 */
function isId(b, p) {
  return p + COUNT_BYTES + ID_BYTES <= b.length && b[p] === ID_BYTES &&
    (b[p + 1] | b[p + 2] | b[p + 3] | b[p + 4] | b[p + 5] | b[p + 6] | b[p + 7]) === 0;
}

/**
 * The offset of the 16 bytes of the id at the cursor, checked; the cursor moves past.
 * @param {Cursor} r
 */
function nextId(r) {
  const p = r.at;
  if (isId(r.bytes, p)) {
    r.at = p + COUNT_BYTES + ID_BYTES;
    return p + COUNT_BYTES;
  }
  return r.id(); // says what is wrong
}

// A group section: each group's `from` id, where its rows start among all rows, and
// each row's `to` id (a weight follows it when `weightBytes` is 4). No count is
// trusted for an allocation beyond what the bytes left could hold.
/**
 * @param {Cursor} r
 * @param {number} weightBytes
 */
function scanGroups(r, weightBytes) {
  const b = r.bytes;
  const groups = r.u64("count of groups");
  const capacity = Math.min(groups, Math.floor(r.left() / (2 * COUNT_BYTES + ID_BYTES)));
  const fromAt = new Uint32Array(capacity);
  const offsets = new Uint32Array(capacity + 1);
  const rowBytes = COUNT_BYTES + ID_BYTES + weightBytes;
  const toAt = new Uint32Array(Math.floor(r.left() / rowBytes));
  let rows = 0;
  for (let g = 0; g < groups; g++) {
    fromAt[g] = nextId(r);
    offsets[g] = rows;
    const count = r.u64("count of a group");
    let p = r.at;
    if (count * rowBytes <= b.length - p) {
      for (let k = 0; k < count; k++, p += rowBytes) {
        if (!isId(b, p)) break;
        toAt[rows++] = p + COUNT_BYTES;
      }
      r.at = p;
      if (rows - offsets[g] === count) continue;
    }
    // Not all there: row by row, which says where the input ends or goes wrong.
    for (let k = rows - offsets[g]; k < count; k++) {
      toAt[rows++] = nextId(r);
      r.need(weightBytes, "weight");
      r.at += weightBytes;
    }
  }
  offsets[groups] = rows;
  return { fromAt, offsets, toAt: toAt.subarray(0, rows) };
}

// Reads the outer layer: where each id, record and weight stands (a row's weight
// follows its `to` id), everything but the records checked.
/** @param {Uint8Array} bytes */
function scan(bytes) {
  const r = new Cursor(bytes);
  const count = r.u64("count of nodes");
  const capacity = Math.min(count, Math.floor(r.left() / (2 * COUNT_BYTES + ID_BYTES)));
  const nodeAt = new Uint32Array(capacity);
  const recordStart = new Uint32Array(capacity), recordEnd = new Uint32Array(capacity);
  for (let i = 0; i < count; i++) {
    nodeAt[i] = nextId(r);
    recordStart[i] = r.record();
    recordEnd[i] = r.at;
  }
  const deleted = r.u64("count of deleted nodes");
  const deletedAt = new Uint32Array(Math.min(deleted, Math.floor(r.left() / (COUNT_BYTES + ID_BYTES))));
  for (let i = 0; i < deleted; i++) deletedAt[i] = nextId(r);
  const edges = scanGroups(r, WEIGHT_BYTES);
  const deletedEdges = scanGroups(r, 0);
  return { nodeAt, recordStart, recordEnd, deletedAt, edges, deletedEdges, byteLength: r.at };
}

/**
 * The node records' updates as node columns (ids aside), with the updates of the
 * records not in the writer's form in `parsed` and why each record that failed did in
 * `errors`. A record that is not UTF-8 fails the document whatever comes after it.
 * @param {Uint8Array} bytes
 * @param {{ recordStart: Uint32Array, recordEnd: Uint32Array }} doc
 */
function readRecords(bytes, doc) {
  const { recordStart, recordEnd } = doc;
  const n = recordStart.length;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const records = new RecordColumns(n, bytes.length);
  /** @type {Map<number, NodeUpdate>} record -> update, for those not in the writer's form */
  const parsed = new Map();
  /** @type {Map<number, InstanceType<typeof DocumentError>>} record -> why it failed */
  const errors = new Map();
  for (let i = 0; i < n; i++) {
    if (records.take(bytes, view, i, recordStart[i], recordEnd[i])) continue;
    if (!isUtf8(bytes, recordStart[i], recordEnd[i])) fail(`node record at offset ${recordStart[i]} is not UTF-8`);
    try {
      parsed.set(i, parseRecord(bytes, recordStart[i], recordEnd[i]));
    } catch (error) {
      if (!(error instanceof DocumentError)) throw error;
      errors.set(i, error);
    }
  }
  return { ...records.finish(new Uint8Array(0)), parsed, errors };
}

// ---- decode for any input ---------------------------------------------------------

/**
 * decode for any input: every id numbered, repeats resolved as from_bytes resolves
 * them, and what is wrong said.
 * @param {Uint8Array} bytes
 * @returns {Document}
 */
export function decodeAny(bytes) {
  const doc = scan(bytes);
  const records = readRecords(bytes, doc);
  const ids = new IdNumbers(bytes, doc.nodeAt.length + doc.edges.fromAt.length + doc.deletedEdges.fromAt.length);
  const nodes = ids.numbers(doc.nodeAt);
  const deleted = ids.numbers(doc.deletedAt);
  const sections = [doc.edges, doc.deletedEdges].map(({ fromAt, offsets, toAt }) => ({
    from: ids.numbers(fromAt),
    offsets,
    to: ids.numbers(toAt),
    toAt,
  }));
  const texts = idTexts(bytes, ids.firstAt.subarray(0, ids.count));

  // The rule of from_bytes: a record that a later one of the same id replaces does
  // not count, even if it is broken; an id takes its place at its first record that
  // parses.
  const latest = new Int32Array(ids.count).fill(-1);
  for (let i = 0; i < nodes.length; i++) latest[nodes[i]] = i;
  /** @type {Map<string, NodeUpdate>} */
  const newOrUpdatedNodes = new Map();
  for (let i = 0; i < nodes.length; i++) {
    const id = nodes[i];
    if (records.errors.has(i)) {
      if (latest[id] === i) throw records.errors.get(i);
      continue;
    }
    // The latest valid record's update, in the place of the first valid one.
    if (latest[id] === i || !newOrUpdatedNodes.has(texts[id])) {
      const last = latest[id];
      if (records.errors.has(last)) throw records.errors.get(last);
      newOrUpdatedNodes.set(texts[id], records.parsed.get(last) ?? columnUpdate(records, last));
    }
  }
  /** @type {Set<string>} */
  const deletedNodes = new Set();
  for (let k = 0; k < deleted.length; k++) deletedNodes.add(texts[deleted[k]]);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  // A later group of the same `from` replaces the earlier one in its place.
  const [weighted, unweighted] = sections;
  /** @type {Map<string, Map<string, number>>} */
  const newOrUpdatedEdges = new Map();
  for (let g = 0; g < weighted.from.length; g++) {
    /** @type {Map<string, number>} */
    const rows = new Map();
    for (let k = weighted.offsets[g]; k < weighted.offsets[g + 1]; k++) {
      rows.set(texts[weighted.to[k]], view.getFloat32(weighted.toAt[k] + ID_BYTES, true));
    }
    newOrUpdatedEdges.set(texts[weighted.from[g]], rows);
  }
  /** @type {Map<string, string[]>} */
  const deletedEdges = new Map();
  for (let g = 0; g < unweighted.from.length; g++) {
    /** @type {Set<string>} */
    const rows = new Set();
    for (let k = unweighted.offsets[g]; k < unweighted.offsets[g + 1]; k++) rows.add(texts[unweighted.to[k]]);
    deletedEdges.set(texts[unweighted.from[g]], [...rows]);
  }
  return {
    newOrUpdatedNodes,
    deletedNodes: [...deletedNodes],
    newOrUpdatedEdges,
    deletedEdges,
    numNodes: newOrUpdatedNodes.size + deletedNodes.size,
    numEdges: newOrUpdatedEdges.size + deletedEdges.size,
    byteLength: doc.byteLength,
  };
}
