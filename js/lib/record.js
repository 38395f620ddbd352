// The node record's reader (docs/format.md, "The record"): the general parser of any
// record from_bytes accepts, and its fast twin for records in the writer's form.
//
// Fast path and general twin, held together by js/test/twins.test.js (records in the
// written form and not, escapes, U+FEFF, bad UTF-8, random and mutated): writerRecord,
// which reads a record in the exact form the writer writes straight into values,
// against parseRecord, the parser of every record; where writerRecord takes a record,
// parseRecord must give the same update.

import * as layoutJs from "./layout.js";
import * as idsJs from "./ids.js";
import * as numbersJs from "./numbers.js";

const {
  DocumentError, FIELDS, FIELD_NUMBER, GREEN, KEY_FIRST, KEY_LAST, KEY_LENGTHS, KEY_MIDDLE, LABEL, RED, SHOW_LABEL,
  SIZE, URL, UTF8, fail,
} = layoutJs;
const { HEX_DIGIT } = idsJs;
const { isDigit, readFormSize, readSize, scanNumber } = numbersJs;

/** @typedef {import("../kovra_document.js").NodeUpdate} NodeUpdate */

/** @type {Record<number, string>} */
const ESCAPES = { 0x22: '"', 0x5c: "\\", 0x2f: "/", 0x62: "\b", 0x66: "\f", 0x6e: "\n", 0x72: "\r", 0x74: "\t" };

// The parser's state: the record's bytes, where it stands, where the record ends.
// An object rather than module variables: decode of 200,000 records that all need the
// parser (white space, escapes, non-ASCII, unknown keys, the array form) took 579 to
// 728 ms with it against 673 to 1,086 ms with the cursor in module variables
// (interleaved runs, node 20), whose every read is checked for initialization.
class RecordParser {
  /**
   * @param {Uint8Array} bytes
   * @param {number} at
   * @param {number} end
   */
  constructor(bytes, at, end) {
    this.bytes = bytes;
    this.at = at;
    this.end = end;
  }

  /**
   * @param {string} what
   * @returns {never}
   */
  bad(what) {
    return fail(`node record: ${what} at offset ${this.at}`);
  }

  skipSpace() {
    const b = this.bytes, end = this.end;
    let p = this.at;
    while (p < end) {
      const c = b[p];
      if (c !== 0x20 && c !== 0x0a && c !== 0x0d && c !== 0x09) break;
      p++;
    }
    this.at = p;
  }

  /**
   * @param {number} c
   * @param {string} what
   */
  expect(c, what) {
    if (this.at >= this.end || this.bytes[this.at] !== c) this.bad(`expected ${what}`);
    this.at++;
  }

  hex4() {
    if (this.end - this.at < 4) this.bad("short \\u escape");
    let value = 0;
    for (let k = 0; k < 4; k++) {
      // Past ASCII the table has no entry, and undefined is no digit either.
      const digit = HEX_DIGIT[this.bytes[this.at++]];
      if (!(digit >= 0)) this.bad("bad \\u escape");
      value = value * 16 + digit;
    }
    return value;
  }

  /**
   * A string at the cursor (which stands on its quote): its text when `want`, else
   * only checked.
   * @param {boolean} want
   */
  readString(want) {
    const b = this.bytes, end = this.end;
    let p = ++this.at;
    let start = p;
    let text = "";
    for (;;) {
      if (p >= end) this.at = p, this.bad("unterminated string");
      const c = b[p];
      if (c === 0x22) break;
      if (c < 0x20) this.at = p, this.bad("control character in a string");
      if (c !== 0x5c) {
        p++;
        continue;
      }
      if (want) text += slice(b, start, p);
      p++;
      if (p >= end) this.at = p, this.bad("unterminated escape");
      const e = b[p++];
      if (e === 0x75) {
        this.at = p;
        const unit = this.hex4();
        if (unit >= 0xdc00 && unit <= 0xdfff) this.bad("lone low surrogate");
        if (unit >= 0xd800 && unit <= 0xdbff) {
          p = this.at;
          if (end - p < 2 || b[p] !== 0x5c || b[p + 1] !== 0x75) this.bad("lone high surrogate");
          this.at = p + 2;
          const low = this.hex4();
          if (low < 0xdc00 || low > 0xdfff) this.bad("lone high surrogate");
          if (want) text += String.fromCharCode(unit, low);
        } else if (want) {
          text += String.fromCharCode(unit);
        }
        p = this.at;
      } else {
        const decoded = ESCAPES[e];
        if (decoded === undefined) this.at = p, this.bad("unknown escape");
        if (want) text += decoded;
      }
      start = p;
    }
    if (want) text += slice(b, start, p);
    this.at = p + 1;
    return text;
  }

