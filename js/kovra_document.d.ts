// Types of kovra_document.js: the graph diff document of kovra_api (docs/format.md).

/** A node's update as the document's record holds it: the fields present, no others. */
export interface NodeUpdate {
  label?: string;
  /** A binary32 value; may be an infinity when the record's text was beyond its range. */
  size?: number;
  url?: string;
  /** 0 to 255. */
  red?: number;
  green?: number;
  blue?: number;
  showLabel?: boolean;
}

/** The 36-character lowercase hyphenated text of a UUID. */
export type IdText = string;

/** A document's content, as PyGraphDiff's views show it, in the document's order. */
export interface Document {
  newOrUpdatedNodes: Map<IdText, NodeUpdate>;
  deletedNodes: IdText[];
  /** Every group, those with no rows included (the views leave them out). */
  newOrUpdatedEdges: Map<IdText, Map<IdText, number>>;
  deletedEdges: Map<IdText, IdText[]>;
  /** What num_nodes() and num_edges() return for the document. */
  numNodes: number;
  numEdges: number;
  /** The bytes the four sections take; a reader ignores any after them. */
  byteLength: number;
}

/** Rows of 16-byte ids in groups: group g has rows offsets[g] to offsets[g + 1]. */
export interface GroupColumns {
  /** 16 bytes per group. */
  from: Uint8Array;
  /** One more than there are groups. */
  offsets: Uint32Array;
  /** 16 bytes per row. */
  to: Uint8Array;
}

export interface NodeColumns {
  /** 16 bytes per node. */
  ids: Uint8Array;
  /** Per node, bit i set when field FIELDS[i] is present; other columns hold 0 or "" where absent. */
  present: Uint8Array;
  label: string[];
  size: Float32Array;
  url: string[];
  red: Uint8Array;
  green: Uint8Array;
  blue: Uint8Array;
  /** 1 for true. */
  showLabel: Uint8Array;
}

/** The content of a document as typed arrays, rows in the order decode gives. */
export interface DocumentColumns {
  nodes: NodeColumns;
  /** 16 bytes per deleted node. */
  deletedNodes: Uint8Array;
  /** Weights with their bits as written, NaN payloads included. */
  edges: GroupColumns & { weights: Float32Array };
  deletedEdges: GroupColumns;
  byteLength: number;
}

/** A document's content to write: Maps, arrays of pairs or plain objects keyed by id. */
export interface DocumentContent {
  newOrUpdatedNodes?: Iterable<[IdText | Uint8Array, NodeUpdate]> | Record<IdText, NodeUpdate>;
  deletedNodes?: Iterable<IdText | Uint8Array>;
  newOrUpdatedEdges?:
    | Iterable<[IdText | Uint8Array, Iterable<[IdText | Uint8Array, number]> | Record<IdText, number>]>
    | Record<IdText, Iterable<[IdText | Uint8Array, number]> | Record<IdText, number>>;
  deletedEdges?:
    | Iterable<[IdText | Uint8Array, Iterable<IdText | Uint8Array>]>
    | Record<IdText, Iterable<IdText | Uint8Array>>;
}

/** A document that PyGraphDiff.from_bytes would refuse; the message says where. */
export class DocumentError extends Error {
  name: "DocumentError";
}

/** The record's keys in the writer's order: "label", "size", "url", "red", "green", "blue", "showLabel". */
export const FIELDS: readonly ["label", "size", "url", "red", "green", "blue", "showLabel"];

/** The content of a document; throws DocumentError for what from_bytes refuses. */
export function decode(bytes: Uint8Array | ArrayBuffer | ArrayBufferView): Document;

/** The same as decode, as typed arrays. */
export function decodeColumns(bytes: Uint8Array | ArrayBuffer | ArrayBufferView): DocumentColumns;

/**
 * The bytes to_bytes writes for this content in this order. Throws TypeError or
 * RangeError for what PyGraphDiff would refuse: a colour outside 0 to 255, a text
 * with a lone surrogate, an id that is not a UUID.
 */
export function encode(content: DocumentContent): Uint8Array;

/** The 36-character text of the 16 bytes at `at`. */
export function idText(bytes: Uint8Array, at?: number): IdText;

/** The writer's text for a binary32 number: shortest round-trip digits, "null" for NaN and infinities. */
export function float32Text(value: number): string;

/** The record text the writer makes for an update. */
export function recordText(update: NodeUpdate): string;
