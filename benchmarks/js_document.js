// The JavaScript rows of W5, called by run.py when node is installed:
//   node js_document.js DOCUMENT REPS [cpu]
// Prints JSON: the best time in nanoseconds of decodeColumns, decode and encode (of
// what decode returned) over REPS runs of each, of building decode's Maps alone, and
// that encode gave the bytes back.
import { readFileSync } from "node:fs";

import { decode, decodeColumns, encode } from "../js/kovra_document.js";

const [path, repsText, clock] = process.argv.slice(2);
const bytes = new Uint8Array(readFileSync(path));
// The CPU clock of run.py --clock cpu is the process's here: node runs one thread of
// JavaScript, and its collector's helper threads count as the interpreter's would not.
const now = clock === "cpu" ? () => process.cpuUsage().user * 1000 : () => Number(process.hrtime.bigint());

function best(f) {
  let fastest = Infinity;
  let result;
  for (let rep = 0; rep < Number(repsText); rep++) {
    result = null;
    // A full collection as a program's own would run: gc() with no arguments runs
    // the one that reduces memory, which also throws the compiled code away, so
    // that every run would start cold.
    globalThis.gc?.({ type: "major", execution: "sync" });
    const start = now();
    result = f();
    fastest = Math.min(fastest, now() - start);
  }
  return [fastest, result];
}

// What decode's result costs to build with nothing read: the same Maps and update
// objects, each id a slice of one text of them all as decode makes it, the weights
// from an array. No reader of the document into Maps can cost less.
function mapsAlone(doc) {
  const ids = [];
  const weights = [];
  const updates = [...doc.newOrUpdatedNodes.values()];
  for (const id of doc.newOrUpdatedNodes.keys()) ids.push(id);
  for (const [from, rows] of doc.newOrUpdatedEdges) {
    ids.push(from);
    for (const [to, weight] of rows) ids.push(to), weights.push(weight);
  }
  const text = ids.join("");
  const sizes = [...doc.newOrUpdatedEdges.values()].map((rows) => rows.size);
  return () => {
    const nodes = new Map();
    let t = 0;
    for (const update of updates) {
      nodes.set(text.substring(t, t + 36), { ...update });
      t += 36;
    }
    const edges = new Map();
    let w = 0;
    for (const size of sizes) {
      const from = text.substring(t, t + 36);
      t += 36;
      const rows = new Map();
      for (let k = 0; k < size; k++, t += 36) rows.set(text.substring(t, t + 36), weights[w++]);
      edges.set(from, rows);
    }
    return [nodes, edges];
  };
}

const [columns] = best(() => decodeColumns(bytes));
const [decoded, doc] = best(() => decode(bytes));
const [encoded, written] = best(() => encode(doc));
const same = written.length === bytes.length && written.every((b, i) => b === bytes[i]);
const [maps] = best(mapsAlone(doc));
console.log(JSON.stringify({ decodeColumns: columns, decode: decoded, encode: encoded, maps, same }));
