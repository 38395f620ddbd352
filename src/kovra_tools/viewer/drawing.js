// A node's neighbourhood on a canvas: the node in the middle, those it points at on the
// right and those pointing at it on the left, arrows for the edges gained (with their
// weights) and dashed ones for the edges recorded deleted. Arrows into the middle carry
// their heads halfway along, so that a hub's many incoming heads do not pile up on it;
// its label sits below it, clear of every arrow's head. A weight's label lies along its
// edge and is left out where it would cover another label or a node; every edge's
// weight shows on hover (`edgeAt`). Nodes are drawn last, so that each node's centre
// shows its own colour.

const WIDTH = 800;
const HEIGHT = 520;
const MARGIN_X = 150; // room for labels at the sides
const MARGIN_Y = 40;
const GAINED_OUT = "#333";
const GAINED_IN = "#1565c0";
const DELETED = "#c62828";
// A record with no colour component, and an id with no record.
const PLAIN_FILL = "#b8c0cc";
const NO_RECORD_FILL = "#ffffff";
// Neighbours fill this many radians either side of the horizontal, leaving the top to
// a loop and the bottom to the middle node's label.
const SPREAD = (80 / 180) * Math.PI;
// Where along an edge, from the middle node out, its weight's label may go, in the
// order tried: out where the edges fan apart.
const LABEL_AT = [0.7, 0.56, 0.84];
const WEIGHT_FONT = "11px monospace";
const LABEL_HEIGHT = 13;
// How far an arrowhead reaches from its point, for labels to keep clear of it.
const HEAD_REACH = 7;
// Pixels from an edge within which the pointer counts as over it.
const HOVER_DISTANCE = 5;

// Which side a neighbour sits on, by the first kind of edge that joins it.
const OUT_KINDS = ["gained out", "deleted out"];
const IN_KINDS = ["gained in", "deleted in"];

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

// A weight's text shortened to at most four significant digits for its label ("0.1235",
// "1.235e7"); the full text shows on hover and in the tables.
export function shortNumber(text) {
  const value = Number(text);
  if (!Number.isFinite(value)) return text;
  const [digits, exponent] = value.toPrecision(4).split("e");
  const trimmed = digits.includes(".") ? digits.replace(/\.?0+$/, "") : digits;
  return exponent === undefined ? trimmed : `${trimmed}e${Number(exponent)}`;
}

// Draws `answer` (the worker's neighbourhood of a node) and returns where each node and
// edge went, for clicks, hovering and the lists beside the drawing.
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
  const around = new Array(answer.neighbours.length);
  for (const [kinds, side] of [[OUT_KINDS, 1], [IN_KINDS, -1]]) {
    const here = answer.neighbours.map((_, i) => i).filter((i) => kinds.includes(firstKind.get(i)))
      .sort((a, b) => kinds.indexOf(firstKind.get(a)) - kinds.indexOf(firstKind.get(b)) || a - b);
    here.forEach((i, k) => {
      // Top to bottom down the side's half of the ellipse.
      const angle = -SPREAD + (2 * SPREAD * (k + 0.5)) / here.length;
      around[i] = place(answer.neighbours[i], cx + side * (cx - MARGIN_X) * Math.cos(angle),
        cy + (cy - MARGIN_Y) * Math.sin(angle), firstKind.get(i));
    });
  }
  const nodes = [centre, ...around];

  const edges = answer.edges.map((edge) => geometry(edge, centre, edge.neighbour < 0 ? centre : around[edge.neighbour]));
  for (const edge of edges) stroke(g, edge);

  // What a weight's label must keep clear of: the nodes, the arrowheads and every label
  // placed before it.
  const taken = [...nodes.map((n) => ({ circle: n })), ...edges.map((e) => ({ circle: { ...e.head, r: HEAD_REACH } }))];
  const hubLabel = centre.record?.showLabel && centre.record.label ? labelBox(g, centre) : null;
  if (hubLabel) taken.push({ box: hubLabel });
  const nodeLabels = around.filter((n) => n.record?.showLabel && n.record.label).map((n) => [n, labelBox(g, n)]);
  for (const [, box] of nodeLabels) taken.push({ box });
  g.font = WEIGHT_FONT;
  for (const edge of edges) {
    if (edge.weight === undefined) continue;
    edge.label = shortNumber(edge.weight);
    const width = g.measureText(edge.label).width + 6;
    for (const t of edge.loop ? [null] : LABEL_AT) {
      const box = edge.loop
        ? { x: edge.x1, y: edge.y1 - 30, angle: 0, w: width, h: LABEL_HEIGHT }
        : { x: edge.x1 + (edge.x2 - edge.x1) * t, y: edge.y1 + (edge.y2 - edge.y1) * t, angle: upright(edge.angle), w: width, h: LABEL_HEIGHT };
      if (taken.every((other) => !collides(box, other))) {
        edge.box = box;
        taken.push({ box });
        break;
      }
    }
    if (edge.box) weightLabel(g, edge.label, edge.box);
  }
  for (const [n, box] of nodeLabels) nodeLabel(g, n, box);
  for (const n of nodes) disc(g, n);
  if (hubLabel) nodeLabel(g, centre, hubLabel, true);
  return { width: WIDTH, height: HEIGHT, nodes, edges, hubLabel };
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

