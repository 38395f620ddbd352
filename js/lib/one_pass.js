// decode and decodeColumns in one pass, for the documents to_bytes writes.
//
// Fast path of the document reader; its general twin is decodeAny in reader.js, and
// js/test/twins.test.js runs the two against each other on random and mutated
// documents.

import * as layoutJs from "./layout.js";
import * as idsJs from "./ids.js";
import * as recordJs from "./record.js";
import * as columnsJs from "./columns.js";

const { COUNT_BYTES, ID_BYTES, UTF8, WEIGHT_BYTES } = layoutJs;
const { ID_TEXT_LENGTH, hasRepeatedRow, putIdTexts } = idsJs;
const { otherRecord } = recordJs;
const { RecordColumns, columnUpdate, putUpdate } = columnsJs;

/** @typedef {import("../kovra_document.js").NodeUpdate} NodeUpdate */
/** @typedef {import("../kovra_document.js").Document} Document */
/** @typedef {import("../kovra_document.js").DocumentColumns} DocumentColumns */
/** @typedef {import("../kovra_document.js").GroupColumns} GroupColumns */
/**
 * What columnsInOnePass read: the columns, and the records it parsed (their numbers
 * in order, and their updates).
 * @typedef {{ columns: DocumentColumns, parsedAt: number[], parsed: NodeUpdate[] }} OnePass
 */

// Ids and weights are copied four bytes at a time, read in the platform's own order so
// that the words land as the bytes stood.
const NATIVE_ORDER = new Uint8Array(Uint16Array.of(1).buffer)[0] === 1;

/**
 * Whether the 24 bytes at p, within the input, are an id of length 16.
 * @param {DataView} view
 * @param {number} p
 * @param {number} end
 */
function isIdAt(view, p, end) {
  return end - p >= COUNT_BYTES + ID_BYTES && view.getUint32(p, true) === ID_BYTES && view.getUint32(p + 4, true) === 0;
}

/**
 * The id at p (after its length) into row `row` of `words`.
 * @param {DataView} view
 * @param {number} p
 * @param {Int32Array} words
 * @param {number} row
 */
function copyId(view, p, words, row) {
  words[4 * row] = view.getInt32(p, NATIVE_ORDER);
  words[4 * row + 1] = view.getInt32(p + 4, NATIVE_ORDER);
  words[4 * row + 2] = view.getInt32(p + 8, NATIVE_ORDER);
  words[4 * row + 3] = view.getInt32(p + 12, NATIVE_ORDER);
}

// A count at p that the bytes from p on could hold, each entry taking at least
// `entryBytes` after the count's own 8; -1 for any other.
/**
 * @param {DataView} view
 * @param {number} p
 * @param {number} end
 * @param {number} entryBytes
 */
function countAt(view, p, end, entryBytes) {
  if (end - p < COUNT_BYTES || view.getUint32(p + 4, true) !== 0) return -1;
  const count = view.getUint32(p, true);
  return count <= (end - p - COUNT_BYTES) / entryBytes ? count : -1;
}

// A group section at p as columns, or null when it is not all there or an id stands
// twice among its `from` ids or in one group. Its headers are walked first, so that
// the rows' columns are made at their size. Returns the columns and where the section
// ends.
/**
 * @param {DataView} view
 * @param {number} p
 * @param {number} end
 * @param {boolean} weighted
 * @returns {{ group: GroupColumns & { weights?: Float32Array }, end: number } | null}
 */
