// Node ids: their 16 bytes and their 36-character text, both ways, and tables that
// number or compare them.
//
// Fast paths and their general twins, held together by js/test/twins.test.js:
// - idTexts (one native parse of many ids) and putIdTexts (two bytes' digits a word
//   at a time) against idText, a character pair at a time;
// - pairsWord (four bytes from a text read as half words, used by the writer's
//   batched ids) against putId, a character at a time.

import * as layoutJs from "./layout.js";

const { ID_BYTES, TWO_32, UTF8 } = layoutJs;

// Each ASCII character's value as a hex digit of either case, -1 for any other.
export const HEX_DIGIT = new Int8Array(128).fill(-1);
for (let d = 0; d < 16; d++) {
  HEX_DIGIT[d.toString(16).charCodeAt(0)] = d;
  HEX_DIGIT[d.toString(16).toUpperCase().charCodeAt(0)] = d;
}

const HEX = Array.from({ length: 256 }, (_, b) => b.toString(16).padStart(2, "0"));
// The two ASCII hex digits of each byte value, high digit in the low byte.
const HEX_CODES = new Uint16Array(256).map((_, b) => HEX[b].charCodeAt(0) | (HEX[b].charCodeAt(1) << 8));
export const ID_TEXT_LENGTH = 36;
// 1 for the bytes that a hyphen stands before in the text (groups of 8-4-4-4-12 digits).
const HYPHEN_BEFORE = new Uint8Array(ID_BYTES);
for (const i of [4, 6, 8, 10]) HYPHEN_BEFORE[i] = 1;
// Where in the text each byte's two digits stand, and the hyphens.
export const PAIR_AT = new Uint8Array(ID_BYTES);
/** @type {number[]} */
export const HYPHEN_AT = [];
for (let i = 0, j = 0; i < ID_BYTES; i++, j += 2) {
  if (HYPHEN_BEFORE[i]) HYPHEN_AT.push(j++);
  PAIR_AT[i] = j;
}
// Where the four digits of bytes 2k and 2k + 1 stand.
const QUAD_AT = Uint8Array.from({ length: ID_BYTES / 2 }, (_, k) => PAIR_AT[2 * k]);

/**
 * The text of the 16 bytes at `at`.
 * @param {Uint8Array} bytes
 * @param {number} [at]
 */
export function idText(bytes, at = 0) {
  let text = "";
  for (let i = 0; i < ID_BYTES; i++) text += (HYPHEN_BEFORE[i] ? "-" : "") + HEX[bytes[at + i]];
  return text;
}

/**
 * The texts of the ids whose 16 bytes stand at `positions`, made by one native parse
 * of a JSON array of them: each comes out a string of its own, which later reads (Map
 * keys, encode) take faster than a substring of one long text, and none keeps a longer
 * text alive.
 * @param {Uint8Array} bytes
 * @param {ArrayLike<number>} positions
 * @returns {string[]}
 */
