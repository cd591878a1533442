"use strict";
// The gateway's only way to the scales: the service's public API.
// - GET /api/scales gives every scale's state; it is asked once a second
//   (scales added or removed by a reload, scales going offline) and after
//   each Decode event of /api/live, at most one request at a time, so a
//   burst of decodes costs one request.
// - /api/live is followed only for those events; when it is lost it is
//   opened again, and the polling goes on meanwhile.
// - GET /api/scales/ID/stable waits for a settled weight.
// Every request is bounded in time and in the bytes taken.
const EventEmitter = require("node:events");
const http = require("node:http");
const https = require("node:https");
const crypto = require("node:crypto");
const fs = require("node:fs");
const tls = require("node:tls");
const WebSocket = require("ws");

const MAX_BODY_BYTES = 16 * 1024 * 1024;
const REQUEST_TIMEOUT_MS = 5000;
const POLL_MS = 1000;
// At most one refresh per this many ms: a scale decodes every 400 ms, so
// each decode is still seen, while the decodes of a hundred scales cost a
// few requests a second.
const MIN_GAP_MS = 150;
const RECONNECT_MS = 1000;
// Waits for a settled weight in flight at once, one per scale (callers of
// the same scale share it): with the refresh's connection they stay well
// below the service's default of 32 connections per client address.
const MAX_WAITS = 24;

// TLS towards a service with its own certificate: the certificates of
// tls_cert (the service's, then its chain) are trusted beside the public
// authorities, and a server showing exactly the service's certificate is
// accepted whatever name it carries (the gateway reaches it by address).
function tlsOptions(certFile) {
  const pem = fs.readFileSync(certFile, "utf8");
  const first = /-----BEGIN CERTIFICATE-----[^-]+-----END CERTIFICATE-----/.exec(pem);
  if (!first) throw new Error(`${certFile} holds no PEM certificate`);
  const pinned = new crypto.X509Certificate(first[0]).fingerprint256;
  return {
    ca: [pem, ...tls.rootCertificates],
    checkServerIdentity: (host, cert) => {
      if (cert && cert.fingerprint256 === pinned) return undefined;
      return tls.checkServerIdentity(host, cert);
    },
  };
}

class ServiceLink extends EventEmitter {
  constructor({ base, readToken, tlsCert, log }) {
    super();
    this.base = base;
    this.log = log || (() => {});
    this.headers = readToken ? { Authorization: `Bearer ${readToken}` } : {};
    this.secure = base.startsWith("https:");
    this.tls = tlsCert ? tlsOptions(tlsCert) : {};
    const Agent = this.secure ? https.Agent : http.Agent;
    // The refresh has a connection of its own, so that waits for settled
    // weights never hold it up.
    this.agent = new Agent({ keepAlive: true, maxSockets: 1, ...this.tls });
    this.waitAgent = new Agent({ keepAlive: false, maxSockets: MAX_WAITS, ...this.tls });
    this.waits = new Map(); // scale id -> the wait in flight
    this.inFlight = false;
    this.again = false;
    this.stopped = false;
    this.reachable = null; // unknown until the first answer
    this.socket = null;
    this.timers = new Set();
  }

  start() {
    this.refresh();
    this.pollTimer = setInterval(() => this.refresh(), POLL_MS);
    this.openLive();
  }

  stop() {
    this.stopped = true;
    clearInterval(this.pollTimer);
    clearTimeout(this.gapTimer);
    for (const t of this.timers) clearTimeout(t);
    if (this.socket) this.socket.terminate();
    this.agent.destroy();
    this.waitAgent.destroy();
  }

  later(fn, ms) {
    const t = setTimeout(() => {
      this.timers.delete(t);
      fn();
    }, ms);
    this.timers.add(t);
  }

