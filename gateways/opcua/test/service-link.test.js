"use strict";
// The gateway's link to the service against a stand-in service: the bearer
// token, TLS with the service's own certificate, and waits for settled
// weights that must never hold up the refresh of the scales.
const { describe, it, before, after } = require("node:test");
const assert = require("node:assert/strict");
const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const http = require("node:http");
const https = require("node:https");
const os = require("node:os");
const path = require("node:path");
const { ServiceLink } = require("../lib/service-link");

// A stand-in for the service: /api/scales answers at once, /stable waits
// until released; every request is recorded.
function standIn(server) {
  const seen = [];
  const parked = [];
  server.on("request", (req, res) => {
    seen.push({ url: req.url, auth: req.headers.authorization });
    if (req.url === "/api/scales") {
      res.setHeader("Content-Type", "application/json");
      res.end(JSON.stringify([{ id: "a", weight: 1.5, online: true }]));
    } else if (req.url.includes("/stable")) {
      parked.push(res);
    } else {
      res.statusCode = 404;
      res.end("{}");
    }
  });
  return new Promise((resolve) =>
    server.listen(0, "127.0.0.1", () => resolve({ server, seen, parked, port: server.address().port })),
  );
}

function refreshed(link) {
  return new Promise((resolve, reject) => {
    link.once("scales", resolve);
    link.once("away", (why) => reject(new Error(why)));
    link.refresh();
  });
}

describe("the link to the service", () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "orva-opcua-link-"));
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  it("sends the read token, and waits for settled weights beside the refresh, shared per scale and bounded", async () => {
    const s = await standIn(http.createServer());
    const link = new ServiceLink({ base: `http://127.0.0.1:${s.port}`, readToken: "r3ad" });
    try {
      assert.deepEqual((await refreshed(link)).map((x) => x.id), ["a"]);
      assert.equal(s.seen[0].auth, "Bearer r3ad");
      // Two callers of one scale share one request; other scales each get one, up to the bound.
      const first = link.stable("a", 5000);
      const again = link.stable("a", 5000);
      assert.equal(first, again);
      const others = [];
      for (let i = 1; i < 24; ++i) others.push(link.stable(`s${i}`, 5000));
      await assert.rejects(link.stable("one-too-many", 5000), (e) => e.tooMany === true);
      // All parked at the service, and the scales are still refreshed.
      const end = Date.now() + 10000;
      while (s.parked.length < 24 && Date.now() < end) await new Promise((r) => setTimeout(r, 20));
      assert.equal(s.parked.length, 24);
      await refreshed(link);
      // The service answers: each caller gets the weighing, a timeout is a timeout.
      const body = (res, status, value) => {
        res.statusCode = status;
        res.setHeader("Content-Type", "application/json");
        res.end(JSON.stringify(value));
      };
      const parkedFor = (id) => s.parked[s.seen.filter((x) => x.url.includes("/stable")).findIndex((x) => x.url.startsWith(`/api/scales/${id}/`))];
      body(parkedFor("a"), 200, { weight: 12.5, unit: "kg", at: "2026-12-08T10:15:03.213Z", seq: 17 });
      assert.deepEqual(await first, { weight: 12.5, unit: "kg", at: "2026-12-08T10:15:03.213Z", seq: 17 });
      body(parkedFor("s1"), 504, { error: "timeout" });
      assert.deepEqual(await others[0], { timeout: true });
      body(parkedFor("s2"), 404, { error: "no scale s2" });
      await assert.rejects(others[1], /answered 404: no scale s2/);
      for (const res of s.parked) if (!res.writableEnded) body(res, 504, {});
      await Promise.allSettled(others);
      // Room again once the waits ended.
      const before = s.parked.length;
      const later = link.stable("one-too-many", 5000);
      while (s.parked.length === before && Date.now() < end + 10000) await new Promise((r) => setTimeout(r, 20));
      body(s.parked.at(-1), 504, {});
      assert.deepEqual(await later, { timeout: true });
    } finally {
      link.stop();
      s.server.close();
      s.server.closeAllConnections();
    }
  });

  it("over TLS trusts exactly the service's own certificate, whatever name it carries", async () => {
    const make = (name) => {
      execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", `/CN=${name}`,
                               "-keyout", path.join(dir, `${name}.key`), "-out", path.join(dir, `${name}.pem`)],
                   { stdio: "ignore" });
      return { key: fs.readFileSync(path.join(dir, `${name}.key`)), cert: fs.readFileSync(path.join(dir, `${name}.pem`)) };
    };
    const own = make("service.example");
    make("other.example");
    const s = await standIn(https.createServer(own));
    const trusting = new ServiceLink({ base: `https://127.0.0.1:${s.port}`, tlsCert: path.join(dir, "service.example.pem") });
    const other = new ServiceLink({ base: `https://127.0.0.1:${s.port}`, tlsCert: path.join(dir, "other.example.pem") });
    try {
      assert.deepEqual((await refreshed(trusting)).map((x) => x.id), ["a"]);
      await assert.rejects(refreshed(other), /self.signed|certificate|verify/i);
    } finally {
      trusting.stop();
      other.stop();
      s.server.close();
      s.server.closeAllConnections();
    }
  });
  it("gives up an answer that never ends or never comes, and says which", { timeout: 20000 }, async () => {
    const endless = http.createServer((req, res) => {
      if (req.url === "/silent") return; // never answers
      res.setHeader("Content-Type", "application/json");
      const chunk = Buffer.alloc(64 * 1024, 0x20);
      const more = () => {
        while (!res.destroyed && res.write(chunk));
        if (!res.destroyed) res.once("drain", more);
      };
      res.write("[");
      more();
    });
    await new Promise((resolve) => endless.listen(0, "127.0.0.1", resolve));
    const link = new ServiceLink({ base: `http://127.0.0.1:${endless.address().port}` });
    try {
      await assert.rejects(link.get("/api/scales"), /is over \d+ bytes/);
      await assert.rejects(link.get("/silent", 300), /no answer to \/silent within 300 ms/);
    } finally {
      link.stop();
      endless.closeAllConnections();
      endless.close();
    }
  });
});
