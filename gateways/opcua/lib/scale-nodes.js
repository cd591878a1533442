"use strict";
// One SimpleScaleType object per scale of the service, under DI's DeviceSet,
// kept in step with GET /api/scales: objects come and go with the scales,
// values follow each decode, and every value says whether it can be trusted
// (Bad while the terminal is offline or the service does not answer).
const os = require("node:os");
const { DataType, StatusCodes, LocalizedText, standardUnits, makeEUInformation } = require("node-opcua");

const SCALES_NS = "http://opcfoundation.org/UA/Scales/V2/";
// Each scale costs some fifty nodes: a list beyond this is cut, and said so.
const MAX_SCALES = 1000;
const DI_NS = "http://opcfoundation.org/UA/DI/";

const OPTIONALS = [
  "CurrentWeight.Gross",
  "CurrentWeight.Net",
  "CurrentWeight.Tare",
  "CurrentWeight.WeightStable",
  "RegisteredWeight",
  "RegisteredWeight.Gross",
  "RegisteredWeight.Net",
  "RegisteredWeight.Tare",
  "RegisteredWeight.WeightStable",
  "RegisteredWeight.WeightId",
  "RegisterWeight",
  "SetZero",
  "SetTare",
  "ClearTare",
  "SetPresetTare",
  "Identification.Model",
  "Identification.SoftwareRevision",
];

// Methods a terminal that only sends its weight cannot carry out.
const NOT_SUPPORTED = ["SetZero", "SetTare", "ClearTare", "SetPresetTare"];

const UNITS = {
  kg: standardUnits.kilogram,
  g: standardUnits.gram,
  t: standardUnits.tonne || makeEUInformation("TNE", "t", "tonne"),
  lb: standardUnits.pound || makeEUInformation("LBR", "lb", "pound"),
};

// The variables of the scale object beyond the companion model: what the
// terminal and its port say, as the service reports them.
const EXTRA = [
  ["StatusLetter", DataType.String, "the terminal's status letter, @ to O"],
  ["TerminalKind", DataType.String, "the terminal's frame kind, ORVA-1 or ORVA-2"],
  ["Unit", DataType.String, "the unit the terminal shows"],
  ["PortState", DataType.String, "open, waiting, no_device, not_serial, permission_denied, in_use, unreachable, lost or failed"],
  ["PortReason", DataType.String, "why the port is not open, empty when it is"],
  ["Port", DataType.String, "the scale's device or tcp://host:port"],
  ["Online", DataType.Boolean, "a reply of the terminal was recognised in the last 2 s"],
];

class ScaleNodes {
  constructor({ addressSpace, link, version, stableTimeoutMs, log }) {
    this.addressSpace = addressSpace;
    this.link = link;
    this.version = version;
    this.stableTimeoutMs = stableTimeoutMs;
    this.log = log || (() => {});
    this.ns = addressSpace.getOwnNamespace();
    this.scalesNs = addressSpace.getNamespaceIndex(SCALES_NS);
    this.scaleType = addressSpace.findObjectType("SimpleScaleType", this.scalesNs);
    this.weightType = addressSpace.findDataType("WeightType", this.scalesNs);
    this.deviceSet = addressSpace.rootFolder.objects.getFolderElementByName("DeviceSet", addressSpace.getNamespaceIndex(DI_NS));
    if (!this.scaleType || !this.weightType || !this.deviceSet)
      throw new Error("the Scales V2 nodeset did not load (SimpleScaleType, WeightType or DeviceSet missing)");
    this.scales = new Map(); // id -> entry
    this.failures = new Map(); // id -> the reason last logged
  }

  // The service's list of scales: objects for new ones, removal of gone ones,
  // values for all.
  apply(list) {
    const seen = new Set();
    for (const state of list) {
      if (!/^[A-Za-z0-9_-]{1,64}$/.test(state.id) || seen.has(state.id)) continue;
      if (seen.size >= MAX_SCALES) {
        if (!this.cutLogged) this.log(`the service lists more than ${MAX_SCALES} scales: the first ${MAX_SCALES} are shown`);
        this.cutLogged = true;
        break;
      }
      seen.add(state.id);
      let entry = this.scales.get(state.id);
      try {
        if (!entry) {
          entry = this.create(state.id);
          this.scales.set(state.id, entry);
          this.log(`scale ${state.id} added to the address space`);
        }
        this.update(entry, state);
        this.failures.delete(state.id);
      } catch (e) {
        // Told once per reason, not at every refresh.
        const why = String(e.message).split("\n")[0];
        if (this.failures.get(state.id) !== why) this.log(`scale ${state.id} cannot be shown: ${why}`);
        this.failures.set(state.id, why);
      }
    }
    for (const [id, entry] of this.scales) {
      if (seen.has(id)) continue;
      this.addressSpace.deleteNode(entry.object);
      this.scales.delete(id);
      this.log(`scale ${id} removed from the address space`);
    }
  }

