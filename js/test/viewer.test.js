// examples/web/ in headless Chromium on a vector document: the text the page shows.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { test } from "node:test";

const page = new URL("../../examples/web/index.html", import.meta.url);

function chromium() {
  for (const name of ["chromium", "chromium-browser"]) {
    try {
      execFileSync("sh", ["-c", `command -v ${name}`], { stdio: "ignore" });
      return name;
    } catch {
      // not this one
    }
  }
  return null;
}

const browser = chromium();

test("the viewer shows a document's counts and sections", { skip: !browser && "no chromium" }, () => {
  // The page reads the document and its module over file: URLs, which Chromium
  // allows only when told; the virtual time budget lets the load finish first.
  const html = execFileSync(browser, [
    "--headless", "--no-sandbox", "--disable-gpu", "--allow-file-access-from-files",
    "--virtual-time-budget=10000", "--dump-dom",
    `${page.href}?document=../../tests/vectors/mixed.bin`,
  ], { encoding: "utf8", timeout: 60_000, stdio: ["ignore", "pipe", "ignore"] });
  const text = html.replace(/<[^>]*>/g, " ").replace(/\s+/g, " ");
  assert.match(text, /2 new or updated nodes, 1 deleted nodes, 2 edges in 2 groups, 2 deleted edges in 2 groups; num_nodes 3, num_edges 4; \d+ bytes/);
  assert.match(text, /New or updated nodes \(2\) id label url size colour show label a0a1a2a3-a4a5-a6a7-a8a9-aaabacadaeaf a /);
  assert.match(html, /<span class="swatch" style="background-color: rgb\(2, 0, 0\);"><\/span>#020000/);
  assert.match(text, /Deleted nodes \(1\) id b0b1b2b3-b4b5-b6b7-b8b9-babbbcbdbebf/);
  assert.match(text, / 3\.0 /);
});
