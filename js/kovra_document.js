// Reader and writer of the graph diff document (docs/format.md) for Node and
// browsers, without dependencies. `decode` refuses exactly the documents that
// PyGraphDiff.from_bytes refuses; `encode` writes the bytes to_bytes writes for the
// same content in the same order.

const COUNT_BYTES = 8;
const ID_BYTES = 16;
const WEIGHT_BYTES = 4;
const TWO_32 = 2 ** 32;

// The record's keys in the writer's order; a field's bit in `present` is its index.
export const FIELDS = Object.freeze(["label", "size", "url", "red", "green", "blue", "showLabel"]);
const FIELD_INDEX = new Map(FIELDS.map((key, i) => [key, i]));
const [LABEL, SIZE, URL, RED, GREEN, BLUE, SHOW_LABEL] = FIELDS.keys();

export class DocumentError extends Error {
  constructor(message) {
    super(message);
    this.name = "DocumentError";
  }
}

function fail(message) {
  throw new DocumentError(message);
}

function asBytes(input) {
  if (input instanceof Uint8Array) return input;
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) {
    return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  }
  throw new TypeError("expected a Uint8Array, an ArrayBuffer or a view of one");
}

// ---- ids -------------------------------------------------------------------------

// Each ASCII character's value as a hex digit of either case, -1 for any other.
const HEX_DIGIT = new Int8Array(128).fill(-1);
for (let d = 0; d < 16; d++) {
  HEX_DIGIT[d.toString(16).charCodeAt(0)] = d;
  HEX_DIGIT[d.toString(16).toUpperCase().charCodeAt(0)] = d;
}

const HEX = Array.from({ length: 256 }, (_, b) => b.toString(16).padStart(2, "0"));
// The two ASCII hex digits of each byte value, high digit in the low byte.
const HEX_CODES = new Uint16Array(256).map((_, b) => HEX[b].charCodeAt(0) | (HEX[b].charCodeAt(1) << 8));
const ID_TEXT_LENGTH = 36;
// 1 for the bytes that a hyphen stands before in the text (groups of 8-4-4-4-12 digits).
const HYPHEN_BEFORE = new Uint8Array(ID_BYTES);
for (const i of [4, 6, 8, 10]) HYPHEN_BEFORE[i] = 1;
// Where in the text each byte's two digits stand, and the hyphens.
const PAIR_AT = new Uint8Array(ID_BYTES);
const HYPHEN_AT = [];
for (let i = 0, j = 0; i < ID_BYTES; i++, j += 2) {
  if (HYPHEN_BEFORE[i]) HYPHEN_AT.push(j++);
  PAIR_AT[i] = j;
}
// Where the four digits of bytes 2k and 2k + 1 stand.
const QUAD_AT = Uint8Array.from({ length: ID_BYTES / 2 }, (_, k) => PAIR_AT[2 * k]);

export function idText(bytes, at = 0) {
  let text = "";
  for (let i = 0; i < ID_BYTES; i++) text += (HYPHEN_BEFORE[i] ? "-" : "") + HEX[bytes[at + i]];
  return text;
}

// The texts of many ids, made by one native parse of a JSON array of them: each
// comes out a string of its own, which later reads (Map keys, encode) take faster
// than a substring of one long text, and none keeps a longer text alive.
function idTexts(bytes, positions) {
  const QUOTED = ID_TEXT_LENGTH + 3; // "…",
  const json = new Uint8Array(QUOTED * positions.length + 2);
  json[0] = 0x5b;
  let w = 1;
  for (let k = 0; k < positions.length; k++) {
    const at = positions[k];
    json[w++] = 0x22;
    for (let i = 0; i < ID_BYTES; i++) {
      if (HYPHEN_BEFORE[i]) json[w++] = 0x2d;
      const pair = HEX_CODES[bytes[at + i]];
      json[w++] = pair & 0xff;
      json[w++] = pair >> 8;
    }
    json[w++] = 0x22;
    json[w++] = 0x2c;
  }
  if (positions.length > 0) w--; // no comma after the last
  json[w++] = 0x5d;
  return JSON.parse(UTF8.decode(json.subarray(0, w)));
}

// ---- the outer layer -------------------------------------------------------------

class Cursor {
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.at = 0;
  }

  left() {
    return this.bytes.length - this.at;
  }

  need(size, what) {
    if (this.left() < size) {
      fail(`${what} at offset ${this.at} needs ${size} bytes, ${this.left()} remain`);
    }
  }

  // A count or length. Past 2^53 the value is not exact, but it then exceeds every
  // input and is never 16, which is all a reader asks of it.
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

// Whether 24 bytes at p are an id of length 16 (within the input).
function isId(b, p) {
  return p + COUNT_BYTES + ID_BYTES <= b.length && b[p] === ID_BYTES &&
    (b[p + 1] | b[p + 2] | b[p + 3] | b[p + 4] | b[p + 5] | b[p + 6] | b[p + 7]) === 0;
}

