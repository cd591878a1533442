"use strict";
// The users file: one "name:scrypt:N:r:p:SALT:HASH" line per user (salt and
// hash in base64), "#" comments and blank lines. `orva-opcua --hash-password
// NAME` writes such a line. No password is kept in clear anywhere.
const crypto = require("node:crypto");
const fs = require("node:fs");
const { ConfigError } = require("./keyed-file");

const KEY_BYTES = 32;
const DEFAULT_COST = { N: 16384, r: 8, p: 1 };

function hashLine(name, password, cost = DEFAULT_COST) {
  if (!/^[A-Za-z0-9._@-]{1,64}$/.test(name))
    throw new Error("a user name holds 1 to 64 letters, digits, '.', '_', '@' or '-'");
  const salt = crypto.randomBytes(16);
  const hash = crypto.scryptSync(password, salt, KEY_BYTES, { ...cost, maxmem: 64 * 1024 * 1024 });
  return `${name}:scrypt:${cost.N}:${cost.r}:${cost.p}:${salt.toString("base64")}:${hash.toString("base64")}`;
}

function parseUsers(text, file) {
  const users = new Map();
  text.split("\n").forEach((raw, index) => {
    const line = raw.trim();
    if (line === "" || line.startsWith("#")) return;
    const fail = (why) => {
      throw new ConfigError(file, index + 1, why);
    };
    const parts = line.split(":");
    if (parts.length !== 7 || parts[1] !== "scrypt") fail("expected name:scrypt:N:r:p:salt:hash (see orva-opcua --hash-password)");
    const [name, , N, r, p, salt, hash] = parts;
    if (!/^[A-Za-z0-9._@-]{1,64}$/.test(name)) fail(`user name "${name}" holds characters other than letters, digits, '.', '_', '@', '-'`);
    if (users.has(name)) fail(`user "${name}" appears twice`);
    const cost = { N: Number(N), r: Number(r), p: Number(p) };
    // Bounded so that a login cannot cost more than a fraction of a second.
    if (!/^\d+$/.test(N) || cost.N < 2 || cost.N > 1 << 20 || (cost.N & (cost.N - 1)) !== 0)
      fail("N must be a power of two up to 1048576");
    if (!/^\d+$/.test(r) || cost.r < 1 || cost.r > 32 || !/^\d+$/.test(p) || cost.p < 1 || cost.p > 16)
      fail("r must be 1..32 and p 1..16");
    const saltBytes = Buffer.from(salt, "base64");
    const hashBytes = Buffer.from(hash, "base64");
    if (saltBytes.length < 8 || hashBytes.length < 16) fail("the salt or the hash is too short (base64)");
    users.set(name, { cost, salt: saltBytes, hash: hashBytes });
  });
  return users;
}

function readUsers(file) {
  let text;
  try {
    text = fs.readFileSync(file, "utf8");
  } catch (e) {
    throw new ConfigError(file, 0, `cannot read the users file: ${e.message}`);
  }
  return parseUsers(text, file);
}

// Checks a password without blocking the event loop; unknown users cost the
// same work as known ones.
const DUMMY = { cost: DEFAULT_COST, salt: Buffer.alloc(16), hash: Buffer.alloc(KEY_BYTES) };
function checkPassword(users, name, password) {
  const user = users.get(name);
  const entry = user || DUMMY;
  return new Promise((resolve) => {
    if (typeof password !== "string" || password.length > 1024) return resolve(false);
    crypto.scrypt(password, entry.salt, entry.hash.length, { ...entry.cost, maxmem: 256 * 1024 * 1024 }, (err, key) => {
      if (err) return resolve(false);
      resolve(Boolean(user) && crypto.timingSafeEqual(key, entry.hash));
    });
  });
}

module.exports = { hashLine, parseUsers, readUsers, checkPassword };
