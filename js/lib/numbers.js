// Numbers of the node record: the reader's number procedure (docs/format.md) and the
// writer's shortest binary32 text.
//
// Fast path and general twin, held together by js/test/twins.test.js (numbers of
// every length, signs, fractions and exponents, in the written form and not):
// readFormSize, for a size of at most 15 significant digits and an exponent within
// +-308, where the procedure is one binary64 operation, against scanNumber with
// readSize, the procedure step by step.

import * as layoutJs from "./layout.js";

const { fail } = layoutJs;

/**
 * Where a number's parts stand in the record: the sign, the integer digits
 * [intStart, intEnd), the fraction digits [fracStart, fracEnd), the exponent's digits
 * from expStart (-1 for none) to `end`, where the number ends.
 * @typedef {{ start: number, negative: boolean, intStart: number, intEnd: number, fracStart: number,
 *   fracEnd: number, expStart: number, expNegative: boolean, end: number }} NumberText
 */

/** @param {number} c */
export function isDigit(c) {
  return c >= 0x30 && c <= 0x39;
}

/**
 * @param {string} what
 * @param {number} at
 * @returns {never}
 */
function bad(what, at) {
  return fail(`node record: ${what} at offset ${at}`);
}

/**
 * Checks the JSON number grammar at p of b[.., end) and returns where its parts are.
 * @param {Uint8Array} b
 * @param {number} p
 * @param {number} end
 * @returns {NumberText}
 */
export function scanNumber(b, p, end) {
  const start = p;
  const negative = b[p] === 0x2d;
  if (negative) p++;
  const intStart = p;
  if (p < end && b[p] === 0x30) p++;
  else if (p < end && b[p] >= 0x31 && b[p] <= 0x39) while (p < end && isDigit(b[p])) p++;
  else bad("bad number", p);
  const intEnd = p;
  let fracStart = p, fracEnd = p;
  if (p < end && b[p] === 0x2e) {
    fracStart = ++p;
    while (p < end && isDigit(b[p])) p++;
    if (p === fracStart) bad("bad number", p);
    fracEnd = p;
  }
  let expStart = -1, expNegative = false;
  if (p < end && (b[p] | 0x20) === 0x65) {
    p++;
    if (p < end && (b[p] === 0x2b || b[p] === 0x2d)) expNegative = b[p++] === 0x2d;
    expStart = p;
    while (p < end && isDigit(b[p])) p++;
    if (p === expStart) bad("bad number", p);
  }
  return { start, negative, intStart, intEnd, fracStart, fracEnd, expStart, expNegative, end: p };
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

/**
 * The reader's number procedure (docs/format.md) over the number `n` of b, giving a
 * binary32 value.
 * @param {Uint8Array} b
 * @param {NumberText} n
 */
export function readSize(b, n) {
  const digits = n.intEnd - n.intStart + n.fracEnd - n.fracStart;
  /** @type {number | bigint} a Number while exact, else a BigInt */
  let significand;
  let exponent = 0;
  let dropped = false;
  if (digits <= EXACT_DIGITS) {
    significand = 0;
    for (let i = n.intStart; i < n.intEnd; i++) significand = significand * 10 + b[i] - 0x30;
    for (let i = n.fracStart; i < n.fracEnd; i++) significand = significand * 10 + b[i] - 0x30;
    exponent = n.fracStart - n.fracEnd;
  } else {
    // Once a digit would overflow the 64-bit accumulator, it and every later digit
    // are dropped; dropped integer digits still count as powers of ten.
    let acc = 0n;
    /** @type {(from: number, to: number, fraction: boolean) => void} */
    const take = (from, to, fraction) => {
      for (let i = from; i < to; i++) {
        const digit = BigInt(b[i] - 0x30);
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
    for (let i = n.expStart; i < n.end; i++) {
      const digit = b[i] - 0x30;
      if (e > EXPONENT_LIMIT || (e === EXPONENT_LIMIT && digit > 7)) {
        if (!isZero && !n.expNegative) bad("size beyond binary64", n.end);
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
    if (exponent > 0) bad("size beyond binary64", n.end);
    value /= 1e308;
    exponent += 308;
  }
  if (exponent >= 0) {
    value *= POWERS_OF_TEN[exponent];
    if (value === Infinity) bad("size beyond binary64", n.end);
  } else {
    value /= POWERS_OF_TEN[-exponent];
  }
  return Math.fround(n.negative ? -value : value);
}

/**
 * An integer straight to the nearest binary32, ties to even: through binary64 first
 * would round twice past 2^53.
 * @param {number | bigint} n
 */
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

/**
 * A size in the writer's form at p of b[.., end) into `out.size`: the reader's number
 * procedure for a significand of at most 15 digits (exact in binary64) and an exponent
 * that needs no loop, where it is one operation. Returns where the number ends, or -1
 * for any other number, which readSize then reads.
 * @param {Uint8Array} b
 * @param {number} p
 * @param {number} end
 * @param {{ size: number }} out
 */
export function readFormSize(b, p, end, out) {
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
  out.size = Math.fround(negative ? -value : value);
  return p;
}

// ---- the number text ---------------------------------------------------------------

const F32 = new Float32Array(1);
const U32 = new Uint32Array(F32.buffer);

/** @param {number} bits */
function float32Neighbour(bits) {
  U32[0] = bits;
  return F32[0];
}

/**
 * Where the decimal D x 10^K stands against the binary64 b, exactly: -1, 0 or 1.
 * @param {number} D
 * @param {number} K
 * @param {number} b
 */
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
/**
 * @param {number} D
 * @param {number} K
 * @param {number} lo
 * @param {number} hi
 * @param {boolean} even
 */
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
/**
 * @param {number} a
 * @returns {[string, number]}
 */
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
  /** @type {(n: number) => [number, number] | null} */
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
  /** @type {[number, number] | null} */
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

/**
 * The writer's text for a binary32 value (docs/format.md, "The size").
 * @param {number} value
 */
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

/**
 * The bits of `value` rounded to binary32.
 * @param {number} value
 */
export function float32Bits(value) {
  F32[0] = value;
  return U32[0];
}
