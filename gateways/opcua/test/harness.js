"use strict";
// The real parts for the gateway's tests: simulated terminals (orva-sim on
// pseudo-terminals), orva-service on a file, and orva-opcua on the same
// file, all on loopback in a temporary folder and stopped at the end.
const { spawn } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const readline = require("node:readline");

const TOOLS = process.env.ORVA_TOOLS_DIR || path.resolve(__dirname, "../../../build/tools");
const GATEWAY = path.resolve(__dirname, "../bin/orva-opcua.js");

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.listen(0, "127.0.0.1", () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
    s.on("error", reject);
  });
}

// Resolves with the first line of a process's standard output that matches,
// or rejects when it ends first or says nothing within `ms`.
function firstLine(child, pattern, ms, what) {
  return new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: child.stdout });
    const timer = setTimeout(() => reject(new Error(`${what} said nothing within ${ms} ms`)), ms);
    lines.on("line", (line) => {
      const m = pattern.exec(line);
      if (m) {
        clearTimeout(timer);
        resolve(m);
      }
    });
    child.once("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`${what} ended (${code}) before it was ready`));
    });
  });
}

async function waitFor(predicate, ms, what, step = 50) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > end) throw new Error(`${what}: not within ${ms} ms`);
    await new Promise((r) => setTimeout(r, step));
  }
}

function stopProcess(child, ms = 5000) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => child.kill("SIGKILL"), ms);
    child.once("exit", () => {
      clearTimeout(timer);
      resolve();
    });
    child.kill("SIGTERM");
  });
}

class Workspace {
  constructor() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), "orva-opcua-test-"));
    this.children = [];
  }

  // orva-sim behind the link `name`; commands go to its standard input.
  async simulator(name, ...args) {
    const link = path.join(this.dir, name);
    const child = spawn(path.join(TOOLS, "orva-sim"), ["--link", link, "--script", "-", "--delay", "20", ...args], {
      stdio: ["pipe", "pipe", "ignore"],
    });
    this.children.push(child);
    await firstLine(child, /\S/, 10000, "orva-sim");
    return {
      link,
      command: (...lines) => child.stdin.write(lines.map((l) => l + "\n").join("")),
    };
  }

  write(name, text) {
    const file = path.join(this.dir, name);
    fs.writeFileSync(file, text);
    return file;
  }

  async service(config) {
    const log = fs.openSync(path.join(this.dir, "service.log"), "a");
    const child = spawn(path.join(TOOLS, "orva-service"), ["--config", config], { stdio: ["ignore", "pipe", log] });
    fs.closeSync(log);
    this.children.push(child);
    await firstLine(child, /^listening on https?:\/\/127\.0\.0\.1:(\d+)\//, 15000, "orva-service");
    return {
      child,
      reload: () => child.kill("SIGHUP"),
      stop: () => stopProcess(child),
    };
  }

  // The gateway; resolves once it listens, with its endpoint URL.
  async gateway(config, env = {}) {
    const logFile = path.join(this.dir, "gateway.log");
    const log = fs.openSync(logFile, "a");
    const child = spawn(process.execPath, [GATEWAY, "--config", config], {
      stdio: ["ignore", "pipe", log],
      env: { ...process.env, ...env },
    });
    fs.closeSync(log);
    this.children.push(child);
    // Loading the companion models takes seconds on a busy machine.
    const m = await firstLine(child, /^listening on (opc\.tcp:\/\/\S+)/, 90000, "orva-opcua");
    return {
      child,
      url: m[1],
      log: () => fs.readFileSync(logFile, "utf8"),
      reload: () => child.kill("SIGHUP"),
      stop: () => stopProcess(child),
    };
  }

  async close() {
    for (const child of this.children.reverse()) await stopProcess(child);
    // ORVA_TEST_KEEP=1 keeps the folder (logs, files) for a look after a failure.
    if (process.env.ORVA_TEST_KEEP) process.stderr.write(`kept ${this.dir}\n`);
    else fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

module.exports = { Workspace, freePort, waitFor, stopProcess, TOOLS, GATEWAY };
