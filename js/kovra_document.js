// Reader and writer of the graph diff document (docs/format.md) for Node and
// browsers, without dependencies. `decode` refuses exactly the documents that
// PyGraphDiff.from_bytes refuses; `encode` writes the bytes to_bytes writes for the
// same content in the same order. Types: kovra_document.d.ts.
//
// The entry of the modules in lib/, which README.md lists by role.

export { DocumentError, FIELDS } from "./lib/layout.js";
export { idText } from "./lib/ids.js";
export { float32Text } from "./lib/numbers.js";
export { decode, decodeColumns } from "./lib/reader.js";
export { encode, recordText } from "./lib/writer.js";
