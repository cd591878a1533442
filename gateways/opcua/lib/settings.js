"use strict";
// The gateway's settings: its own [opcua] section and what it needs of the
// service's [service] section, both from the service's configuration file.
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const net = require("node:net");
const { ConfigError, parseKeyedText } = require("./keyed-file");
const { parseAllowFrom, isLoopbackHost, LOOPBACK } = require("./address-filter");

const OPCUA_KEYS = ["listen", "allow_from", "users_file", "anonymous", "state_dir", "max_clients", "stable_timeout_ms"];

// "host:port" or "[v6]:port" as { host, port }; throws why not.
function parseHostPort(text, what) {
  const m = /^\[([^\]]+)\]:(\d+)$/.exec(text) || /^([^:[\]]+):(\d+)$/.exec(text);
  if (!m) throw new Error(`${what}: expected host:port (IPv6 as [::1]:4840), not "${text}"`);
  const port = Number(m[2]);
  if (m[2].length > 5 || port > 65535) throw new Error(`${what}: the port must be a number 0..65535`);
  if (m[0].startsWith("[") && net.isIP(m[1]) !== 6) throw new Error(`${what}: "${m[1]}" is not an IPv6 address`);
  return { host: m[1], port };
}

function defaultStateDir(env) {
  if (env.STATE_DIRECTORY) return env.STATE_DIRECTORY.split(":")[0];
  const base = env.XDG_STATE_HOME || path.join(os.homedir(), ".local", "state");
  return path.join(base, "orva-opcua");
}

function wholeNumber(text, low, high, what) {
  if (!/^\d{1,9}$/.test(text) || Number(text) < low || Number(text) > high)
    throw new Error(`${what} must be a whole number ${low}..${high}`);
  return Number(text);
}

// Settings from the file's text; throws ConfigError with file:line and why.
function settingsFromText(text, file, env = process.env) {
  const sections = parseKeyedText(text, file);
  const settings = {
    file,
    listen: { host: "127.0.0.1", port: 4840 },
    allowFrom: LOOPBACK,
    allowFromText: "127.0.0.0/8, ::1",
    usersFile: null,
    anonymous: true,
    stateDir: defaultStateDir(env),
    maxClients: 32,
    stableTimeoutMs: 10000,
    service: { host: "127.0.0.1", port: 8650, readToken: null, tlsCert: null },
  };
  const opcua = sections.get("opcua");
  if (opcua) {
    for (const [key, { value, line }] of opcua.keys) {
      const fail = (reason) => {
        throw new ConfigError(file, line, reason);
      };
      try {
        if (key === "listen") settings.listen = parseHostPort(value, "listen");
        else if (key === "allow_from") {
          settings.allowFrom = parseAllowFrom(value);
          settings.allowFromText = value;
        } else if (key === "users_file") {
          if (!path.isAbsolute(value) && value !== "") {
            settings.usersFile = path.resolve(path.dirname(file), value);
          } else settings.usersFile = value || null;
        } else if (key === "anonymous") {
          if (value !== "yes" && value !== "no") fail('anonymous must be "yes" or "no"');
          settings.anonymous = value === "yes";
        } else if (key === "state_dir") {
          if (!path.isAbsolute(value)) fail("state_dir must be an absolute path");
          settings.stateDir = value;
        } else if (key === "max_clients") settings.maxClients = wholeNumber(value, 1, 1000, "max_clients");
        else if (key === "stable_timeout_ms")
          settings.stableTimeoutMs = wholeNumber(value, 100, 60000, "stable_timeout_ms");
        else fail(`unknown key "${key}" in [opcua] (${OPCUA_KEYS.join(", ")})`);
      } catch (e) {
        if (e instanceof ConfigError) throw e;
        fail(e.message);
      }
    }
  }
  if (!settings.anonymous && !settings.usersFile)
    throw new ConfigError(file, opcua.line, "anonymous = no needs a users_file: nobody could log in");
  const service = sections.get("service");
  if (service) {
    // The service checks its own keys; the gateway takes what it needs.
    const take = (key, read) => {
      const entry = service.keys.get(key);
      if (!entry) return;
      try {
        read(entry.value);
      } catch (e) {
        throw new ConfigError(file, entry.line, e.message);
      }
    };
    take("listen", (v) => {
      const { host, port } = parseHostPort(v, "listen");
      if (port === 0) throw new Error("listen: the gateway cannot reach a service on port 0 (a port picked at start)");
      // A service on every address is reached on loopback.
      const reach = host === "0.0.0.0" ? "127.0.0.1" : host === "::" ? "::1" : host;
      settings.service.host = reach;
      settings.service.port = port;
    });
    take("read_token", (v) => {
      settings.service.readToken = v || null;
    });
    take("tls_cert", (v) => {
      if (v === "") return;
      settings.service.tlsCert = path.isAbsolute(v) ? v : path.resolve(path.dirname(file), v);
    });
  }
  settings.loopbackOnly = isLoopbackHost(settings.listen.host);
  return settings;
}

function readSettings(file, env = process.env) {
  let text;
  try {
    text = fs.readFileSync(file, "utf8");
  } catch (e) {
    throw new ConfigError(file, 0, `cannot read it: ${e.message}`);
  }
  return settingsFromText(text, file, env);
}

// The service's base address as a URL text.
function serviceBase(service) {
  const host = net.isIP(service.host) === 6 ? `[${service.host}]` : service.host;
  return `${service.tlsCert ? "https" : "http"}://${host}:${service.port}`;
}

module.exports = { readSettings, settingsFromText, serviceBase, parseHostPort };
