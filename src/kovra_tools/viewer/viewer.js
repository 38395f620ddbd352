// Shows a graph diff document: its counts, a search over its nodes, a drawing of one
// node's neighbourhood, and its four sections as tables that page and sort. The
// document lives in worker.js; this thread asks it for what is on screen, so it stays
// responsive however large the document is. Opened with ?document=URL it loads that
// document itself; #node=ID selects a node.
import { drawNeighbourhood, edgeAt, nodeAt } from "./drawing.js";

// Rows per page of a table, search results shown, neighbours drawn.
const PAGE_ROWS = 50;
const RESULTS_SHOWN = 50;
const DRAWN_NEIGHBOURS = 36;

const $ = (id) => document.getElementById(id);
const errorLine = $("error");
// Thousands apart by commas. Not Intl.NumberFormat: making one loads locale data in
// the page's first task, tens of milliseconds on a busy machine.
const english = { format: (n) => String(n).replace(/\B(?=(\d{3})+(?!\d))/g, ",") };

// "1 deleted node", "2 deleted nodes", with thousands separated.
function count(n, singular, plural = `${singular}s`) {
  return `${english.format(n)} ${n === 1 ? singular : plural}`;
}

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = text; // text only: labels are untrusted
  if (className) node.className = className;
  return node;
}

function hex2(value) {
  return value.toString(16).padStart(2, "0");
}

// A swatch of the node's colour when it has any component; absent ones count as 0.
function colourCell(record) {
  const cell = element("td");
  const parts = ["red", "green", "blue"].map((key) => record?.[key]);
  if (parts.every((part) => part === undefined)) return cell;
  const [r, g, b] = parts.map((part) => part ?? 0);
  const swatch = element("span", undefined, "swatch");
  swatch.style.backgroundColor = `rgb(${r}, ${g}, ${b})`;
  cell.append(swatch, `#${hex2(r)}${hex2(g)}${hex2(b)}`);
  if (parts.includes(undefined)) cell.append(` (${parts.map((p) => p ?? "–").join(", ")})`);
  return cell;
}

// An id that selects its node when followed.
function idLink(id, label) {
  const link = element("a", id, "id");
  link.href = `#node=${id}`;
  if (label) link.title = label;
  return link;
}

function idCell(id, label) {
  const cell = element("td", undefined, "id");
  cell.append(idLink(id, label));
  return cell;
}

// ---- the worker and its answers -------------------------------------------------------------

let worker = null;
let loaded = null; // the summary of the document shown
let nextRequest = 0;
const waiting = new Map(); // request -> resolve

function ask(message) {
  const request = ++nextRequest;
  return new Promise((resolve) => {
    waiting.set(request, resolve);
    worker.postMessage({ ...message, request });
  });
}

function setState(state) {
  document.body.dataset.state = state;
}

// While a document loads, the seconds shown go on counting between the worker's reports.
let ticker = 0;

function fail(text) {
  clearInterval(ticker);
  errorLine.textContent = text;
  $("status").hidden = true;
  setState("error");
}

// A new worker for each document: any load still running in the old one ends with it.
function load(source, name) {
  worker?.terminate();
  waiting.clear();
  loaded = null;
  errorLine.textContent = "";
  $("report").hidden = true;
  setState("loading");
  const started = performance.now();
  let latest = null;
  clearInterval(ticker);
  ticker = setInterval(() => latest && progress(latest, name, started), 250);
  worker = new Worker(new URL("worker.js", import.meta.url), { type: "module" });
  const mine = worker;
  mine.onerror = (event) => {
    event.preventDefault();
    if (mine !== worker) return;
    // A worker that cannot load its modules says nothing more than that.
    fail(event.message ? `The viewer's worker stopped: ${event.message}.` :
      "The viewer's worker could not be loaded: serve the page with `kovra view`, which also serves " +
      "the reader it imports.");
  };
  mine.onmessage = (event) => {
    if (mine !== worker) return;
    const message = event.data;
    if (message.request !== undefined) {
      waiting.get(message.request)?.(message);
      waiting.delete(message.request);
    } else if (message.type === "progress") {
      latest = message;
      progress(message, name, started);
    } else if (message.type === "error") {
      fail(loadError(message, name));
    } else if (message.type === "loaded") {
      show(message.summary, name, performance.now() - started);
    }
  };
  mine.postMessage({ type: "load", ...source });
}

