"use strict";
// The OPC UA server: the companion models loaded, the scales of the service
// under DeviceSet, the security the listen address calls for, and only the
// addresses of allow_from let in.
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const net = require("node:net");
const {
  OPCUAServer,
  OPCUACertificateManager,
  MessageSecurityMode,
  SecurityPolicy,
  makeApplicationUrn,
} = require("node-opcua");
const { nodesets } = require("node-opcua-nodesets");
const { ServiceLink } = require("./service-link");
const { ScaleNodes } = require("./scale-nodes");
const { serviceBase } = require("./settings");
const { isAllowed } = require("./address-filter");
const { readUsers, checkPassword } = require("./users");

// The Scales model after the models it builds on.
const NODESETS = [nodesets.standard, nodesets.di, nodesets.ia, nodesets.machinery, nodesets.packML, nodesets.scales];

// Lets in only the peers of allow_from: every listening socket of the
// server gets a gate in front of its own connection handler.
function gateConnections(server, allowFrom, log) {
  for (const endpoint of server.endpoints) {
    const netServer = endpoint._server;
    if (!netServer) throw new Error("the OPC UA endpoint has no listening socket to guard");
    const handlers = netServer.listeners("connection");
    netServer.removeAllListeners("connection");
    const refusedLogged = new Map();
    netServer.on("connection", (socket) => {
      const peer = socket.remoteAddress;
      if (!isAllowed(peer, allowFrom)) {
        const now = Date.now();
        if ((refusedLogged.get(peer) || 0) + 10000 < now) {
          if (refusedLogged.size > 1000) refusedLogged.clear();
          refusedLogged.set(peer, now);
          log(`refused a connection from ${peer}: not in allow_from`);
        }
        socket.destroy();
        return;
      }
      for (const handler of handlers) handler.call(netServer, socket);
    });
  }
}

// Off loopback no session runs without Sign&Encrypt, but a client may still
// ask for the endpoints over an unsecured channel, as OPC UA discovery does
// (without it a client cannot learn the gateway's certificate). The library
// opens a channel only for a mode an endpoint offers, so the unsecured
// channel is let open here; a session on it is refused all the same, since
// no endpoint of the list has that mode.
function allowDiscoveryWithoutSecurity(server) {
  for (const endpoint of server.endpoints) {
    const original = endpoint.getEndpointDescription.bind(endpoint);
    endpoint.getEndpointDescription = (mode, policy, url) => {
      const found = original(mode, policy, url);
      if (found || mode !== MessageSecurityMode.None || policy !== SecurityPolicy.None) return found;
      return original(MessageSecurityMode.SignAndEncrypt, SecurityPolicy.Basic256Sha256, url);
    };
  }
}

async function startGateway(settings, { version, log }) {
  fs.mkdirSync(settings.stateDir, { recursive: true, mode: 0o700 });
  const pki = path.join(settings.stateDir, "pki");
  const certificateManager = new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: false });
  await certificateManager.initialize();
  // Certificates offered as a user's identity are checked against a trust
  // list of their own, in the state folder too (nothing under a home folder).
  const userCertificateManager = new OPCUACertificateManager({
    rootFolder: path.join(settings.stateDir, "user-pki"),
    automaticallyAcceptUnknownCertificate: false,
  });
  await userCertificateManager.initialize();
  const users = settings.usersFile ? readUsers(settings.usersFile) : null;
  const loopback = settings.loopbackOnly;
  const { host, port } = settings.listen;
  const wildcard = host === "0.0.0.0" || host === "::";
  const hostname = wildcard ? os.hostname() : net.isIP(host) === 6 ? `[${host}]` : host;
  const applicationUri = makeApplicationUrn(os.hostname(), "orva-opcua");
  const server = new OPCUAServer({
    port,
    host,
    hostname,
    nodeset_filename: NODESETS,
    serverCertificateManager: certificateManager,
    userCertificateManager,
    // Off loopback the channel is signed and encrypted, with the gateway's
    // own certificate, and only clients whose certificates are trusted.
    securityModes: loopback ? [MessageSecurityMode.None, MessageSecurityMode.SignAndEncrypt] : [MessageSecurityMode.SignAndEncrypt],
    securityPolicies: loopback ? [SecurityPolicy.None, SecurityPolicy.Basic256Sha256] : [SecurityPolicy.Basic256Sha256],
    allowAnonymous: settings.anonymous,
    userManager: {
      isValidUserAsync(userName, password, callback) {
        if (!users) return callback(null, false);
        checkPassword(users, userName, password).then((ok) => callback(null, ok));
      },
    },
    maxConnectionsPerEndpoint: settings.maxClients,
    serverCapabilities: { maxSessions: settings.maxClients },
    buildInfo: {
      productName: "orva-opcua",
      productUri: "urn:orva:orva-opcua",
      manufacturerName: "orva",
      softwareVersion: version,
      buildNumber: version,
    },
    serverInfo: { applicationUri, productUri: "urn:orva:orva-opcua", applicationName: { text: "orva-opcua" } },
    disableDiscovery: true,
  });
  await server.initialize();
  if (server.endpoints.length === 0) throw new Error("the OPC UA server made no endpoint");
  gateConnections(server, settings.allowFrom, log);
  if (!loopback) allowDiscoveryWithoutSecurity(server);

  const link = new ServiceLink({
    base: serviceBase(settings.service),
    readToken: settings.service.readToken,
    tlsCert: settings.service.tlsCert,
    log,
  });
  const scales = new ScaleNodes({
    addressSpace: server.engine.addressSpace,
    link,
    version,
    stableTimeoutMs: settings.stableTimeoutMs,
    log,
  });
  link.on("scales", (list) => {
    try {
      scales.apply(list);
    } catch (e) {
      log(`the scales could not reach the address space: ${e.message}`);
    }
  });
  link.on("away", () => scales.serviceAway());
  await server.start();
  link.start();

  const url = server.getEndpointUrl();
  const own = certificateManager.rootDir;
  log(`listening on ${url} (${settings.file})`);
  if (loopback)
    log("on loopback: security policy None with anonymous access, and Basic256Sha256 Sign&Encrypt, are offered");
  else
    log(
      `not on loopback: only Basic256Sha256 Sign&Encrypt is offered, with the gateway's certificate in ${path.join(own, "own")}; ` +
        `a client's certificate must be in ${path.join(own, "trusted", "certs")} (refused ones land in ${path.join(own, "rejected")})`,
    );
  log(`clients let in from: ${settings.allowFromText}; anonymous ${settings.anonymous ? "allowed" : "refused"}; ${users ? users.size + " user(s) from " + settings.usersFile : "no users file"}`);
  log(`service: ${serviceBase(settings.service)}`);
  return {
    server,
    url,
    link,
    scales,
    // The trust lists read again from their folders (SIGHUP): a certificate
    // an operator moved counts at once.
    async reloadTrust() {
      await certificateManager.reloadCertificates();
      await userCertificateManager.reloadCertificates();
      log("trust lists read again");
    },
    async stop() {
      link.stop();
      await server.shutdown(0);
    },
  };
}

module.exports = { startGateway };
