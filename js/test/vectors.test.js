// Every document of tests/vectors/ against what PyGraphDiff made of it.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";

import { DocumentError, decode, decodeColumns, encode, recordText } from "../kovra_document.js";
import { fromColumns, viewsOf } from "./views.js";

const folder = new URL("../../tests/vectors/", import.meta.url);
const vectors = JSON.parse(readFileSync(new URL("vectors.json", folder), "utf8"));
const read = (name) => new Uint8Array(readFileSync(new URL(name, folder)));

for (const vector of vectors) {
  test(`${vector.valid ? "accepts" : "refuses"} ${vector.name}: ${vector.why}`, () => {
    const bytes = read(`${vector.name}.bin`);
    if (!vector.valid) {
      assert.throws(() => decode(bytes), DocumentError);
      assert.throws(() => decodeColumns(bytes), DocumentError);
      return;
    }
    const doc = decode(bytes);
    assert.deepEqual(viewsOf(doc), vector.views);
    assert.deepEqual(viewsOf(fromColumns(decodeColumns(bytes))), vector.views);
    // What to_bytes writes for the document it read, byte for byte; a NaN weight's
    // payload is not promised to survive a JavaScript number.
    const written = read(vector.rewritten ?? `${vector.name}.bin`);
    const expected = vector.rewritten ? written : written.subarray(0, doc.byteLength);
    if (!hasNanPayload(decodeColumns(bytes).edges.weights)) assert.deepEqual(encode(doc), expected);
    // A record alone is written into a buffer of its exact size, where no word of
    // slack is left past its last value.
    const text = Buffer.from(expected).toString("latin1");
    for (const update of doc.newOrUpdatedNodes.values()) {
      assert.ok(text.includes(Buffer.from(recordText(update)).toString("latin1")), recordText(update));
    }
  });
}

function hasNanPayload(weights) {
  return new Uint32Array(weights.buffer).some((bits) => (bits & 0x7fffffff) > 0x7fc00000 ||
    ((bits & 0x7fffffff) > 0x7f800000 && (bits & 0x7fffffff) < 0x7fc00000));
}

test("decodeColumns keeps a NaN weight's bits", () => {
  const weights = decodeColumns(read("nan-payloads.bin")).edges.weights;
  assert.deepEqual([...new Uint32Array(weights.buffer)], [0x7fc00001, 0xff800001, 0x7fffffff]);
});

// encode reads id texts in batches; each bad one is refused as putId would, and
// before an error that stands after it.
const ID = "a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf";
for (const [why, id] of [
  ["a digit that is not hex", ID.slice(0, 35) + "g"],
  ["a hyphen out of place", ID.slice(0, 8) + "a" + ID.slice(9)],
  ["a character past ASCII", "é" + ID.slice(1)],
  ["a lone surrogate", "\ud800" + ID.slice(1)],
  ["a code that aliases a hex digit past 255", String.fromCharCode(0x130) + ID.slice(1)],
  ["35 characters", ID.slice(1)],
]) {
  test(`encode refuses an id with ${why}`, () => {
    const rows = new Map([[ID, 1], [id, 2]]);
    assert.throws(() => encode({ newOrUpdatedEdges: new Map([[ID, rows]]) }), /not a UUID text/);
    const bad = { newOrUpdatedNodes: new Map([[id, {}]]), deletedNodes: [ID], deletedEdges: [[ID, [5]]] };
    assert.throws(() => encode(bad), /not a UUID text/);
  });
}

test("encode reads an id text of either case", () => {
  const content = (id) => ({ newOrUpdatedEdges: new Map([[id, new Map([[id, 0.5]])]]) });
  assert.deepEqual(encode(content(ID.toUpperCase())), encode(content(ID)));
});