  // The field number of the key at the cursor, -1 for an unknown key; the cursor moves
  // past it.
  readKey() {
    const b = this.bytes, end = this.end, p = this.at;
    let at = p + 1;
    while (at < end && b[at] !== 0x22 && b[at] !== 0x5c && b[at] >= 0x20) at++;
    if (at < end && b[at] === 0x22) {
      // No escape: compare the bytes, with no string made.
      const length = at - p - 1;
      this.at = at + 1;
      for (let f = 0; f < FIELDS.length; f++) {
        const key = FIELDS[f];
        if (key.length !== length) continue;
        let k = 0;
        while (k < length && b[p + 1 + k] === key.charCodeAt(k)) k++;
        if (k === length) return f;
      }
      return -1;
    }
    return FIELD_NUMBER.get(this.readString(true)) ?? -1;
  }

  /** @param {string} text */
  literal(text) {
    const b = this.bytes, p = this.at;
    for (let k = 0; k < text.length; k++) {
      if (p + k >= this.end || b[p + k] !== text.charCodeAt(k)) this.bad(`expected ${text}`);
    }
    this.at = p + text.length;
  }

  readColour() {
    const b = this.bytes;
    const n = scanNumber(b, this.at, this.end);
    this.at = n.end;
    if (n.negative || n.fracStart !== n.fracEnd || n.expStart >= 0) this.bad("colour not an integer 0-255");
    let value = 0;
    for (let i = n.intStart; i < n.intEnd; i++) {
      value = value * 10 + b[i] - 0x30;
      if (value > 255) this.bad("colour above 255");
    }
    return value;
  }

  /**
   * The value of field `field` into `update`; null leaves it absent.
   * @param {Record<string, unknown>} update
   * @param {number} field
   */
  readField(update, field) {
    const b = this.bytes;
    if (this.at < this.end && b[this.at] === 0x6e) {
      this.literal("null");
      return;
    }
    if (this.at >= this.end) this.bad("missing value");
    const c = b[this.at];
    switch (field) {
      case LABEL:
      case URL:
        if (c !== 0x22) this.bad(`${FIELDS[field]} is not a string`);
        update[FIELDS[field]] = this.readString(true);
        return;
      case SIZE: {
        if (c !== 0x2d && !isDigit(c)) this.bad("size is not a number");
        const n = scanNumber(b, this.at, this.end);
        this.at = n.end;
        update.size = readSize(b, n);
        return;
      }
      case SHOW_LABEL:
        update.showLabel = c === 0x74;
        this.literal(c === 0x74 ? "true" : "false");
        return;
      default:
        update[FIELDS[field]] = this.readColour();
    }
  }

