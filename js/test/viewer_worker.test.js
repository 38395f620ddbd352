// The viewer's worker (src/kovra_tools/viewer/worker.js) in Node, against decode's Maps over every valid document of
// tests/vectors/: the index it builds answers as a walk over the decoded sections does.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import { decode } from "../kovra_document.js";

const vectors = new URL("../../tests/vectors/", import.meta.url);
const valid = JSON.parse(readFileSync(new URL("vectors.json", vectors), "utf8")).filter((v) => v.valid);

// The worker's messages come to `answers`; its module is the same for every document.
let answer = null;
globalThis.self = { postMessage: (message) => answer?.(message) };
await import("../../src/kovra_tools/viewer/worker.js");

function ask(message) {
  return new Promise((resolve) => {
    answer = (reply) => {
      if (reply.type !== "progress") resolve(reply);
    };
    self.onmessage({ data: message });
  });
}

// Every id of a decoded document, and what the walk says of it.
function walk(doc) {
  const of = new Map();
  const entry = (id) => {
    if (!of.has(id)) of.set(id, { edgesOut: 0, edgesIn: 0, deletedOut: 0, deletedIn: 0 });
    return of.get(id);
  };
  for (const id of doc.newOrUpdatedNodes.keys()) entry(id);
  for (const id of doc.deletedNodes) entry(id);
  for (const [from, rows] of doc.newOrUpdatedEdges) {
    entry(from).edgesOut += rows.size;
    for (const to of rows.keys()) entry(to).edgesIn++;
  }
  for (const [from, rows] of doc.deletedEdges) {
    entry(from).deletedOut += rows.length;
    for (const to of rows) entry(to).deletedIn++;
  }
  return of;
}

test("the worker's pages, searches and neighbourhoods agree with decode on every vector", async () => {
  for (const vector of valid) {
    const bytes = readFileSync(new URL(`${vector.name}.bin`, vectors));
    const loaded = await ask({ type: "load", file: new Blob([bytes]) });
    assert.equal(loaded.type, "loaded", vector.name);
    const doc = decode(bytes);
    const edgeRows = [...doc.newOrUpdatedEdges].flatMap(([from, rows]) => [...rows.keys()].map((to) => [from, to]));
    const page = await ask({ type: "page", table: "edges", offset: 0, count: 1e6 });
    assert.deepEqual(page.rows.map((row) => [row.from, row.to]), edgeRows.slice(0, 1e6), vector.name);
    const ids = await ask({ type: "page", table: "nodes", sort: "id", descending: true, offset: 0, count: 1e6 });
    assert.deepEqual(ids.rows.map((row) => row.id), [...doc.newOrUpdatedNodes.keys()].sort().reverse(), vector.name);
    for (const [id, counts] of walk(doc)) {
      const near = await ask({ type: "node", id, cap: 1e6 });
      const { edgesOut, edgesIn, deletedOut, deletedIn } = near.centre;
      assert.deepEqual({ edgesOut, edgesIn, deletedOut, deletedIn }, counts, `${vector.name} ${id}`);
      assert.equal(near.centre.deleted, doc.deletedNodes.includes(id));
      const mine = await ask({ type: "page", table: "edges", node: id, sort: "weight", offset: 0, count: 1e6 });
      assert.deepEqual(mine.rows.map((row) => [row.from, row.to]).sort(),
        edgeRows.filter(([from, to]) => from === id || to === id).sort(), `${vector.name} ${id}`);
      const found = await ask({ type: "search", query: id.slice(0, 9).toUpperCase(), limit: 1e6 });
      assert.ok(found.results.some((r) => r.id === id), `${vector.name} ${id}`);
    }
  }
});
