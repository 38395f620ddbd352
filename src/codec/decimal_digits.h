// Decimal digits two at a time, for the number writer and the record writer.
#pragma once

namespace kovra {

// The two ASCII digits of each value below 100, at offset 2 * value: one division by
// 100 then yields two output bytes.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

}  // namespace kovra
