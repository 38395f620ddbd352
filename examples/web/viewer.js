// Shows a graph diff document: its counts, then its four sections as tables. Opened
// with ?document=URL it loads that document itself (the page's test does so).
import { decode, float32Text } from "../../js/kovra_document.js";

// Past this many rows a table shows its first ones and says how many it left out.
const ROWS_SHOWN = 1000;

const report = document.getElementById("report");
const errorLine = document.getElementById("error");

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text; // text only: labels are untrusted
  if (className) node.className = className;
  return node;
}

// A binary32 as the document writes it: 0.1, not the digits of its binary64 widening.
function float32(value) {
  return Number.isFinite(value) ? float32Text(value) : String(value);
}

function hex2(value) {
  return value.toString(16).padStart(2, "0");
}

// A swatch of the node's colour when it has any component; absent ones count as 0.
function colourCell(update) {
  const cell = element("td");
  const parts = ["red", "green", "blue"].map((key) => update[key]);
  if (parts.every((part) => part === undefined)) return cell;
  const [r, g, b] = parts.map((part) => part ?? 0);
  const swatch = element("span", undefined, "swatch");
  swatch.style.backgroundColor = `rgb(${r}, ${g}, ${b})`;
  cell.append(swatch, `#${hex2(r)}${hex2(g)}${hex2(b)}`);
  if (parts.includes(undefined)) cell.append(` (${parts.map((p) => p ?? "–").join(", ")})`);
  return cell;
}

function table(title, headings, rows, total) {
  report.append(element("h2", `${title} (${total})`));
  if (total === 0) return;
  const t = element("table");
  const head = element("tr");
  for (const heading of headings) head.append(element("th", heading));
  t.append(head);
  let shown = 0;
  for (const cells of rows) {
    if (shown++ === ROWS_SHOWN) break;
    const row = element("tr");
    row.append(...cells);
    t.append(row);
  }
  report.append(t);
  if (total > ROWS_SHOWN) report.append(element("p", `The first ${ROWS_SHOWN} of ${total} rows.`));
}

function* edgeRows(groups, weighted) {
  for (const [from, targets] of groups) {
    for (const entry of targets) {
      const [to, weight] = weighted ? entry : [entry];
      const cells = [element("td", from, "id"), element("td", to, "id")];
      if (weighted) cells.push(element("td", float32(weight), "number"));
      yield cells;
    }
  }
}

function rowCount(groups) {
  let count = 0;
  for (const targets of groups.values()) count += targets.size ?? targets.length;
  return count;
}

function show(bytes, name) {
  report.replaceChildren();
  errorLine.textContent = "";
  let doc;
  try {
    doc = decode(bytes);
  } catch (error) {
    errorLine.textContent = `${name} is not a graph diff document: ${error.message}`;
    return;
  }
  const edges = rowCount(doc.newOrUpdatedEdges);
  const cut = rowCount(doc.deletedEdges);
  const trailing = bytes.length - doc.byteLength;
  report.append(
    element("h2", name),
    element(
      "p",
      `${doc.newOrUpdatedNodes.size} new or updated nodes, ${doc.deletedNodes.length} deleted nodes, ` +
        `${edges} edges in ${doc.newOrUpdatedEdges.size} groups, ` +
        `${cut} deleted edges in ${doc.deletedEdges.size} groups; ` +
        `num_nodes ${doc.numNodes}, num_edges ${doc.numEdges}; ${doc.byteLength} bytes` +
        (trailing ? `, then ${trailing} trailing bytes that readers ignore` : ""),
      "summary",
    ),
  );
  const nodeRows = function* () {
    for (const [id, u] of doc.newOrUpdatedNodes) {
      yield [
        element("td", id, "id"),
        element("td", u.label ?? ""),
        element("td", u.url ?? ""),
        element("td", u.size === undefined ? "" : float32(u.size), "number"),
        colourCell(u),
        element("td", u.showLabel === undefined ? "" : String(u.showLabel)),
      ];
    }
  };
  table("New or updated nodes", ["id", "label", "url", "size", "colour", "show label"], nodeRows(),
    doc.newOrUpdatedNodes.size);
  table("Deleted nodes", ["id"], doc.deletedNodes.map((id) => [element("td", id, "id")]),
    doc.deletedNodes.length);
  table("New or updated edges", ["from", "to", "weight"], edgeRows(doc.newOrUpdatedEdges, true), edges);
  table("Deleted edges", ["from", "to"], edgeRows(doc.deletedEdges, false), cut);
}

document.getElementById("file").addEventListener("change", async (event) => {
  const file = event.target.files[0];
  if (file) show(new Uint8Array(await file.arrayBuffer()), file.name);
});

// XMLHttpRequest rather than fetch: it also reads file: URLs where the browser allows.
const given = new URLSearchParams(location.search).get("document");
if (given) {
  const request = new XMLHttpRequest();
  request.open("GET", given);
  request.responseType = "arraybuffer";
  request.onload = () => show(new Uint8Array(request.response), given.split("/").pop());
  request.onerror = () => (errorLine.textContent = `could not load ${given}`);
  request.send();
}
