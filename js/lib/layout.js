// The facts of the document's layout and of the record's written form that both the
// reader and the writer use (docs/format.md): element sizes, the record's keys and
// their bytes, the error a refused document raises.

export const COUNT_BYTES = 8;
export const ID_BYTES = 16;
export const WEIGHT_BYTES = 4;
export const TWO_32 = 2 ** 32;

// The record's keys in the writer's order; a field's bit in `present` is its number.
export const FIELDS = Object.freeze(/** @type {const} */ (["label", "size", "url", "red", "green", "blue", "showLabel"]));
/** @type {Map<string, number>} */
export const FIELD_NUMBER = new Map(FIELDS.map((key, i) => [key, i]));
export const [LABEL, SIZE, URL, RED, GREEN, BLUE, SHOW_LABEL] = FIELDS.keys();
// The `present` bits of a record with every field.
export const FULL = (1 << FIELDS.length) - 1;

export class DocumentError extends Error {
  /** @param {string} [message] */
  constructor(message) {
    super(message);
    /** @type {"DocumentError"} */
    this.name = "DocumentError";
  }
}

/**
 * @param {string} message
 * @returns {never}
 */
export function fail(message) {
  throw new DocumentError(message);
}

/**
 * @param {Uint8Array | ArrayBuffer | ArrayBufferView} input
 * @returns {Uint8Array}
 */
export function asBytes(input) {
  if (input instanceof Uint8Array) return input;
  if (input instanceof ArrayBuffer) return new Uint8Array(input);
  if (ArrayBuffer.isView(input)) {
    return new Uint8Array(input.buffer, input.byteOffset, input.byteLength);
  }
  throw new TypeError("expected a Uint8Array, an ArrayBuffer or a view of one");
}

// A U+FEFF that opens a text, or follows an escape, is a character of the text like
// any other: the decoder must not take it for a byte-order mark.
export const UTF8 = new TextDecoder("utf-8", { ignoreBOM: true });

// Each key as it stands in a record, quotes and colon included.
const KEY_BYTES = FIELDS.map((key) => Uint8Array.from(`"${key}":`, (c) => c.charCodeAt(0)));
export const KEY_LENGTHS = KEY_BYTES.map((key) => key.length);
// Each key as the two 32-bit words (little-endian) that begin and end it (they overlap
// when it is shorter than 8 bytes), and the middle word of the longest: the form reader
// compares them, the writer writes them.
/** @type {(key: Uint8Array, at: number) => number} */
const keyWord = (key, at) => key[at] | (key[at + 1] << 8) | (key[at + 2] << 16) | (key[at + 3] << 24);
export const KEY_FIRST = Int32Array.from(KEY_BYTES, (key) => keyWord(key, 0));
export const KEY_LAST = Int32Array.from(KEY_BYTES, (key) => keyWord(key, key.length - 4));
export const KEY_MIDDLE = Int32Array.from(KEY_BYTES, (key) => (key.length > 8 ? keyWord(key, 4) : 0));

/**
 * Up to four ASCII characters as one little-endian word, zeros past the text.
 * @param {string} text
 */
export const wordOf = (text) => Array.from(text, (c) => c.charCodeAt(0)).reduceRight((word, code) => (word << 8) | code, 0);
