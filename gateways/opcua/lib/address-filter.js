"use strict";
// allow_from: comma-separated addresses or CIDR blocks, IPv4 and IPv6. An
// IPv4 peer that reaches an IPv6 socket as ::ffff:a.b.c.d is matched as the
// IPv4 address it is.
const net = require("node:net");

// The address as 4 or 16 bytes, or null.
function addressBytes(text) {
  const kind = net.isIP(text);
  if (kind === 4) return Buffer.from(text.split(".").map(Number));
  if (kind !== 6) return null;
  let head = text;
  let tail4 = null;
  const lastColon = text.lastIndexOf(":");
  if (text.slice(lastColon + 1).includes(".")) {
    tail4 = addressBytes(text.slice(lastColon + 1));
    head = text.slice(0, lastColon + 1) + "0:0";
  }
  const [left, right] = head.includes("::") ? head.split("::") : [head, null];
  const leftGroups = left ? left.split(":") : [];
  const rightGroups = right ? right.split(":") : [];
  const missing = 8 - leftGroups.length - rightGroups.length;
  const groups = [...leftGroups, ...Array(right === null ? 0 : missing).fill("0"), ...rightGroups];
  const bytes = Buffer.alloc(16);
  groups.forEach((g, i) => bytes.writeUInt16BE(parseInt(g, 16), i * 2));
  if (tail4) tail4.copy(bytes, 12);
  return bytes;
}

// An IPv4-mapped IPv6 address as its IPv4 bytes; anything else unchanged.
function unmapped(bytes) {
  if (bytes.length === 16 && bytes.subarray(0, 10).every((b) => b === 0) && bytes[10] === 0xff && bytes[11] === 0xff)
    return bytes.subarray(12);
  return bytes;
}

// One entry: { bytes, prefix }. Throws with the reason when it is no address or block.
function parseBlock(text) {
  const slash = text.indexOf("/");
  const address = slash < 0 ? text : text.slice(0, slash);
  const raw = addressBytes(address);
  if (!raw) throw new Error(`"${text}" is not an address or a CIDR block (such as 192.168.1.0/24 or fd00::/8)`);
  let prefix = raw.length * 8;
  if (slash >= 0) {
    const p = text.slice(slash + 1);
    if (!/^\d{1,3}$/.test(p) || Number(p) > raw.length * 8)
      throw new Error(`"${text}": the prefix length must be 0..${raw.length * 8}`);
    prefix = Number(p);
  }
  let bytes = raw;
  if (raw.length === 16 && unmapped(raw).length === 4 && prefix >= 96) {
    bytes = unmapped(raw);
    prefix -= 96;
  }
  return { bytes, prefix };
}

function parseAllowFrom(text) {
  const blocks = text
    .split(",")
    .map((s) => s.trim())
    .filter((s) => s !== "");
  if (blocks.length === 0) throw new Error("allow_from names no address");
  return blocks.map(parseBlock);
}

const LOOPBACK = parseAllowFrom("127.0.0.0/8, ::1");

function inBlock(bytes, block) {
  if (bytes.length !== block.bytes.length) return false;
  const whole = Math.floor(block.prefix / 8);
  for (let i = 0; i < whole; ++i) if (bytes[i] !== block.bytes[i]) return false;
  const rest = block.prefix % 8;
  if (rest === 0) return true;
  const mask = (0xff << (8 - rest)) & 0xff;
  return (bytes[whole] & mask) === (block.bytes[whole] & mask);
}

function isAllowed(address, blocks) {
  if (typeof address !== "string") return false;
  const raw = addressBytes(address.replace(/%.*$/, ""));
  if (!raw) return false;
  const bytes = unmapped(raw);
  return blocks.some((b) => inBlock(bytes, b));
}

function isLoopbackHost(host) {
  if (host === "localhost") return true;
  const raw = addressBytes(host);
  return raw !== null && isAllowed(host, LOOPBACK);
}

module.exports = { parseAllowFrom, isAllowed, isLoopbackHost, LOOPBACK };
