// A node's neighbourhood on a canvas: the node in the middle, its neighbours around it
// (those it points at on the right, those pointing at it on the left), arrows for the
// edges gained (with their weights) and dashed ones for the edges recorded deleted.
// Nodes are drawn last, so that each node's centre shows its own colour.

const WIDTH = 800;
const HEIGHT = 520;
const MARGIN_X = 150; // room for labels at the sides
const MARGIN_Y = 40;
const GAINED = "#333";
const DELETED = "#c62828";
// A record with no colour component, and an id with no record.
const PLAIN_FILL = "#b8c0cc";
const NO_RECORD_FILL = "#ffffff";

// Where a neighbour sits, by the first kind of edge that joins it: kinds pointing out
// sit on the right (angles around 0), kinds pointing in on the left.
const KIND_ORDER = ["deleted in", "gained out", "deleted out", "gained in"];

// The radius for a record's size: area grows with size; absent sizes get a middle one.
export function radiusOf(record) {
  const size = record?.size;
  if (size === undefined || Number.isNaN(size)) return 7;
  if (size === Infinity) return 20;
  return Math.min(20, Math.max(3, 3 + 3 * Math.sqrt(Math.max(0, size))));
}

// The fill of a node: its record's colour, absent components taken as 0.
export function fillOf(record) {
  if (!record) return NO_RECORD_FILL;
  const parts = [record.red, record.green, record.blue];
  if (parts.every((part) => part === undefined)) return PLAIN_FILL;
  const [r, g, b] = parts.map((part) => part ?? 0);
  return `rgb(${r}, ${g}, ${b})`;
}

// Draws `answer` (the worker's neighbourhood of a node) and returns where each node
// went, for clicks and for the list beside the drawing.
export function drawNeighbourhood(canvas, answer) {
  const ratio = window.devicePixelRatio || 1;
  canvas.width = WIDTH * ratio;
  canvas.height = HEIGHT * ratio;
  canvas.style.width = `${WIDTH}px`;
  const g = canvas.getContext("2d");
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.fillStyle = "#fff";
  g.fillRect(0, 0, WIDTH, HEIGHT);

  const cx = WIDTH / 2, cy = HEIGHT / 2;
  const centre = place(answer.centre, cx, cy, "chosen");
  const firstKind = new Map();
  for (const edge of answer.edges) if (!firstKind.has(edge.neighbour)) firstKind.set(edge.neighbour, edge.kind);
  const order = answer.neighbours.map((_, i) => i)
    .sort((a, b) => KIND_ORDER.indexOf(firstKind.get(a)) - KIND_ORDER.indexOf(firstKind.get(b)) || a - b);
  const rx = cx - MARGIN_X, ry = cy - MARGIN_Y;
  const around = new Array(answer.neighbours.length);
  order.forEach((i, k) => {
    // Evenly round the ellipse, starting below the right-hand side and going up.
    const angle = Math.PI / 2 - (2 * Math.PI * (k + 0.5)) / order.length;
    around[i] = place(answer.neighbours[i], cx + rx * Math.cos(angle), cy + ry * Math.sin(angle), firstKind.get(i));
  });

  for (const edge of answer.edges) {
    const other = edge.neighbour < 0 ? centre : around[edge.neighbour];
    const [from, to] = edge.outward ? [centre, other] : [other, centre];
    arrow(g, from, to, edge);
  }
  const nodes = [centre, ...around];
  for (const n of nodes) if (n.record?.showLabel && n.record.label) label(g, n);
  for (const n of nodes) disc(g, n);
  return { width: WIDTH, height: HEIGHT, nodes };
}

function place(node, x, y, role) {
  return { ...node, x, y, r: radiusOf(node.record), role };
}

// The node hit by a click at (x, y) in the drawing's own units, if any.
export function nodeAt(drawn, x, y) {
  for (let i = drawn.nodes.length - 1; i >= 0; i--) {
    const n = drawn.nodes[i];
    if (Math.hypot(n.x - x, n.y - y) <= n.r + 3) return n;
  }
  return null;
}

