"use strict";
// The gateway's parts alone: reading the shared configuration file, the
// address filter, the users file.
const { describe, it } = require("node:test");
const assert = require("node:assert/strict");
const { settingsFromText } = require("../lib/settings");
const { parseAllowFrom, isAllowed } = require("../lib/address-filter");
const { hashLine, parseUsers, checkPassword } = require("../lib/users");

const ENV = { STATE_DIRECTORY: "/var/lib/orva-opcua" };

describe("the configuration file", () => {
  it("takes [opcua] and what it needs of [service], with defaults, beside the scales", () => {
    const s = settingsFromText(
      `\uFEFF# shared with the service
[service]
listen = 0.0.0.0:8700     ; the service on every address
token = secret
read_token = "r\\x41d"
tls_cert = certs/service.pem
max_connections = 10

[opcua]
listen = [::]:4841
allow_from = 10.0.0.0/8, fd00::/8 # the plant network
users_file = users.txt

[bay-1]
port = /dev/ttyUSB0
`,
      "/etc/orva/service.ini",
      ENV,
    );
    assert.deepEqual(s.listen, { host: "::", port: 4841 });
    assert.equal(s.loopbackOnly, false);
    assert.equal(s.usersFile, "/etc/orva/users.txt");
    assert.equal(s.stateDir, "/var/lib/orva-opcua");
    assert.deepEqual(s.service, { host: "127.0.0.1", port: 8700, readToken: "rAd", tlsCert: "/etc/orva/certs/service.pem" });
    const d = settingsFromText("[bay]\nport = /dev/ttyS0\n", "a.ini", ENV);
    assert.deepEqual(d.listen, { host: "127.0.0.1", port: 4840 });
    assert.equal(d.loopbackOnly, true);
    assert.equal(d.anonymous, true);
    assert.deepEqual(d.service, { host: "127.0.0.1", port: 8650, readToken: null, tlsCert: null });
    assert.ok(isAllowed("127.0.0.1", d.allowFrom) && isAllowed("::1", d.allowFrom) && !isAllowed("10.1.1.1", d.allowFrom));
  });

  const refused = [
    ["[opcua]\nlisten = 4840\n", 2, /listen: expected host:port/],
    ["[opcua]\nlisten = 127.0.0.1:70000\n", 2, /port must be a number/],
    ["[opcua]\nlisten = [nope]:4840\n", 2, /not an IPv6 address/],
    ["[opcua]\n\nallow_from = 10.0.0.0/33\n", 3, /prefix length must be 0..32/],
    ["[opcua]\nallow_from = plant-net\n", 2, /not an address or a CIDR block/],
    ["[opcua]\nallow_from = ,\n", 2, /names no address/],
    ["[opcua]\nport = 4840\n", 2, /unknown key "port" in \[opcua\]/],
    ["[opcua]\nanonymous = maybe\n", 2, /anonymous must be "yes" or "no"/],
    ["[opcua]\nanonymous = no\n", 1, /needs a users_file/],
    ["[opcua]\nstate_dir = state\n", 2, /absolute path/],
    ["[opcua]\nmax_clients = 0\n", 2, /max_clients must be a whole number 1..1000/],
    ["[opcua]\nlisten = 127.0.0.1:1\nlisten = 127.0.0.1:2\n", 3, /"listen" appears twice/],
    ["[opcua]\n[opcua]\n", 2, /section \[opcua\] appears twice/],
    ['[service]\nread_token = "abc\n', 2, /quoted value of "read_token" does not read/],
    ["[service]\nlisten = 127.0.0.1:0\n", 2, /port 0/],
    ["listen = 1\n", 1, /key outside a section/],
    ["[opcua]\nlisten 127.0.0.1:1\n", 2, /expected \[section\] or key = value/],
    ["[opcua]\nusers_file = a\x01b\n", 2, /control character/],
    ["[opcua\n", 1, /expected \[section\]/],
  ];
  it("refuses what is not exactly right with file:line and why", () => {
    for (const [text, line, reason] of refused) {
      assert.throws(() => settingsFromText(text, "f.ini", ENV), (e) => {
        assert.equal(e.line, line, `${JSON.stringify(text)}: ${e.message}`);
        assert.match(e.message, new RegExp(`^f\\.ini:${line}: `));
        assert.match(e.reason, reason, JSON.stringify(text));
        return true;
      });
    }
  });
});