function groupColumns(view, p, end, weighted) {
  const rowBytes = COUNT_BYTES + ID_BYTES + (weighted ? WEIGHT_BYTES : 0);
  const groups = countAt(view, p, end, 2 * COUNT_BYTES + ID_BYTES);
  if (groups < 0) return null;
  p += COUNT_BYTES;
  let rows = 0;
  for (let g = 0, q = p; g < groups; g++) {
    if (end - q < 2 * COUNT_BYTES + ID_BYTES) return null;
    const count = countAt(view, q + COUNT_BYTES + ID_BYTES, end, rowBytes);
    if (count < 0) return null;
    rows += count;
    q += 2 * COUNT_BYTES + ID_BYTES + rowBytes * count;
  }
  const from = new Uint8Array(ID_BYTES * groups), offsets = new Uint32Array(groups + 1);
  const to = new Uint8Array(ID_BYTES * rows);
  const fromWords = new Int32Array(from.buffer), toWords = new Int32Array(to.buffer);
  const weights = new Float32Array(weighted ? rows : 0);
  const weightBits = new Int32Array(weights.buffer);
  let r = 0;
  for (let g = 0; g < groups; g++) {
    if (!isIdAt(view, p, end)) return null;
    copyId(view, p + COUNT_BYTES, fromWords, g);
    const count = view.getUint32(p + COUNT_BYTES + ID_BYTES, true);
    p += 2 * COUNT_BYTES + ID_BYTES;
    offsets[g] = r;
    for (let k = 0; k < count; k++, r++, p += rowBytes) {
      if (!isIdAt(view, p, end)) return null;
      copyId(view, p + COUNT_BYTES, toWords, r);
      if (weighted) weightBits[r] = view.getInt32(p + COUNT_BYTES + ID_BYTES, NATIVE_ORDER);
    }
    if (hasRepeatedRow(toWords, offsets[g], r)) return null;
  }
  offsets[groups] = r;
  if (hasRepeatedRow(fromWords, 0, groups)) return null;
  return { group: weighted ? { from, offsets, to, weights } : { from, offsets, to }, end: p };
}


/**
 * The columns of decodeColumns in one pass over the input, for a document that is all
 * there and has no id twice where the reader resolves repeats (every document to_bytes
 * writes), with the updates of the records not in the writer's form as they came;
 * null for any other document, which decodeAny then reads or refuses.
 * @param {Uint8Array} bytes
 * @returns {OnePass | null}
 */
export function columnsInOnePass(bytes) {
  const end = bytes.length;
  const view = new DataView(bytes.buffer, bytes.byteOffset, end);
  const n = countAt(view, 0, end, 2 * COUNT_BYTES + ID_BYTES);
  if (n < 0) return null;
  let p = COUNT_BYTES;
  const ids = new Uint8Array(ID_BYTES * n);
  const idWords = new Int32Array(ids.buffer);
  const records = new RecordColumns(n, end);
  // The records not in the writer's form: their numbers and updates.
  /** @type {number[]} */
  const parsedAt = [];
  /** @type {NodeUpdate[]} */
  const parsed = [];
  for (let i = 0; i < n; i++) {
    if (!isIdAt(view, p, end)) return null;
    copyId(view, p + COUNT_BYTES, idWords, i);
    p += COUNT_BYTES + ID_BYTES;
    const length = countAt(view, p, end, 1);
    if (length < 0) return null;
    p += COUNT_BYTES;
    if (!records.take(bytes, view, i, p, p + length)) {
      const update = otherRecord(bytes, p, p + length);
      if (update === null) return null;
      parsedAt.push(i);
      parsed.push(update);
    }
    p += length;
  }
  if (hasRepeatedRow(idWords, 0, n)) return null;

  const deleted = countAt(view, p, end, COUNT_BYTES + ID_BYTES);
  if (deleted < 0) return null;
  p += COUNT_BYTES;
  const deletedNodes = new Uint8Array(ID_BYTES * deleted);
  const deletedWords = new Int32Array(deletedNodes.buffer);
  for (let i = 0; i < deleted; i++, p += COUNT_BYTES + ID_BYTES) {
    if (!isIdAt(view, p, end)) return null;
    copyId(view, p + COUNT_BYTES, deletedWords, i);
  }
  if (hasRepeatedRow(deletedWords, 0, deleted)) return null;
  const edges = groupColumns(view, p, end, true);
  if (edges === null) return null;
  const deletedEdges = groupColumns(view, edges.end, end, false);
  if (deletedEdges === null) return null;

  const nodes = records.finish(ids);
  // Records not in the writer's form, as decodeColumns takes them from their updates.
  for (let k = 0; k < parsed.length; k++) putUpdate(nodes, parsedAt[k], parsed[k]);
  const weighted = /** @type {GroupColumns & { weights: Float32Array }} */ (edges.group);
  const columns = { nodes, deletedNodes, edges: weighted, deletedEdges: deletedEdges.group, byteLength: deletedEdges.end };
  return { columns, parsedAt, parsed };
}


