// The writer of documents: encode and recordText.
//
// Fast paths and their general twins, held together by js/test/twins.test.js:
// - Writer.fullRecord, for an update of all seven fields whose texts need no escape,
//   writes words straight through; its twin is Writer.record, which writes any update
//   field by field (and recordText writes with record alone);
// - Writer.flush writes a batch of id texts from one native encoding, a word per four
//   bytes (pairsWord); its twin is putId, a character at a time (ids.js);
// - encode writes into a buffer it grows as it goes; its twin encodeSized sizes the
//   document first, and says why a content is refused.
// Every write of whole words past the bytes it is for is checked against the buffer's
// end where it is made.

import * as layoutJs from "./layout.js";
import * as idsJs from "./ids.js";
import * as numbersJs from "./numbers.js";

const {
  BLUE, COUNT_BYTES, FIELDS, GREEN, ID_BYTES, KEY_FIRST, KEY_LAST, KEY_LENGTHS, KEY_MIDDLE, LABEL, RED, SHOW_LABEL,
  SIZE, TWO_32, URL, UTF8, WEIGHT_BYTES, wordOf,
} = layoutJs;
const { HYPHEN_AT, ID_TEXT_LENGTH, PAIR_AT, pairsWord, putId } = idsJs;
const { float32Bits, float32Text } = numbersJs;

/** @typedef {import("../kovra_document.js").NodeUpdate} NodeUpdate */
/** @typedef {import("../kovra_document.js").DocumentContent} DocumentContent */

// The longest size text, "-0.0000012345678", and the words that hold it.
const MAX_SIZE_TEXT = 17;
const SIZE_WORDS = Math.ceil(MAX_SIZE_TEXT / 4);

// Sizes repeat, and their text is costly: the texts by binary32 bits, in a table of
// SIZE_CELLS probed in turn and emptied when half full, each with its bytes as
// SIZE_WORDS words to copy. One table serves every call of encode: a cache, kept from
// call to call.
const SIZE_CELL_BITS = 10;
const SIZE_CELLS = 1 << SIZE_CELL_BITS;

class SizeTexts {
  constructor() {
    this.bits = new Uint32Array(SIZE_CELLS);
    this.texts = new Array(SIZE_CELLS).fill("");
    this.words = new Int32Array(SIZE_WORDS * SIZE_CELLS);
    this.count = 0;
  }

  /**
   * The cell that holds the text of `value` as a binary32.
   * @param {number} value
   */
  cellOf(value) {
    const bits = float32Bits(value), texts = this.texts;
    let cell = Math.imul(bits, 0x9e3779b1) >>> (32 - SIZE_CELL_BITS);
    for (; texts[cell] !== ""; cell = (cell + 1) & (SIZE_CELLS - 1)) {
      if (this.bits[cell] === bits) return cell;
    }
    if (2 * ++this.count > SIZE_CELLS) {
      texts.fill("");
      this.count = 1;
      cell = Math.imul(bits, 0x9e3779b1) >>> (32 - SIZE_CELL_BITS);
    }
    const text = float32Text(value);
    this.bits[cell] = bits;
    texts[cell] = text;
    for (let w = 0; w < SIZE_WORDS; w++) this.words[SIZE_WORDS * cell + w] = wordOf(text.slice(4 * w, 4 * w + 4));
    return cell;
  }

  /** @param {number} value */
  text(value) {
    return this.texts[this.cellOf(value)];
  }
}

const SIZES = new SizeTexts();

// The texts of showLabel's values as two little-endian words each.
/** @param {string} text */
const wordsOf = (text) => Int32Array.from([0, 4], (at) => wordOf(text.slice(at, at + 4)));
const TRUE_WORDS = wordsOf("true");
const FALSE_WORDS = wordsOf("false");

