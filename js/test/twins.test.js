// Each fast path of js/ against its general twin, on random and mutated input: where
// the fast path takes an input, the general one must take it and give the same result.
// KOVRA_TWINS_SEED=N repeats a run; the seed is in every failure message.
import assert from "node:assert/strict";
import { test } from "node:test";

import { encode, recordText } from "../kovra_document.js";
import { ID_BYTES } from "../lib/layout.js";
import { idText, idTexts, putId, putIdTexts } from "../lib/ids.js";
import { readFormSize, readSize, scanNumber } from "../lib/numbers.js";
import { FormValues, isUtf8, parseRecord, writerRecord } from "../lib/record.js";
import { columnsOf } from "../lib/columns.js";
import { decodeAny } from "../lib/reader.js";
import { columnsInOnePass, documentOf } from "../lib/one_pass.js";
import { Writer, encodeSized } from "../lib/writer.js";

const SEED = Number(process.env.KOVRA_TWINS_SEED ?? Math.floor(Math.random() * 2 ** 32)) >>> 0;

// mulberry32, as js/tools/agree.js.
function generator(seed) {
  let state = seed;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 2 ** 32;
  };
}
const random = generator(SEED);
const below = (n) => Math.floor(random() * n);
const pick = (items) => items[below(items.length)];
const digits = (n) => Array.from({ length: n }, () => below(10)).join("");
const bytesOf = (text) => new TextEncoder().encode(text);
const where = (what, input) => `seed ${SEED}: ${what} ${JSON.stringify(typeof input === "string" ? input : Buffer.from(input).toString("latin1"))}`;

// ---- numbers -------------------------------------------------------------------------

// A number text of any length: the JSON grammar's parts, each sometimes left out or
// made wrong.
function numberText() {
  let text = random() < 0.3 ? "-" : "";
  text += random() < 0.2 ? "0" : String(1 + below(9)) + digits(below(25));
  if (random() < 0.1) text = pick(["", "0", "00", "-", "+1", "."]) + text;
  if (random() < 0.5) text += "." + digits(below(25) + (random() < 0.05 ? 0 : 1));
  if (random() < 0.4) text += pick(["e", "E"]) + pick(["", "+", "-"]) + digits(below(6) + (random() < 0.05 ? 0 : 1));
  return text;
}

function sameNumber(text) {
  const b = bytesOf(text);
  const out = { size: NaN };
  const end = readFormSize(b, 0, b.length, out);
  if (end < 0) return;
  let general;
  try {
    const n = scanNumber(b, 0, b.length);
    assert.equal(n.end, end, where("end of", text));
    general = readSize(b, n);
  } catch (error) {
    assert.fail(`${where("the general reader refuses", text)}: ${error}`);
  }
  assert.ok(Object.is(general, out.size), `${where("value of", text)}: ${out.size} against ${general}`);
}

test("readFormSize and readSize agree on numbers of every length", () => {
  for (let length = 1; length <= 24; length++) {
    for (let k = 0; k < 200; k++) {
      const point = below(length + 1);
      const all = String(1 + below(9)) + digits(length - 1);
      const text = (random() < 0.5 ? "-" : "") + (point === length ? all : `${all.slice(0, point) || "0"}.${all.slice(point)}`);
      sameNumber(text);
      sameNumber(`${text}e${below(2) ? "-" : ""}${below(400)}`);
    }
  }
  for (let k = 0; k < 20000; k++) sameNumber(numberText());
  // Beside the midpoints between two binary32 values, where one binary64 bit more or
  // less decides the rounding: the midpoint's digits, cut at every length.
  const f32 = new Float32Array(2), u32 = new Uint32Array(f32.buffer);
  for (let k = 0; k < 3000; k++) {
    u32[0] = below(0x7f000000);
    u32[1] = u32[0] + 1;
    const midpoint = (f32[0] + f32[1]) / 2;
    for (let n = 6; n <= 21; n++) sameNumber(midpoint.toPrecision(n));
  }
  // The writer's own texts, which the form reader must take.
  for (let k = 0; k < 2000; k++) {
    u32[0] = below(2 ** 32);
    if (!Number.isFinite(f32[0])) continue;
    const text = recordText({ size: f32[0] }).slice('{"size":'.length, -1);
    const out = { size: NaN };
    assert.ok(readFormSize(bytesOf(text), 0, text.length, out) === text.length, where("the form reader refuses", text));
    assert.ok(Object.is(out.size, f32[0]), where("the form reader misreads", text));
  }
});