  // Skips one well-formed JSON value of any depth, with a stack of its own: a record
  // may nest a million levels.
  skipValue() {
    const b = this.bytes;
    /** @type {boolean[]} true: an object, false: an array */
    const open = [];
    for (;;) {
      this.skipSpace();
      if (this.at >= this.end) this.bad("missing value");
      const c = b[this.at];
      if (c === 0x7b || c === 0x5b) {
        this.at++;
        this.skipSpace();
        if (this.at < this.end && b[this.at] === (c === 0x7b ? 0x7d : 0x5d)) {
          this.at++;
        } else {
          open.push(c === 0x7b);
          if (c === 0x7b) this.memberKey();
          continue;
        }
      } else if (c === 0x22) this.readString(false);
      else if (c === 0x2d || isDigit(c)) this.at = scanNumber(b, this.at, this.end).end;
      else if (c === 0x74) this.literal("true");
      else if (c === 0x66) this.literal("false");
      else if (c === 0x6e) this.literal("null");
      else this.bad("bad value");
      // After a value: a comma goes on to the next one, a bracket closes a level.
      for (;;) {
        if (open.length === 0) return;
        this.skipSpace();
        if (this.at >= this.end) this.bad("unterminated container");
        const inObject = open[open.length - 1];
        if (b[this.at] === 0x2c) {
          this.at++;
          if (inObject) {
            this.skipSpace();
            this.memberKey();
          }
          break;
        }
        this.expect(inObject ? 0x7d : 0x5d, "a comma or a closing bracket");
        open.pop();
      }
    }
  }

  // A key and its colon, inside a skipped object.
  memberKey() {
    if (this.at >= this.end || this.bytes[this.at] !== 0x22) this.bad("expected a key");
    this.readString(false);
    this.skipSpace();
    this.expect(0x3a, "a colon");
  }

  /** @returns {NodeUpdate} */
  record() {
    const b = this.bytes;
    /** @type {Record<string, unknown>} */
    const update = {};
    this.skipSpace();
    if (this.at >= this.end) this.bad("empty record");
    if (b[this.at] === 0x7b) {
      this.at++;
      this.skipSpace();
      let seen = 0;
      if (this.at < this.end && b[this.at] === 0x7d) this.at++;
      else {
        for (;;) {
          if (this.at >= this.end || b[this.at] !== 0x22) this.bad("expected a key");
          const field = this.readKey();
          this.skipSpace();
          this.expect(0x3a, "a colon");
          this.skipSpace();
          if (field < 0) this.skipValue();
          else {
            if (seen & (1 << field)) this.bad(`repeated key ${FIELDS[field]}`);
            seen |= 1 << field;
            this.readField(update, field);
          }
          this.skipSpace();
          if (this.at < this.end && b[this.at] === 0x2c) {
            this.at++;
            this.skipSpace();
            continue;
          }
          this.expect(0x7d, "a comma or }");
          break;
        }
      }
    } else if (b[this.at] === 0x5b) {
      this.at++;
      for (let field = 0; field < FIELDS.length; field++) {
        this.skipSpace();
        if (field > 0) {
          this.expect(0x2c, "seven elements");
          this.skipSpace();
        }
        this.readField(update, field);
      }
      this.skipSpace();
      this.expect(0x5d, "seven elements");
    } else {
      this.bad("not an object or an array");
    }
    this.skipSpace();
    if (this.at !== this.end) this.bad("text after the record");
    return update;
  }
}

/**
 * The text of b[start, end), a slice of a JSON string's body between escapes.
 * @param {Uint8Array} b
 * @param {number} start
 * @param {number} end
 */
function slice(b, start, end) {
  return start === end ? "" : UTF8.decode(b.subarray(start, end));
}

/**
 * The update of the record bytes[start, end), whose UTF-8 the caller checked; throws
 * DocumentError for a record from_bytes refuses.
 * @param {Uint8Array} bytes
 * @param {number} start
 * @param {number} end
 */
export function parseRecord(bytes, start, end) {
  return new RecordParser(bytes, start, end).record();
}

// Strict UTF-8 (no overlong forms, no encoded surrogates, nothing above U+10FFFF):
// the platform's decoder refuses exactly those. A record in the writer's form is
// ASCII and needs no check.
const STRICT_UTF8 = new TextDecoder("utf-8", { fatal: true, ignoreBOM: true });

/**
 * Whether bytes[start, end) is UTF-8 in the strict sense.
 * @param {Uint8Array} bytes
 * @param {number} start
 * @param {number} end
 */