  // The service does not answer: nothing it said can be trusted now.
  serviceAway() {
    for (const entry of this.scales.values()) this.markBad(entry, StatusCodes.BadNoCommunication, "all");
  }

  create(id) {
    const object = this.scaleType.instantiate({
      browseName: { name: id, namespaceIndex: this.ns.index },
      nodeId: `ns=${this.ns.index};s=${id}`,
      organizedBy: this.deviceSet,
      optionals: OPTIONALS,
    });
    try {
      return this.populate(id, object);
    } catch (e) {
      // No half-made scale stays behind to block the next try.
      this.addressSpace.deleteNode(object);
      throw e;
    }
  }

  populate(id, object) {
    const c = (parent, name) => parent.getChildByName(name, this.scalesNs) || parent.getChildByName(name);
    const current = c(object, "CurrentWeight");
    const registered = c(object, "RegisteredWeight");
    const weightParts = (v) => ({
      value: v,
      gross: c(v, "Gross"),
      net: c(v, "Net"),
      tare: c(v, "Tare"),
      stable: c(v, "WeightStable"),
      units: c(v, "EngineeringUnits"),
      overload: c(v, "Overload"),
      underload: c(v, "Underload"),
      weightId: c(v, "WeightId"),
    });
    const entry = {
      id,
      object,
      current: weightParts(current),
      registered: weightParts(registered),
      extra: {},
      unit: null,
      last: {}, // variable name -> the status and value it holds
      lastDecode: null,
    };
    for (const [name, dataType, description] of EXTRA) {
      entry.extra[name] = this.ns.addVariable({
        componentOf: object,
        browseName: name,
        nodeId: `ns=${this.ns.index};s=${id}.${name}`,
        description,
        dataType,
        minimumSamplingInterval: -1,
      });
    }
    this.identify(object, id);
    for (const name of NOT_SUPPORTED) {
      const method = c(object, name);
      // (the library tells an async method by its two declared parameters)
      if (method) method.bindMethod(async (_inputArguments, _context) => ({ statusCode: StatusCodes.BadNotSupported }));
    }
    c(object, "RegisterWeight").bindMethod(async (_inputArguments, _context) => this.registerWeight(entry));
    // Nothing is known until the service has answered about this scale.
    this.markBad(entry, StatusCodes.BadWaitingForInitialData, "all");
    this.markBad(entry, StatusCodes.BadWaitingForInitialData, "weight", entry.registered);
    return entry;
  }

  identify(object, id) {
    const ident = object.getChildByName("Identification", this.addressSpace.getNamespaceIndex(DI_NS));
    if (!ident) return;
    const set = (name, dataType, value) => {
      const v = ident.getChildByName(name);
      if (v) v.setValueFromSource({ dataType, value });
    };
    set("Manufacturer", DataType.LocalizedText, new LocalizedText({ text: "orva" }));
    set("Model", DataType.LocalizedText, new LocalizedText({ text: "orva-service" }));
    set("SoftwareRevision", DataType.String, this.version);
    set("SerialNumber", DataType.String, id);
    set("ProductInstanceUri", DataType.String, `urn:${os.hostname()}:orva-service:${id}`);
  }

  // The WeightType value. The library binds a structured variable to its
  // fields and takes no status with a new value, so the status is set on the
  // variable's value first and the change is then told to the subscribers.
  setStructure(variable, weight, status) {
    if (!variable) return;
    variable.$dataValue.statusCode = status;
    if (weight !== null) variable.setValueFromSource({ dataType: DataType.ExtensionObject, value: { gross: weight, net: weight, tare: 0 } });
    variable.touchValue();
  }

  setWeight(parts, weight, stable, status, when) {
    const ts = when || new Date();
    this.setStructure(parts.value, weight, status);
    parts.gross?.setValueFromSource({ dataType: DataType.Double, value: weight }, status, ts);
    parts.net?.setValueFromSource({ dataType: DataType.Double, value: weight }, status, ts);
    parts.tare?.setValueFromSource({ dataType: DataType.Double, value: 0 }, status, ts);
    parts.stable?.setValueFromSource({ dataType: DataType.Boolean, value: stable }, status, ts);
  }