// The offset of the 16 bytes of the id at the cursor, checked; the cursor moves past.
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
function scanGroups(r, weightBytes) {
  const b = r.bytes;
  const groups = r.u64("count of groups");
  const capacity = Math.min(groups, Math.floor(r.left() / (2 * COUNT_BYTES + ID_BYTES)));
  const fromAt = new Uint32Array(capacity);
  const offsets = new Uint32Array(capacity + 1);
  const rowBytes = COUNT_BYTES + ID_BYTES + weightBytes;
  let toAt = new Uint32Array(Math.floor(r.left() / rowBytes));
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

// Seeded per table: no order depends on the hash, and a document made to collide
// under one seed does not collide under the next.
function hashWords(a, c, d, e, seed) {
  let h = Math.imul(a ^ seed, 0x9e3779b1) ^ Math.imul(c, 0x85ebca77);
  h = Math.imul(h ^ (h >>> 15), 0x2c1b3c6d) ^ Math.imul(d, 0xc2b2ae3d) ^ Math.imul(e, 0x27d4eb2f);
  h = Math.imul(h ^ (h >>> 13), 0x297a2d39);
  return h ^ (h >>> 16);
}

function tableSize(count) {
  let size = 16;
  while (size < 2 * count) size *= 2;
  return size;
}

// Numbers the distinct ids of a document by their 16 bytes, in order of first
// appearance; `firstAt` holds where each first stands. A slot holds its id's number
// and its four words, so that a probe reads one place.
const SLOT = 5;

class IdIndex {
  constructor(bytes, expected) {
    this.bytes = bytes;
    this.seed = (Math.random() * TWO_32) | 0;
    this.slots = new Int32Array(SLOT * tableSize(expected)).fill(-1);
    this.firstAt = new Uint32Array(Math.max(expected, 16));
    this.count = 0;
  }

  // The numbers of the ids at `positions`.
  numbers(positions) {
    const out = new Int32Array(positions.length);
    for (let k = 0; k < positions.length; k++) out[k] = this.intern(positions[k]);
    return out;
  }

  intern(p) {
    const b = this.bytes, slots = this.slots;
    const a = b[p] | (b[p + 1] << 8) | (b[p + 2] << 16) | (b[p + 3] << 24);
    const c = b[p + 4] | (b[p + 5] << 8) | (b[p + 6] << 16) | (b[p + 7] << 24);
    const d = b[p + 8] | (b[p + 9] << 8) | (b[p + 10] << 16) | (b[p + 11] << 24);
    const e = b[p + 12] | (b[p + 13] << 8) | (b[p + 14] << 16) | (b[p + 15] << 24);
    const mask = slots.length / SLOT - 1;
    for (let slot = hashWords(a, c, d, e, this.seed) & mask; ; slot = (slot + 1) & mask) {
      const s = SLOT * slot;
      const index = slots[s];
      if (index < 0) return this.add(s, p, a, c, d, e);
      if (slots[s + 1] === a && slots[s + 2] === c && slots[s + 3] === d && slots[s + 4] === e) return index;
    }
  }

  add(s, p, a, c, d, e) {
    const index = this.count++;
    const slots = this.slots;
    slots[s] = index;
    slots[s + 1] = a;
    slots[s + 2] = c;
    slots[s + 3] = d;
    slots[s + 4] = e;
    if (index === this.firstAt.length) {
      const grown = new Uint32Array(2 * index);
      grown.set(this.firstAt);
      this.firstAt = grown;
    }
    this.firstAt[index] = p;
    if (2 * SLOT * this.count > slots.length) this.grow();
    return index;
  }

  grow() {
    const old = this.slots;
    const slots = new Int32Array(2 * old.length).fill(-1);
    const mask = slots.length / SLOT - 1;
    for (let o = 0; o < old.length; o += SLOT) {
      if (old[o] < 0) continue;
      let slot = hashWords(old[o + 1], old[o + 2], old[o + 3], old[o + 4], this.seed) & mask;
      while (slots[SLOT * slot] >= 0) slot = (slot + 1) & mask;
      slots.set(old.subarray(o, o + SLOT), SLOT * slot);
    }
    this.slots = slots;
  }
}

// ---- the node record -------------------------------------------------------------

// A U+FEFF that opens a text, or follows an escape, is a character of the text like
// any other: the decoder must not take it for a byte-order mark.
const UTF8 = new TextDecoder("utf-8", { ignoreBOM: true });
// The record being parsed: bytes, position, end. Module state, so that the parser's
// small functions share it without an object per record.
// B is never null: a variable that holds one type keeps its loops fast.
const NO_BYTES = new Uint8Array(0);
let B = NO_BYTES;
let P = 0;
let E = 0;

function bad(what) {
  fail(`node record: ${what} at offset ${P}`);
}

function skipSpace() {
  while (P < E) {
    const c = B[P];
    if (c !== 0x20 && c !== 0x0a && c !== 0x0d && c !== 0x09) return;
    P++;
  }
}

function expect(c, what) {
  if (P >= E || B[P] !== c) bad(`expected ${what}`);
  P++;
}

function hex4() {
  if (E - P < 4) bad("short \\u escape");
  let value = 0;
  for (let k = 0; k < 4; k++) {
    const c = B[P++];
    // Past ASCII the table has no entry, and undefined is no digit either.
    const digit = HEX_DIGIT[c];
    if (!(digit >= 0)) bad("bad \\u escape");
    value = value * 16 + digit;
  }
  return value;
}

const ESCAPES = { 0x22: '"', 0x5c: "\\", 0x2f: "/", 0x62: "\b", 0x66: "\f", 0x6e: "\n", 0x72: "\r", 0x74: "\t" };

// A string at P (which holds the quote): its text when `want`, else only checked.
function readString(want) {
  P++;
  let start = P;
  let text = "";
  for (;;) {
    if (P >= E) bad("unterminated string");
    const c = B[P];
    if (c === 0x22) break;
    if (c < 0x20) bad("control character in a string");
    if (c !== 0x5c) {
      P++;
      continue;
    }
    if (want) text += slice(start, P);
    P++;
    if (P >= E) bad("unterminated escape");
    const e = B[P++];
    if (e === 0x75) {
      const unit = hex4();
      if (unit >= 0xdc00 && unit <= 0xdfff) bad("lone low surrogate");
      if (unit >= 0xd800 && unit <= 0xdbff) {
        if (E - P < 2 || B[P] !== 0x5c || B[P + 1] !== 0x75) bad("lone high surrogate");
        P += 2;
        const low = hex4();
        if (low < 0xdc00 || low > 0xdfff) bad("lone high surrogate");
        if (want) text += String.fromCharCode(unit, low);
      } else if (want) {
        text += String.fromCharCode(unit);
      }
    } else {
      const decoded = ESCAPES[e];
      if (decoded === undefined) bad("unknown escape");
      if (want) text += decoded;
    }
    start = P;
  }
  if (want) text += slice(start, P);
  P++;
  return text;
}

function slice(start, end) {
  return start === end ? "" : UTF8.decode(B.subarray(start, end));
}

// The field number of the key at P, -1 for an unknown key; P moves past it.
function readKey() {
  let at = P + 1;
  while (at < E && B[at] !== 0x22 && B[at] !== 0x5c && B[at] >= 0x20) at++;
  if (at < E && B[at] === 0x22) {
    // No escape: compare the bytes, with no string made.
    const length = at - P - 1;
    for (let f = 0; f < FIELDS.length; f++) {
      const key = FIELDS[f];
      if (key.length !== length) continue;
      let k = 0;
      while (k < length && B[P + 1 + k] === key.charCodeAt(k)) k++;
      if (k === length) {
        P = at + 1;
        return f;
      }
    }
    P = at + 1;
    return -1;
  }
  return FIELD_INDEX.get(readString(true)) ?? -1;
}

function isDigit(c) {
  return c >= 0x30 && c <= 0x39;
}

// Checks the JSON number grammar at P and returns where its parts are.
function scanNumber() {
  const start = P;
  const negative = B[P] === 0x2d;
  if (negative) P++;
  const intStart = P;
  if (P < E && B[P] === 0x30) P++;
  else if (P < E && B[P] >= 0x31 && B[P] <= 0x39) while (P < E && isDigit(B[P])) P++;
  else bad("bad number");
  const intEnd = P;
  let fracStart = P, fracEnd = P;
  if (P < E && B[P] === 0x2e) {
    fracStart = ++P;
    while (P < E && isDigit(B[P])) P++;
    if (P === fracStart) bad("bad number");
    fracEnd = P;
  }
  let expStart = -1, expNegative = false;
  if (P < E && (B[P] | 0x20) === 0x65) {
    P++;
    if (P < E && (B[P] === 0x2b || B[P] === 0x2d)) expNegative = B[P++] === 0x2d;
    expStart = P;
    while (P < E && isDigit(B[P])) P++;
    if (P === expStart) bad("bad number");
  }
  return { start, negative, intStart, intEnd, fracStart, fracEnd, expStart, expNegative };
}

// 10^k, k = 0 ... 308, each the nearest binary64 (the language's own conversion is
// correctly rounded).
const POWERS_OF_TEN = Array.from({ length: 309 }, (_, k) => Number(`1e${k}`));
const ACCUMULATOR_LIMIT = 1844674407370955161n; // (2^64 - 1) / 10
const EXPONENT_LIMIT = 214748364; // (2^31 - 1) / 10
const INT32_MIN = -(2 ** 31);
const INT32_MAX = 2 ** 31 - 1;
// Significands of up to this many digits fit a binary64 exactly.
const EXACT_DIGITS = 15;

// The reader's number procedure (docs/format.md), giving a binary32 value.
function readSize() {
  const n = scanNumber();
  const digits = n.intEnd - n.intStart + n.fracEnd - n.fracStart;
  let significand; // a Number while exact, else a BigInt
  let exponent = 0;
  let dropped = false;
  if (digits <= EXACT_DIGITS) {
    significand = 0;
    for (let i = n.intStart; i < n.intEnd; i++) significand = significand * 10 + B[i] - 0x30;
    for (let i = n.fracStart; i < n.fracEnd; i++) significand = significand * 10 + B[i] - 0x30;
    exponent = n.fracStart - n.fracEnd;
  } else {
    // Once a digit would overflow the 64-bit accumulator, it and every later digit
    // are dropped; dropped integer digits still count as powers of ten.
    let acc = 0n;
    const take = (from, to, fraction) => {
      for (let i = from; i < to; i++) {
        const digit = BigInt(B[i] - 0x30);
        if (acc > ACCUMULATOR_LIMIT || (acc === ACCUMULATOR_LIMIT && digit > 5n)) {
          dropped = true;
          if (!fraction) exponent += to - i;
          return;
        }
        acc = acc * 10n + digit;
        if (fraction) exponent--;
      }
    };
    take(n.intStart, n.intEnd, false);
    if (!dropped) take(n.fracStart, n.fracEnd, true);
    significand = acc;
  }
  const isZero = significand === 0 || significand === 0n;
  if (n.expStart >= 0) {
    let e = 0;
    for (let i = n.expStart; i < P; i++) {
      const digit = B[i] - 0x30;
      if (e > EXPONENT_LIMIT || (e === EXPONENT_LIMIT && digit > 7)) {
        if (!isZero && !n.expNegative) bad("size beyond binary64");
        return n.negative ? -0 : 0;
      }
      e = e * 10 + digit;
    }
    exponent += n.expNegative ? -e : e;
  }
  exponent = Math.min(INT32_MAX, Math.max(INT32_MIN, exponent));

  const integer = n.fracStart === n.fracEnd && n.expStart < 0 && !dropped;
  if (integer && !isZero) {
    if (!n.negative) return float32OfInteger(significand);
    if (BigInt(significand) <= 1n << 63n) return -float32OfInteger(significand);
  } else if (integer && !n.negative) {
    return 0;
  }
  let value = Number(significand); // a BigInt converts to the nearest, ties to even
  while (exponent > 308 || exponent < -308) {
    if (value === 0) return n.negative ? -0 : 0;
    if (exponent > 0) bad("size beyond binary64");
    value /= 1e308;
    exponent += 308;
  }
  if (exponent >= 0) {
    value *= POWERS_OF_TEN[exponent];
    if (value === Infinity) bad("size beyond binary64");
  } else {
    value /= POWERS_OF_TEN[-exponent];
  }
  return Math.fround(n.negative ? -value : value);
}

// An integer straight to the nearest binary32, ties to even: through binary64
// first would round twice past 2^53.
function float32OfInteger(n) {
  if (typeof n === "number") return Math.fround(n);
  const bits = n.toString(2).length;
  if (bits <= 53) return Math.fround(Number(n));
  const shift = BigInt(bits - 24);
  let m = n >> shift;
  const rest = n - (m << shift);
  const half = 1n << (shift - 1n);
  if (rest > half || (rest === half && (m & 1n) === 1n)) m += 1n;
  return Number(m) * 2 ** (bits - 24);
}

function readColour() {
  const n = scanNumber();
  if (n.negative || n.fracStart !== n.fracEnd || n.expStart >= 0) bad("colour not an integer 0-255");
  let value = 0;
  for (let i = n.intStart; i < n.intEnd; i++) {
    value = value * 10 + B[i] - 0x30;
    if (value > 255) bad("colour above 255");
  }
  return value;
}

function literal(text) {
  for (let k = 0; k < text.length; k++) {
    if (P + k >= E || B[P + k] !== text.charCodeAt(k)) bad(`expected ${text}`);
  }
  P += text.length;
}

// The value of field `field` into `update`; null leaves it absent.
function readField(update, field) {
  if (P < E && B[P] === 0x6e) {
    literal("null");
    return;
  }
  if (P >= E) bad("missing value");
  switch (field) {
    case LABEL:
    case URL:
      if (B[P] !== 0x22) bad(`${FIELDS[field]} is not a string`);
      update[FIELDS[field]] = readString(true);
      return;
    case SIZE:
      if (B[P] !== 0x2d && !isDigit(B[P])) bad("size is not a number");
      update.size = readSize();
      return;
    case SHOW_LABEL:
      update.showLabel = B[P] === 0x74;
      literal(update.showLabel ? "true" : "false");
      return;
    default:
      update[FIELDS[field]] = readColour();
  }
}

// Skips one well-formed JSON value of any depth, with a stack of its own: a record
// may nest a million levels.
function skipValue() {
  const open = []; // true: an object, false: an array
  for (;;) {
    skipSpace();
    if (P >= E) bad("missing value");
    const c = B[P];
    if (c === 0x7b || c === 0x5b) {
      P++;
      skipSpace();
      if (P < E && B[P] === (c === 0x7b ? 0x7d : 0x5d)) {
        P++;
      } else {
        open.push(c === 0x7b);
        if (c === 0x7b) memberKey();
        continue;
      }
    } else if (c === 0x22) readString(false);
    else if (c === 0x2d || isDigit(c)) scanNumber();
    else if (c === 0x74) literal("true");
    else if (c === 0x66) literal("false");
    else if (c === 0x6e) literal("null");
    else bad("bad value");
    // After a value: a comma goes on to the next one, a bracket closes a level.
    for (;;) {
      if (open.length === 0) return;
      skipSpace();
      if (P >= E) bad("unterminated container");
      const inObject = open[open.length - 1];
      if (B[P] === 0x2c) {
        P++;
        if (inObject) {
          skipSpace();
          memberKey();
        }
        break;
      }
      expect(inObject ? 0x7d : 0x5d, "a comma or a closing bracket");
      open.pop();
    }
  }
}

// A key and its colon, inside a skipped object.
function memberKey() {
  if (P >= E || B[P] !== 0x22) bad("expected a key");
  readString(false);
  skipSpace();
  expect(0x3a, "a colon");
}

function parseRecord(bytes, start, end) {
  B = bytes;
  P = start;
  E = end;
  const update = {};
  skipSpace();
  if (P >= E) bad("empty record");
  if (B[P] === 0x7b) {
    P++;
    skipSpace();
    let seen = 0;
    if (P < E && B[P] === 0x7d) P++;
    else {
      for (;;) {
        if (P >= E || B[P] !== 0x22) bad("expected a key");
        const field = readKey();
        skipSpace();
        expect(0x3a, "a colon");
        skipSpace();
        if (field < 0) skipValue();
        else {
          if (seen & (1 << field)) bad(`repeated key ${FIELDS[field]}`);
          seen |= 1 << field;
          readField(update, field);
        }
        skipSpace();
        if (P < E && B[P] === 0x2c) {
          P++;
          skipSpace();
          continue;
        }
        expect(0x7d, "a comma or }");
        break;
      }
    }
  } else if (B[P] === 0x5b) {
    P++;
    for (let field = 0; field < FIELDS.length; field++) {
      skipSpace();
      if (field > 0) {
        expect(0x2c, "seven elements");
        skipSpace();
      }
      readField(update, field);
    }
    skipSpace();
    expect(0x5d, "seven elements");
  } else {
    bad("not an object or an array");
  }
  skipSpace();
  if (P !== E) bad("text after the record");
  B = NO_BYTES; // the document is not kept alive from here
  return update;
}

// ---- records as the writer writes them ----------------------------------------------

// The writer's form of a record: members in the fixed order, no white space, texts of
// printable ASCII without escapes, sizes of at most 15 digits and a small exponent,
// colours 0 to 255. Every such record is read byte by byte here, with the reader's
// rules holding for it as they stand; any other record goes to the parser.
const KEY_BYTES = FIELDS.map((key) => Uint8Array.from(`"${key}":`, (c) => c.charCodeAt(0)));
// The values of the record last read in the writer's form.
let formSize = 0;
const formColour = new Uint8Array(3);
let formShowLabel = 0;

const NULL_BYTES = Uint8Array.from("null", (c) => c.charCodeAt(0));
const TRUE_BYTES = Uint8Array.from("true", (c) => c.charCodeAt(0));
const FALSE_BYTES = Uint8Array.from("false", (c) => c.charCodeAt(0));

function matches(b, p, end, word) {
  if (end - p < word.length) return false;
  for (let k = 0; k < word.length; k++) if (b[p + k] !== word[k]) return false;
  return true;
}

// A size in the writer's form at p into formSize: the reader's number procedure for
// a significand of at most 15 digits (exact in binary64) and an exponent that needs
// no loop, where it is one operation. Returns where the number ends, or -1.
function readFormSize(b, p, end) {
  const negative = b[p] === 0x2d;
  if (negative) p++;
  if (p >= end) return -1;
  let significand = 0, digits = 0, exponent = 0;
  if (b[p] === 0x30) p++, digits++;
  else {
    while (p < end && b[p] >= 0x30 && b[p] <= 0x39) significand = 10 * significand + b[p++] - 0x30, digits++;
    if (digits === 0) return -1;
  }
  let integer = true;
  if (p < end && b[p] === 0x2e) {
    integer = false;
    const start = ++p;
    while (p < end && b[p] >= 0x30 && b[p] <= 0x39) significand = 10 * significand + b[p++] - 0x30;
    if (p === start) return -1;
    digits += p - start;
    exponent = start - p;
  }
  if (p < end && (b[p] | 0x20) === 0x65) {
    integer = false;
    p++;
    const minus = p < end && b[p] === 0x2d;
    if (p < end && (b[p] === 0x2d || b[p] === 0x2b)) p++;
    const start = p;
    let e = 0;
    while (p < end && b[p] >= 0x30 && b[p] <= 0x39 && p - start < 4) e = 10 * e + b[p++] - 0x30;
    if (p === start || (p < end && b[p] >= 0x30 && b[p] <= 0x39)) return -1;
    exponent += minus ? -e : e;
  }
  if (digits > EXACT_DIGITS || exponent > 308 || exponent < -308) return -1;
  let value;
  if (integer) value = significand;
  else if (exponent >= 0) {
    value = significand * POWERS_OF_TEN[exponent];
    if (value === Infinity) return -1;
  } else value = significand / POWERS_OF_TEN[-exponent];
  // `-0` takes the procedure's step 4, which gives negative zero.
  formSize = Math.fround(negative ? -value : value);
  return p;
}

// Strict UTF-8 (no overlong forms, no encoded surrogates, nothing above U+10FFFF):
// the platform's decoder refuses exactly those. A record in the writer's form is
// ASCII and needs no check.
const STRICT_UTF8 = new TextDecoder("utf-8", { fatal: true, ignoreBOM: true });

// The node records' updates as node columns (ids aside), with the updates of the
// records not in the writer's form in `parsed` and why each record that failed did
// in `errors`. A record that is not UTF-8 fails the document whatever comes after it.
function readRecords(bytes, doc) {
  const { recordStart, recordEnd } = doc;
  const n = recordStart.length;
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const records = new RecordColumns(n, bytes.length);
  const parsed = new Map(); // record -> update, for those not in the writer's form
  const errors = new Map(); // record -> why it failed
  for (let i = 0; i < n; i++) {
    if (records.take(bytes, view, i, recordStart[i], recordEnd[i])) continue;
    try {
      STRICT_UTF8.decode(bytes.subarray(recordStart[i], recordEnd[i]));
    } catch {
      fail(`node record at offset ${recordStart[i]} is not UTF-8`);
    }
    try {
      parsed.set(i, parseRecord(bytes, recordStart[i], recordEnd[i]));
    } catch (error) {
      if (!(error instanceof DocumentError)) throw error;
      errors.set(i, error);
    }
  }
  return { ...records.finish(null), parsed, errors };
}

const FULL = (1 << FIELDS.length) - 1;

// ---- decode ----------------------------------------------------------------------

export function decode(input) {
  const bytes = asBytes(input);
  const columns = columnsInOnePass(bytes);
  return columns !== null ? documentOf(columns, onePassParsed) : decodeAny(bytes);
}

// decode for any input: every id numbered, repeats resolved as from_bytes resolves
// them, and what is wrong said.
function decodeAny(bytes) {
  const doc = scan(bytes);
  const records = readRecords(bytes, doc);
  const index = new IdIndex(bytes, doc.nodeAt.length + doc.edges.fromAt.length + doc.deletedEdges.fromAt.length);
  const nodes = index.numbers(doc.nodeAt);
  const deleted = index.numbers(doc.deletedAt);
  const sections = [doc.edges, doc.deletedEdges].map(({ fromAt, offsets, toAt }) => ({
    from: index.numbers(fromAt),
    offsets,
    to: index.numbers(toAt),
    toAt,
  }));
  const texts = idTexts(bytes, index.firstAt.subarray(0, index.count));

  // The rule of from_bytes: a record that a later one of the same id replaces does
  // not count, even if it is broken; an id takes its place at its first record that
  // parses.
  const latest = new Int32Array(index.count).fill(-1);
  for (let i = 0; i < nodes.length; i++) latest[nodes[i]] = i;
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
  const deletedNodes = new Set();
  for (let k = 0; k < deleted.length; k++) deletedNodes.add(texts[deleted[k]]);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  // A later group of the same `from` replaces the earlier one in its place.
  const [weighted, unweighted] = sections;
  const newOrUpdatedEdges = new Map();
  for (let g = 0; g < weighted.from.length; g++) {
    const rows = new Map();
    for (let k = weighted.offsets[g]; k < weighted.offsets[g + 1]; k++) {
      rows.set(texts[weighted.to[k]], view.getFloat32(weighted.toAt[k] + ID_BYTES, true));
    }
    newOrUpdatedEdges.set(texts[weighted.from[g]], rows);
  }
  const deletedEdges = new Map();
  for (let g = 0; g < unweighted.from.length; g++) {
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

// ---- decodeColumns -----------------------------------------------------------------

// The same content as decode, as typed arrays: ids as 16-byte rows, a group's rows at
// offsets[g] ... offsets[g + 1], weights with their bits as written. Repeats are
// resolved as decode resolves them.
export function decodeColumns(input) {
  const bytes = asBytes(input);
  const columns = columnsInOnePass(bytes);
  if (columns !== null) return columns;
  // Repeats, or something wrong: decode resolves the one and says what the other is.
  const doc = decodeAny(bytes);
  return columnsOf(doc, doc.byteLength);
}

// ---- decodeColumns in one pass ---------------------------------------------------------

// Ids and weights are copied four bytes at a time, read in the platform's own order so
// that the words land as the bytes stood.
const NATIVE_ORDER = new Uint8Array(Uint16Array.of(1).buffer)[0] === 1;
// Up to this many ids are checked for a repeat pair by pair; more take a table.
const PAIRWISE_IDS = 16;

// Whether rows [from, to) of ids, four words each, hold one id twice.
function hasRepeatedRow(words, from, to) {
  if (to - from <= PAIRWISE_IDS) {
    for (let k = from + 1; k < to; k++) {
      const a = words[4 * k], c = words[4 * k + 1], d = words[4 * k + 2], e = words[4 * k + 3];
      for (let j = from; j < k; j++) {
        if (words[4 * j] === a && words[4 * j + 1] === c && words[4 * j + 2] === d && words[4 * j + 3] === e) {
          return true;
        }
      }
    }
    return false;
  }
  const seed = (Math.random() * TWO_32) | 0;
  const table = new Int32Array(tableSize(to - from)); // row + 1, 0 for an empty slot
  const mask = table.length - 1;
  for (let k = from; k < to; k++) {
    const a = words[4 * k], c = words[4 * k + 1], d = words[4 * k + 2], e = words[4 * k + 3];
    let slot = hashWords(a, c, d, e, seed) & mask;
    for (let j = table[slot] - 1; j >= 0; slot = (slot + 1) & mask, j = table[slot] - 1) {
      if (words[4 * j] === a && words[4 * j + 1] === c && words[4 * j + 2] === d && words[4 * j + 3] === e) {
        return true;
      }
    }
    table[slot] = k + 1;
  }
  return false;
}

// Whether the 24 bytes at p, within the input, are an id of length 16.
function isIdAt(view, p, end) {
  return end - p >= COUNT_BYTES + ID_BYTES && view.getUint32(p, true) === ID_BYTES && view.getUint32(p + 4, true) === 0;
}

// The id at p (after its length) into row `row` of `words`.
function copyId(view, p, words, row) {
  words[4 * row] = view.getInt32(p, NATIVE_ORDER);
  words[4 * row + 1] = view.getInt32(p + 4, NATIVE_ORDER);
  words[4 * row + 2] = view.getInt32(p + 8, NATIVE_ORDER);
  words[4 * row + 3] = view.getInt32(p + 12, NATIVE_ORDER);
}

// A count at p that the bytes from p on could hold, each entry taking at least
// `entryBytes` after the count's own 8; -1 for any other.
function countAt(view, p, end, entryBytes) {
  if (end - p < COUNT_BYTES || view.getUint32(p + 4, true) !== 0) return -1;
  const count = view.getUint32(p, true);
  return count <= (end - p - COUNT_BYTES) / entryBytes ? count : -1;
}

// The records that the last call of columnsInOnePass parsed in full: record number,
// update, in turn (null for none).
let onePassParsed = null;

// Where the last group section read by groupColumns ended.
let groupsEnd = 0;

// A group section at p as columns, or null when it is not all there or an id stands
// twice among its `from` ids or in one group. Its headers are walked first, so that
// the rows' columns are made at their size.
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
  groupsEnd = p;
  return weighted ? { from, offsets, to, weights } : { from, offsets, to };
}

// Each record's keys, as the two 32-bit words (little-endian) that begin and end it
// (they overlap when it is shorter than 8 bytes), and the middle word of the longest.
const KEY_LENGTHS = KEY_BYTES.map((key) => key.length);
const keyWord = (key, at) => key[at] | (key[at + 1] << 8) | (key[at + 2] << 16) | (key[at + 3] << 24);
const KEY_FIRST = Int32Array.from(KEY_BYTES, (key) => keyWord(key, 0));
const KEY_LAST = Int32Array.from(KEY_BYTES, (key) => keyWord(key, key.length - 4));
const KEY_MIDDLE = Int32Array.from(KEY_BYTES, (key) => (key.length > 8 ? keyWord(key, 4) : 0));

// Whether field f's key stands at p.
function keyAt(view, p, end, f) {
  const length = KEY_LENGTHS[f];
  return end - p >= length && view.getInt32(p, true) === KEY_FIRST[f] &&
    view.getInt32(p + length - 4, true) === KEY_LAST[f] && (length <= 8 || view.getInt32(p + 4, true) === KEY_MIDDLE[f]);
}

// Where the texts of the record last read by writerRecord end in its output: its label,
// then its url.
let labelEnd = 0;
let textEnd = 0;

// The present fields of the record b[p, end) when it is in the writer's form, else -1;
// as readWriterForm, with its texts copied to out from `at` (room made for the record's
// length), and its other values in formSize, formColour, formShowLabel.
function writerRecord(b, view, p, end, out, at) {
  labelEnd = at;
  textEnd = at;
  if (end - p < 2 || b[p] !== 0x7b) return -1;
  p++;
  if (b[p] === 0x7d) return p + 1 === end ? 0 : -1;
  let present = 0;
  for (let f = 0; ; ) {
    while (f < FIELDS.length && !keyAt(view, p, end, f)) f++;
    if (f === FIELDS.length) return -1;
    p += KEY_LENGTHS[f];
    if (p >= end) return -1;
    const c = b[p];
    if (f === LABEL || f === URL) {
      if (c !== 0x22) return -1;
      p++;
      for (; p < end; p++) {
        const t = b[p];
        if (t < 0x20 || t >= 0x80 || t === 0x22 || t === 0x5c) break;
        out[at++] = t;
      }
      if (p >= end || b[p] !== 0x22) return -1;
      p++;
      if (f === LABEL) labelEnd = at;
      textEnd = at;
      present |= 1 << f;
    } else if (f === SIZE) {
      if (c === 0x6e) {
        if (!matches(b, p, end, NULL_BYTES)) return -1;
        p += 4;
      } else {
        p = readFormSize(b, p, end);
        if (p < 0) return -1;
        present |= 1 << f;
      }
    } else if (f === SHOW_LABEL) {
      if (c === 0x74 && matches(b, p, end, TRUE_BYTES)) formShowLabel = 1, p += 4;
      else if (c === 0x66 && matches(b, p, end, FALSE_BYTES)) formShowLabel = 0, p += 5;
      else return -1;
      present |= 1 << f;
    } else {
      // A colour: 0, or 1 to 3 digits without a leading zero, at most 255.
      if (c < 0x30 || c > 0x39) return -1;
      let value = c - 0x30;
      p++;
      if (value !== 0) {
        while (p < end && b[p] >= 0x30 && b[p] <= 0x39 && value <= 255) value = 10 * value + b[p++] - 0x30;
      }
      if (value > 255) return -1;
      formColour[f - RED] = value;
      present |= 1 << f;
    }
    f++;
    if (p >= end) return -1;
    if (b[p] === 0x7d) return p + 1 === end ? present : -1;
    if (b[p] !== 0x2c) return -1;
    p++;
  }
}

// A record that is not in the writer's form, as readRecords reads it; null when it is
// not UTF-8 or fails.
function otherRecord(bytes, start, end) {
  try {
    STRICT_UTF8.decode(bytes.subarray(start, end));
    return parseRecord(bytes, start, end);
  } catch (error) {
    if (error instanceof DocumentError || error instanceof TypeError) return null;
    throw error;
  }
}

// Node columns filled record by record: a record in the writer's form goes straight
// into them, its texts gathered to be decoded at once and sliced at the end.
class RecordColumns {
  // `room`: the bytes of the records to come, at most.
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
  }

  // Whether record i, bytes[p, end), is in the writer's form; it is in the columns if so.
  take(bytes, view, i, p, end) {
    const at = this.at;
    if (at + end - p > this.texts.length) {
      const grown = new Uint8Array(Math.max(2 * this.texts.length, at + end - p));
      grown.set(this.texts.subarray(0, at));
      this.texts = grown;
    }
    const fields = writerRecord(bytes, view, p, end, this.texts, at);
    if (fields < 0) {
      this.ends[2 * i] = this.ends[2 * i + 1] = at;
      return false;
    }
    this.present[i] = fields;
    if (fields & (1 << SIZE)) this.size[i] = formSize;
    if (fields & (1 << RED)) this.red[i] = formColour[0];
    if (fields & (1 << GREEN)) this.green[i] = formColour[1];
    if (fields & (1 << BLUE)) this.blue[i] = formColour[2];
    if (fields & (1 << SHOW_LABEL)) this.showLabel[i] = formShowLabel;
    this.ends[2 * i] = labelEnd;
    this.ends[2 * i + 1] = this.at = textEnd;
    return true;
  }

  // The columns, "" for a text that is absent or was not taken.
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

// The columns of decodeColumns in one pass over the input, for a document that is all
// there and has no id twice where the reader resolves repeats (every document to_bytes
// writes); null for any other, which the general reader then reads or refuses.
function columnsInOnePass(bytes) {
  const end = bytes.length;
  const view = new DataView(bytes.buffer, bytes.byteOffset, end);
  const n = countAt(view, 0, end, 2 * COUNT_BYTES + ID_BYTES);
  if (n < 0) return null;
  let p = COUNT_BYTES;
  const ids = new Uint8Array(ID_BYTES * n);
  const idWords = new Int32Array(ids.buffer);
  const records = new RecordColumns(n, end);
  let parsed = null; // record number, update: the records not in the writer's form
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
      (parsed ??= []).push(i, update);
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
  const deletedEdges = groupColumns(view, groupsEnd, end, false);
  if (deletedEdges === null) return null;

  const nodes = records.finish(ids);
  // Records not in the writer's form, as decodeColumns takes them from their updates.
  for (let k = 0; parsed !== null && k < parsed.length; k += 2) putUpdate(nodes, parsed[k], parsed[k + 1]);
  onePassParsed = parsed;
  return { nodes, deletedNodes, edges, deletedEdges, byteLength: groupsEnd };
}

// ---- decode from the columns -----------------------------------------------------------

// The texts of the ids in rows of 16 bytes, one after another, into `out` from `at`;
// returns where they end. Two bytes' four digits go as one word (HEX_CODES holds a
// byte's two digits in the order of a little-endian half word).
function putIdTexts(rows, out, at) {
  const view = new DataView(out.buffer, out.byteOffset, out.byteLength);
  // Written out, not looped: the compiler keeps a loop's offsets in memory.
  for (let p = 0; p < rows.length; p += ID_BYTES, at += ID_TEXT_LENGTH) {
    quadText(view, at + QUAD_AT[0], rows, p);
    quadText(view, at + QUAD_AT[1], rows, p + 2);
    quadText(view, at + QUAD_AT[2], rows, p + 4);
    quadText(view, at + QUAD_AT[3], rows, p + 6);
    quadText(view, at + QUAD_AT[4], rows, p + 8);
    quadText(view, at + QUAD_AT[5], rows, p + 10);
    quadText(view, at + QUAD_AT[6], rows, p + 12);
    quadText(view, at + QUAD_AT[7], rows, p + 14);
    out[at + HYPHEN_AT[0]] = out[at + HYPHEN_AT[1]] = out[at + HYPHEN_AT[2]] = out[at + HYPHEN_AT[3]] = 0x2d;
  }
  return at;
}

// The four digits of bytes p and p + 1 of `rows` as one word at `at`.
function quadText(view, at, rows, p) {
  view.setInt32(at, HEX_CODES[rows[p]] | (HEX_CODES[rows[p + 1]] << 16), true);
}

// Node i's update from the columns, its fields in the writer's order.
function columnUpdate(nodes, i) {
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

// decode's result from the columns of columnsInOnePass (no id stands twice where the
// reader resolves repeats), with the updates of the records it parsed as they came.
// The ids' texts are slices of one text of them all, in the order they are met.
function documentOf(columns, parsed) {
  const { nodes, deletedNodes, edges, deletedEdges } = columns;
  const sections = [nodes.ids, deletedNodes, edges.from, edges.to, deletedEdges.from, deletedEdges.to];
  let at = 0;
  const hex = new Uint8Array(sections.reduce((sum, rows) => sum + rows.length, 0) / ID_BYTES * ID_TEXT_LENGTH);
  for (const rows of sections) at = putIdTexts(rows, hex, at);
  const texts = at === 0 ? "" : UTF8.decode(hex);
  let t = 0;

  const newOrUpdatedNodes = new Map();
  for (let i = 0, k = 0; i < nodes.present.length; i++, t += ID_TEXT_LENGTH) {
    let update;
    if (parsed !== null && k < parsed.length && parsed[k] === i) {
      update = parsed[k + 1];
      k += 2;
    } else {
      update = columnUpdate(nodes, i);
    }
    newOrUpdatedNodes.set(texts.substring(t, t + ID_TEXT_LENGTH), update);
  }
  const deleted = new Array(deletedNodes.length / ID_BYTES);
  for (let i = 0; i < deleted.length; i++, t += ID_TEXT_LENGTH) deleted[i] = texts.substring(t, t + ID_TEXT_LENGTH);

  const newOrUpdatedEdges = new Map();
  const groups = edges.offsets.length - 1;
  let r = t + ID_TEXT_LENGTH * groups; // the rows' texts follow the groups'
  for (let g = 0; g < groups; g++, t += ID_TEXT_LENGTH) {
    const rows = new Map();
    for (let k = edges.offsets[g]; k < edges.offsets[g + 1]; k++, r += ID_TEXT_LENGTH) {
      rows.set(texts.substring(r, r + ID_TEXT_LENGTH), edges.weights[k]);
    }
    newOrUpdatedEdges.set(texts.substring(t, t + ID_TEXT_LENGTH), rows);
  }
  t = r;
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

// Node i's update into node columns: its present fields and their values.
function putUpdate(columns, i, update) {
  let present = 0;
  for (let f = 0; f < FIELDS.length; f++) {
    const value = update[FIELDS[f]];
    if (value === undefined) continue;
    present |= 1 << f;
    columns[FIELDS[f]][i] = f === SHOW_LABEL ? (value ? 1 : 0) : value;
  }
  columns.present[i] = present;
}

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

function textsToRows(texts) {
  const out = new Uint8Array(ID_BYTES * texts.length);
  texts.forEach((text, i) => putId(out, ID_BYTES * i, text));
  return out;
}

function columnsOf(doc, length) {
  const grouped = (map, withWeights) => {
    const from = [], to = [], offsets = [0], weights = [];
    for (const [source, targets] of map) {
      from.push(source);
      for (const entry of targets) {
        to.push(withWeights ? entry[0] : entry);
        if (withWeights) weights.push(entry[1]);
      }
      offsets.push(to.length);
    }
    const columns = { from: textsToRows(from), offsets: Uint32Array.from(offsets), to: textsToRows(to) };
    if (withWeights) columns.weights = Float32Array.from(weights);
    return columns;
  };
  return {
    nodes: nodeColumns(textsToRows([...doc.newOrUpdatedNodes.keys()]), [...doc.newOrUpdatedNodes.values()]),
    deletedNodes: textsToRows(doc.deletedNodes),
    edges: grouped(doc.newOrUpdatedEdges, true),
    deletedEdges: grouped(doc.deletedEdges, false),
    byteLength: length,
  };
}

// ---- the number text ---------------------------------------------------------------

const F32 = new Float32Array(1);
const U32 = new Uint32Array(F32.buffer);

function float32Neighbour(bits) {
  U32[0] = bits;
  return F32[0];
}

// Where the decimal D x 10^K stands against the binary64 b, exactly: -1, 0 or 1.
function compareExact(D, K, b) {
  let m = b, e = 0;
  while (!Number.isInteger(m)) {
    m *= 2;
    e--;
  }
  let left = BigInt(D), right = BigInt(m);
  if (K >= 0) left *= 10n ** BigInt(K);
  else right *= 10n ** BigInt(-K);
  if (e < 0) left *= 2n ** BigInt(-e);
  return left < right ? -1 : left > right ? 1 : 0;
}

// Whether D x 10^K reads back, correctly rounded, as the binary32 whose rounding
// interval is [lo, hi] (its ends included when the value's last bit is even).
// Through binary64 first would round twice: a text just past an end can round onto
// it in binary64 and then to the even side.
function readsBack(D, K, lo, hi, even) {
  const v = Number(`${D}e${K}`);
  if (v > lo && v < hi) return true;
  if (v < lo || v > hi) return false;
  const side = compareExact(D, K, v === lo ? lo : hi);
  if (side === 0) return even;
  return v === lo ? side > 0 : side < 0;
}

// The shortest digits D (no trailing zero) and K with D x 10^K reading back as the
// positive binary32 a; of two, the nearer; of two as near, the even one.
function shortestDigits(a) {
  F32[0] = a;
  const bits = U32[0];
  const lower = bits === 1 ? 0 : float32Neighbour(bits - 1);
  const upper = bits === 0x7f7fffff ? 2 ** 128 : float32Neighbour(bits + 1);
  const lo = (a + (bits === 1 ? 0 : lower)) / 2;
  const hi = (a + upper) / 2;
  const even = (bits & 1) === 0;
  // The text of n digits that reads back, or null: the n-digit decimal nearest a,
  // or the one on a's other side.
  const ofDigits = (n) => {
    const [mantissa, exp] = a.toExponential(n - 1).split("e");
    const D = Number(mantissa.replace(".", ""));
    const K = Number(exp) - (n - 1);
    if (readsBack(D, K, lo, hi, even)) {
      // toExponential breaks a tie upwards; the rule breaks it to the even digit.
      if (D % 2 === 1 && compareExact((2 * D - 1) * 5, K - 1, a) === 0 &&
          readsBack(D - 1, K, lo, hi, even)) {
        return [D - 1, K];
      }
      return [D, K];
    }
    if (Number(`${D}e${K}`) < a) return readsBack(D + 1, K, lo, hi, even) ? [D + 1, K] : null;
    // Below a power of ten the grid of n digits is ten times finer.
    if (D === 10 ** (n - 1)) return readsBack(10 * D - 1, K - 1, lo, hi, even) ? [10 * D - 1, K - 1] : null;
    return readsBack(D - 1, K, lo, hi, even) ? [D - 1, K] : null;
  };
  // A text of n digits that reads back is one of n + 1 too (a zero appended), so
  // the fewest digits are found by halving 1..9: nine always suffice.
  let fewest = 1, most = 9;
  let found = null;
  while (fewest < most) {
    const n = (fewest + most) >> 1;
    const text = ofDigits(n);
    if (text === null) {
      fewest = n + 1;
    } else {
      most = n;
      found = text;
    }
  }
  // The last text found is the one of `most` digits; none was found below nine.
  found ??= ofDigits(9);
  if (found === null) throw new Error(`no shortest text for ${a}`); // nine always suffice
  let [digits, k] = found;
  while (digits % 10 === 0) {
    digits /= 10;
    k++;
  }
  return [String(digits), k];
}

// The writer's text for a binary32 value (docs/format.md, "The size").
export function float32Text(value) {
  const x = Math.fround(value);
  if (x !== x || x === Infinity || x === -Infinity) return "null";
  if (x === 0) return Object.is(x, -0) ? "-0.0" : "0.0";
  const sign = x < 0 ? "-" : "";
  const [digits, k] = shortestDigits(Math.abs(x));
  const n = digits.length;
  const p = n + k;
  let body;
  if (k >= 0 && p <= 13) body = digits + "0".repeat(k) + ".0";
  else if (p > 0 && p <= 13) body = `${digits.slice(0, p)}.${digits.slice(p)}`;
  else if (p > -6 && p <= 0) body = `0.${"0".repeat(-p)}${digits}`;
  else if (n === 1) body = `${digits}e${p - 1}`;
  else body = `${digits[0]}.${digits.slice(1)}e${p - 1}`;
  return sign + body;
}

// ---- encode ------------------------------------------------------------------------

// Sizes repeat, and their text is costly: the texts by binary32 bits, in a table of
// SIZE_SLOTS probed in turn and emptied when half full, each with its bytes as
// SIZE_WORDS words to copy. The longest text, "-0.0000012345678", is 17 bytes.
const SIZE_SLOT_BITS = 10;
const SIZE_SLOTS = 1 << SIZE_SLOT_BITS;
const SIZE_WORDS = 5;
const sizeBits = new Uint32Array(SIZE_SLOTS);
const sizeTexts = new Array(SIZE_SLOTS).fill("");
const sizeWords = new Int32Array(SIZE_WORDS * SIZE_SLOTS);
let sizeCount = 0;

// The slot that holds the text of `value` as a binary32.
function sizeSlot(value) {
  F32[0] = value;
  const bits = U32[0];
  let slot = Math.imul(bits, 0x9e3779b1) >>> (32 - SIZE_SLOT_BITS);
  for (; sizeTexts[slot] !== ""; slot = (slot + 1) & (SIZE_SLOTS - 1)) {
    if (sizeBits[slot] === bits) return slot;
  }
  if (2 * ++sizeCount > SIZE_SLOTS) {
    sizeTexts.fill("");
    sizeCount = 1;
    slot = Math.imul(bits, 0x9e3779b1) >>> (32 - SIZE_SLOT_BITS);
  }
  const text = float32Text(value);
  sizeBits[slot] = bits;
  sizeTexts[slot] = text;
  for (let w = 0; w < SIZE_WORDS; w++) sizeWords[SIZE_WORDS * slot + w] = wordOf(text.slice(4 * w, 4 * w + 4));
  return slot;
}

function sizeText(value) {
  return sizeTexts[sizeSlot(value)];
}

// Up to four ASCII characters as one little-endian word, zeros past the text.
const wordOf = (text) => Array.from(text, (c) => c.charCodeAt(0)).reduceRight((word, code) => (word << 8) | code, 0);
// The texts of showLabel's values as two little-endian words each.
const wordsOf = (text) => Int32Array.from([0, 4], (at) => wordOf(text.slice(at, at + 4)));
const TRUE_WORDS = wordsOf("true");
const FALSE_WORDS = wordsOf("false");

// The text before each field's value in a record of all seven fields, by field
// (glue): the brace or the comma, the key, and the quotes that close the text
// before and open this one.
const isTextField = (f) => f === LABEL || f === URL;
const FULL_GLUE_TEXTS = FIELDS.map((key, f) =>
  (f === 0 ? "{" : `${isTextField(f - 1) ? '"' : ""},`) + `"${key}":` + (isTextField(f) ? '"' : ""));
const FULL_GLUE_WORDS = 4;
const FULL_GLUE = Int32Array.from(FULL_GLUE_TEXTS.flatMap((text) => [0, 4, 8, 12].map((at) => wordOf(text.slice(at, at + 4)))));
const FULL_GLUE_LENGTHS = FULL_GLUE_TEXTS.map((text) => text.length);

// Each colour's digits as one little-endian word, and how many there are.
const COLOUR_WORDS = Int32Array.from({ length: 256 }, (_, v) => wordOf(String(v)));

const UTF8_ENCODER = new TextEncoder();
// The escapes the writer uses; any other byte below 0x20 is written \u00XX.
const WRITTEN_ESCAPES = { 0x22: '\\"', 0x5c: "\\\\", 0x08: "\\b", 0x09: "\\t", 0x0a: "\\n", 0x0c: "\\f", 0x0d: "\\r" };
// The most bytes a UTF-16 unit of a text takes in a record: \u00XX.
const MAX_BYTES_PER_UNIT = 6;
// The most bytes of a record besides its two texts: braces, keys, size, colours.
const MAX_RECORD_REST = 128;

// A text's JSON string body with the writer's escapes (no quotes).
function escaped(text) {
  let out = "";
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c >= 0x20 && c !== 0x22 && c !== 0x5c) out += text[i];
    else out += WRITTEN_ESCAPES[c] ?? `\\u00${c.toString(16).padStart(2, "0")}`;
  }
  return out;
}

// The text of a size, colour or showLabel value, checked as PyGraphDiff checks it.
function valueText(f, value, writer) {
  if (f === SIZE) {
    if (typeof value !== "number") throw new TypeError("size must be a number");
    return sizeText(value);
  }
  if (f === SHOW_LABEL) {
    if (typeof value !== "boolean") throw new TypeError("showLabel must be a boolean");
    return value ? "true" : "false";
  }
  if (!Number.isInteger(value) || value < 0 || value > 255) {
    throw new RangeError(`${FIELDS[f]} must be an integer from 0 to 255`);
  }
  return String(value);
}

// The record text to_bytes writes for an update: present fields in the fixed order.
export function recordText(update) {
  const w = new Writer(new Uint8Array(0));
  w.recordAlone(update);
  return UTF8.decode(w.bytes.subarray(COUNT_BYTES, w.at));
}

// Id texts are written this many at a time, through a scratch of their bytes. Their
// joined text stays a young object (under 128 KB): a larger one would be made in the
// old generation, and enough of them start a full collection of the caller's heap.
const PENDING_IDS = 1024;
const ID_SCRATCH = new Uint8Array(ID_TEXT_LENGTH * PENDING_IDS);
const ID_SCRATCH_VIEW = new DataView(ID_SCRATCH.buffer);
// Nodes are written this many at a time, their texts through a scratch of this size.
const NODE_BATCH = 256;
// Texts are copied out of it a word at a time, so it ends in a word's slack.
const TEXT_SCRATCH = new Uint8Array((1 << 16) + 3);
const TEXT_SCRATCH_VIEW = new DataView(TEXT_SCRATCH.buffer);
const TEXT_BATCH_BYTES = TEXT_SCRATCH.length - 3;
// A character that a JSON string writes escaped.
const NEEDS_ESCAPE = /[\u0000-\u001f"\\]/;

// The byte that two ASCII hex digits of either case stand for, indexed by the two as a
// little-endian half word (the high digit in the low byte), or -1. A table lookup per
// byte costs a third of working the digits out lane by lane; of its 128 KB only the
// lines of digit pairs are ever read.
const PAIR_VALUE = new Int16Array(1 << 16).fill(-1);
for (let h = 0; h < 128; h++) {
  for (let l = 0; l < 128; l++) {
    if (HEX_DIGIT[h] >= 0 && HEX_DIGIT[l] >= 0) PAIR_VALUE[h | (l << 8)] = (HEX_DIGIT[h] << 4) | HEX_DIGIT[l];
  }
}

// The four bytes whose digit pairs stand at j + a, j + b, j + c and j + d of `text`,
// as one word into `out` at `to`; returns their values or'ed, negative when any pair
// is not two hex digits (and the word then is not to be used).
function pairsWord(text, j, out, to, a, b, c, d) {
  const p0 = PAIR_VALUE[text.getUint16(j + a, true)], p1 = PAIR_VALUE[text.getUint16(j + b, true)];
  const p2 = PAIR_VALUE[text.getUint16(j + c, true)], p3 = PAIR_VALUE[text.getUint16(j + d, true)];
  out.setInt32(to, p0 | (p1 << 8) | (p2 << 16) | (p3 << 24), true);
  return p0 | p1 | p2 | p3;
}

// Writes the 16 bytes of an id given as its text (either case) or as 16 bytes.
function putId(out, at, id) {
  if (typeof id === "string") {
    if (id.length === ID_TEXT_LENGTH) {
      const hyphens = (id.charCodeAt(HYPHEN_AT[0]) ^ 0x2d) | (id.charCodeAt(HYPHEN_AT[1]) ^ 0x2d) |
        (id.charCodeAt(HYPHEN_AT[2]) ^ 0x2d) | (id.charCodeAt(HYPHEN_AT[3]) ^ 0x2d);
      let codes = 0, digits = 0;
      for (let i = 0; i < ID_BYTES; i++) {
        const j = PAIR_AT[i];
        const h = id.charCodeAt(j), l = id.charCodeAt(j + 1);
        codes |= h | l;
        const high = HEX_DIGIT[h & 0x7f], low = HEX_DIGIT[l & 0x7f];
        digits |= high | low;
        out[at + i] = (high << 4) | low;
      }
      // -1 marks a character that is not a hex digit; one past ASCII would alias in the table.
      if ((hyphens | (codes >>> 7)) === 0 && digits >= 0) return;
    }
    throw new TypeError(`not a UUID text: ${JSON.stringify(id)}`);
  }
  if (id instanceof Uint8Array && id.length === ID_BYTES) out.set(id, at);
  else throw new TypeError("an id is a UUID text or 16 bytes");
}
class Writer {
  // Into `bytes` from its start; a larger buffer is made when it needs more.
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.at = 0;
    // Id texts not yet written, and where each goes (see flush).
    // (An array kept at its full length: emptied, one would be grown again each time.)
    this.pending = new Array(PENDING_IDS).fill("");
    this.pendingAt = new Int32Array(PENDING_IDS);
    this.pendingCount = 0;
    // Nodes not yet written, their texts, and where those stand in TEXT_SCRATCH.
    this.nodeIds = new Array(NODE_BATCH).fill(null);
    this.nodeUpdates = new Array(NODE_BATCH).fill(null);
    this.nodeTexts = new Array(2 * NODE_BATCH).fill("");
    this.textAt = new Int32Array(2 * NODE_BATCH);
    this.nodeCount = 0;
  }

  room(size) {
    if (this.at + size <= this.bytes.length) return;
    const grown = new Uint8Array(this.at === 0 ? size : Math.max(2 * this.bytes.length, this.at + size));
    grown.set(this.bytes.subarray(0, this.at));
    this.bytes = grown;
    this.view = new DataView(grown.buffer);
  }

  // Callers make room first.
  u64(value) {
    const high = value < TWO_32 ? 0 : Math.floor(value / TWO_32);
    this.view.setUint32(this.at, value - high * TWO_32, true);
    this.view.setUint32(this.at + 4, high, true);
    this.at += COUNT_BYTES;
  }

  id(id) {
    const at = this.at;
    this.view.setUint32(at, ID_BYTES, true);
    this.view.setUint32(at + 4, 0, true);
    if (typeof id === "string" && id.length === ID_TEXT_LENGTH) {
      const n = this.pendingCount++;
      this.pending[n] = id;
      this.pendingAt[n] = at + COUNT_BYTES;
      if (n + 1 === PENDING_IDS) this.flush();
    } else {
      putId(this.bytes, at + COUNT_BYTES, id);
    }
    this.at = at + COUNT_BYTES + ID_BYTES;
  }

  // Writes the pending id texts. Reading a text's characters one call at a time costs
  // more than the rest of encode together; joined and encoded natively, they are
  // bytes to read. Only ASCII texts give one byte per character, so any other goes
  // to putId, which says what is wrong; of several bad ids, the first.
  flush() {
    const texts = this.pending, n = this.pendingCount;
    if (n === 0) return;
    const bytes = this.bytes, out = this.view, at = this.pendingAt, hex = ID_SCRATCH, text = ID_SCRATCH_VIEW;
    const joined = n === PENDING_IDS ? texts.join("") : texts.slice(0, n).join("");
    const { read, written } = UTF8_ENCODER.encodeInto(joined, hex);
    const whole = read === written && written === ID_TEXT_LENGTH * n;
    for (let k = 0; k < n; k++) {
      const j = ID_TEXT_LENGTH * k, to = at[k];
      const hyphens = (hex[j + HYPHEN_AT[0]] ^ 0x2d) | (hex[j + HYPHEN_AT[1]] ^ 0x2d) |
        (hex[j + HYPHEN_AT[2]] ^ 0x2d) | (hex[j + HYPHEN_AT[3]] ^ 0x2d);
      // Written out, not looped: the compiler keeps a loop's offsets in memory.
      const digits = pairsWord(text, j, out, to, PAIR_AT[0], PAIR_AT[1], PAIR_AT[2], PAIR_AT[3]) |
        pairsWord(text, j, out, to + 4, PAIR_AT[4], PAIR_AT[5], PAIR_AT[6], PAIR_AT[7]) |
        pairsWord(text, j, out, to + 8, PAIR_AT[8], PAIR_AT[9], PAIR_AT[10], PAIR_AT[11]) |
        pairsWord(text, j, out, to + 12, PAIR_AT[12], PAIR_AT[13], PAIR_AT[14], PAIR_AT[15]);
      if (hyphens !== 0 || digits < 0 || !whole) putId(bytes, to, texts[k]);
    }
    this.pendingCount = 0;
  }

  // Node records are written a batch at a time: the batch's texts are encoded
  // natively first, and node() copies each from there unless it needs escapes, which
  // costs less than reading a text a character at a time.
  queueNode(id, update) {
    if (this.nodeCount === NODE_BATCH) this.flushNodes();
    const n = this.nodeCount++;
    this.nodeIds[n] = id;
    this.nodeUpdates[n] = update;
  }

  flushNodes() {
    const n = this.nodeCount, ids = this.nodeIds, updates = this.nodeUpdates;
    const texts = this.nodeTexts, at = this.textAt;
    let count = 0, length = 0;
    for (let k = 0; k < n; k++) {
      const update = updates[k];
      at[2 * k] = at[2 * k + 1] = -1;
      if (update === null || typeof update !== "object") continue;
      const { label, url } = update;
      if (typeof label === "string" && length + label.length <= TEXT_BATCH_BYTES) {
        texts[count++] = label;
        at[2 * k] = length;
        length += label.length;
      }
      if (typeof url === "string" && length + url.length <= TEXT_BATCH_BYTES) {
        texts[count++] = url;
        at[2 * k + 1] = length;
        length += url.length;
      }
    }
    // The positions hold when every text is ASCII, a byte to a character, and the
    // bytes are the string's body as written when none needs an escape.
    const joined = count === texts.length ? texts.join("") : texts.slice(0, count).join("");
    const { read, written } = UTF8_ENCODER.encodeInto(joined, TEXT_SCRATCH);
    if (read !== length || written !== length || NEEDS_ESCAPE.test(joined)) at.fill(-1);
    this.nodeCount = 0;
    for (let k = 0; k < n; k++) this.node(ids[k], updates[k], at[2 * k], at[2 * k + 1]);
  }

  // The finished document. An error thrown while writing stands behind a bad id
  // written before it.
  finish(error) {
    if (error !== undefined) {
      for (let k = 0; k < this.pendingCount; k++) putId(this.bytes, this.pendingAt[k], this.pending[k]);
      throw error;
    }
    this.flush();
    return this.at === this.bytes.length ? this.bytes : this.bytes.slice(0, this.at);
  }

  // A node id and record: to_bytes' text of `update`, as its length and bytes.
  // `labelAt`, `urlAt`: where the label's and the url's bytes stand in TEXT_SCRATCH
  // when flushNodes put them there, else -1.
  node(id, update, labelAt = -1, urlAt = -1) {
    const { label, size, url, red, green, blue, showLabel } = update;
    const units = (typeof label === "string" ? label.length : 0) +
      (typeof url === "string" ? url.length : 0);
    const bound = COUNT_BYTES + ID_BYTES + COUNT_BYTES + MAX_RECORD_REST + MAX_BYTES_PER_UNIT * units;
    // Near the end of an exactly sized buffer, the exact length.
    if (this.at + bound > this.bytes.length) this.room(COUNT_BYTES + ID_BYTES + COUNT_BYTES + this.recordLength(update));
    this.id(id);
    const start = this.at + COUNT_BYTES;
    const at = labelAt >= 0 && urlAt >= 0 && typeof size === "number" && isColour(red) && isColour(green) &&
        isColour(blue) && typeof showLabel === "boolean" && this.at + bound <= this.bytes.length
      ? this.fullRecord(start, label.length, labelAt, size, url.length, urlAt, red, green, blue, showLabel)
      : this.record(start, update, labelAt, urlAt);
    this.u64(at - start);
    this.at = at;
  }

  // A record of all seven fields whose texts stand in the scratch as written, the
  // common case: straight through, the keys between values written as words. Its
  // words' slack lies within the room node() made.
  fullRecord(at, labelLength, labelAt, size, urlLength, urlAt, red, green, blue, showLabel) {
    const view = this.view;
    at = copyText(view, glue(view, at, LABEL), labelAt, labelLength);
    at = this.size(size, glue(view, at, SIZE));
    at = copyText(view, glue(view, at, URL), urlAt, urlLength);
    at = colourDigits(view, glue(view, at, RED), red);
    at = colourDigits(view, glue(view, at, GREEN), green);
    at = colourDigits(view, glue(view, at, BLUE), blue);
    at = this.ascii(showLabel ? "true" : "false", glue(view, at, SHOW_LABEL), showLabel ? TRUE_WORDS : FALSE_WORDS);
    this.bytes[at++] = 0x7d;
    return at;
  }

  // Any record: its fields' values checked as they are written; returns where it ends.
  record(start, update, labelAt, urlAt) {
    const { label, size, url, red, green, blue, showLabel } = update;
    const bytes = this.bytes;
    let at = start;
    bytes[at++] = 0x7b;
    if (label !== undefined) at = this.jsonString(label, "label", this.key(LABEL, at, start), labelAt);
    if (size !== undefined) {
      if (typeof size !== "number") throw new TypeError("size must be a number");
      at = this.size(size, this.key(SIZE, at, start));
    }
    if (url !== undefined) at = this.jsonString(url, "url", this.key(URL, at, start), urlAt);
    if (red !== undefined) at = this.colour(RED, red, this.key(RED, at, start));
    if (green !== undefined) at = this.colour(GREEN, green, this.key(GREEN, at, start));
    if (blue !== undefined) at = this.colour(BLUE, blue, this.key(BLUE, at, start));
    if (showLabel !== undefined) {
      if (typeof showLabel !== "boolean") throw new TypeError("showLabel must be a boolean");
      at = this.ascii(showLabel ? "true" : "false", this.key(SHOW_LABEL, at, start), showLabel ? TRUE_WORDS : FALSE_WORDS);
    }
    bytes[at++] = 0x7d;
    return at;
  }

  // The record alone, for recordText.
  recordAlone(update) {
    this.node(new Uint8Array(ID_BYTES), update);
    this.bytes.copyWithin(0, COUNT_BYTES + ID_BYTES, this.at);
    this.at -= COUNT_BYTES + ID_BYTES;
  }

  // Field f's key at `at` of the record that starts at `start`, after a comma unless
  // it comes first; returns where its value goes.
  key(f, at, start) {
    if (at !== start + 1) this.bytes[at++] = 0x2c;
    // As words, as the reader compares them.
    const view = this.view, length = KEY_LENGTHS[f];
    view.setInt32(at, KEY_FIRST[f], true);
    if (length > 8) view.setInt32(at + 4, KEY_MIDDLE[f], true);
    view.setInt32(at + length - 4, KEY_LAST[f], true);
    return at + length;
  }

  // An ASCII text at `at`, as `words` (its bytes as two little-endian words) where
  // their slack fits; returns where it ends.
  ascii(text, at, words = null) {
    if (words !== null && at + 8 <= this.bytes.length) {
      this.view.setInt32(at, words[0], true);
      this.view.setInt32(at + 4, words[1], true);
      return at + text.length;
    }
    const bytes = this.bytes;
    for (let k = 0; k < text.length; k++) bytes[at++] = text.charCodeAt(k);
    return at;
  }

  // A colour's digits, as one word where its slack fits (as for size).
  colour(f, value, at) {
    if (!isColour(value)) valueText(f, value, this); // throws
    return at + 4 <= this.bytes.length ? colourDigits(this.view, at, value) : this.ascii(String(value), at);
  }

  // A size's text, copied as words where their slack fits: the bytes past the text
  // are written over next.
  size(value, at) {
    const slot = sizeSlot(value), length = sizeTexts[slot].length;
    if (at + 4 * SIZE_WORDS <= this.bytes.length) {
      const view = this.view, words = SIZE_WORDS * slot;
      for (let w = 0; 4 * w < length; w++) view.setInt32(at + 4 * w, sizeWords[words + w], true);
    } else {
      this.ascii(sizeTexts[slot], at);
    }
    return at + length;
  }

  // The bytes of the record node() writes for `update`, when its values are valid.
  recordLength(update) {
    const { label, size, url, red, green, blue, showLabel } = update;
    let length = 1, members = 0;
    if (typeof label === "string") length += KEY_LENGTHS[LABEL] + jsonStringLength(label);
    if (label !== undefined) members++;
    if (typeof size === "number") length += KEY_LENGTHS[SIZE] + sizeText(size).length;
    if (size !== undefined) members++;
    if (typeof url === "string") length += KEY_LENGTHS[URL] + jsonStringLength(url);
    if (url !== undefined) members++;
    if (red !== undefined) length += KEY_LENGTHS[RED] + colourLength(red), members++;
    if (green !== undefined) length += KEY_LENGTHS[GREEN] + colourLength(green), members++;
    if (blue !== undefined) length += KEY_LENGTHS[BLUE] + colourLength(blue), members++;
    if (showLabel !== undefined) length += KEY_LENGTHS[SHOW_LABEL] + (showLabel ? 4 : 5), members++;
    return length + Math.max(members, 1);
  }

  // A JSON string at `at`; returns where it ends.
  jsonString(text, key, at, from = -1) {
    if (typeof text !== "string") throw new TypeError(`${key} must be a string`);
    const bytes = this.bytes;
    bytes[at++] = 0x22;
    if (from >= 0) {
      // Its bytes are in the scratch as written.
      const length = text.length;
      if (at + length + 3 < bytes.length) at = copyText(this.view, at, from, length);
      else for (let i = 0; i < length; i++) bytes[at++] = TEXT_SCRATCH[from + i];
      bytes[at++] = 0x22;
      return at;
    }
    for (let i = 0; i < text.length; i++) {
      const c = text.charCodeAt(i);
      if (c >= 0x80) {
        // Past ASCII the encoder writes the rest, with the escapes applied first.
        if (!text.isWellFormed()) throw new TypeError(`${key} holds a lone surrogate`);
        at += UTF8_ENCODER.encodeInto(escaped(text.slice(i)), bytes.subarray(at)).written;
        break;
      }
      if (c >= 0x20 && c !== 0x22 && c !== 0x5c) bytes[at++] = c;
      else {
        const escape = escaped(text[i]);
        for (let k = 0; k < escape.length; k++) bytes[at++] = escape.charCodeAt(k);
      }
    }
    bytes[at++] = 0x22;
    return at;
  }

  // An edge row: the `to` id and the weight. Callers make room first.
  row(to, weight) {
    if (typeof weight !== "number") throw new TypeError("a weight must be a number");
    this.id(to);
    this.view.setFloat32(this.at, weight, true);
    this.at += WEIGHT_BYTES;
  }

}

// The bytes of a text that stand at `from` in the scratch as written, into `view` at
// `at` a word at a time: what the last word writes past the text is written over
// next. Returns where the text ends.
function copyText(view, at, from, length) {
  for (let i = 0; i < length; i += 4) view.setInt32(at + i, TEXT_SCRATCH_VIEW.getInt32(from + i, true), true);
  return at + length;
}

// A colour's digits as one word; returns where they end.
function colourDigits(view, at, value) {
  view.setInt32(at, COLOUR_WORDS[value], true);
  return at + colourLength(value);
}

// The text between two values of a record of all seven fields, as FULL_GLUE_WORDS
// words at `at`; returns where it ends.
function glue(view, at, g) {
  const words = FULL_GLUE_WORDS * g;
  view.setInt32(at, FULL_GLUE[words], true);
  view.setInt32(at + 4, FULL_GLUE[words + 1], true);
  view.setInt32(at + 8, FULL_GLUE[words + 2], true);
  view.setInt32(at + 12, FULL_GLUE[words + 3], true);
  return at + FULL_GLUE_LENGTHS[g];
}

function isColour(value) {
  return Number.isInteger(value) && value >= 0 && value <= 255;
}

function colourLength(value) {
  return isColour(value) ? (value >= 100 ? 3 : value >= 10 ? 2 : 1) : 0;
}

// The bytes of a text as jsonString writes it, quotes included.
function jsonStringLength(text) {
  let length = 2 + text.length;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c < 0x20 || c === 0x22 || c === 0x5c) length += escaped(text[i]).length - 1;
    else if (c >= 0x80) length += c < 0x800 || (c >= 0xdc00 && c <= 0xdfff) ? 1 : 2;
  }
  return length;
}

