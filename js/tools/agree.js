// The JavaScript side of tests/test_js_agreement.py.
//   node agree.js DOCUMENTS OUT SEED COUNT
// DOCUMENTS holds documents written by the module, each after its 8-byte length.
// OUT receives JSON: for each of them its views through decode and its bytes
// through encode (or the error), then COUNT random documents made here by encode,
// each with the views its content should give. A document that decodeColumns reads
// otherwise than decode (or refuses alone) stops the run.
import { readFileSync, writeFileSync } from "node:fs";
import { isDeepStrictEqual } from "node:util";

import { decode, decodeColumns, encode } from "../kovra_document.js";
import { fromColumns, plainFloat, viewsOf } from "../test/views.js";

const [input, output, seedText, countText] = process.argv.slice(2);

// mulberry32: a small seeded generator, so that a failing run can be repeated.
let state = Number(seedText) >>> 0;
function random() {
  state = (state + 0x6d2b79f5) >>> 0;
  let t = state;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 2 ** 32;
}
const below = (n) => Math.floor(random() * n);
const pick = (items) => items[below(items.length)];

const F32 = new Float32Array(1);
const U32 = new Uint32Array(F32.buffer);
function randomFloat32() {
  const special = [0, -0, 1, 0.1, 2.5, 1e-45, 3.4028234663852886e38, Infinity, -Infinity, NaN, 16777217];
  if (random() < 0.3) return Math.fround(pick(special));
  U32[0] = below(2 ** 32);
  return Number.isNaN(F32[0]) ? NaN : F32[0];
}
const CHARS = ['"', "\\", "/", "\t", "\n", "\u0001", "\u001f", "\u007f", "a", "Z", "0", " ", "é", "\u2028", "\ufeff", "😀", "中"];
const randomText = () => Array.from({ length: below(8) }, () => pick(CHARS)).join("");
function randomId() {
  const hex = Array.from({ length: 32 }, () => below(16).toString(16)).join("");
  return `${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
}

function randomContent() {
  const pool = Array.from({ length: 1 + below(20) }, randomId);
  const some = () => [...new Set(Array.from({ length: below(pool.length + 1) }, () => pick(pool)))];
  const update = () => {
    const u = {};
    if (random() < 0.5) u.label = randomText();
    if (random() < 0.5) u.size = randomFloat32();
    if (random() < 0.3) u.url = randomText();
    for (const key of ["red", "green", "blue"]) if (random() < 0.3) u[key] = below(256);
    if (random() < 0.3) u.showLabel = random() < 0.5;
    return u;
  };
  const weight = () => randomFloat32();
  const nodes = new Map(some().map((id) => [id, update()]));
  const deletedNodes = some();
  // The test sets a size that is not finite again with add_node, which would also
  // take the node out of the deleted ones.
  for (const id of deletedNodes) {
    const node = nodes.get(id);
    if (node?.size !== undefined && !Number.isFinite(node.size)) node.size = 1;
  }
  return {
    newOrUpdatedNodes: nodes,
    deletedNodes,
    newOrUpdatedEdges: new Map(some().map((id) => [id, new Map(some().map((to) => [to, weight()]))])),
    deletedEdges: new Map(some().map((id) => [id, some()])),
  };
}

// What the module's views should show for content written by encode: a size that
// is not finite is written as null, which reads back as absent.
function expectedViews(content) {
  const nodes = new Map();
  for (const [id, update] of content.newOrUpdatedNodes) {
    const kept = { ...update };
    if (kept.size !== undefined && !Number.isFinite(kept.size)) delete kept.size;
    nodes.set(id, kept);
  }
  return viewsOf({
    ...content,
    newOrUpdatedNodes: nodes,
    numNodes: content.newOrUpdatedNodes.size + content.deletedNodes.length,
    numEdges: content.newOrUpdatedEdges.size + content.deletedEdges.size,
  });
}

const data = readFileSync(input);
const decoded = [];
for (let at = 0; at < data.length; ) {
  const length = Number(data.readBigUInt64LE(at));
  const bytes = new Uint8Array(data.buffer, data.byteOffset + at + 8, length);
  at += 8 + length;
  let columns;
  try {
    columns = viewsOf(fromColumns(decodeColumns(bytes)));
  } catch (error) {
    columns = String(error);
  }
  try {
    const doc = decode(bytes);
    const views = viewsOf(doc);
    decoded.push({ views, encoded: Buffer.from(encode(doc)).toString("base64") });
    if (!isDeepStrictEqual(columns, views)) disagree(bytes, columns);
  } catch (error) {
    decoded.push({ error: String(error) });
    if (typeof columns !== "string") disagree(bytes, columns);
  }
}

function disagree(bytes, columns) {
  throw new Error(`decode and decodeColumns disagree (${JSON.stringify(columns)}) on ${Buffer.from(bytes).toString("hex")}`);
}
// The sizes that read back absent, for the test to set again before to_bytes.
function notFiniteSizes(content) {
  const sizes = {};
  for (const [id, { size }] of content.newOrUpdatedNodes) {
    if (size !== undefined && !Number.isFinite(size)) sizes[id] = plainFloat(size);
  }
  return sizes;
}

const written = Array.from({ length: Number(countText) }, () => {
  const content = randomContent();
  return {
    bytes: Buffer.from(encode(content)).toString("base64"),
    views: expectedViews(content),
    notFiniteSizes: notFiniteSizes(content),
  };
});
writeFileSync(output, JSON.stringify({ decoded, written }));
