// Reader and writer of the graph diff document (docs/format.md) for Node and
// browsers, without dependencies. `decode` refuses exactly the documents that
// PyGraphDiff.from_bytes refuses; `encode` writes the bytes to_bytes writes for the
// same content in the same order. Types: kovra_document.d.ts.
//
// The entry of the modules in lib/, by role:
//   layout.js    sizes, keys and errors that reader and writer share
//   ids.js       ids as bytes and as text, and the tables that number them
//   numbers.js   the reader's number procedure and the writer's binary32 text
//   record.js    the node record's parser, and its twin for the writer's form
//   columns.js   node columns, and a decoded document as columns
//   reader.js    decode and decodeColumns: the general reader
//   one_pass.js  decode and decodeColumns in one pass, for what to_bytes writes
//   writer.js    encode and recordText
// Each file's header names its fast paths and their general twins;
// test/twins.test.js runs each fast path against its twin.

export { DocumentError, FIELDS } from "./lib/layout.js";
export { idText } from "./lib/ids.js";
export { float32Text } from "./lib/numbers.js";
export { decode, decodeColumns } from "./lib/reader.js";
export { encode, recordText } from "./lib/writer.js";