// The edge under (x, y), if any: the nearest within HOVER_DISTANCE of its line.
export function edgeAt(drawn, x, y) {
  let best = null, bestDistance = HOVER_DISTANCE;
  for (const edge of drawn.edges) {
    const d = edge.loop ? Math.abs(Math.hypot(x - edge.x1, y - (edge.y1 - 9)) - 9) : segmentDistance(edge, x, y);
    if (d <= bestDistance) [best, bestDistance] = [edge, d];
  }
  return best;
}

function segmentDistance({ x1, y1, x2, y2 }, x, y) {
  const dx = x2 - x1, dy = y2 - y1;
  const t = Math.max(0, Math.min(1, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy || 1)));
  return Math.hypot(x - (x1 + t * dx), y - (y1 + t * dy));
}

// Where an edge runs: from the middle node out to its neighbour's rim (x1, y1 to x2, y2,
// whichever way it points), and where its head goes.
function geometry(edge, centre, other) {
  const gained = edge.weight !== undefined;
  const colour = !gained ? DELETED : edge.outward ? GAINED_OUT : GAINED_IN;
  if (other === centre) {
    // An edge from the node to itself: a loop above it, its head where it comes back.
    const x = centre.x, y = centre.y - centre.r;
    return { ...edge, other, loop: true, colour, x1: x, y1: y, x2: x, y2: y, head: { x: x + 6, y: y - 2, angle: Math.PI / 2 } };
  }
  const dx = other.x - centre.x, dy = other.y - centre.y, length = Math.hypot(dx, dy);
  const ux = dx / length, uy = dy / length;
  // The two directions between one pair run side by side rather than on top.
  const side = edge.outward ? 3 : -3;
  const ox = -uy * side, oy = ux * side;
  const x1 = centre.x + ux * (centre.r + 2) + ox, y1 = centre.y + uy * (centre.r + 2) + oy;
  const x2 = other.x - ux * (other.r + 2) + ox, y2 = other.y - uy * (other.r + 2) + oy;
  const head = edge.outward
    ? { x: x2, y: y2, angle: Math.atan2(uy, ux) }
    : { x: (x1 + x2) / 2, y: (y1 + y2) / 2, angle: Math.atan2(-uy, -ux) };
  return { ...edge, other, loop: false, colour, x1, y1, x2, y2, angle: Math.atan2(uy, ux), head };
}

function stroke(g, edge) {
  g.strokeStyle = g.fillStyle = edge.colour;
  g.lineWidth = 1.5;
  g.setLineDash(edge.weight === undefined ? [6, 4] : []);
  g.beginPath();
  if (edge.loop) g.arc(edge.x1, edge.y1 - 9, 9, 0.75 * Math.PI, 0.25 * Math.PI);
  else {
    g.moveTo(edge.x1, edge.y1);
    g.lineTo(edge.x2, edge.y2);
  }
  g.stroke();
  g.setLineDash([]);
  const { x, y, angle } = edge.head;
  const ux = Math.cos(angle), uy = Math.sin(angle);
  // Halfway heads are centred on their point; heads at a rim end there.
  const back = edge.outward || edge.loop ? 0 : -4.5;
  const tx = x - ux * back, ty = y - uy * back;
  g.beginPath();
  g.moveTo(tx, ty);
  g.lineTo(tx - ux * 9 - uy * 4, ty - uy * 9 + ux * 4);
  g.lineTo(tx - ux * 9 + uy * 4, ty - uy * 9 - ux * 4);
  g.closePath();
  g.fill();
}

