"use strict";
// The gateway against the real service and simulated terminals, read by a
// node-opcua client: what a SCADA screen or a PLC sees of each scale.
const { describe, it, before, after } = require("node:test");
const assert = require("node:assert/strict");
const fs = require("node:fs");
const path = require("node:path");
const { execFile } = require("node:child_process");
const {
  StatusCodes,
  AttributeIds,
  ClientSubscription,
  ClientMonitoredItem,
  TimestampsToReturn,
  NodeClass,
} = require("node-opcua");
const { Workspace, freePort, waitFor } = require("./harness");
const { connect } = require("./client");

const DEVICE_SET = "ns=2;i=5001"; // DI's DeviceSet; checked by name below

function config({ servicePort, gatewayPort, dir, scales }) {
  return `# the gateway's tests
[service]
listen = 127.0.0.1:${servicePort}

[opcua]
listen = 127.0.0.1:${gatewayPort}
state_dir = ${dir}/state
stable_timeout_ms = 6000

${scales.map(([id, link, extra = ""]) => `[${id}]\nport = ${link}\n${extra}`).join("\n")}`;
}

describe("orva-opcua on orva-service", () => {
  const ws = new Workspace();
  let bay1, bay2, file, service, gateway, ua, deviceSet, ports;
  const scaleList = () => [
    ["bay-1", bay1.link],
    ["bay_2", bay2.link, "DecPoint = 2\n"], // raw digits, two decimals
  ];

  before(async () => {
    bay1 = await ws.simulator("bay1", "--weight", "12.5");
    bay2 = await ws.simulator("bay2", "--format", "orva2", "--decimals", "2", "--weight", "1.25");
    ports = { servicePort: await freePort(), gatewayPort: await freePort(), dir: ws.dir };
    file = ws.write("scales.ini", config({ ...ports, scales: scaleList() }));
    service = await ws.service(file);
    gateway = await ws.gateway(file);
    ua = await connect(gateway.url, ws.dir);
    const objects = await ua.children("ns=0;i=85");
    assert.ok(objects.DeviceSet, "DeviceSet is under Objects");
    deviceSet = objects.DeviceSet.nodeId;
  });

  after(async () => {
    if (ua) await ua.close();
    await ws.close();
  });

  // The scale object's node, found by browsing as a client would.
  async function scale(id) {
    const kids = await ua.children(deviceSet);
    return kids[id];
  }

  // A subscription of one node's value, every change handed to `changed`;
  // resolves once the first value is in.
  async function monitor(node, changed) {
    const subscription = ClientSubscription.create(ua.session, {
      requestedPublishingInterval: 50,
      requestedLifetimeCount: 1000,
      requestedMaxKeepAliveCount: 20,
      publishingEnabled: true,
    });
    const item = ClientMonitoredItem.create(subscription, { nodeId: node, attributeId: AttributeIds.Value },
                                            { samplingInterval: 0, discardOldest: true, queueSize: 100 },
                                            TimestampsToReturn.Both);
    item.on("changed", changed);
    await new Promise((r) => item.once("initialized", r));
    return subscription;
  }

  async function gross(id) {
    const node = await ua.child((await scale(id)).nodeId, "CurrentWeight", "Gross");
    return ua.read(node);
  }

  it("shows every scale as a SimpleScaleType under DeviceSet, with the model's members", async () => {
    const kids = await waitFor(async () => {
      const k = await ua.children(deviceSet);
      return k["bay-1"] && k.bay_2 && k;
    }, 20000, "both scales under DeviceSet");
    for (const id of ["bay-1", "bay_2"]) {
      assert.equal(kids[id].nodeClass, NodeClass.Object);
      const typeName = await ua.session.read({ nodeId: kids[id].typeDefinition, attributeId: AttributeIds.BrowseName });
      assert.equal(typeName.value.value.name, "SimpleScaleType");
      assert.equal(typeName.value.value.namespaceIndex, ua.scalesNs);
      const members = await ua.children(kids[id].nodeId);
      for (const name of ["CurrentWeight", "RegisteredWeight", "RegisterWeight", "SetZero", "SetTare", "Identification",
                          "StatusLetter", "TerminalKind", "PortState", "PortReason", "Online"])
        assert.ok(members[name], `${id} has ${name}`);
    }
  });

  it("reads the weight, the status letter, the terminal kind, the port state and who made it", async () => {
    await waitFor(async () => (await gross("bay-1")).value.value === 12.5, 20000, "bay-1 reads 12.5");
    await waitFor(async () => (await gross("bay_2")).value.value === 1.25, 20000, "bay_2 reads 1.25");
    const bay = (await scale("bay-1")).nodeId;
    const current = await ua.read(await ua.child(bay, "CurrentWeight"));
    assert.equal(current.statusCode, StatusCodes.Good);
    const w = current.value.value;
    assert.deepEqual([w.gross, w.net, w.tare], [12.5, 12.5, 0]);
    const read = async (...path) => (await ua.read(await ua.child(bay, ...path))).value.value;
    assert.equal(await read("TerminalKind"), "ORVA-1");
    assert.match(await read("StatusLetter"), /^[@-O]$/);
    assert.equal(await read("PortState"), "open");
    assert.equal(await read("PortReason"), "");
    assert.equal(await read("Online"), true);
    assert.equal(await read("CurrentWeight", "EngineeringUnits").then((eu) => eu.displayName.text), "kg");
    assert.equal((await read("Identification", "Model")).text, "orva-service");
    assert.equal(await read("Identification", "SoftwareRevision"), require("../package.json").version);
    const kind2 = await ua.read(await ua.child((await scale("bay_2")).nodeId, "TerminalKind"));
    assert.equal(kind2.value.value, "ORVA-2");
    // The documentation's client example prints the same.
    const example = await new Promise((resolve) =>
      execFile(process.execPath, [path.join(__dirname, "../examples/read-scales.js"), gateway.url], { timeout: 60000, env: { ...process.env, HOME: ws.dir } },
               (error, stdout) => resolve({ error, stdout })));
    assert.equal(example.error, null);
    // (the library's own notes may come between)
    const lines = example.stdout.split("\n").filter((l) => /^bay/.test(l));
    assert.equal(lines.length, 2, example.stdout);
    assert.match(lines[0], /^bay-1: 12\.5 kg(, settled)?$/);
    assert.match(lines[1], /^bay_2: 1\.25 kg(, settled)?$/);
    // Settled: WeightStable follows the service's "stable".
    await waitFor(async () => (await ua.read(await ua.child(bay, "CurrentWeight", "WeightStable"))).value.value === true,
                  20000, "bay-1 settles");
  });

  it("a subscription follows a changing load", async () => {
    const seen = [];
    const subscription = await monitor(await ua.child((await scale("bay-1")).nodeId, "CurrentWeight", "Gross"),
                                       (dv) => seen.push([dv.statusCode.name, dv.value.value]));
    for (const w of ["3.5", "7.5", "19"]) {
      bay1.command(`weight ${w}`);
      await waitFor(() => seen.some(([s, v]) => s === "Good" && v === Number(w)), 20000, `the subscription sees ${w}`);
    }
    // In the order the terminal sent them, each one Good.
    const order = seen.filter(([, v]) => [3.5, 7.5, 19].includes(v)).map(([, v]) => v);
    assert.deepEqual([...new Set(order)], [3.5, 7.5, 19]);
    await subscription.terminate();
  });

  it("RegisterWeight waits for the next settled weight; what the terminal cannot do is BadNotSupported", async () => {
    const bay = (await scale("bay-1")).nodeId;
    const call = async (name) => ua.session.call({ objectId: bay, methodId: await ua.child(bay, name), inputArguments: [] });
    // Unloaded: a weighing settles once per loading.
    bay1.command("weight 0", "hold 3");
    await waitFor(async () => (await gross("bay-1")).value.value === 0, 20000, "bay-1 unloaded");
    const pending = call("RegisterWeight");
    bay1.command("weight 42.5");
    const result = await pending;
    assert.equal(result.statusCode, StatusCodes.Good);
    const registered = await ua.read(await ua.child(bay, "RegisteredWeight"));
    assert.equal(registered.statusCode, StatusCodes.Good);
    assert.deepEqual([registered.value.value.gross, registered.value.value.net, registered.value.value.tare], [42.5, 42.5, 0]);
    assert.equal((await ua.read(await ua.child(bay, "RegisteredWeight", "WeightStable"))).value.value, true);
    assert.equal((await ua.read(await ua.child(bay, "RegisteredWeight", "Gross"))).value.value, 42.5);
    // Settled now: asked again, the same weighing at once.
    assert.equal((await call("RegisterWeight")).statusCode, StatusCodes.Good);
    for (const name of ["SetZero", "SetTare", "ClearTare"]) assert.equal((await call(name)).statusCode, StatusCodes.BadNotSupported, name);
  });

  it("an offline terminal reads Bad, never a Good 0, and Good again when it is back", async () => {
    bay2.command("unplug");
    const bay = (await scale("bay_2")).nodeId;
    await waitFor(async () => (await gross("bay_2")).statusCode === StatusCodes.BadNoCommunication, 20000, "bay_2 goes Bad");
    const current = await ua.read(await ua.child(bay, "CurrentWeight"));
    assert.equal(current.statusCode, StatusCodes.BadNoCommunication);
    assert.equal((await ua.read(await ua.child(bay, "Online"))).value.value, false);
    assert.notEqual((await ua.read(await ua.child(bay, "PortState"))).value.value, "open");
    assert.notEqual((await ua.read(await ua.child(bay, "PortReason"))).value.value, "");
    // No settled weight can be registered from it: the wait is bounded.
    const call = await ua.session.call({ objectId: bay, methodId: await ua.child(bay, "RegisterWeight"), inputArguments: [] });
    assert.equal(call.statusCode, StatusCodes.BadTimeout);
    // The other scale is not affected.
    assert.equal((await gross("bay-1")).statusCode, StatusCodes.Good);
    bay2.command("replug");
    await waitFor(async () => {
      const v = await gross("bay_2");
      return v.statusCode === StatusCodes.Good && v.value.value === 1.25;
    }, 20000, "bay_2 Good again");
  });

  it("a reload of the service adds and removes scales without a restart of the gateway", async () => {
    const bay3 = await ws.simulator("bay3", "--weight", "5");
    fs.writeFileSync(file, config({ ...ports, scales: [["bay-1", bay1.link], ["bay3", bay3.link]] }));
    service.reload();
    await waitFor(async () => {
      const k = await ua.children(deviceSet);
      return k.bay3 && !k.bay_2;
    }, 20000, "bay3 in, bay_2 out");
    await waitFor(async () => (await gross("bay3")).value.value === 5, 20000, "bay3 reads 5");
    fs.writeFileSync(file, config({ ...ports, scales: scaleList() }));
    service.reload();
    await waitFor(async () => {
      const k = await ua.children(deviceSet);
      return k.bay_2 && !k.bay3;
    }, 20000, "bay_2 back, bay3 out");
  });

  it("while the service is away every value is Bad; Good again by itself in the same session", async () => {
    const statuses = [];
    const subscription = await monitor(await ua.child((await scale("bay-1")).nodeId, "CurrentWeight"),
                                       (dv) => statuses.push(dv.statusCode));
    await service.stop();
    await waitFor(() => statuses.includes(StatusCodes.BadNoCommunication), 20000, "the subscription sees BadNoCommunication");
    for (const id of ["bay-1", "bay_2"]) assert.equal((await gross(id)).statusCode, StatusCodes.BadNoCommunication, id);
    assert.match(gateway.log(), /cannot be read/);
    service = await ws.service(file);
    await waitFor(() => statuses.length && statuses[statuses.length - 1] === StatusCodes.Good, 20000,
                  "the subscription sees Good again");
    await waitFor(async () => (await gross("bay_2")).statusCode === StatusCodes.Good, 20000, "bay_2 Good again");
    await subscription.terminate();
  });
});