function disc(g, n) {
  g.beginPath();
  g.arc(n.x, n.y, n.r, 0, 2 * Math.PI);
  g.fillStyle = fillOf(n.record);
  g.fill();
  g.lineWidth = n.role === "chosen" ? 3 : 1;
  g.strokeStyle = n.role === "chosen" ? "#000" : "#555";
  g.setLineDash([]);
  g.stroke();
  if (n.deleted) {
    // A cross from edge to edge, leaving the centre's colour visible.
    const d = n.r * 0.7;
    g.strokeStyle = DELETED;
    g.lineWidth = 2;
    g.beginPath();
    for (const [sx, sy] of [[-1, -1], [1, -1], [1, 1], [-1, 1]]) {
      g.moveTo(n.x + sx * d, n.y + sy * d);
      g.lineTo(n.x + sx * d * 0.4, n.y + sy * d * 0.4);
    }
    g.stroke();
  }
}

function label(g, n) {
  g.font = "12px system-ui, sans-serif";
  const onLeft = n.x < WIDTH / 2 - 1;
  g.textAlign = onLeft ? "right" : "left";
  g.textBaseline = "middle";
  const x = n.x + (onLeft ? -1 : 1) * (n.r + 4);
  const text = n.record.label.length > 20 ? `${n.record.label.slice(0, 19)}…` : n.record.label;
  g.lineWidth = 3;
  g.strokeStyle = "#fff";
  g.setLineDash([]);
  g.strokeText(text, x, n.y);
  g.fillStyle = "#000";
  g.fillText(text, x, n.y);
}

function arrow(g, from, to, edge) {
  g.strokeStyle = g.fillStyle = edge.weight === undefined ? DELETED : GAINED;
  g.lineWidth = 1.5;
  if (from === to) {
    // An edge from the node to itself: a loop above it.
    g.setLineDash(edge.weight === undefined ? [5, 4] : []);
    g.beginPath();
    g.arc(from.x, from.y - from.r - 9, 9, 0.75 * Math.PI, 0.25 * Math.PI);
    g.stroke();
    if (edge.weight !== undefined) weightText(g, edge.weight, from.x, from.y - from.r - 24);
    return;
  }
  const dx = to.x - from.x, dy = to.y - from.y, length = Math.hypot(dx, dy);
  const ux = dx / length, uy = dy / length;
  // The two directions between one pair run side by side rather than on top.
  const side = edge.outward ? 3 : -3;
  const ox = -uy * side, oy = ux * side;
  const x1 = from.x + ux * from.r + ox, y1 = from.y + uy * from.r + oy;
  const x2 = to.x - ux * (to.r + 2) + ox, y2 = to.y - uy * (to.r + 2) + oy;
  g.setLineDash(edge.weight === undefined ? [6, 4] : []);
  g.beginPath();
  g.moveTo(x1, y1);
  g.lineTo(x2, y2);
  g.stroke();
  g.setLineDash([]);
  g.beginPath();
  g.moveTo(x2, y2);
  g.lineTo(x2 - ux * 9 - uy * 4, y2 - uy * 9 + ux * 4);
  g.lineTo(x2 - ux * 9 + uy * 4, y2 - uy * 9 - ux * 4);
  g.closePath();
  g.fill();
  // Nearer the neighbour than the crowded middle, whichever way the edge runs.
  const along = edge.outward ? 0.62 : 0.38;
  if (edge.weight !== undefined) weightText(g, edge.weight, x1 + (x2 - x1) * along, y1 + (y2 - y1) * along);
}

function weightText(g, text, x, y) {
  g.font = "11px monospace";
  g.textAlign = "center";
  g.textBaseline = "middle";
  const w = g.measureText(text).width + 4;
  g.fillStyle = "rgba(255, 255, 255, 0.85)";
  g.fillRect(x - w / 2, y - 7, w, 14);
  g.fillStyle = GAINED;
  g.fillText(text, x, y);
}
