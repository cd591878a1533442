"use strict";
// Items of the panel in twips: [left, top, width, height].
const T = {
  Frame1: [270, 0, 5295, 855],
  Label1: [[300, 240, 255, 255], [1200, 240, 255, 255], [2040, 240, 255, 255], [2760, 240, 495, 255]],
  Shape2: [[360, 600, 135, 135], [1200, 600, 135, 135], [2040, 600, 135, 135], [2880, 600, 135, 135]],
  Label2: [240, 900, 3495, 855],
  Label3: [3720, 900, 1815, 855],
  Shape1: [[0, 1380, 225, 255], [0, 1140, 225, 255], [0, 900, 225, 255]],
};
const CAPTIONS = [">0<", "Ok", "T", "Max"];
const panels = new Map();   // id -> the panel's elements

function colour(c) {
  if (c & 0x80000000) return { 5: "#ffffff", 8: "#000000", 15: "#f0f0f0", 18: "#000000" }[c & 0xff] || "#ffffff";
  return "rgb(" + (c & 255) + "," + ((c >> 8) & 255) + "," + ((c >> 16) & 255) + ")";
}
function place(el, [l, t, w, h], circle) {   // twips, as parts of the panel's width
  const u = (n) => `calc(${n} * 100cqw / 5640)`;
  if (circle) { const d = Math.min(w, h); l += (w - d) / 2; t += (h - d) / 2; w = h = d; }
  el.style.left = u(l); el.style.top = u(t); el.style.width = u(w); el.style.height = u(h);
  return el;
}
function make(tag, cls, text) {
  const el = document.createElement(tag); el.className = cls;
  if (text !== undefined) el.textContent = text;
  return el;
}
function panelFor(state) {
  if (panels.has(state.id)) return panels.get(state.id);
  const root = make("div", "scale offline"); root.dataset.scale = state.id;
  const head = make("div", "head");
  const modbus = make("div", "modbus", "");   // the scale's Modbus unit, while the service serves Modbus TCP
  const title = make("div", ""); title.append(make("div", "id", state.id), make("div", "port", state.port), modbus);
  const st = make("div", "state", "offline");
  head.append(title, st);
  const panel = make("div", "panel");
  const frame = place(make("div", "frame"), T.Frame1);
  const caption = make("span", "caption", "");
  frame.append(caption);
  const shape2 = T.Shape2.map((box, i) => {
    frame.append(place(make("div", "cap", CAPTIONS[i]), T.Label1[i]));
    const lamp = place(make("div", "lamp"), box, true); lamp.dataset.lamp = "Shape2-" + i;
    frame.append(lamp); lamp.style.background = colour(0x00FFFFFF); return lamp;
  });
  const weight = place(make("div", "display weight", "0"), T.Label2);
  const unit = place(make("div", "display unit", "FGH"), T.Label3);
  const shape1 = T.Shape1.map((box, i) => {
    const lamp = place(make("div", "lamp"), box, true); lamp.dataset.lamp = "Shape1-" + i;
    lamp.style.background = colour(0x000000FF); panel.append(lamp); return lamp;
  });
  panel.append(frame, weight, unit);
  const reason = make("div", "reason", "");
  root.append(head, reason, panel);
  document.getElementById("scales").append(root);
  const p = { root, st, caption, weight, unit, shape1, shape2, reason, modbus, portState: "waiting", why: "" };
  panels.set(state.id, p);
  return p;
}
function draw(p, d) {   // d: the panel as a Decode event (or a state's "panel") carries it
  p.caption.textContent = d.Frame1; p.weight.textContent = d.Label2; p.unit.textContent = d.Label3;
  d.Shape1.forEach((c, i) => { p.shape1[i].style.background = colour(c); });
  d.Shape2.forEach((c, i) => { p.shape2[i].style.background = colour(c); });
}
// Why a scale is offline: the port's reason, or that the port is open and
// the terminal does not answer.
function showPort(p, state, reason) {
  p.portState = state; p.why = reason || "";
  p.reason.textContent = p.why || (state === "open" ? "the port is open but the terminal does not answer"
                                                    : "waiting for the port to open");
}
function showOnline(p, online) {   // the service decides: a recognised reply in the last 2 s
  p.root.classList.toggle("offline", !online);
  p.st.textContent = online ? "online" : "offline";
}
let socket = null;
// With a read token, the service answers 401 until this browser logs in:
// the login hands the token over once, and the service's HttpOnly cookie
// carries the access from then on (the page never keeps the token).
let needLogin = false;
function live() { return socket !== null && socket.readyState === WebSocket.OPEN; }
function askForLogin(why) {
  needLogin = true;
  const link = document.getElementById("link");
  link.textContent = "log in to see the scales"; link.className = "down";
  if (why !== undefined) document.getElementById("login-error").textContent = why;
  const form = document.getElementById("login");
  if (form.hidden) { form.hidden = false; document.getElementById("token").focus(); }
}
document.getElementById("login").addEventListener("submit", async (e) => {
  e.preventDefault();
  const input = document.getElementById("token");
  try {
    const reply = await fetch("/api/login", { method: "POST", cache: "no-store",
                                              headers: { Authorization: "Bearer " + input.value } });
    if (!reply.ok) { askForLogin(reply.status === 401 ? "wrong token" : "the service refused: " + reply.status); return; }
  } catch (err) { askForLogin("the service does not answer"); return; }
  input.value = "";
  needLogin = false;
  document.getElementById("login").hidden = true;
  document.getElementById("login-error").textContent = "";
  await refresh();
  if (socket === null && !needLogin) connect();
});
async function refresh() {
  const link = document.getElementById("link");
  try {
    const reply = await fetch("/api/scales", { cache: "no-store" });
    if (reply.status === 401) { askForLogin(); return; }
    const states = await reply.json();
    const ids = new Set(states.map(s => s.id));
    for (const [id, p] of panels) if (!ids.has(id)) { p.root.remove(); panels.delete(id); }
    for (const s of states) {
      const fresh = !panels.has(s.id);
      const p = panelFor(s);
      if ((fresh || !live()) && s.panel) draw(p, s.panel);
      showPort(p, s.port_state, s.reason);
      showOnline(p, s.online);
      // A reload may move the scale to another unit, or end Modbus with the service's restart.
      p.modbus.textContent = Number.isInteger(s.modbus_unit) ? "Modbus unit " + s.modbus_unit : "";
      p.modbus.hidden = !Number.isInteger(s.modbus_unit);
    }
  } catch (e) {
    link.textContent = "service unreachable, reconnecting…"; link.className = "down";
    panels.forEach(p => { p.reason.textContent = "the service does not answer"; showOnline(p, false); });
  }
}
function connect() {
  const link = document.getElementById("link");
  socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/api/live");
  socket.onopen = () => { link.textContent = "live"; link.className = ""; refresh(); };
  socket.onmessage = (m) => {
    // Events come as an array per interval; replies as single objects.
    const data = JSON.parse(m.data);
    for (const e of Array.isArray(data) ? data : [data]) {
      if (e.event === "Decode" && panels.has(e.scale)) draw(panels.get(e.scale), e);
      if (e.event === "Port" && panels.has(e.scale)) showPort(panels.get(e.scale), e.state, e.reason);
    }
  };
  socket.onclose = () => {
    socket = null;
    if (needLogin) return;   // the login connects again
    link.textContent = "service unreachable, reconnecting…"; link.className = "down";
    // A refused handshake says nothing to a page: the next refresh tells a
    // login that ended (tokens changed) from a service that is away.
    setTimeout(() => refresh().finally(() => { if (!needLogin && socket === null) connect(); }), 1000);
  };
}
setInterval(refresh, 1000);
refresh().finally(() => { if (!needLogin) connect(); });
