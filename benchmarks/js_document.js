// The JavaScript rows of W5, called by run.py when node is installed:
//   node js_document.js DOCUMENT REPS [cpu]
// Prints JSON: the best time in nanoseconds of decodeColumns, decode and encode (of
// what decode returned) over REPS runs of each, and that encode gave the bytes back.
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

const [columns] = best(() => decodeColumns(bytes));
const [decoded, doc] = best(() => decode(bytes));
const [encoded, written] = best(() => encode(doc));
const same = written.length === bytes.length && written.every((b, i) => b === bytes[i]);
console.log(JSON.stringify({ decodeColumns: columns, decode: decoded, encode: encoded, same }));