// The text before each field's value in a record of all seven fields, by field
// (glue): the brace or the comma, the key, and the quotes that close the text
// before and open this one.
/** @param {number} f */
const isTextField = (f) => f === LABEL || f === URL;
const FULL_GLUE_TEXTS = FIELDS.map((key, f) =>
  (f === 0 ? "{" : `${isTextField(f - 1) ? '"' : ""},`) + `"${key}":` + (isTextField(f) ? '"' : ""));
const FULL_GLUE_WORDS = 4;
const FULL_GLUE = Int32Array.from(FULL_GLUE_TEXTS.flatMap((text) => [0, 4, 8, 12].map((at) => wordOf(text.slice(at, at + 4)))));
const FULL_GLUE_LENGTHS = FULL_GLUE_TEXTS.map((text) => text.length);
// The most bytes a record of all seven fields takes besides its two texts, and the
// most that a word written reaches past the bytes it is for (a glue's four words).
const FULL_RECORD_REST = FULL_GLUE_LENGTHS.reduce((sum, length) => sum + length, 0) + MAX_SIZE_TEXT +
  3 * "255".length + "false".length + "}".length;
const WORD_SLACK = 4 * FULL_GLUE_WORDS;

// Each colour's digits as one little-endian word, and how many there are.
const COLOUR_WORDS = Int32Array.from({ length: 256 }, (_, v) => wordOf(String(v)));

const UTF8_ENCODER = new TextEncoder();
// The escapes the writer uses; any other byte below 0x20 is written \u00XX.
/** @type {Record<number, string>} */
const WRITTEN_ESCAPES = { 0x22: '\\"', 0x5c: "\\\\", 0x08: "\\b", 0x09: "\\t", 0x0a: "\\n", 0x0c: "\\f", 0x0d: "\\r" };
// The most bytes a UTF-16 unit of a text takes in a record: \u00XX.
const MAX_BYTES_PER_UNIT = 6;
// The most bytes of a record besides its two texts: braces, keys, size, colours.
const MAX_RECORD_REST = 128;

/**
 * A text's JSON string body with the writer's escapes (no quotes).
 * @param {string} text
 */
function escaped(text) {
  let out = "";
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c >= 0x20 && c !== 0x22 && c !== 0x5c) out += text[i];
    else out += WRITTEN_ESCAPES[c] ?? `\\u00${c.toString(16).padStart(2, "0")}`;
  }
  return out;
}

/**
 * What PyGraphDiff raises for a colour that is not an integer from 0 to 255.
 * @param {number} f
 */
function colourError(f) {
  return new RangeError(`${FIELDS[f]} must be an integer from 0 to 255`);
}

/**
 * The record text to_bytes writes for an update: present fields in the fixed order.
 * @param {NodeUpdate} update
 */
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
// A surrogate that is not half of a pair (String.prototype.isWellFormed, which Node 18
// lacks).
const LONE_SURROGATE = /\p{Surrogate}/u;