  // Bad values: for the weight alone ("weight"), for all the terminal said
  // ("terminal"), or for everything, the port's state too ("all").
  markBad(entry, status, scope, parts = entry.current) {
    if (parts.value.readValue().statusCode !== status) {
      this.setStructure(parts.value, null, status);
      for (const v of [parts.gross, parts.net, parts.tare, parts.stable]) v?.setValueFromSource({ dataType: DataType.Null }, status);
      if (parts === entry.current) entry.lastDecode = null;
    }
    if (scope === "weight") return;
    for (const name of ["StatusLetter", "TerminalKind", "Unit"]) this.put(entry, name, entry.extra[name], DataType.String, null, status);
    if (scope === "terminal") return;
    for (const name of ["PortState", "PortReason", "Port", "Online"]) this.put(entry, name, entry.extra[name], DataType.String, null, status);
  }

  // A value into a variable, unless it holds that value with that status
  // already: the list of scales comes after every decode of any scale, and
  // most of what it says has not changed.
  put(entry, name, variable, dataType, value, status) {
    if (!variable) return;
    const key = `${status.value}:${value === null ? "" : typeof value}:${value}`;
    if (entry.last[name] === key) return;
    entry.last[name] = key;
    variable.setValueFromSource(value === null ? { dataType: DataType.Null } : { dataType, value }, status);
  }

  update(entry, s) {
    const when = typeof s.updated === "string" && !Number.isNaN(Date.parse(s.updated)) ? new Date(s.updated) : null;
    const text = (name, value) =>
      this.put(entry, name, entry.extra[name], DataType.String, typeof value === "string" ? value : "", StatusCodes.Good);
    text("PortState", s.port_state);
    text("PortReason", s.reason);
    text("Port", s.port);
    this.put(entry, "Online", entry.extra.Online, DataType.Boolean, s.online === true, StatusCodes.Good);
    if (s.online !== true) {
      this.markBad(entry, StatusCodes.BadNoCommunication, "terminal");
      return;
    }
    text("StatusLetter", s.StatusTerminal);
    text("TerminalKind", s.TipTerminal);
    text("Unit", s.UnitWeight);
    this.setUnit(entry, s.UnitWeight);
    const overload = Boolean(s.flags && s.flags.VesMax);
    this.put(entry, "Overload", entry.current.overload, DataType.Boolean, overload, StatusCodes.Good);
    this.put(entry, "Underload", entry.current.underload, DataType.Boolean, false, StatusCodes.Good);
    if (typeof s.weight !== "number" || !Number.isFinite(s.weight)) {
      // The terminal answers, but not with a weight the panel can show.
      this.markBad(entry, StatusCodes.BadSensorFailure, "weight");
      return;
    }
    // Once per decode (its time is "updated"), not at every look.
    const decode = `${s.updated}:${s.weight}:${s.stable === true}`;
    if (entry.lastDecode === decode && entry.current.value.readValue().statusCode === StatusCodes.Good) return;
    entry.lastDecode = decode;
    this.setWeight(entry.current, s.weight, s.stable === true, StatusCodes.Good, when);
  }

  setUnit(entry, unit) {
    if (typeof unit !== "string" || unit === entry.unit) return;
    entry.unit = unit;
    const eu = UNITS[unit.trim()] || makeEUInformation("", unit.trim(), unit.trim());
    for (const parts of [entry.current, entry.registered])
      parts.units?.setValueFromSource({ dataType: DataType.ExtensionObject, value: eu }, StatusCodes.Good);
  }

  // RegisterWeight(): the next settled weight (at once when the scale is
  // settled now), bounded like /stable; it becomes RegisteredWeight.
  async registerWeight(entry) {
    let answer;
    try {
      answer = await this.link.stable(entry.id, this.stableTimeoutMs);
    } catch (e) {
      this.log(`RegisterWeight on ${entry.id}: ${e.message}`);
      return { statusCode: e.tooMany ? StatusCodes.BadTooManyOperations : StatusCodes.BadNoCommunication };
    }
    if (answer.timeout) return { statusCode: StatusCodes.BadTimeout };
    if (this.scales.get(entry.id) !== entry) return { statusCode: StatusCodes.BadNodeIdUnknown };
    const when = typeof answer.at === "string" && !Number.isNaN(Date.parse(answer.at)) ? new Date(answer.at) : new Date();
    this.setWeight(entry.registered, answer.weight, true, StatusCodes.Good, when);
    if (entry.registered.weightId && Number.isInteger(answer.seq))
      entry.registered.weightId.setValueFromSource({ dataType: DataType.String, value: String(answer.seq) }, StatusCodes.Good, when);
    return { statusCode: StatusCodes.Good };
  }
}

module.exports = { ScaleNodes, SCALES_NS, DI_NS, OPTIONALS };
