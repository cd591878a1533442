"use strict";
// The service's configuration file as sections of key = value lines, read
// with the same rules as the service itself: "#" or ";" starts a comment at
// the start of a line or after a blank outside double quotes; a value may
// stand in double quotes with \" \\ \n \r \t \xHH inside; a UTF-8 byte order
// mark may open the file. Anything else is refused with file:line and why.

class ConfigError extends Error {
  constructor(file, line, reason) {
    super(line > 0 ? `${file}:${line}: ${reason}` : `${file}: ${reason}`);
    this.file = file;
    this.line = line;
    this.reason = reason;
  }
}

function withoutComment(s) {
  let quoted = false;
  for (let i = 0; i < s.length; ++i) {
    if (quoted && s[i] === "\\") {
      ++i;
      continue;
    }
    if (s[i] === '"') quoted = !quoted;
    if (!quoted && (s[i] === "#" || s[i] === ";") && (i === 0 || s[i - 1] === " " || s[i - 1] === "\t"))
      return s.slice(0, i).trim();
  }
  return s;
}

// A quoted value's text, or throws why it does not read.
function unquote(v) {
  if (!v.startsWith('"')) return v;
  let out = "";
  let i = 1;
  for (; i < v.length && v[i] !== '"'; ++i) {
    if (v[i] !== "\\") {
      out += v[i];
      continue;
    }
    if (++i === v.length) break;
    const c = v[i];
    if (c === '"' || c === "\\") out += c;
    else if (c === "n") out += "\n";
    else if (c === "r") out += "\r";
    else if (c === "t") out += "\t";
    else if (c === "x") {
      const hex = v.slice(i + 1, i + 3);
      if (!/^[0-9A-Fa-f]{2}$/.test(hex)) throw new Error("\\x needs two hexadecimal digits");
      out += String.fromCharCode(parseInt(hex, 16));
      i += 2;
    } else throw new Error(`unknown escape \\${c}`);
  }
  if (i >= v.length) throw new Error("unterminated string");
  if (v.slice(i + 1).trim() !== "") throw new Error("text after the closing quote");
  return out;
}

// Map of section name -> { line, keys: Map(key -> { value, line }) }.
function parseKeyedText(text, file) {
  if (text.includes("\0")) throw new ConfigError(file, 0, "the file holds a NUL byte");
  if (text.startsWith("\uFEFF")) text = text.slice(1);
  const sections = new Map();
  let current = null;
  const lines = text.split("\n");
  if (lines.length && lines[lines.length - 1] === "") lines.pop();
  lines.forEach((raw, index) => {
    const number = index + 1;
    const fail = (reason) => {
      throw new ConfigError(file, number, reason);
    };
    if (/[\x00-\x08\x0a-\x0c\x0e-\x1f\x7f]/.test(raw)) fail("a control character in the line");
    const s = withoutComment(raw.trim());
    if (s === "") return;
    if (s.startsWith("[")) {
      if (!s.endsWith("]")) fail("expected [section] or key = value");
      const name = s.slice(1, -1).trim();
      if (sections.has(name)) fail(`section [${name}] appears twice`);
      current = { name, line: number, keys: new Map() };
      sections.set(name, current);
      return;
    }
    const eq = s.indexOf("=");
    if (eq < 0) fail("expected [section] or key = value");
    if (!current) fail("key outside a section");
    const key = s.slice(0, eq).trim();
    if (current.keys.has(key)) fail(`"${key}" appears twice in [${current.name}]`);
    let value;
    try {
      value = unquote(s.slice(eq + 1).trim());
    } catch (e) {
      fail(`the quoted value of "${key}" does not read (unbalanced quotes or an unknown escape): ${e.message}`);
    }
    current.keys.set(key, { value, line: number });
  });
  return sections;
}

module.exports = { ConfigError, parseKeyedText, unquote };
