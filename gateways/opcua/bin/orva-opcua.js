#!/usr/bin/env node
"use strict";
// orva-opcua: the weight service's scales as an OPC UA server (the Scales
// companion model), reading the service's own configuration file.
const path = require("node:path");
const { version } = require("../package.json");

// Standard output carries only the "listening on" line: the library's own
// notes go to standard error with the log.
console.log = console.error;
console.info = console.error;

const USAGE = `usage: orva-opcua --config FILE     serve the scales of the service configured in FILE
       orva-opcua --hash-password NAME   read a password on standard input, print a users_file line
       orva-opcua --version | --help

FILE is the service's configuration file: [opcua] (listen, allow_from, users_file,
anonymous, state_dir, max_clients, stable_timeout_ms) and [service] (listen,
read_token, tls_cert) are read from it. SIGHUP reads the certificate trust lists
again; SIGINT or SIGTERM ends it.`;

// Log text never carries control characters: a peer's words cannot forge a line.
function log(text) {
  const clean = String(text).replace(/[\x00-\x1f\x7f\\]/g, (c) => "\\x" + c.charCodeAt(0).toString(16).padStart(2, "0"));
  process.stderr.write(`${new Date().toISOString()} ${clean}\n`);
}

function readStdin() {
  return new Promise((resolve) => {
    let text = "";
    process.stdin.setEncoding("utf8");
    process.stdin.on("data", (c) => (text += c));
    process.stdin.on("end", () => resolve(text));
  });
}

async function main(argv) {
  if (argv[0] === "--version") {
    process.stdout.write(`orva-opcua ${version}\n`);
    return 0;
  }
  if (argv[0] === "--help" || argv[0] === "-h") {
    process.stdout.write(USAGE + "\n");
    return 0;
  }
  if (argv[0] === "--hash-password" && argv.length === 2) {
    const { hashLine } = require("../lib/users");
    const password = (await readStdin()).replace(/\r?\n$/, "");
    if (password === "") {
      process.stderr.write("orva-opcua: an empty password is refused\n");
      return 2;
    }
    try {
      process.stdout.write(hashLine(argv[1], password) + "\n");
    } catch (e) {
      process.stderr.write(`orva-opcua: ${e.message}\n`);
      return 2;
    }
    return 0;
  }
  if (argv[0] !== "--config" || argv.length !== 2) {
    process.stderr.write(USAGE + "\n");
    return 2;
  }
  const { readSettings } = require("../lib/settings");
  let settings;
  try {
    settings = readSettings(path.resolve(argv[1]));
  } catch (e) {
    process.stderr.write(`orva-opcua: ${e.message}\n`);
    return 1;
  }
  const { startGateway } = require("../lib/gateway");
  let gateway;
  try {
    gateway = await startGateway(settings, { version, log });
  } catch (e) {
    process.stderr.write(`orva-opcua: cannot start: ${e.message}\n`);
    return 1;
  }
  process.stdout.write(`listening on ${gateway.url}\n`);
  process.on("SIGHUP", () => {
    gateway.reloadTrust().catch((e) => log(`the trust lists could not be read again: ${e.message}`));
  });
  await new Promise((resolve) => {
    process.once("SIGINT", resolve);
    process.once("SIGTERM", resolve);
  });
  log("stopping");
  await gateway.stop();
  return 0;
}

main(process.argv.slice(2)).then(
  (code) => process.exit(code),
  (e) => {
    process.stderr.write(`orva-opcua: ${e && e.stack ? e.stack : e}\n`);
    process.exit(1);
  },
);