export class Writer {
  /**
   * Into `bytes` from its start; a larger buffer is made when it needs more.
   * @param {Uint8Array} bytes
   */
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.at = 0;
    // Id texts not yet written, and where each goes (see flush).
    // (An array kept at its full length: emptied, one would be grown again each time.)
    /** @type {string[]} */
    this.pending = new Array(PENDING_IDS).fill("");
    this.pendingAt = new Int32Array(PENDING_IDS);
    this.pendingCount = 0;
    // Nodes not yet written, their texts, and where those stand in TEXT_SCRATCH.
    /** @type {unknown[]} */
    this.nodeIds = new Array(NODE_BATCH).fill(null);
    /** @type {unknown[]} */
    this.nodeUpdates = new Array(NODE_BATCH).fill(null);
    /** @type {string[]} */
    this.nodeTexts = new Array(2 * NODE_BATCH).fill("");
    this.textAt = new Int32Array(2 * NODE_BATCH);
    this.nodeCount = 0;
  }

  /**
   * Room for `size` more bytes.
   * @param {number} size
   */
  room(size) {
    if (this.at + size <= this.bytes.length) return;
    const grown = new Uint8Array(this.at === 0 ? size : Math.max(2 * this.bytes.length, this.at + size));
    grown.set(this.bytes.subarray(0, this.at));
    this.bytes = grown;
    this.view = new DataView(grown.buffer);
  }

  /**
   * A count or length. Callers make room first.
   * @param {number} value
   */
  u64(value) {
    const high = value < TWO_32 ? 0 : Math.floor(value / TWO_32);
    this.view.setUint32(this.at, value - high * TWO_32, true);
    this.view.setUint32(this.at + 4, high, true);
    this.at += COUNT_BYTES;
  }

  /**
   * An id, its length first. Callers make room first.
   * @param {unknown} id
   */
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
  /**
   * @param {unknown} id
   * @param {unknown} update
   */
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
      const { label, url } = /** @type {NodeUpdate} */ (update);
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
    for (let k = 0; k < n; k++) this.node(ids[k], /** @type {NodeUpdate} */ (updates[k]), at[2 * k], at[2 * k + 1]);
  }

  /**
   * The finished document. An error thrown while writing stands behind a bad id
   * written before it.
   * @param {unknown} [error]
   */
  finish(error) {
    if (error !== undefined) {
      for (let k = 0; k < this.pendingCount; k++) putId(this.bytes, this.pendingAt[k], this.pending[k]);
      throw error;
    }
    this.flush();
    return this.at === this.bytes.length ? this.bytes : this.bytes.slice(0, this.at);
  }

  /**
   * A node id and record: to_bytes' text of `update`, as its length and bytes.
   * `labelAt`, `urlAt`: where the label's and the url's bytes stand in TEXT_SCRATCH
   * when flushNodes put them there, else -1.
   * @param {unknown} id
   * @param {NodeUpdate} update
   * @param {number} [labelAt]
   * @param {number} [urlAt]
   */
  node(id, update, labelAt = -1, urlAt = -1) {
    const { label, size, url, red, green, blue, showLabel } = update;
    const units = (typeof label === "string" ? label.length : 0) +
      (typeof url === "string" ? url.length : 0);
    const bound = COUNT_BYTES + ID_BYTES + COUNT_BYTES + MAX_RECORD_REST + MAX_BYTES_PER_UNIT * units;
    // Near the end of an exactly sized buffer, the exact length.
    if (this.at + bound > this.bytes.length) this.room(COUNT_BYTES + ID_BYTES + COUNT_BYTES + this.recordLength(update));
    this.id(id);
    const start = this.at + COUNT_BYTES;
    let at = labelAt >= 0 && urlAt >= 0 && typeof label === "string" && typeof size === "number" &&
        typeof url === "string" && isColour(red) && isColour(green) && isColour(blue) && typeof showLabel === "boolean"
      ? this.fullRecord(start, label.length, labelAt, size, url.length, urlAt, red, green, blue, showLabel)
      : -1;
    if (at < 0) at = this.record(start, update, labelAt, urlAt);
    this.u64(at - start);
    this.at = at;
  }

  /**
   * A record of all seven fields whose texts stand in the scratch as written, the
   * common case: straight through, the keys between values written as words. Returns
   * where it ends, or -1 when the buffer has no room for the most it may write, words'
   * slack included (record() then writes it).
   * @param {number} at
   * @param {number} labelLength
   * @param {number} labelAt
   * @param {number} size
   * @param {number} urlLength
   * @param {number} urlAt
   * @param {number} red
   * @param {number} green
   * @param {number} blue
   * @param {boolean} showLabel
   */
  fullRecord(at, labelLength, labelAt, size, urlLength, urlAt, red, green, blue, showLabel) {
    if (at + FULL_RECORD_REST + labelLength + urlLength + WORD_SLACK > this.bytes.length) return -1;
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

  /**
   * Any record: its fields' values checked as they are written; returns where it ends.
   * Its twin for the common case is fullRecord.
   * @param {number} start
   * @param {NodeUpdate} update
   * @param {number} labelAt
   * @param {number} urlAt
   */
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

  /**
   * The record alone, for recordText.
   * @param {NodeUpdate} update
   */
  recordAlone(update) {
    this.node(new Uint8Array(ID_BYTES), update);
    this.bytes.copyWithin(0, COUNT_BYTES + ID_BYTES, this.at);
    this.at -= COUNT_BYTES + ID_BYTES;
  }

  // Field f's key at `at` of the record that starts at `start`, after a comma unless
  // it comes first; returns where its value goes.
  /**
   * @param {number} f
   * @param {number} at
   * @param {number} start
   */
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
  /**
   * @param {string} text
   * @param {number} at
   * @param {Int32Array | null} [words]
   */
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

  /**
   * A colour's digits, as one word where its slack fits (as for size).
   * @param {number} f
   * @param {unknown} value
   * @param {number} at
   */
  colour(f, value, at) {
    if (!isColour(value)) throw colourError(f);
    return at + 4 <= this.bytes.length ? colourDigits(this.view, at, value) : this.ascii(String(value), at);
  }

  // A size's text, copied as words where their slack fits: the bytes past the text
  // are written over next.
  /**
   * @param {number} value
   * @param {number} at
   */
  size(value, at) {
    const cell = SIZES.cellOf(value), text = SIZES.texts[cell], length = text.length;
    if (at + 4 * SIZE_WORDS <= this.bytes.length) {
      const view = this.view, words = SIZE_WORDS * cell;
      for (let w = 0; 4 * w < length; w++) view.setInt32(at + 4 * w, SIZES.words[words + w], true);
    } else {
      this.ascii(text, at);
    }
    return at + length;
  }

  /**
   * The bytes of the record node() writes for `update`, when its values are valid.
   * @param {NodeUpdate} update
   */
  recordLength(update) {
    const { label, size, url, red, green, blue, showLabel } = update;
    let length = 1, members = 0;
    if (typeof label === "string") length += KEY_LENGTHS[LABEL] + jsonStringLength(label);
    if (label !== undefined) members++;
    if (typeof size === "number") length += KEY_LENGTHS[SIZE] + SIZES.text(size).length;
    if (size !== undefined) members++;
    if (typeof url === "string") length += KEY_LENGTHS[URL] + jsonStringLength(url);
    if (url !== undefined) members++;
    if (red !== undefined) length += KEY_LENGTHS[RED] + colourLength(red), members++;
    if (green !== undefined) length += KEY_LENGTHS[GREEN] + colourLength(green), members++;
    if (blue !== undefined) length += KEY_LENGTHS[BLUE] + colourLength(blue), members++;
    if (showLabel !== undefined) length += KEY_LENGTHS[SHOW_LABEL] + (showLabel ? 4 : 5), members++;
    return length + Math.max(members, 1);
  }

  /**
   * A JSON string at `at`; returns where it ends.
   * @param {unknown} text
   * @param {string} key
   * @param {number} at
   * @param {number} [from]  where its bytes stand in TEXT_SCRATCH as written, else -1
   */
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
        if (LONE_SURROGATE.test(text)) throw new TypeError(`${key} holds a lone surrogate`);
        at += UTF8_ENCODER.encodeInto(escaped(text.slice(i)), bytes.subarray(at)).written ?? 0;
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

  /**
   * An edge row: the `to` id and the weight. Callers make room first.
   * @param {unknown} to
   * @param {unknown} weight
   */
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
/**
 * @param {DataView} view
 * @param {number} at
 * @param {number} from
 * @param {number} length
 */
function copyText(view, at, from, length) {
  for (let i = 0; i < length; i += 4) view.setInt32(at + i, TEXT_SCRATCH_VIEW.getInt32(from + i, true), true);
  return at + length;
}

/**
 * A colour's digits as one word; returns where they end.
 * @param {DataView} view
 * @param {number} at
 * @param {number} value
 */
function colourDigits(view, at, value) {
  view.setInt32(at, COLOUR_WORDS[value], true);
  return at + colourLength(value);
}

// The text between two values of a record of all seven fields, as FULL_GLUE_WORDS
// words at `at`; returns where it ends.
/**
 * @param {DataView} view
 * @param {number} at
 * @param {number} g
 */
function glue(view, at, g) {
  const words = FULL_GLUE_WORDS * g;
  view.setInt32(at, FULL_GLUE[words], true);
  view.setInt32(at + 4, FULL_GLUE[words + 1], true);
  view.setInt32(at + 8, FULL_GLUE[words + 2], true);
  view.setInt32(at + 12, FULL_GLUE[words + 3], true);
  return at + FULL_GLUE_LENGTHS[g];
}

/**
 * @param {unknown} value
 * @returns {value is number}
 */
function isColour(value) {
  return typeof value === "number" && Number.isInteger(value) && value >= 0 && value <= 255;
}

/** @param {unknown} value */
function colourLength(value) {
  return isColour(value) ? (value >= 100 ? 3 : value >= 10 ? 2 : 1) : 0;
}

/**
 * The bytes of a text as jsonString writes it, quotes included.
 * @param {string} text
 */
function jsonStringLength(text) {
  let length = 2 + text.length;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c < 0x20 || c === 0x22 || c === 0x5c) length += escaped(text[i]).length - 1;
    else if (c >= 0x80) length += c < 0x800 || (c >= 0xdc00 && c <= 0xdfff) ? 1 : 2;
  }
  return length;
}