// An angle turned so that text along it reads left to right.
function upright(angle) {
  if (angle > Math.PI / 2) return angle - Math.PI;
  if (angle < -Math.PI / 2) return angle + Math.PI;
  return angle;
}

// Boxes are centred at (x, y), w by h, turned by `angle`; `collides` tells a box from
// another box (separating axes) or from a node's disc.
function collides(box, other) {
  if (other.circle) {
    const { x, y, r } = other.circle;
    const c = Math.cos(box.angle), s = Math.sin(box.angle);
    const lx = (x - box.x) * c + (y - box.y) * s, ly = -(x - box.x) * s + (y - box.y) * c;
    const nx = Math.max(-box.w / 2, Math.min(box.w / 2, lx)), ny = Math.max(-box.h / 2, Math.min(box.h / 2, ly));
    return Math.hypot(lx - nx, ly - ny) < r + 1;
  }
  return boxesOverlap(box, other.box);
}

export function boxesOverlap(a, b) {
  for (const angle of [a.angle, a.angle + Math.PI / 2, b.angle, b.angle + Math.PI / 2]) {
    const ux = Math.cos(angle), uy = Math.sin(angle);
    const [minA, maxA] = project(a, ux, uy), [minB, maxB] = project(b, ux, uy);
    if (maxA <= minB || maxB <= minA) return false;
  }
  return true;
}

function project(box, ux, uy) {
  const c = Math.cos(box.angle), s = Math.sin(box.angle);
  const centre = box.x * ux + box.y * uy;
  const reach = Math.abs((box.w / 2) * (c * ux + s * uy)) + Math.abs((box.h / 2) * (-s * ux + c * uy));
  return [centre - reach, centre + reach];
}

// Where a node's label goes: beside a neighbour, away from the middle; below the middle node.
function labelBox(g, n) {
  g.font = n.role === "chosen" ? "bold 12px system-ui, sans-serif" : "12px system-ui, sans-serif";
  const text = labelText(n);
  const w = g.measureText(text).width + 6;
  if (n.role === "chosen") return { x: n.x, y: n.y + n.r + 12, angle: 0, w, h: 16, text };
  const onLeft = n.x < WIDTH / 2 - 1;
  return { x: n.x + (onLeft ? -1 : 1) * (n.r + 3 + w / 2), y: n.y, angle: 0, w, h: 15, text };
}

function labelText(n) {
  return n.record.label.length > 20 ? `${n.record.label.slice(0, 19)}…` : n.record.label;
}

function nodeLabel(g, n, box, framed = false) {
  g.font = n.role === "chosen" ? "bold 12px system-ui, sans-serif" : "12px system-ui, sans-serif";
  g.textAlign = "center";
  g.textBaseline = "middle";
  g.setLineDash([]);
  if (framed) {
    g.fillStyle = "#fff";
    g.fillRect(box.x - box.w / 2, box.y - box.h / 2, box.w, box.h);
    g.strokeStyle = "#888";
    g.lineWidth = 1;
    g.strokeRect(box.x - box.w / 2, box.y - box.h / 2, box.w, box.h);
  } else {
    g.lineWidth = 3;
    g.strokeStyle = "#fff";
    g.strokeText(box.text, box.x, box.y);
  }
  g.fillStyle = "#000";
  g.fillText(box.text, box.x, box.y);
}

function weightLabel(g, text, box) {
  g.save();
  g.translate(box.x, box.y);
  g.rotate(box.angle);
  g.font = WEIGHT_FONT;
  g.textAlign = "center";
  g.textBaseline = "middle";
  g.fillStyle = "rgba(255, 255, 255, 0.9)";
  g.fillRect(-box.w / 2, -box.h / 2, box.w, box.h);
  g.fillStyle = "#000";
  g.fillText(text, 0, 0);
  g.restore();
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