function loadError(message, name) {
  if (message.kind === "http") {
    const status = `HTTP ${message.status}${message.statusText ? ` ${message.statusText}` : ""}`;
    return `Could not load ${name}: the server answered ${status}.`;
  }
  if (message.kind === "network") {
    return `Could not load ${name}: no answer from the server (${message.message}). Is it still running?`;
  }
  if (message.kind === "document") return `${name} is not a graph diff document: ${message.message}`;
  return `Could not show ${name}: ${message.message}`;
}

function megabytes(bytes) {
  return `${(bytes / 1e6).toFixed(1)} MB`;
}

// Reading shows how much has come; decoding and indexing cannot say, so the bar spins
// and the seconds count.
function progress({ stage, done, total }, name, started) {
  $("status").hidden = false;
  const bar = $("progress");
  const seconds = `${((performance.now() - started) / 1000).toFixed(1)} s`;
  if (stage === "reading" && total > 0) {
    bar.max = total;
    bar.value = done;
    $("status-text").textContent = `Reading ${name}: ${megabytes(done)} of ${megabytes(total)} (${seconds})`;
  } else {
    bar.removeAttribute("value");
    const what = { reading: "Reading", decoding: "Decoding", indexing: "Indexing" }[stage];
    $("status-text").textContent = `${what} ${name}${done ? ` (${megabytes(done)})` : ""}… ${seconds}`;
  }
}

// ---- the report -----------------------------------------------------------------------------------

function show(summary, name, elapsed) {
  clearInterval(ticker);
  loaded = summary;
  $("status").hidden = true;
  $("report").hidden = false;
  $("name").textContent = name;
  const s = summary;
  // Every count in one format; num_edges() counts groups, which its name hides.
  $("summary").textContent =
    `${count(s.nodes, "new or updated node")}, ${count(s.deletedNodes, "deleted node")}, ` +
    `${count(s.edges, "edge")} in ${count(s.edgeGroups, "group")}, ` +
    `${count(s.deletedEdges, "deleted edge")} in ${count(s.deletedEdgeGroups, "group")}; ` +
    `num_nodes() ${english.format(s.numNodes)}, num_edges() ${english.format(s.numEdges)} ` +
    "(it counts groups, of edges and of deleted edges, not edges); " +
    `${count(s.byteLength, "byte")}` +
    (s.trailing ? `, then ${count(s.trailing, "trailing byte")} that readers ignore` : "") +
    `. Read in ${(elapsed / 1000).toFixed(1)} s.`;
  $("search").value = "";
  $("search-note").textContent = "";
  $("results").replaceChildren();
  $("node").hidden = true;
  buildTables(summary);
  setState("loaded");
  const wanted = nodeInHash();
  if (wanted) select(wanted);
}

// ---- tables -------------------------------------------------------------------------------------

const TABLES = [
  { key: "nodes", title: "New or updated nodes", total: (s) => s.nodes,
    columns: [["id", "id"], ["label", "label"], ["url", "url"], ["size", "size"], ["colour", "colour"], ["showLabel", "show label"]],
    cells: (row) => [
      idCell(row.id),
      element("td", row.record.label ?? ""),
      element("td", row.record.url ?? ""),
      element("td", row.record.sizeText ?? "", "number"),
      colourCell(row.record),
      element("td", row.record.showLabel === undefined ? "" : String(row.record.showLabel)),
    ] },
  { key: "deletedNodes", title: "Deleted nodes", total: (s) => s.deletedNodes, columns: [["id", "id"]],
    cells: (row) => [idCell(row.id)] },
  { key: "edges", title: "New or updated edges", total: (s) => s.edges,
    columns: [["from", "from"], ["to", "to"], ["weight", "weight"]],
    cells: (row) => [idCell(row.from, row.fromLabel), idCell(row.to, row.toLabel), element("td", row.weight, "number")] },
  { key: "deletedEdges", title: "Deleted edges", total: (s) => s.deletedEdges, columns: [["from", "from"], ["to", "to"]],
    cells: (row) => [idCell(row.from, row.fromLabel), idCell(row.to, row.toLabel)] },
];

// The tables' states, and the id whose rows alone they show (null for every row).
let tableStates = [];
let onlyNode = null;