// ---- records -------------------------------------------------------------------------

const CHARS = ['"', "\\", "/", "\t", "\u0001", "a", "Z", "0", " ", "é", "\ufeff", "😀", "{", ":", ","];
const text = () => Array.from({ length: below(6) }, () => (random() < 0.6 ? pick("abcxyz019 -_.") : pick(CHARS))).join("");

function randomUpdate(full = random() < 0.4) {
  const update = {};
  const f32 = new Float32Array(1), u32 = new Uint32Array(f32.buffer);
  const size = () => {
    if (random() < 0.5) return Math.fround(pick([0, -0, 0.5, 2.5, 1e-7, 3.4e38, 1e-45, 16777217]));
    u32[0] = below(2 ** 32);
    return Number.isNaN(f32[0]) ? 1 : f32[0];
  };
  if (full || random() < 0.5) update.label = text();
  if (full || random() < 0.5) update.size = size();
  if (full || random() < 0.4) update.url = text();
  for (const key of ["red", "green", "blue"]) if (full || random() < 0.3) update[key] = below(256);
  if (full || random() < 0.3) update.showLabel = random() < 0.5;
  return update;
}

// A record text: the writer's, or one that from_bytes also reads (white space, other
// orders, escapes, the array form, unknown keys), or one it need not read.
function recordBytes() {
  const update = randomUpdate();
  const written = recordText(update);
  const kind = below(8);
  if (kind < 3) return bytesOf(written);
  if (kind === 3) return bytesOf(written.replace(/[,:{]/g, (c) => c + pick(["", " ", "\n", "\t"])));
  if (kind === 4) {
    const keys = Object.keys(update);
    const member = (key) => `"${key}":${JSON.stringify(update[key]) ?? "null"}`;
    return bytesOf(`{${keys.sort(() => random() - 0.5).map(member).join(",")}}`);
  }
  if (kind === 5) {
    const value = (key) => JSON.stringify(update[key] ?? null);
    return bytesOf(`[${["label", "size", "url", "red", "green", "blue", "showLabel"].map(value).join(",")}]`);
  }
  if (kind === 6) return bytesOf(written.replace("{", `{"x":${pick(["[1,{}]", '"\\u00e9"', "1e400", "null"])},`));
  return mutated(bytesOf(written));
}

// Bytes with a few changed, cut or put in: U+FEFF's bytes, bad UTF-8, control bytes.
function mutated(bytes) {
  let out = Array.from(bytes);
  const changes = 1 + below(3);
  for (let k = 0; k < changes; k++) {
    const at = below(out.length + 1);
    const insert = pick([[0xef, 0xbb, 0xbf], [0xff], [0xc0, 0xaf], [0xed, 0xa0, 0x80], [0x10], [0x19], [0x5c, 0x75],
      [0x22], [0x2c], [0x7d], [0x30], [0x2d], [0x2e], [0x65], [0x20], [0x6e]]);
    const how = below(3);
    if (how === 0) out.splice(at, 1, ...insert);
    else if (how === 1) out.splice(at, 0, ...insert);
    else out = out.slice(0, at);
  }
  return Uint8Array.from(out);
}

// The update writerRecord read, from its outputs.
function formUpdate(fields, out, form) {
  const update = {};
  const texts = Buffer.from(out).toString("latin1");
  if (fields & 1) update.label = texts.slice(0, form.labelEnd);
  if (fields & 2) update.size = form.size;
  if (fields & 4) update.url = texts.slice(form.labelEnd, form.textEnd);
  if (fields & 8) update.red = form.red;
  if (fields & 16) update.green = form.green;
  if (fields & 32) update.blue = form.blue;
  if (fields & 64) update.showLabel = form.showLabel === 1;
  return update;
}

test("writerRecord and parseRecord agree on records in the writer's form and not", () => {
  let taken = 0;
  for (let k = 0; k < 20000; k++) {
    const b = recordBytes();
    const out = new Uint8Array(b.length);
    const form = new FormValues();
    const fields = writerRecord(b, new DataView(b.buffer), 0, b.length, out, 0, form);
    let general = null;
    try {
      if (isUtf8(b, 0, b.length)) general = parseRecord(b, 0, b.length);
    } catch {
      // refused
    }
    if (fields >= 0) {
      taken++;
      assert.ok(general !== null, where("only the form reader takes", b));
      assert.deepEqual(formUpdate(fields, out.subarray(0, form.textEnd), form), general, where("record", b));
    } else if (general !== null) {
      // The form reader leaves to the parser only what the writer would not write, or
      // texts outside printable ASCII.
      const written = recordText(general);
      assert.ok(written !== Buffer.from(b).toString("latin1") || /[^\x20-\x7e]|\\/.test(written), where("the form reader refuses", b));
    }
  }
  assert.ok(taken > 3000, `seed ${SEED}: the form reader took only ${taken} records`);
});

// ---- documents -----------------------------------------------------------------------

function randomId() {
  return Array.from({ length: ID_BYTES }, () => below(256));
}
const u64 = (n) => [n & 0xff, (n >>> 8) & 0xff, (n >>> 16) & 0xff, n >>> 24, 0, 0, 0, 0];

// A document of random sections, its records from recordBytes, ids drawn from a small
// pool so that some repeat; sometimes mutated.
function documentBytes() {
  const pool = Array.from({ length: 1 + below(40) }, randomId);
  const id = () => [...u64(16), ...pick(pool)];
  const out = [];
  const nodes = below(5);
  out.push(...u64(nodes));
  for (let i = 0; i < nodes; i++) {
    const record = recordBytes();
    out.push(...id(), ...u64(record.length), ...record);
  }
  const deleted = below(4);
  out.push(...u64(deleted));
  for (let i = 0; i < deleted; i++) out.push(...id());
  for (const weighted of [true, false]) {
    const groups = below(4);
    out.push(...u64(groups));
    for (let g = 0; g < groups; g++) {
      const rows = below(4);
      out.push(...id(), ...u64(rows));
      for (let r = 0; r < rows; r++) out.push(...id(), ...(weighted ? [below(256), below(256), below(256), below(256)] : []));
    }
  }
  return random() < 0.3 ? mutated(Uint8Array.from(out)) : Uint8Array.from(out);
}

// A decoded document with its Maps as arrays of entries, so that order counts.
const ordered = (doc) => JSON.parse(JSON.stringify(doc, (_, v) => (v instanceof Map ? [...v] : Number.isNaN(v) ? "nan" : Object.is(v, -0) ? "-0" : v)));
const plainColumns = (columns) => JSON.parse(JSON.stringify(columns, (_, v) => (ArrayBuffer.isView(v) ? Array.from(v, (x) => (Number.isNaN(x) ? "nan" : Object.is(x, -0) ? "-0" : x)) : v)));

test("columnsInOnePass and decodeAny agree on random and mutated documents", () => {
  let taken = 0;
  for (let k = 0; k < 3000; k++) {
    const b = documentBytes();
    const onePass = columnsInOnePass(b);
    if (onePass === null) continue;
    taken++;
    let general;
    try {
      general = decodeAny(b);
    } catch (error) {
      assert.fail(`${where("only the one-pass reader takes", b)}: ${error}`);
    }
    const columns = plainColumns(onePass.columns);
    assert.deepEqual(ordered(documentOf(onePass)), ordered(general), where("document", b));
    // The general reader's weights went through JavaScript numbers, which keep no NaN payload.
    assert.deepEqual(columns, plainColumns(columnsOf(general)), where("columns", b));
  }
  assert.ok(taken > 600, `seed ${SEED}: the one-pass reader took only ${taken} documents`);
});

test("the one-pass reader takes every document encode writes", () => {
  for (let k = 0; k < 300; k++) {
    const ids = Array.from({ length: 1 + below(8) }, () => idText(Uint8Array.from(randomId())));
    const some = () => [...new Set(Array.from({ length: below(ids.length + 1) }, () => pick(ids)))];
    const content = {
      newOrUpdatedNodes: new Map(some().map((id) => [id, randomUpdate()])),
      deletedNodes: some(),
      newOrUpdatedEdges: new Map(some().map((id) => [id, new Map(some().map((to) => [to, Math.fround(random())]))])),
      deletedEdges: new Map(some().map((id) => [id, some()])),
    };
    const b = encode(content);
    assert.ok(columnsInOnePass(b) !== null, where("the one-pass reader refuses", b));
    assert.deepEqual(encodeSized(content), b, where("encode and encodeSized differ on", b));
  }
});

// ---- the writer ----------------------------------------------------------------------

test("fullRecord and record write the same bytes, whatever room is left", () => {
  const id = new Uint8Array(ID_BYTES);
  for (let k = 0; k < 2000; k++) {
    const update = randomUpdate(random() < 0.8);
    const general = new Writer(new Uint8Array(0));
    general.node(id, update); // no texts in the scratch: record()
    const expected = general.finish();
    // With the buffer's end anywhere from the record's last byte to past every word's slack.
    for (const spare of [0, 1, 3, 7, 15, 16, 17, 31, 64, 200]) {
      const fast = new Writer(new Uint8Array(expected.length + spare));
      fast.queueNode(id, update);
      fast.flushNodes();
      assert.deepEqual(fast.finish(), expected, where(`record with ${spare} bytes spare`, JSON.stringify(update)));
    }
  }
});

test("the writer's batched ids and putId agree", () => {
  for (let k = 0; k < 300; k++) {
    const texts = Array.from({ length: 1 + below(40) }, () => {
      let t = idText(Uint8Array.from(randomId()));
      if (random() < 0.3) t = t.toUpperCase();
      if (random() < 0.05) {
        const at = below(t.length);
        t = t.slice(0, at) + pick(["g", "-", "é", "\u0130", "0", "\ud800", ""]) + t.slice(at + 1);
      }
      return t;
    });
    let expected;
    try {
      expected = new Uint8Array(24 * texts.length);
      texts.forEach((t, i) => {
        expected.set(u64(16), 24 * i);
        putId(expected, 24 * i + 8, t);
      });
    } catch (error) {
      expected = error;
    }
    const w = new Writer(new Uint8Array(24 * texts.length));
    let written;
    try {
      try {
        for (const t of texts) w.id(t);
      } catch (error) {
        w.finish(error); // says which bad id came first
      }
      written = w.finish();
    } catch (error) {
      written = error;
    }
    if (expected instanceof Error) assert.equal(String(written), String(expected), where("ids", texts.join()));
    else assert.deepEqual(written, expected, where("ids", texts.join()));
  }
});

test("idTexts and putIdTexts give idText's texts", () => {
  const rows = Uint8Array.from({ length: ID_BYTES * 500 }, () => below(256));
  const expected = Array.from({ length: 500 }, (_, i) => idText(rows, ID_BYTES * i));
  assert.deepEqual(idTexts(rows, expected.map((_, i) => ID_BYTES * i)), expected);
  const out = new Uint8Array(36 * 500);
  putIdTexts(rows, out, 0);
  assert.equal(Buffer.from(out).toString("latin1"), expected.join(""));
});
