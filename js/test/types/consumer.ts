// A strict consumer of kovra_document.d.ts, and the implementation in lib/ held to
// the declared types: `make lint` compiles this file (js/tsconfig.json), nothing runs it.
import {
  type Document, type DocumentColumns, type DocumentContent, type NodeUpdate, DocumentError, FIELDS, decode,
  decodeColumns, encode, float32Text, idText, recordText,
} from "../../kovra_document.js";
import * as layout from "../../lib/layout.js";
import * as ids from "../../lib/ids.js";
import * as numbers from "../../lib/numbers.js";
import * as reader from "../../lib/reader.js";
import * as writer from "../../lib/writer.js";

// The implementation has the declared types.
const implementation: {
  decode: typeof decode;
  decodeColumns: typeof decodeColumns;
  encode: typeof encode;
  idText: typeof idText;
  float32Text: typeof float32Text;
  recordText: typeof recordText;
  FIELDS: typeof FIELDS;
  DocumentError: typeof DocumentError;
} = { ...reader, ...writer, ...ids, ...numbers, ...layout };

// A program that reads a document, changes it and writes it back.
const bytes: Uint8Array = new Uint8Array(32);
const doc: Document = implementation.decode(bytes);
for (const [id, update] of doc.newOrUpdatedNodes) {
  const label: string | undefined = update.label;
  const size: number | undefined = update.size;
  const shown: boolean | undefined = update.showLabel;
  console.log(id.length, label?.length, size, shown);
}
const weights: number[] = [...doc.newOrUpdatedEdges.values()].flatMap((rows) => [...rows.values()]);
const columns: DocumentColumns = decodeColumns(bytes.buffer);
const firstWeight: number | undefined = columns.edges.weights[0];
const present: number | undefined = columns.nodes.present[0];
const fields: readonly string[] = FIELDS;
const update: NodeUpdate = { label: "a", size: 0.5, red: 1, showLabel: true };
const content: DocumentContent = {
  newOrUpdatedNodes: new Map([[idText(columns.nodes.ids), update]]),
  deletedNodes: ["a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf", new Uint8Array(16)],
  newOrUpdatedEdges: { "a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf": { "b0b1b2b3-b4b5-b6b7-b8b9-babbbcbdbebf": 0.5 } },
  deletedEdges: new Map([["a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf", ["b0b1b2b3-b4b5-b6b7-b8b9-babbbcbdbebf"]]]),
};
const written: Uint8Array = encode(content);
const text: string = recordText(update) + float32Text(0.1);
try {
  decode(written.subarray(1));
} catch (error) {
  if (error instanceof DocumentError) console.log(error.name, error.message);
}
console.log(weights, firstWeight, present, fields, text);

// What the declarations refuse.
// @ts-expect-error: show_label is the Python name; the record's key is showLabel
const misspelled: NodeUpdate = { show_label: true };
// @ts-expect-error: a colour is a number
const colourText: NodeUpdate = { red: "1" };
// @ts-expect-error: decode takes bytes
decode("document");
// @ts-expect-error: FIELDS is read-only
FIELDS.push("x");
console.log(misspelled, colourText);