// One section shows at a time, chosen by its tab; its first page is asked for when it
// is first shown.
function buildTables(summary) {
  const holder = $("tables"), tabs = $("tabs");
  tableStates = [];
  onlyNode = null;
  $("filter").hidden = true;
  holder.replaceChildren();
  tabs.replaceChildren();
  const sections = [];
  const choose = (k) => sections.forEach(([tab, section, state], i) => {
    section.hidden = i !== k;
    tab.setAttribute("aria-selected", String(i === k));
    if (i === k && state && !state.asked) renderPage(state);
  });
  for (const spec of TABLES) {
    const total = spec.total(summary);
    const section = element("section");
    section.id = `table-${spec.key}`;
    section.append(element("h2", `${spec.title} (${english.format(total)})`));
    holder.append(section);
    const tab = element("button", `${spec.title} (${english.format(total)})`);
    tab.type = "button";
    tab.setAttribute("role", "tab");
    tab.dataset.table = spec.key;
    const k = sections.length;
    tab.onclick = () => choose(k);
    tabs.append(tab);
    if (total === 0) {
      sections.push([tab, section, null]);
      section.append(element("p", "This section is empty."));
      continue;
    }
    const state = { spec, total, shownTotal: total, offset: 0, sort: null, descending: false, section, asked: null };
    tableStates.push(state);
    sections.push([tab, section, state]);
    const table = element("table");
    const head = element("tr");
    head.append(element("th", "#"));
    for (const [column, heading] of spec.columns) {
      const th = element("th");
      const button = element("button", heading);
      button.type = "button";
      button.title = `Sort by ${heading}`;
      button.dataset.column = column;
      button.onclick = () => {
        state.descending = state.sort === column ? !state.descending : false;
        state.sort = column;
        state.offset = 0;
        renderPage(state);
      };
      th.append(button);
      head.append(th);
    }
    const body = element("tbody");
    table.append(element("thead"), body);
    table.firstChild.append(head);
    state.head = head;
    state.body = body;
    section.append(pager(state), table);
  }
  choose(Math.max(0, TABLES.findIndex((spec) => spec.total(summary) > 0)));
}

function pager(state) {
  const bar = element("div", undefined, "pager");
  const button = (text, to) => {
    const b = element("button", text);
    b.type = "button";
    b.dataset.go = text.toLowerCase();
    b.onclick = () => {
      state.offset = to();
      renderPage(state);
    };
    return b;
  };
  const pages = () => Math.max(1, Math.ceil(state.shownTotal / PAGE_ROWS));
  const pageInput = element("input");
  pageInput.type = "number";
  pageInput.min = 1;
  pageInput.onchange = () => {
    const n = Math.min(pages(), Math.max(1, Math.trunc(Number(pageInput.value)) || 1));
    state.offset = (n - 1) * PAGE_ROWS;
    renderPage(state);
  };
  state.pageInput = pageInput;
  state.pages = element("span");
  state.note = element("span");
  bar.append(
    button("First", () => 0),
    button("Previous", () => Math.max(0, state.offset - PAGE_ROWS)),
    " Page ", pageInput, state.pages,
    button("Next", () => Math.min((pages() - 1) * PAGE_ROWS, state.offset + PAGE_ROWS)),
    button("Last", () => (pages() - 1) * PAGE_ROWS),
    " ", state.note,
  );
  return bar;
}

async function renderPage(state) {
  const asked = { offset: state.offset, sort: state.sort, descending: state.descending, node: onlyNode };
  state.asked = asked;
  state.section.dataset.state = "loading";
  state.note.textContent = state.sort ? "Sorting…" : "";
  const answer = await ask({ type: "page", table: state.spec.key, ...asked, count: PAGE_ROWS });
  if (state.asked !== asked || answer.error) {
    if (answer.error) state.note.textContent = answer.error;
    return;
  }
  state.body.replaceChildren(...answer.rows.map((row) => {
    const tr = element("tr");
    tr.append(element("td", english.format(row.position + 1), "position"), ...state.spec.cells(row));
    return tr;
  }));
  for (const b of state.head.querySelectorAll("button")) {
    const sortedHere = b.dataset.column === state.sort;
    b.textContent = b.textContent.replace(/ [▲▼]$/, "") + (sortedHere ? (state.descending ? " ▼" : " ▲") : "");
  }
  state.shownTotal = answer.total;
  const pages = Math.max(1, Math.ceil(answer.total / PAGE_ROWS));
  state.pageInput.max = pages;
  state.pageInput.value = Math.floor(answer.offset / PAGE_ROWS) + 1;
  state.pages.textContent = ` of ${english.format(pages)} `;
  state.section.dataset.state = "shown";
  if (answer.total === 0) {
    state.note.textContent = "No row of this section mentions the node.";
    return;
  }
  const first = answer.offset + 1, last = answer.offset + answer.rows.length;
  state.note.textContent = `Rows ${english.format(first)}–${english.format(last)} of ${english.format(answer.total)}` +
    (asked.node ? " that mention the node" : "") +
    (state.sort ? `, by ${new Map(state.spec.columns).get(state.sort)}${state.descending ? ", descending" : ""}`
      : ", in the document's order") + ".";
}

