// Headless Chromium driven over its debugging pipe (file descriptors 3 and 4, one JSON
// message per NUL-terminated chunk), for the viewer's page tests: no dependency, no
// port. One page per browser; `evaluate` runs an expression there and returns its value.
import { execFileSync, spawn } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

export function chromiumName() {
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

export async function launch(name, { width = 1100, height = 900 } = {}) {
  const profile = mkdtempSync(join(tmpdir(), "viewer-test-"));
  const child = spawn(name, [
    "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe", "--no-first-run",
    `--user-data-dir=${profile}`, `--window-size=${width},${height}`, "about:blank",
  ], { stdio: ["ignore", "ignore", "ignore", "pipe", "pipe"] });
  const browser = new Browser(child, profile);
  const { targetId } = await browser.send("Target.createTarget", { url: "about:blank" });
  const { sessionId } = await browser.send("Target.attachToTarget", { targetId, flatten: true });
  browser.session = sessionId;
  await browser.call("Page.enable");
  await browser.call("Runtime.enable");
  return browser;
}

class Browser {
  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.next = 0;
    this.waiting = new Map();
    this.listeners = [];
    let pending = "";
    child.stdio[4].setEncoding("utf8");
    child.stdio[4].on("data", (chunk) => {
      const parts = (pending + chunk).split("\0");
      pending = parts.pop();
      for (const part of parts) this.receive(JSON.parse(part));
    });
    child.on("exit", () => {
      for (const { reject } of this.waiting.values()) reject(new Error("chromium exited"));
      this.waiting.clear();
    });
  }

  receive(message) {
    if (message.id !== undefined) {
      const { resolve, reject } = this.waiting.get(message.id) ?? {};
      this.waiting.delete(message.id);
      if (message.error) reject?.(new Error(`${message.error.message} ${message.error.data ?? ""}`));
      else resolve?.(message.result);
    } else {
      for (const listener of this.listeners) listener(message);
    }
  }

  send(method, params = {}, sessionId) {
    const id = ++this.next;
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject });
      this.child.stdio[3].write(`${JSON.stringify({ id, method, params, sessionId })}\0`);
    });
  }

  // A command to the page.
  call(method, params) {
    return this.send(method, params, this.session);
  }

  async evaluate(expression) {
    const { result, exceptionDetails } = await this.call("Runtime.evaluate", {
      expression, awaitPromise: true, returnByValue: true,
    });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.exception?.description ?? exceptionDetails.text}`);
    return result.value;
  }

  // Opens `url` and waits for its load event.
  async open(url) {
    const loaded = new Promise((resolve) => {
      const listener = (message) => {
        if (message.method === "Page.loadEventFired" && message.sessionId === this.session) {
          this.listeners.splice(this.listeners.indexOf(listener), 1);
          resolve();
        }
      };
      this.listeners.push(listener);
    });
    await this.call("Page.navigate", { url });
    await loaded;
  }

  // Waits until `expression` is truthy in the page (checked every 50 ms) and returns it.
  async until(expression, { seconds = 120 } = {}) {
    const end = Date.now() + seconds * 1000;
    for (;;) {
      const value = await this.evaluate(expression);
      if (value) return value;
      if (Date.now() > end) throw new Error(`timed out waiting for ${expression}`);
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
  }

  async close() {
    try {
      await this.send("Browser.close");
    } catch {
      // already gone
    }
    if (this.child.exitCode === null) await new Promise((resolve) => this.child.once("exit", resolve));
    rmSync(this.profile, { recursive: true, force: true });
  }
}