/**
 * The count of a collection given as a Map, a Set, an array or a plain object.
 * @param {any} collection
 * @returns {number}
 */
function countOf(collection) {
  if (collection === undefined) return 0;
  if (collection instanceof Map || collection instanceof Set) return collection.size;
  if (Array.isArray(collection)) return collection.length;
  return Object.keys(collection).length;
}

// Calls f(key, value) for each entry: a Map's, an array's pairs, a plain object's.
// A Map and an array go without an array per entry.
/**
 * @param {any} collection
 * @param {(key: any, value: any) => void} f
 */
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

/**
 * Calls f(item) for each item of an array or a Set, or each entry of the others.
 * @param {any} collection
 * @param {(item: any) => void} f
 */
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

class KeptBuffer {
  constructor() {
    this.small = new Uint8Array(1 << 16);
    /** @type {WeakRef<Uint8Array> | null} */
    this.large = null;
  }

  take() {
    return this.large?.deref() ?? this.small;
  }

  /** @param {Uint8Array} bytes */
  keep(bytes) {
    if (bytes.length <= KEPT_BYTES) this.small = bytes;
    else this.large = new WeakRef(bytes);
  }
}

const KEPT = new KeptBuffer();

// The document for the content in `doc`, shaped as decode returns it (Maps or
// objects keyed by id text, or arrays of pairs; ids as text or 16 bytes), in the
// order given: written once into the scratch, then copied out at its size.
/**
 * @param {DocumentContent} doc
 * @returns {Uint8Array}
 */
export function encode(doc) {
  const w = new Writer(KEPT.take());
  try {
    writeContent(w, doc);
    w.flush();
  } catch {
    // Refused: the writer that sizes the document first says why, with the refusal
    // that comes first there.
    return encodeSized(doc);
  } finally {
    KEPT.keep(w.bytes);
  }
  return w.bytes.slice(0, w.at);
}

/**
 * The four sections of `doc` into `w`, with room made before each write.
 * @param {Writer} w
 * @param {any} doc
 */
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
  /** @type {(weight: unknown, to: unknown) => void} */
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
/** @param {any} doc */
export function encodeSized(doc) {
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