  // One GET; resolves { status, body } with body parsed as JSON when it is.
  get(path, timeoutMs = REQUEST_TIMEOUT_MS, agent = this.agent) {
    return new Promise((resolve, reject) => {
      const lib = this.secure ? https : http;
      const req = lib.get(this.base + path, { agent, headers: this.headers, ...this.tls }, (res) => {
        const chunks = [];
        let size = 0;
        res.on("data", (c) => {
          size += c.length;
          if (size > MAX_BODY_BYTES) {
            req.destroy(new Error(`the answer to ${path} is over ${MAX_BODY_BYTES} bytes`));
            return;
          }
          chunks.push(c);
        });
        res.on("end", () => {
          const text = Buffer.concat(chunks).toString("utf8");
          let body = null;
          try {
            body = JSON.parse(text);
          } catch {
            body = null;
          }
          resolve({ status: res.statusCode, body });
        });
        res.on("error", reject);
      });
      req.setTimeout(timeoutMs, () => req.destroy(new Error(`no answer to ${path} within ${timeoutMs} ms`)));
      req.on("error", reject);
    });
  }

  refresh() {
    if (this.stopped) return;
    if (this.inFlight || this.gapTimer) {
      this.again = true;
      return;
    }
    this.inFlight = true;
    this.lastStart = Date.now();
    this.get("/api/scales")
      .then(({ status, body }) => {
        if (status !== 200 || !Array.isArray(body)) throw new Error(`GET /api/scales answered ${status}`);
        this.setReachable(true);
        this.emit("scales", body.filter((s) => s && typeof s.id === "string"));
      })
      .catch((e) => this.setReachable(false, e.message))
      .finally(() => {
        this.inFlight = false;
        if (!this.again || this.stopped) return;
        this.again = false;
        const wait = Math.max(0, this.lastStart + MIN_GAP_MS - Date.now());
        this.gapTimer = setTimeout(() => {
          this.gapTimer = null;
          this.refresh();
        }, wait);
      });
  }

  setReachable(yes, why) {
    if (this.reachable === yes) return;
    this.reachable = yes;
    if (yes) {
      this.log(`the service at ${this.base} answers`);
      this.emit("back");
    } else {
      this.log(`the service at ${this.base} cannot be read: ${why}`);
      this.emit("away", why);
    }
  }

  openLive() {
    if (this.stopped) return;
    const url = this.base.replace(/^http/, "ws") + "/api/live";
    const socket = new WebSocket(url, { headers: this.headers, maxPayload: 1 << 20, handshakeTimeout: REQUEST_TIMEOUT_MS, ...this.tls });
    this.socket = socket;
    socket.on("message", (data, isBinary) => {
      if (isBinary) return;
      let message;
      try {
        message = JSON.parse(data.toString("utf8"));
      } catch {
        return;
      }
      // The service sends its events batched, an array per interval; a
      // single object is taken as a batch of one.
      const events = Array.isArray(message) ? message : [message];
      let changed = false;
      for (const event of events) {
        if (!event || typeof event !== "object") continue;
        if (event.event === "Decode" || event.event === "Port") changed = true;
        if (event.event === "StabVes") this.emit("settled", event);
      }
      if (changed) this.refresh();
    });
    socket.on("error", () => {});
    socket.on("close", () => {
      if (this.socket === socket) this.socket = null;
      if (!this.stopped) {
        this.refresh();
        this.later(() => this.openLive(), RECONNECT_MS);
      }
    });
  }

  // The next settled weight of a scale: { weight, unit, at, seq } or
  // { timeout: true }; throws when the service cannot say. Callers asking
  // for the same scale at once share one request.
  stable(id, timeoutMs) {
    const shared = this.waits.get(id);
    if (shared) return shared;
    if (this.waits.size >= MAX_WAITS) {
      const e = new Error(`${MAX_WAITS} scales are waiting for a settled weight already`);
      e.tooMany = true;
      return Promise.reject(e);
    }
    const wait = this.askStable(id, timeoutMs).finally(() => this.waits.delete(id));
    this.waits.set(id, wait);
    return wait;
  }

  async askStable(id, timeoutMs) {
    const { status, body } = await this.get(
      `/api/scales/${encodeURIComponent(id)}/stable?timeout_ms=${timeoutMs}`,
      timeoutMs + REQUEST_TIMEOUT_MS,
      this.waitAgent,
    );
    if (status === 200 && body && typeof body.weight === "number") return body;
    if (status === 504) return { timeout: true };
    throw new Error(`GET /api/scales/${id}/stable answered ${status}${body && typeof body.error === "string" ? ": " + body.error : ""}`);
  }
}

module.exports = { ServiceLink };