/**
 * decode's result from the columns of columnsInOnePass (no id stands twice where the
 * reader resolves repeats), with the updates of the records it parsed as they came.
 * The ids' texts are slices of one text of them all, in the order they are met.
 * @param {OnePass} onePass
 * @returns {Document}
 */
export function documentOf(onePass) {
  const { columns, parsedAt, parsed } = onePass;
  const { nodes, deletedNodes, edges, deletedEdges } = columns;
  const sections = [nodes.ids, deletedNodes, edges.from, edges.to, deletedEdges.from, deletedEdges.to];
  let at = 0;
  const hex = new Uint8Array(sections.reduce((sum, rows) => sum + rows.length, 0) / ID_BYTES * ID_TEXT_LENGTH);
  for (const rows of sections) at = putIdTexts(rows, hex, at);
  const texts = at === 0 ? "" : UTF8.decode(hex);
  let t = 0;

  /** @type {Map<string, NodeUpdate>} */
  const newOrUpdatedNodes = new Map();
  for (let i = 0, k = 0; i < nodes.present.length; i++, t += ID_TEXT_LENGTH) {
    let update;
    if (k < parsedAt.length && parsedAt[k] === i) {
      update = parsed[k++];
    } else {
      update = columnUpdate(nodes, i);
    }
    newOrUpdatedNodes.set(texts.substring(t, t + ID_TEXT_LENGTH), update);
  }
  const deleted = new Array(deletedNodes.length / ID_BYTES);
  for (let i = 0; i < deleted.length; i++, t += ID_TEXT_LENGTH) deleted[i] = texts.substring(t, t + ID_TEXT_LENGTH);

  /** @type {Map<string, Map<string, number>>} */
  const newOrUpdatedEdges = new Map();
  const groups = edges.offsets.length - 1;
  let r = t + ID_TEXT_LENGTH * groups; // the rows' texts follow the groups'
  for (let g = 0; g < groups; g++, t += ID_TEXT_LENGTH) {
    /** @type {Map<string, number>} */
    const rows = new Map();
    for (let k = edges.offsets[g]; k < edges.offsets[g + 1]; k++, r += ID_TEXT_LENGTH) {
      rows.set(texts.substring(r, r + ID_TEXT_LENGTH), edges.weights[k]);
    }
    newOrUpdatedEdges.set(texts.substring(t, t + ID_TEXT_LENGTH), rows);
  }
  t = r;
  /** @type {Map<string, string[]>} */
  const cutEdges = new Map();
  const cuts = deletedEdges.offsets.length - 1;
  r = t + ID_TEXT_LENGTH * cuts;
  for (let g = 0; g < cuts; g++, t += ID_TEXT_LENGTH) {
    const rows = new Array(deletedEdges.offsets[g + 1] - deletedEdges.offsets[g]);
    for (let k = 0; k < rows.length; k++, r += ID_TEXT_LENGTH) rows[k] = texts.substring(r, r + ID_TEXT_LENGTH);
    cutEdges.set(texts.substring(t, t + ID_TEXT_LENGTH), rows);
  }
  return {
    newOrUpdatedNodes,
    deletedNodes: deleted,
    newOrUpdatedEdges,
    deletedEdges: cutEdges,
    numNodes: newOrUpdatedNodes.size + deleted.length,
    numEdges: newOrUpdatedEdges.size + cutEdges.size,
    byteLength: columns.byteLength,
  };
}