export function isUtf8(bytes, start, end) {
  try {
    STRICT_UTF8.decode(bytes.subarray(start, end));
    return true;
  } catch {
    return false;
  }
}

/**
 * The update of any record, UTF-8 checked first; null when from_bytes would refuse it.
 * @param {Uint8Array} bytes
 * @param {number} start
 * @param {number} end
 */
export function otherRecord(bytes, start, end) {
  if (!isUtf8(bytes, start, end)) return null;
  try {
    return parseRecord(bytes, start, end);
  } catch (error) {
    if (error instanceof DocumentError) return null;
    throw error;
  }
}

// ---- records as the writer writes them ----------------------------------------------

// The writer's form of a record: members in the fixed order, no white space, texts of
// printable ASCII without escapes, sizes of at most 15 digits and a small exponent,
// colours 0 to 255. Every such record is read byte by byte here, with the reader's
// rules holding for it as they stand; any other record goes to parseRecord.

// The values of a record read in the writer's form, besides its present fields and
// texts: a state object that writerRecord fills, one per reader of many records.
export class FormValues {
  constructor() {
    this.size = 0;
    this.red = 0;
    this.green = 0;
    this.blue = 0;
    this.showLabel = 0;
    // Where the texts end in writerRecord's output: its label, then its url.
    this.labelEnd = 0;
    this.textEnd = 0;
  }
}

const NULL_BYTES = Uint8Array.from("null", (c) => c.charCodeAt(0));
const TRUE_BYTES = Uint8Array.from("true", (c) => c.charCodeAt(0));
const FALSE_BYTES = Uint8Array.from("false", (c) => c.charCodeAt(0));

/**
 * @param {Uint8Array} b
 * @param {number} p
 * @param {number} end
 * @param {Uint8Array} word
 */
function matches(b, p, end, word) {
  if (end - p < word.length) return false;
  for (let k = 0; k < word.length; k++) if (b[p + k] !== word[k]) return false;
  return true;
}

/**
 * Whether field f's key stands at p.
 * @param {DataView} view
 * @param {number} p
 * @param {number} end
 * @param {number} f
 */
function keyAt(view, p, end, f) {
  const length = KEY_LENGTHS[f];
  return end - p >= length && view.getInt32(p, true) === KEY_FIRST[f] &&
    view.getInt32(p + length - 4, true) === KEY_LAST[f] && (length <= 8 || view.getInt32(p + 4, true) === KEY_MIDDLE[f]);
}

/**
 * The present fields of the record b[p, end) when it is in the writer's form, else -1:
 * its texts copied to `out` from `at` (which has room for the record's length), where
 * they end and its other values in `form`.
 * @param {Uint8Array} b
 * @param {DataView} view  over b
 * @param {number} p
 * @param {number} end
 * @param {Uint8Array} out
 * @param {number} at
 * @param {FormValues} form
 */
export function writerRecord(b, view, p, end, out, at, form) {
  form.labelEnd = at;
  form.textEnd = at;
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
      if (f === LABEL) form.labelEnd = at;
      form.textEnd = at;
      present |= 1 << f;
    } else if (f === SIZE) {
      if (c === 0x6e) {
        if (!matches(b, p, end, NULL_BYTES)) return -1;
        p += 4;
      } else {
        p = readFormSize(b, p, end, form);
        if (p < 0) return -1;
        present |= 1 << f;
      }
    } else if (f === SHOW_LABEL) {
      if (c === 0x74 && matches(b, p, end, TRUE_BYTES)) form.showLabel = 1, p += 4;
      else if (c === 0x66 && matches(b, p, end, FALSE_BYTES)) form.showLabel = 0, p += 5;
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
      if (f === RED) form.red = value;
      else if (f === GREEN) form.green = value;
      else form.blue = value;
      present |= 1 << f;
    }
    f++;
    if (p >= end) return -1;
    if (b[p] === 0x7d) return p + 1 === end ? present : -1;
    if (b[p] !== 0x2c) return -1;
    p++;
  }
}
