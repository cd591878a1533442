"use strict";
// The gateway on a service that speaks only TLS and asks a token for every
// read: it reaches the scales over https and wss with the read token, and
// tells the truth (Bad values, the reason in its log) with a wrong token.
const { describe, it, before, after } = require("node:test");
const assert = require("node:assert/strict");
const { execFileSync } = require("node:child_process");
const fs = require("node:fs");
const path = require("node:path");
const { StatusCodes } = require("node-opcua");
const { Workspace, freePort, waitFor } = require("./harness");
const { connect } = require("./client");

describe("orva-opcua on a service over TLS with a read token", () => {
  const ws = new Workspace();
  let ua, gross, wrong;

  before(async () => {
    const key = path.join(ws.dir, "service.key");
    const cert = path.join(ws.dir, "service.pem");
    execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=scales.test",
                             "-keyout", key, "-out", cert], { stdio: "ignore" });
    fs.chmodSync(key, 0o600);
    const bay = await ws.simulator("bay", "--weight", "8.5");
    const servicePort = await freePort();
    const file = (name, token, gatewayPort) =>
      ws.write(name, `[service]
listen = 127.0.0.1:${servicePort}
tls_cert = ${cert}
tls_key = ${key}
read_token = ${token}
[opcua]
listen = 127.0.0.1:${gatewayPort}
state_dir = ${ws.dir}/state-${name}
[bay]
port = ${bay.link}
`);
    const right = file("scales.ini", "r3ad-t0ken-for-the-gateway", await freePort());
    await ws.service(right);
    const gateway = await ws.gateway(right);
    // A second gateway whose copy of the file has another token.
    const other = file("wrong.ini", "not-the-token", await freePort());
    wrong = await ws.gateway(other);
    ua = await connect(gateway.url, ws.dir);
    const objects = await ua.children("ns=0;i=85");
    gross = async (client) => {
      const scales = await client.children((await client.children("ns=0;i=85")).DeviceSet.nodeId);
      if (!scales.bay) return null;
      return client.read(await client.child(scales.bay.nodeId, "CurrentWeight", "Gross"));
    };
    assert.ok(objects.DeviceSet);
  });

  after(async () => {
    if (ua) await ua.close();
    await ws.close();
  });

  it("reads the scales over https with the read token", async () => {
    await waitFor(async () => {
      const v = await gross(ua);
      return v && v.statusCode === StatusCodes.Good && v.value.value === 8.5;
    }, 20000, "the weight through TLS");
  });

  it("with a wrong token shows no scale and says why", async () => {
    await waitFor(() => /cannot be read: GET \/api\/scales answered 401/.test(wrong.log()), 20000, "the refusal in the log");
    const other = await connect(wrong.url, path.join(ws.dir, "other-client"));
    try {
      assert.equal(await gross(other), null);
    } finally {
      await other.close();
    }
  });
});