// Shows only the rows that mention `id` in every table, or every row again for null.
function showOnly(id) {
  onlyNode = id;
  $("filter").hidden = id === null;
  $("filter-id").textContent = id ?? "";
  for (const state of tableStates) {
    state.offset = 0;
    if (state.section.hidden) state.asked = null; // asked for when its tab is chosen
    else renderPage(state);
  }
}

$("only").addEventListener("click", () => showOnly($("node-id").textContent));
$("every").addEventListener("click", () => showOnly(null));

// ---- search -------------------------------------------------------------------------------------

let searchTimer = 0;
let searchAsked = null;

$("search").addEventListener("input", () => {
  clearTimeout(searchTimer);
  searchTimer = setTimeout(runSearch, 200);
});
$("search").addEventListener("keydown", (event) => {
  if (event.key !== "Enter") return;
  clearTimeout(searchTimer);
  runSearch();
});

async function runSearch() {
  if (!loaded) return;
  const query = $("search").value;
  searchAsked = query;
  $("find").dataset.state = "searching";
  const answer = await ask({ type: "search", query, limit: RESULTS_SHOWN });
  if (searchAsked !== query) return;
  const list = $("results");
  list.replaceChildren(...answer.results.map((found) => {
    const item = element("li");
    const where = [];
    if (found.record) where.push("new or updated");
    if (found.deleted) where.push("deleted");
    where.push(`${english.format(found.edgesOut)} out, ${english.format(found.edgesIn)} in`);
    if (found.deletedOut || found.deletedIn) {
      where.push(`deleted edges ${english.format(found.deletedOut)} out, ${english.format(found.deletedIn)} in`);
    }
    item.append(idLink(found.id), " ", element("span", found.record?.label ?? ""), " ",
      element("span", `(${where.join("; ")})`, "where"));
    return item;
  }));
  const shown = answer.results.length;
  $("search-note").textContent = query.trim() === "" ? "" :
    answer.total === 0 ? `No node's id or label matches “${query.trim()}”.` :
    shown < answer.total ? `The first ${english.format(shown)} of ${count(answer.total, "matching node")}; refine the search to see others.` :
    `${count(answer.total, "matching node")}.`;
  $("find").dataset.state = "shown";
}

// ---- a node and its neighbourhood -------------------------------------------------------------

let drawn = null; // what the canvas shows, for clicks

function nodeInHash() {
  const match = /^#node=([0-9a-fA-F-]{36})$/.exec(location.hash);
  return match ? match[1].toLowerCase() : null;
}

window.addEventListener("hashchange", () => {
  const id = nodeInHash();
  if (id && loaded) select(id);
});