describe("allow_from", () => {
  const cases = [
    ["127.0.0.1", "127.0.0.1", true],
    ["127.0.0.1", "127.0.0.2", false],
    ["192.168.1.0/24", "192.168.1.77", true],
    ["192.168.1.0/24", "192.168.2.1", false],
    ["10.0.0.0/9", "10.127.255.255", true],
    ["10.0.0.0/9", "10.128.0.0", false],
    ["0.0.0.0/0", "203.0.113.9", true],
    ["0.0.0.0/0", "2001:db8::1", false],
    // An IPv4 peer on an IPv6 socket is the IPv4 address it is.
    ["192.168.1.0/24", "::ffff:192.168.1.5", true],
    ["::ffff:10.0.0.0/104", "10.2.3.4", true],
    ["::1", "::1", true],
    ["::1", "0:0:0:0:0:0:0:1", true],
    ["::1", "::2", false],
    ["fd00::/8", "fd12:3456::1", true],
    ["fd00::/8", "fe80::1", false],
    ["fe80::/10", "fe80::1%eth0", true],
    ["2001:db8::/32, 10.0.0.1", "10.0.0.1", true],
    ["2001:db8::/32, 10.0.0.1", "2001:db9::1", false],
  ];
  it("lets in exactly the listed addresses and blocks", () => {
    for (const [list, peer, expected] of cases)
      assert.equal(isAllowed(peer, parseAllowFrom(list)), expected, `${peer} in ${list}`);
  });
  it("lets in nothing it cannot read", () => {
    const all = parseAllowFrom("0.0.0.0/0, ::/0");
    for (const peer of [undefined, "", "localhost", "1.2.3", "::ffff:1.2.3"]) assert.equal(isAllowed(peer, all), false, String(peer));
  });
});

describe("the users file", () => {
  const cheap = { N: 1024, r: 8, p: 1 };
  it("checks passwords against their scrypt hashes", async () => {
    const users = parseUsers(`# operators\n${hashLine("scada", "s3cret pass", cheap)}\n\n${hashLine("plc-1", "other", cheap)}\n`, "u");
    assert.equal(await checkPassword(users, "scada", "s3cret pass"), true);
    assert.equal(await checkPassword(users, "plc-1", "other"), true);
    for (const [name, password] of [["scada", "s3cret"], ["scada", "other"], ["nobody", "s3cret pass"], ["scada", undefined],
                                    ["scada", "x".repeat(2000)]])
      assert.equal(await checkPassword(users, name, password), false, `${name}/${password && password.slice(0, 10)}`);
  });
  it("refuses lines it cannot trust, with their line", () => {
    const good = hashLine("a", "p", cheap);
    const refused = [
      ["a:plain:secret", /expected name:scrypt/],
      [good.replace(/^a:/, "a b:"), /user name/],
      [good.replace(":1024:", ":1000:"), /power of two/],
      [good.replace(":1024:", ":4194304:"), /power of two up to/],
      [good.replace(":8:1:", ":99:1:"), /r must be/],
      [good.replace(/:[^:]+:[^:]+$/, ":AA==:AA=="), /too short/],
      [`${good}\n${good}`, /appears twice/],
    ];
    for (const [text, reason] of refused)
      assert.throws(() => parseUsers(`# first\n${text}\n`, "users"), (e) => {
        assert.match(e.message, /^users:\d+: /);
        assert.match(e.reason, reason, text);
        return true;
      });
  });
});

describe("the command", () => {
  const { spawnSync } = require("node:child_process");
  const fs = require("node:fs");
  const os = require("node:os");
  const path = require("node:path");
  const program = path.join(__dirname, "../bin/orva-opcua.js");
  const run = (args, input) => spawnSync(process.execPath, [program, ...args], { input, encoding: "utf8", timeout: 30000 });

  it("refuses a wrong file with its line and reason, and exit status 1, before it listens", () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), "orva-opcua-cli-"));
    try {
      const file = path.join(dir, "scales.ini");
      fs.writeFileSync(file, "[service]\nlisten = 127.0.0.1:8650\n\n[opcua]\nallow_from = 10.0.0.0/40\n");
      const r = run(["--config", file]);
      assert.equal(r.status, 1);
      assert.equal(r.stdout, "");
      assert.equal(r.stderr, `orva-opcua: ${file}:5: "10.0.0.0/40": the prefix length must be 0..32\n`);
      const missing = run(["--config", path.join(dir, "nothing.ini")]);
      assert.equal(missing.status, 1);
      assert.match(missing.stderr, /nothing\.ini: cannot read it: ENOENT/);
      assert.equal(run(["--listen", "x"]).status, 2);
    } finally {
      fs.rmSync(dir, { recursive: true, force: true });
    }
  });

  it("hashes a password into a users_file line that logs in", async () => {
    const r = run(["--hash-password", "plc-7"], "s3cret\n");
    assert.equal(r.status, 0, r.stderr);
    const users = parseUsers(r.stdout, "users");
    assert.equal(await checkPassword(users, "plc-7", "s3cret"), true);
    assert.equal(await checkPassword(users, "plc-7", "s3cret\n"), false);
    assert.equal(run(["--hash-password", "plc-7"], "\n").status, 2, "an empty password is refused");
    const bad = run(["--hash-password", "bad name"], "x\n");
    assert.equal(bad.status, 2);
    assert.match(bad.stderr, /^orva-opcua: a user name holds 1 to 64 letters/);
  });
});
