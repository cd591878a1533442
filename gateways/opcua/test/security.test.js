"use strict";
// The gateway off loopback: only Basic256Sha256 Sign&Encrypt with its own
// certificate, only trusted client certificates, users with hashed
// passwords, and only the addresses of allow_from let in at all.
const { describe, it, before, after } = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const net = require("node:net");
const path = require("node:path");
const crypto = require("node:crypto");
const { OPCUAClient, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy, StatusCodes, UserTokenType } = require("node-opcua");
const { Workspace, freePort, waitFor } = require("./harness");
const { connect } = require("./client");
const { hashLine } = require("../lib/users");

const USER = { name: "scada", password: "correct horse" };
const SECURE = { securityMode: MessageSecurityMode.SignAndEncrypt, securityPolicy: SecurityPolicy.Basic256Sha256 };

describe("orva-opcua off loopback", () => {
  const ws = new Workspace();
  // A client for the endpoints alone, its certificate in the test's folder.
  const bareClient = () =>
    OPCUAClient.create({
      endpointMustExist: false,
      connectionStrategy: { maxRetry: 0 },
      clientCertificateManager: new OPCUACertificateManager({ rootFolder: path.join(ws.dir, "bare-pki") }),
    });
  let gateway, file, url, pki;

  before(async () => {
    const bay = await ws.simulator("bay", "--weight", "8.5");
    const servicePort = await freePort();
    const gatewayPort = await freePort();
    ws.write("users", `# who may log in\n${hashLine(USER.name, USER.password, { N: 1024, r: 8, p: 1 })}\n`);
    file = ws.write(
      "scales.ini",
      `[service]
listen = 127.0.0.1:${servicePort}
[opcua]
listen = 0.0.0.0:${gatewayPort}
allow_from = 127.0.0.1, ::1
users_file = users
anonymous = no
state_dir = ${ws.dir}/state
[bay]
port = ${bay.link}
`,
    );
    await ws.service(file);
    gateway = await ws.gateway(file);
    url = `opc.tcp://127.0.0.1:${gatewayPort}`;
    pki = path.join(ws.dir, "state", "pki");
  });

  after(() => ws.close());

  it("offers only Basic256Sha256 Sign&Encrypt, says so, and keeps its own certificate", async () => {
    const client = bareClient();
    await client.connect(url);
    const endpoints = await client.getEndpoints();
    await client.disconnect();
    assert.ok(endpoints.length > 0);
    for (const e of endpoints) {
      assert.equal(e.securityMode, MessageSecurityMode.SignAndEncrypt);
      assert.equal(e.securityPolicyUri, SecurityPolicy.Basic256Sha256);
      // Users log in with a password; no anonymous token is offered.
      const tokens = e.userIdentityTokens.map((t) => t.tokenType);
      assert.ok(tokens.includes(UserTokenType.UserName) && !tokens.includes(UserTokenType.Anonymous), String(tokens));
    }
    assert.match(gateway.log(), /only Basic256Sha256 Sign&Encrypt is offered/);
    const own = fs.readdirSync(path.join(pki, "own", "certs")).filter((f) => f.endsWith(".pem") || f.endsWith(".der"));
    assert.ok(own.length > 0, "the gateway's certificate is in its state folder");
  });

  it("refuses a session without security (the endpoints may be asked for)", async () => {
    await assert.rejects(connect(url, path.join(ws.dir, "plain")), /must exist|BadSecurityModeRejected|BadSecurityPolicyRejected/);
  });

  it("lets in a client only once its certificate is trusted, and a user only with the right password", async () => {
    const dir = path.join(ws.dir, "secure");
    await assert.rejects(connect(url, dir, { ...SECURE, user: USER }), "an unknown client certificate is refused");
    // The operator's step: the refused certificate is moved to the trust list.
    const rejected = path.join(pki, "rejected");
    const found = await waitFor(() => fs.readdirSync(rejected).filter((f) => /\.(pem|der)$/.test(f)), 5000, "a rejected certificate");
    for (const f of found) fs.renameSync(path.join(rejected, f), path.join(pki, "trusted", "certs", f));
    // The operator's next step: SIGHUP (systemctl reload orva-opcua).
    gateway.reload();
    await waitFor(() => /trust lists read again/.test(gateway.log()), 10000, "the trust lists read again");
    const ua = await waitFor(() => connect(url, dir, { ...SECURE, user: USER }).catch(() => null), 30000, "the trusted client connects", 500);
    await assert.rejects(connect(url, dir, { ...SECURE, user: { name: USER.name, password: "wrong" } }), /BadUserAccessDenied|Access/i);
    await assert.rejects(connect(url, dir, { ...SECURE, user: { name: "nobody", password: USER.password } }), /BadUserAccessDenied|Access/i);
    await assert.rejects(connect(url, dir, SECURE), /BadIdentityTokenInvalid|BadIdentityTokenRejected|Access|anonymous/i);
    try {
      const objects = await ua.children("ns=0;i=85");
      const bay = (await ua.children(objects.DeviceSet.nodeId)).bay;
      assert.ok(bay, "the scale is there");
      const node = await ua.child(bay.nodeId, "CurrentWeight", "Gross");
      await waitFor(async () => {
        const v = await ua.read(node);
        return v.statusCode === StatusCodes.Good && v.value.value === 8.5;
      }, 20000, "the weight over the secure channel");
    } finally {
      await ua.close();
    }
  });

  it("closes connections from addresses outside allow_from before a byte is read", async () => {
    const port = Number(new URL(url.replace("opc.tcp", "http")).port);
    // 127.0.0.2 is loopback too, but not listed.
    const outcome = await new Promise((resolve) => {
      const s = net.connect({ host: "127.0.0.1", port, localAddress: "127.0.0.2" });
      let received = 0;
      s.on("connect", () => {
        const hello = Buffer.alloc(32);
        hello.write("HELF", 0, "latin1");
        hello.writeUInt32LE(32, 4);
        s.write(hello);
      });
      s.on("data", (d) => (received += d.length));
      s.on("error", () => {});
      s.on("close", () => resolve({ closed: true, received }));
      setTimeout(() => {
        s.destroy();
        resolve({ closed: false, received });
      }, 10000);
    });
    assert.deepEqual(outcome, { closed: true, received: 0 });
    assert.match(gateway.log(), /refused a connection from 127\.0\.0\.2: not in allow_from/);
    // From 127.0.0.1 the same server answers.
    const client = bareClient();
    await client.connect(url);
    await client.disconnect();
  });

  it("keeps its certificate across a restart", async () => {
    const certs = () =>
      fs
        .readdirSync(path.join(pki, "own", "certs"))
        .map((f) => crypto.createHash("sha256").update(fs.readFileSync(path.join(pki, "own", "certs", f))).digest("hex"))
        .sort();
    const before = certs();
    await gateway.stop();
    gateway = await ws.gateway(file);
    assert.deepEqual(certs(), before);
  });
});