// The count of a collection given as a Map, a Set, an array or a plain object.
function countOf(collection) {
  if (collection === undefined) return 0;
  if (collection instanceof Map || collection instanceof Set) return collection.size;
  if (Array.isArray(collection)) return collection.length;
  return Object.keys(collection).length;
}

// Calls f(key, value) for each entry: a Map's, an array's pairs, a plain object's.
// A Map and an array go without an array per entry.
function forEachPair(collection, f) {
  if (collection === undefined) return;
  if (collection instanceof Map) collection.forEach((value, key) => f(key, value));
  else if (Array.isArray(collection)) {
    for (let i = 0; i < collection.length; i++) {
      const [key, value] = collection[i];
      f(key, value);
    }
  } else {
    for (const [key, value] of collection instanceof Set ? collection : Object.entries(collection)) f(key, value);
  }
}

// Calls f(item) for each item of an array or a Set, or each entry of the others.
function forEachItem(collection, f) {
  if (collection === undefined) return;
  if (Array.isArray(collection)) for (let i = 0; i < collection.length; i++) f(collection[i]);
  else if (collection instanceof Set) collection.forEach((item) => f(item));
  else for (const item of collection instanceof Map ? collection : Object.entries(collection)) f(item);
}

// The buffer encode writes into, kept from call to call: a document's size is not
// known before it is written, and sizing it first would walk the content twice.
// Grown only when a document needs more: a new large buffer for each call would
// also cost the collector a full pass over the caller's heap. One larger than
// KEPT_BYTES is held only weakly, so that the collector takes it back once the
// program stops writing large documents: encode never pins the memory of the
// largest document it wrote.
const KEPT_BYTES = 1 << 20;
let scratch = new Uint8Array(1 << 16);
let largeScratch = null;