async function select(id) {
  const panel = $("node");
  panel.hidden = false;
  panel.dataset.state = "loading";
  const answer = await ask({ type: "node", id, cap: DRAWN_NEIGHBOURS });
  if (nodeInHash() !== null && nodeInHash() !== id) return; // another was chosen meanwhile
  $("node-id").textContent = id;
  if (answer.missing || answer.error) {
    $("node-facts").textContent = answer.error ?? "No section of this document mentions this id.";
    $("cap").textContent = "";
    $("drawn").replaceChildren();
    drawn = null;
    $("drawing").getContext("2d").clearRect(0, 0, $("drawing").width, $("drawing").height);
    panel.dataset.state = "missing";
    return;
  }
  const c = answer.centre, r = c.record;
  const facts = [];
  if (c.deleted) facts.push("Deleted.");
  if (r) {
    const fields = [];
    if (r.label !== undefined) fields.push(`label “${r.label}”`);
    if (r.url !== undefined) fields.push(`url ${r.url}`);
    if (r.sizeText !== undefined) fields.push(`size ${r.sizeText}`);
    for (const key of ["red", "green", "blue"]) if (r[key] !== undefined) fields.push(`${key} ${r[key]}`);
    if (r.showLabel !== undefined) fields.push(`show_label ${r.showLabel}`);
    facts.push(fields.length ? `New or updated: ${fields.join(", ")}.` : "New or updated, with no field set.");
  } else if (!c.deleted) {
    facts.push("No record: it appears only in edges.");
  }
  facts.push(`Edges gained: ${english.format(c.edgesOut)} out, ${english.format(c.edgesIn)} in; ` +
    `edges deleted: ${english.format(c.deletedOut)} out, ${english.format(c.deletedIn)} in.`);
  $("node-facts").textContent = facts.join(" ");
  const canvas = $("drawing");
  drawn = drawNeighbourhood(canvas, answer);
  canvas.setAttribute("aria-label", `The neighbourhood of ${id}: ${count(answer.neighbours.length, "neighbour")} drawn; ` +
    "the list below names them.");
  $("cap").textContent = answer.neighbourTotal <= answer.neighbours.length
    ? `All ${count(answer.neighbourTotal, "neighbour")} drawn.`
    : `Drawn: ${english.format(answer.neighbours.length)} of ${count(answer.neighbourTotal, "neighbour")}; ` +
      `the drawing shows at most ${answer.cap}, taken in turn from each kind of edge. The tables list them all.`;
  $("drawn").replaceChildren(...drawn.nodes.map((n) => {
    const item = element("li");
    item.dataset.id = n.id;
    item.dataset.x = n.x.toFixed(1);
    item.dataset.y = n.y.toFixed(1);
    item.dataset.r = n.r.toFixed(1);
    item.append(idLink(n.id), " ", element("span", n.record?.label ?? ""), " ", element("span", `(${n.role})`, "where"));
    return item;
  }));
  // The edges as drawn, with where each weight's label and head went (for the tests too).
  const shown = drawn.edges.filter((edge) => edge.box).length;
  const weighted = drawn.edges.filter((edge) => edge.weight !== undefined).length;
  $("labels-note").textContent = shown < weighted
    ? `${english.format(weighted - shown)} of ${count(weighted, "weight")} left out where their labels would ` +
      "overlap; point at an edge for its weight."
    : "";
  $("drawn-edges").replaceChildren(...drawn.edges.map((edge) => {
    const item = element("li", edgeTitle(edge));
    Object.assign(item.dataset, { kind: edge.kind, hx: edge.head.x.toFixed(1), hy: edge.head.y.toFixed(1) });
    if (edge.box) {
      Object.assign(item.dataset, { label: edge.label, x: edge.box.x.toFixed(2), y: edge.box.y.toFixed(2),
        w: edge.box.w.toFixed(2), h: edge.box.h.toFixed(2), angle: edge.box.angle.toFixed(4) });
    }
    return item;
  }));
  const hub = drawn.hubLabel;
  canvas.dataset.hubLabel = hub ? [hub.x - hub.w / 2, hub.y - hub.h / 2, hub.w, hub.h].map((v) => v.toFixed(1)).join(" ") : "";
  panel.dataset.state = "shown";
}

// "a0a1… → b0b1…: weight 0.123456789", "… → …: deleted", with labels where records give them.
function edgeTitle(edge) {
  const name = (n) => n.record?.label || n.id;
  const centre = drawn.nodes[0];
  const ends = edge.outward ? [centre, edge.other] : [edge.other, centre];
  return `${name(ends[0])} → ${name(ends[1])}: ${edge.weight === undefined ? "deleted" : `weight ${edge.weight}`}`;
}

// The drawing's own units under a pointer event.
function pointAt(event) {
  const box = event.currentTarget.getBoundingClientRect();
  const scale = drawn.width / box.width;
  return [(event.clientX - box.left) * scale, (event.clientY - box.top) * scale];
}

$("drawing").addEventListener("click", (event) => {
  if (!drawn) return;
  const hit = nodeAt(drawn, ...pointAt(event));
  if (hit) location.hash = `node=${hit.id}`;
});

// Hovering names a node, or an edge with its whole weight, whether or not its label shows.
$("drawing").addEventListener("mousemove", (event) => {
  if (!drawn) return;
  const [x, y] = pointAt(event);
  const node = nodeAt(drawn, x, y);
  const edge = node ? null : edgeAt(drawn, x, y);
  event.currentTarget.title = node ? (node.record?.label ? `${node.record.label} (${node.id})` : node.id)
    : edge ? edgeTitle(edge) : "";
});

// ---- where documents come from -------------------------------------------------------------------

const picker = $("file");
picker.addEventListener("change", () => {
  const file = picker.files[0];
  // Cleared at once, so that choosing the same file again (changed on disk or not) loads it again.
  picker.value = "";
  if (file) load({ file }, file.name);
});

const given = new URLSearchParams(location.search).get("document");
if (location.protocol !== "file:") {
  setState("ready");
  if (given) load({ url: new URL(given, location.href).href }, given.split("/").pop());
}
