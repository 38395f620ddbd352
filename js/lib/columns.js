// The node columns of decodeColumns: filled from records in the writer's form, or from
// updates; and a decoded document as columns.

import * as layoutJs from "./layout.js";
import * as idsJs from "./ids.js";
import * as recordJs from "./record.js";

const { BLUE, FIELDS, FULL, GREEN, ID_BYTES, LABEL, RED, SHOW_LABEL, SIZE, URL, UTF8 } = layoutJs;
const { putId } = idsJs;
const { FormValues, writerRecord } = recordJs;

/** @typedef {import("../kovra_document.js").NodeUpdate} NodeUpdate */
/** @typedef {import("../kovra_document.js").NodeColumns} NodeColumns */
/** @typedef {import("../kovra_document.js").Document} Document */
/** @typedef {import("../kovra_document.js").DocumentColumns} DocumentColumns */

// Node columns filled record by record: a record in the writer's form goes straight
// into them, its texts gathered to be decoded at once and sliced at the end.
export class RecordColumns {
  /**
   * @param {number} n  the records to come
   * @param {number} room  their bytes, at most
   */
  constructor(n, room) {
    this.present = new Uint8Array(n);
    this.size = new Float32Array(n);
    this.red = new Uint8Array(n);
    this.green = new Uint8Array(n);
    this.blue = new Uint8Array(n);
    this.showLabel = new Uint8Array(n);
    this.texts = new Uint8Array(Math.min(room, 1 << 20));
    this.ends = new Uint32Array(2 * n); // where each record's label and url end in texts
    this.at = 0;
    this.form = new FormValues();
  }

  /**
   * Whether record i, bytes[p, end), is in the writer's form; it is in the columns if so.
   * @param {Uint8Array} bytes
   * @param {DataView} view  over bytes
   * @param {number} i
   * @param {number} p
   * @param {number} end
   */
  take(bytes, view, i, p, end) {
    const at = this.at;
    if (at + end - p > this.texts.length) {
      const grown = new Uint8Array(Math.max(2 * this.texts.length, at + end - p));
      grown.set(this.texts.subarray(0, at));
      this.texts = grown;
    }
    const form = this.form;
    const fields = writerRecord(bytes, view, p, end, this.texts, at, form);
    if (fields < 0) {
      this.ends[2 * i] = this.ends[2 * i + 1] = at;
      return false;
    }
    this.present[i] = fields;
    if (fields & (1 << SIZE)) this.size[i] = form.size;
    if (fields & (1 << RED)) this.red[i] = form.red;
    if (fields & (1 << GREEN)) this.green[i] = form.green;
    if (fields & (1 << BLUE)) this.blue[i] = form.blue;
    if (fields & (1 << SHOW_LABEL)) this.showLabel[i] = form.showLabel;
    this.ends[2 * i] = form.labelEnd;
    this.ends[2 * i + 1] = this.at = form.textEnd;
    return true;
  }

  /**
   * The columns, "" for a text that is absent or was not taken.
   * @param {Uint8Array} ids
   * @returns {NodeColumns}
   */
  finish(ids) {
    const { present, ends } = this, n = present.length;
    // ASCII all, so that a character stands for each byte.
    const all = this.at === 0 ? "" : UTF8.decode(this.texts.subarray(0, this.at));
    const label = new Array(n), url = new Array(n);
    for (let i = 0, start = 0; i < n; i++) {
      const fields = present[i], middle = ends[2 * i], stop = ends[2 * i + 1];
      label[i] = fields & (1 << LABEL) ? all.substring(start, middle) : "";
      url[i] = fields & (1 << URL) ? all.substring(middle, stop) : "";
      start = stop;
    }
    const { size, red, green, blue, showLabel } = this;
    return { ids, present, label, size, url, red, green, blue, showLabel };
  }
}