export function idTexts(bytes, positions) {
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

/**
 * The texts of the ids in rows of 16 bytes, one after another, into `out` from `at`;
 * returns where they end. Two bytes' four digits go as one word (HEX_CODES holds a
 * byte's two digits in the order of a little-endian half word).
 * @param {Uint8Array} rows
 * @param {Uint8Array} out
 * @param {number} at
 */
export function putIdTexts(rows, out, at) {
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

/**
 * The four digits of bytes p and p + 1 of `rows` as one word at `at`.
 * @param {DataView} view
 * @param {number} at
 * @param {Uint8Array} rows
 * @param {number} p
 */
function quadText(view, at, rows, p) {
  view.setInt32(at, HEX_CODES[rows[p]] | (HEX_CODES[rows[p + 1]] << 16), true);
}

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

/**
 * The four bytes whose digit pairs stand at j + a, j + b, j + c and j + d of `text`,
 * as one word into `out` at `to`; returns their values or'ed, negative when any pair
 * is not two hex digits (and the word then is not to be used).
 * @param {DataView} text
 * @param {number} j
 * @param {DataView} out
 * @param {number} to
 * @param {number} a
 * @param {number} b
 * @param {number} c
 * @param {number} d
 */
export function pairsWord(text, j, out, to, a, b, c, d) {
  const p0 = PAIR_VALUE[text.getUint16(j + a, true)], p1 = PAIR_VALUE[text.getUint16(j + b, true)];
  const p2 = PAIR_VALUE[text.getUint16(j + c, true)], p3 = PAIR_VALUE[text.getUint16(j + d, true)];
  out.setInt32(to, p0 | (p1 << 8) | (p2 << 16) | (p3 << 24), true);
  return p0 | p1 | p2 | p3;
}

/**
 * Writes the 16 bytes of an id given as its text (either case) or as 16 bytes.
 * @param {Uint8Array} out
 * @param {number} at
 * @param {unknown} id
 */
export function putId(out, at, id) {
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

/**
 * The four words of an id, seeded per table: no order depends on the hash, and a
 * document made to collide under one seed does not collide under the next.
 * @param {number} a
 * @param {number} c
 * @param {number} d
 * @param {number} e
 * @param {number} seed
 */
function hashWords(a, c, d, e, seed) {
  let h = Math.imul(a ^ seed, 0x9e3779b1) ^ Math.imul(c, 0x85ebca77);
  h = Math.imul(h ^ (h >>> 15), 0x2c1b3c6d) ^ Math.imul(d, 0xc2b2ae3d) ^ Math.imul(e, 0x27d4eb2f);
  h = Math.imul(h ^ (h >>> 13), 0x297a2d39);
  return h ^ (h >>> 16);
}

/**
 * The cells of a table for `count` ids: a power of two, at most half full.
 * @param {number} count
 */
function tableSize(count) {
  let size = 16;
  while (size < 2 * count) size *= 2;
  return size;
}

// A cell of IdNumbers' table holds its id's number and its four words, so that a
// probe reads one place.
const CELL = 5;

// Numbers the distinct ids of a document by their 16 bytes, in order of first
// appearance; `firstAt` holds where each first stands.
export class IdNumbers {
  /**
   * @param {Uint8Array} bytes
   * @param {number} expected
   */
  constructor(bytes, expected) {
    this.bytes = bytes;
    this.seed = (Math.random() * TWO_32) | 0;
    this.cells = new Int32Array(CELL * tableSize(expected)).fill(-1);
    this.firstAt = new Uint32Array(Math.max(expected, 16));
    this.count = 0;
  }

  /**
   * The numbers of the ids at `positions`.
   * @param {ArrayLike<number>} positions
   */
  numbers(positions) {
    const out = new Int32Array(positions.length);
    for (let k = 0; k < positions.length; k++) out[k] = this.intern(positions[k]);
    return out;
  }

  /** @param {number} p */
  intern(p) {
    const b = this.bytes, cells = this.cells;
    const a = b[p] | (b[p + 1] << 8) | (b[p + 2] << 16) | (b[p + 3] << 24);
    const c = b[p + 4] | (b[p + 5] << 8) | (b[p + 6] << 16) | (b[p + 7] << 24);
    const d = b[p + 8] | (b[p + 9] << 8) | (b[p + 10] << 16) | (b[p + 11] << 24);
    const e = b[p + 12] | (b[p + 13] << 8) | (b[p + 14] << 16) | (b[p + 15] << 24);
    const mask = cells.length / CELL - 1;
    for (let cell = hashWords(a, c, d, e, this.seed) & mask; ; cell = (cell + 1) & mask) {
      const s = CELL * cell;
      const number = cells[s];
      if (number < 0) return this.add(s, p, a, c, d, e);
      if (cells[s + 1] === a && cells[s + 2] === c && cells[s + 3] === d && cells[s + 4] === e) return number;
    }
  }

  /**
   * @param {number} s
   * @param {number} p
   * @param {number} a
   * @param {number} c
   * @param {number} d
   * @param {number} e
   */
  add(s, p, a, c, d, e) {
    const number = this.count++;
    const cells = this.cells;
    cells[s] = number;
    cells[s + 1] = a;
    cells[s + 2] = c;
    cells[s + 3] = d;
    cells[s + 4] = e;
    if (number === this.firstAt.length) {
      const grown = new Uint32Array(2 * number);
      grown.set(this.firstAt);
      this.firstAt = grown;
    }
    this.firstAt[number] = p;
    if (2 * CELL * this.count > cells.length) this.grow();
    return number;
  }

  grow() {
    const old = this.cells;
    const cells = new Int32Array(2 * old.length).fill(-1);
    const mask = cells.length / CELL - 1;
    for (let o = 0; o < old.length; o += CELL) {
      if (old[o] < 0) continue;
      let cell = hashWords(old[o + 1], old[o + 2], old[o + 3], old[o + 4], this.seed) & mask;
      while (cells[CELL * cell] >= 0) cell = (cell + 1) & mask;
      cells.set(old.subarray(o, o + CELL), CELL * cell);
    }
    this.cells = cells;
  }
}

// Up to this many ids are checked for a repeat pair by pair; more take a table.
const PAIRWISE_IDS = 16;

/**
 * Whether rows [from, to) of ids, four words each, hold one id twice.
 * @param {Int32Array} words
 * @param {number} from
 * @param {number} to
 */
export function hasRepeatedRow(words, from, to) {
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
  const table = new Int32Array(tableSize(to - from)); // row + 1, 0 for an empty cell
  const mask = table.length - 1;
  for (let k = from; k < to; k++) {
    const a = words[4 * k], c = words[4 * k + 1], d = words[4 * k + 2], e = words[4 * k + 3];
    let cell = hashWords(a, c, d, e, seed) & mask;
    for (let j = table[cell] - 1; j >= 0; cell = (cell + 1) & mask, j = table[cell] - 1) {
      if (words[4 * j] === a && words[4 * j + 1] === c && words[4 * j + 2] === d && words[4 * j + 3] === e) {
        return true;
      }
    }
    table[cell] = k + 1;
  }
  return false;
}