// The document for the content in `doc`, shaped as decode returns it (Maps or
// objects keyed by id text, or arrays of pairs; ids as text or 16 bytes), in the
// order given: written once into the scratch, then copied out at its size.
export function encode(doc) {
  const w = new Writer(largeScratch?.deref() ?? scratch);
  try {
    writeContent(w, doc);
    w.flush();
  } catch {
    // Refused: the writer that sizes the document first says why, with the refusal
    // that comes first there.
    return encodeSized(doc);
  } finally {
    if (w.bytes.length <= KEPT_BYTES) scratch = w.bytes;
    else largeScratch = new WeakRef(w.bytes);
  }
  return w.bytes.slice(0, w.at);
}

// The four sections of `doc` into `w`, with room made before each write.
function writeContent(w, doc) {
  w.room(COUNT_BYTES);
  w.u64(countOf(doc.newOrUpdatedNodes));
  forEachPair(doc.newOrUpdatedNodes, (id, update) => w.queueNode(id, update));
  w.flushNodes();
  const deletedCount = countOf(doc.deletedNodes);
  w.room(COUNT_BYTES + deletedCount * (COUNT_BYTES + ID_BYTES) + COUNT_BYTES);
  w.u64(deletedCount);
  forEachItem(doc.deletedNodes, (id) => w.id(id));
  w.u64(countOf(doc.newOrUpdatedEdges));
  // One callback for every row of every Map, not one per group.
  const row = (weight, to) => w.row(to, weight);
  forEachPair(doc.newOrUpdatedEdges, (from, rows) => {
    const count = countOf(rows);
    // The group, and the count of the next section after the last.
    w.room(COUNT_BYTES + ID_BYTES + COUNT_BYTES + (COUNT_BYTES + ID_BYTES + WEIGHT_BYTES) * count + COUNT_BYTES);
    w.id(from);
    w.u64(count);
    if (rows instanceof Map) rows.forEach(row);
    else forEachPair(rows, (to, weight) => w.row(to, weight));
  });
  w.room(COUNT_BYTES);
  w.u64(countOf(doc.deletedEdges));
  forEachPair(doc.deletedEdges, (from, rows) => {
    const count = countOf(rows);
    w.room(COUNT_BYTES + ID_BYTES + COUNT_BYTES + (COUNT_BYTES + ID_BYTES) * count);
    w.id(from);
    w.u64(count);
    forEachItem(rows, (to) => w.id(to));
  });
}