/**
 * Node i's update from the columns, its fields in the writer's order.
 * @param {NodeColumns} nodes
 * @param {number} i
 * @returns {NodeUpdate}
 */
export function columnUpdate(nodes, i) {
  const fields = nodes.present[i];
  if (fields === FULL) {
    return {
      label: nodes.label[i],
      size: nodes.size[i],
      url: nodes.url[i],
      red: nodes.red[i],
      green: nodes.green[i],
      blue: nodes.blue[i],
      showLabel: nodes.showLabel[i] === 1,
    };
  }
  /** @type {NodeUpdate} */
  const update = {};
  if (fields & (1 << LABEL)) update.label = nodes.label[i];
  if (fields & (1 << SIZE)) update.size = nodes.size[i];
  if (fields & (1 << URL)) update.url = nodes.url[i];
  if (fields & (1 << RED)) update.red = nodes.red[i];
  if (fields & (1 << GREEN)) update.green = nodes.green[i];
  if (fields & (1 << BLUE)) update.blue = nodes.blue[i];
  if (fields & (1 << SHOW_LABEL)) update.showLabel = nodes.showLabel[i] === 1;
  return update;
}

/**
 * Node i's update into node columns: its present fields and their values.
 * @param {NodeColumns} columns
 * @param {number} i
 * @param {NodeUpdate} update
 */
export function putUpdate(columns, i, update) {
  let present = 0;
  for (let f = 0; f < FIELDS.length; f++) {
    const key = FIELDS[f];
    const value = update[key];
    if (value === undefined) continue;
    present |= 1 << f;
    if (key === "label" || key === "url") columns[key][i] = /** @type {string} */ (value);
    else columns[key][i] = key === "showLabel" ? (value ? 1 : 0) : /** @type {number} */ (value);
  }
  columns.present[i] = present;
}

/**
 * @param {Uint8Array} ids
 * @param {NodeUpdate[]} updates
 * @returns {NodeColumns}
 */
function nodeColumns(ids, updates) {
  const n = updates.length;
  const columns = {
    ids,
    present: new Uint8Array(n),
    label: new Array(n).fill(""),
    size: new Float32Array(n),
    url: new Array(n).fill(""),
    red: new Uint8Array(n),
    green: new Uint8Array(n),
    blue: new Uint8Array(n),
    showLabel: new Uint8Array(n),
  };
  for (let i = 0; i < n; i++) putUpdate(columns, i, updates[i]);
  return columns;
}

/** @param {string[]} texts */
function textsToRows(texts) {
  const out = new Uint8Array(ID_BYTES * texts.length);
  texts.forEach((text, i) => putId(out, ID_BYTES * i, text));
  return out;
}

/**
 * A decoded document as columns.
 * @param {Document} doc
 * @returns {DocumentColumns}
 */
export function columnsOf(doc) {
  /**
   * @param {Map<string, Iterable<string>>} map
   */
  const grouped = (map) => {
    /** @type {string[]} */
    const from = [], to = [];
    const offsets = [0];
    for (const [source, targets] of map) {
      from.push(source);
      for (const target of targets) to.push(target);
      offsets.push(to.length);
    }
    return { from: textsToRows(from), offsets: Uint32Array.from(offsets), to: textsToRows(to) };
  };
  /** @type {number[]} */
  const weights = [];
  for (const rows of doc.newOrUpdatedEdges.values()) for (const weight of rows.values()) weights.push(weight);
  return {
    nodes: nodeColumns(textsToRows([...doc.newOrUpdatedNodes.keys()]), [...doc.newOrUpdatedNodes.values()]),
    deletedNodes: textsToRows(doc.deletedNodes),
    edges: { ...grouped(new Map([...doc.newOrUpdatedEdges].map(([from, rows]) => [from, rows.keys()]))),
      weights: Float32Array.from(weights) },
    deletedEdges: grouped(doc.deletedEdges),
    byteLength: doc.byteLength,
  };
}