// encode into a buffer of the document's size, which its counts and the records'
// lengths give before anything is written; the refusals come in the order of that
// walk (a group's rows that cannot be counted before any record's bad value).
function encodeSized(doc) {
  let edgeBytes = 0;
  forEachPair(doc.newOrUpdatedEdges, (_, rows) => {
    edgeBytes += COUNT_BYTES + ID_BYTES + COUNT_BYTES + (COUNT_BYTES + ID_BYTES + WEIGHT_BYTES) * countOf(rows);
  });
  forEachPair(doc.deletedEdges, (_, rows) => {
    edgeBytes += COUNT_BYTES + ID_BYTES + COUNT_BYTES + (COUNT_BYTES + ID_BYTES) * countOf(rows);
  });
  const deletedCount = countOf(doc.deletedNodes);
  const w = new Writer(new Uint8Array(0));
  let nodeBytes = 0;
  forEachPair(doc.newOrUpdatedNodes, (_, update) => {
    nodeBytes += 2 * COUNT_BYTES + ID_BYTES + (update === null || typeof update !== "object" ? 0 : w.recordLength(update));
  });
  w.room(4 * COUNT_BYTES + nodeBytes + deletedCount * (COUNT_BYTES + ID_BYTES) + edgeBytes);
  try {
    writeContent(w, doc);
  } catch (error) {
    w.finish(error);
  }
  return w.finish();
}
